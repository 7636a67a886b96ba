// Marks the threads the library runs itself (network, service server,
// receive, IP manager). The application's callbacks run on them, so a stop
// or start requested from one of them would wait for its own thread: the
// lifecycle refuses such calls instead of deadlocking.
#pragma once

namespace ryn {

// RAII: the current thread is a service thread for the guard's lifetime.
class ServiceThreadScope {
public:
    ServiceThreadScope();
    ~ServiceThreadScope();
    ServiceThreadScope(const ServiceThreadScope &) = delete;
    ServiceThreadScope &operator=(const ServiceThreadScope &) = delete;

private:
    bool previous_;
};

bool onServiceThread() noexcept;

}  // namespace ryn
