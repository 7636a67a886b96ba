// OKA_Printer: a service of the container; created by StartService, deleted by
// CloseService. Its requests and handlers are added with its service.
#pragma once

class OKA_Printer {
public:
    OKA_Printer() = default;
    virtual ~OKA_Printer() = default;
    OKA_Printer(const OKA_Printer &) = delete;
    OKA_Printer &operator=(const OKA_Printer &) = delete;
};
