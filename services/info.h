// Info: a service of the container; created by StartService, deleted by
// CloseService. Its requests and handlers are added with its service.
#pragma once

class Info {
public:
    Info() = default;
    virtual ~Info() = default;
    Info(const Info &) = delete;
    Info &operator=(const Info &) = delete;
};
