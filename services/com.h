// Com: owner of the service server (the terminal's requests), the services
// connection and the host-to-terminal channel. Created and deleted by the
// service container; creating it starts the server thread, deleting it
// stops and joins every thread it started.
#pragma once

class Com {
public:
    Com();
    virtual ~Com();
    Com(const Com &) = delete;
    Com &operator=(const Com &) = delete;

    // True when the host-to-terminal channel is open and a terminal is
    // connected to the service server.
    bool GetStatusCom();
};
