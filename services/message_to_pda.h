// MessageToPda: a service of the container; created by StartService, deleted by
// CloseService. Its requests and handlers are added with its service.
#pragma once

class MessageToPda {
public:
    MessageToPda() = default;
    virtual ~MessageToPda() = default;
    MessageToPda(const MessageToPda &) = delete;
    MessageToPda &operator=(const MessageToPda &) = delete;
};
