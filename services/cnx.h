// Cnx: a service of the container; created by StartService, deleted by
// CloseService. Its requests and handlers are added with its service.
#pragma once

class Cnx {
public:
    Cnx() = default;
    virtual ~Cnx() = default;
    Cnx(const Cnx &) = delete;
    Cnx &operator=(const Cnx &) = delete;
};
