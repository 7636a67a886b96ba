// Power: a service of the container; created by StartService, deleted by
// CloseService. Its requests and handlers are added with its service.
#pragma once

class Power {
public:
    Power() = default;
    virtual ~Power() = default;
    Power(const Power &) = delete;
    Power &operator=(const Power &) = delete;
};
