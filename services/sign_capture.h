// SignCapture: a service of the container; created by StartService, deleted by
// CloseService. Its requests and handlers are added with its service.
#pragma once

class SignCapture {
public:
    SignCapture() = default;
    virtual ~SignCapture() = default;
    SignCapture(const SignCapture &) = delete;
    SignCapture &operator=(const SignCapture &) = delete;
};
