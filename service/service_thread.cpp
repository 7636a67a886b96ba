#include "service/service_thread.h"

namespace ryn {
namespace {
thread_local bool t_serviceThread = false;  // trivially destructible: no TLS destructor
}

ServiceThreadScope::ServiceThreadScope() : previous_(t_serviceThread) { t_serviceThread = true; }
ServiceThreadScope::~ServiceThreadScope() { t_serviceThread = previous_; }
bool onServiceThread() noexcept { return t_serviceThread; }

}  // namespace ryn
