// Time: a service of the container; created by StartService, deleted by
// CloseService. Its requests and handlers are added with its service.
#pragma once

class Time {
public:
    Time() = default;
    virtual ~Time() = default;
    Time(const Time &) = delete;
    Time &operator=(const Time &) = delete;
};
