// PDA_Manager: the one service container, and the lifecycle around it.
//
// The container is created by the library's load hook and deleted by its
// unload hook. startRynService / stopRynService run on application threads
// and are serialised by one lifecycle lock. Exported operations run on any
// application thread: each holds an OperationGuard for its duration, and
// CloseService deletes the services only once no guard is held, so no
// operation ever uses a deleted service.
#pragma once

#include "service/primitives.h"

#include <atomic>
#include <cstdint>

class Power;
class Com;
class Cnx;
class Time;
class SignCapture;
class MessageToSpm;
class MessageToPda;
class OKA_Printer;
class Info;
class RuvaloPrinter;
class RuvaloBarcodeReader;
namespace ryn::terminal {
struct transactionCONCERTResp_t;
}

class PDA_Manager {
public:
    PDA_Manager();
    ~PDA_Manager();
    PDA_Manager(const PDA_Manager &) = delete;
    PDA_Manager &operator=(const PDA_Manager &) = delete;

    // true: services created, state 2; false: state was not 0.
    bool StartService();
    // Waits until no operation is in flight, deletes every service (Com
    // last), state 0. Always true.
    bool CloseService();

    // 0 stopped, 2 services created, 1 running.
    std::atomic<int32_t> state{0};
    std::atomic<Time *> time{nullptr};
    std::atomic<Power *> power{nullptr};
    std::atomic<Com *> com{nullptr};
    std::atomic<Cnx *> cnx{nullptr};
    std::atomic<MessageToSpm *> messageToSpm{nullptr};
    std::atomic<MessageToPda *> messageToPda{nullptr};
    std::atomic<RuvaloPrinter *> printer{nullptr};
    std::atomic<SignCapture *> signCapture{nullptr};
    std::atomic<OKA_Printer *> okaPrinter{nullptr};
    std::atomic<Info *> info{nullptr};
    std::atomic<RuvaloBarcodeReader *> barcodeReader{nullptr};
    Mutex transactionResultLock;  // guards transactionResult
    // Last transaction result pushed by the terminal (owned); null until one.
    ryn::terminal::transactionCONCERTResp_t *transactionResult = nullptr;

private:
    void deleteServices(bool logEachStep);
};

extern std::atomic<PDA_Manager *> gpPDA_Manager;

// Number of exported operations in flight; non-zero while any runs.
extern std::atomic<int32_t> g_bServiceInUse;
// The IP connection manager thread's run flag and handle.
extern std::atomic<bool> g_isIpManagerStart;

namespace ryn {

// Held by an exported operation for its whole duration. Construction counts
// the operation in flight first and then checks the container, so a stop
// that has begun either sees the count or is seen by the check.
class OperationGuard {
public:
    enum class Need { Running, Services };
    explicit OperationGuard(Need need = Need::Running);
    ~OperationGuard();
    OperationGuard(const OperationGuard &) = delete;
    OperationGuard &operator=(const OperationGuard &) = delete;
    explicit operator bool() const { return manager_ != nullptr; }
    PDA_Manager *manager() const { return manager_; }

private:
    PDA_Manager *manager_ = nullptr;
};

// Load and unload steps shared by the shared object's hooks and the tests.
void createManager();
void destroyManager();

}  // namespace ryn
