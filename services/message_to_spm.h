// MessageToSpm: a service of the container; created by StartService, deleted by
// CloseService. Its requests and handlers are added with its service.
#pragma once

class MessageToSpm {
public:
    MessageToSpm() = default;
    virtual ~MessageToSpm() = default;
    MessageToSpm(const MessageToSpm &) = delete;
    MessageToSpm &operator=(const MessageToSpm &) = delete;
};
