// RuvaloPrinter: terminal-side device control owned by the service container.
#pragma once

class RuvaloPrinter {
public:
    RuvaloPrinter() = default;
    virtual ~RuvaloPrinter() = default;
    RuvaloPrinter(const RuvaloPrinter &) = delete;
    RuvaloPrinter &operator=(const RuvaloPrinter &) = delete;
};
