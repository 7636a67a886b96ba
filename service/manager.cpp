// Service lifecycle: the container, start, stop and status.
#include "service/manager.h"

#include "bridge/bridge.h"
#include "ipterminal/ip_manager.h"
#include "ipterminal/tls.h"
#include "link/rynsock.h"
#include "service/config.h"
#include "service/log.h"
#include "service/service_thread.h"
#include "services/cnx.h"
#include "services/com.h"
#include "services/info.h"
#include "services/message_to_pda.h"
#include "services/message_to_spm.h"
#include "services/oka_printer.h"
#include "services/power.h"
#include "services/sign_capture.h"
#include "services/time_service.h"
#include "terminal/ruvalo_barcode_reader.h"
#include "terminal/ruvalo_printer.h"
#include "terminal/transaction.h"

#include "ryn_service.h"

#include <unistd.h>

#include <mutex>
#include <new>

std::atomic<PDA_Manager *> gpPDA_Manager{nullptr};
std::atomic<int32_t> g_bServiceInUse{0};
std::atomic<bool> g_isIpManagerStart{false};

namespace {

std::mutex g_lifecycle;                 // serialises start, stop and initialise
std::atomic<bool> g_stopping{false};    // CloseService is waiting or deleting
thread_local int t_operationDepth = 0;  // OperationGuards held by this thread

pthread_t g_hDeviceComThread;
pthread_attr_t g_hDeviceComThreadAttr;
bool g_hasDeviceComThread = false;  // guarded by g_lifecycle

template <typename T>
void deleteService(std::atomic<T *> &field, const char *before, const char *after, bool log) {
    T *service = field.exchange(nullptr);
    if (!service) return;
    if (log && before) RYN_LOG(OBJ_MANAGER, LOG_INFO, "%s", before);
    delete service;
    if (log) RYN_LOG(OBJ_MANAGER, LOG_INFO, "%s", after);
}

bool refuseFromServiceThread(const char *what) {
    if (!ryn::onServiceThread() && t_operationDepth == 0) return false;
    // Waiting here would wait for this very thread.
    RYN_LOG(OBJ_SERVICE, LOG_ERROR, "%s refused: called from a service thread or an operation in progress", what);
    return true;
}

int initializeLocked() {
    RYN_LOG(OBJ_SERVICE, LOG_INFO, "PDA_ManagerInitialize ");
    PDA_Manager *m = gpPDA_Manager.load();
    if (!m) {
        RYN_LOG(OBJ_SERVICE, LOG_ERROR, "ERROR_RYN_SERVICE_NULL_MANAGER");
        return 0;
    }
    m->StartService();
    return 0;
}

}  // namespace

PDA_Manager::PDA_Manager() { RYN_LOG(OBJ_MANAGER, LOG_INFO, "PDA_Manager::PDA_Manager() "); }

PDA_Manager::~PDA_Manager() {
    deleteServices(true);
    delete transactionResult;
}

bool PDA_Manager::StartService() {
    RYN_LOG(OBJ_MANAGER, LOG_INFO, "PDA_Manager::StartService() ");
    if (state.load() != 0) {
        RYN_LOG(OBJ_MANAGER, LOG_WARNING, "ERROR_SERVICE_ALREADY_RUNNING");
        return false;
    }
    // The terminal's requests reach these handlers through Com's table.
    ryn::services::registerServiceHandler(OKA_Printer::kRequestTag, &OKA_Printer::treatRequest);
    ryn::services::registerServiceHandler(ryn::terminal::kTagPushedResultReq, &ryn::terminal::ReceiveTransactionResult);
    ryn::services::ComOptions options = ryn::services::ComOptions::fromConfig();
    options.secure = &ryn::ip::secureTransport;
    power = new Power();
    com = new Com(options);
    cnx = new Cnx();
    time = new Time();
    signCapture = new SignCapture();
    messageToSpm = new MessageToSpm();
    messageToPda = new MessageToPda();
    okaPrinter = new OKA_Printer();
    info = new Info();
    printer = new RuvaloPrinter();
    barcodeReader = new RuvaloBarcodeReader();
    state = 2;
    return true;
}

void PDA_Manager::deleteServices(bool log) {
    deleteService(signCapture, "Stop signature", "Signature stopped", log);
    deleteService(time, "Stop time", "Time stopped", log);
    deleteService(messageToSpm, "Stop message", "Message stopped", log);
    deleteService(messageToPda, "Stop message", "Message stopped", log);
    deleteService(cnx, "Stop cnx", "Cnx stopped", log);
    deleteService(okaPrinter, nullptr, "OKA_printer stopped", log);
    deleteService(info, "Stop Info", "Info stopped", log);
    deleteService(printer, "Stop Printer", "Printer stopped", log);
    deleteService(barcodeReader, "Stop Barcode", "Barcode stopped", log);
    deleteService(power, "Stop power", "Power stopped", log);
    // Last: the other services send their requests through it.
    deleteService(com, "Stop com", "Com stopped", log);
}

bool PDA_Manager::CloseService() {
    RYN_LOG(OBJ_MANAGER, LOG_INFO, "Service is %s use", g_bServiceInUse.load() ? "ON" : "OFF");
    g_stopping = true;
    while (g_bServiceInUse.load() != 0) {
        RYN_LOG(OBJ_MANAGER, LOG_INFO, "Waiting");
        usleep(20 * 1000);
    }
    deleteServices(true);
    RYN_LOG(OBJ_MANAGER, LOG_INFO, "Clean up ");
    RYN_LOG(OBJ_MANAGER, LOG_INFO, "Terminated ");
    state = 0;
    g_stopping = false;
    return true;
}

namespace ryn {

OperationGuard::OperationGuard(Need need) {
    g_bServiceInUse.fetch_add(1);
    PDA_Manager *m = gpPDA_Manager.load();
    bool ok = m && !g_stopping.load() &&
              (need == Need::Running ? m->state.load() == 1 : m->com.load() != nullptr);
    if (!ok) {
        g_bServiceInUse.fetch_sub(1);
        return;
    }
    manager_ = m;
    ++t_operationDepth;
}

OperationGuard::~OperationGuard() {
    if (!manager_) return;
    --t_operationDepth;
    g_bServiceInUse.fetch_sub(1);
}

void createManager() {
    if (!gpPDA_Manager.load()) gpPDA_Manager = new PDA_Manager();
}

void destroyManager() {
    PDA_Manager *m = gpPDA_Manager.load();
    if (m && m->state.load() != 0) stopRynService();
    delete gpPDA_Manager.exchange(nullptr);
}

}  // namespace ryn

extern "C" {

int startRynService(void) {
    RYN_LOG(OBJ_SERVICE, LOG_INFO, "startRynService ");
    if (refuseFromServiceThread("startRynService")) return 0;
    std::lock_guard<std::mutex> lock(g_lifecycle);
    PDA_Manager *m = gpPDA_Manager.load();
    if (!m) {
        RYN_LOG(OBJ_SERVICE, LOG_ERROR, "ERROR_RYN_SERVICE_NULL_MANAGER");
        return 0;
    }
    if (m->state.load() != 0) {
        RYN_LOG(OBJ_SERVICE, LOG_WARNING, "ERROR_RYN_SERVICE_ALREADY_STARTED");
        return 0;
    }
    getActivatedDevice();  // a missing or refused file means serial mode
    if (!g_isIpCompanion.load()) {
        ryn::bridge::installNetworkHooks();
        start_rynsock();
    } else if (!g_isIpManagerStart.load()) {
        RYN_LOG(OBJ_SERVICE, LOG_INFO, "start ip mode");
        g_isIpManagerStart = true;
        g_hasDeviceComThread =
            CreateThread(&g_hDeviceComThread, &g_hDeviceComThreadAttr, manageIpDeviceConnection, m) == 0;
    }
    initializeLocked();
    m->state = 1;
    return 1;
}

int stopRynService(void) {
    RYN_LOG(OBJ_SERVICE, LOG_INFO, "stopRynService ");
    if (refuseFromServiceThread("stopRynService")) return 0;
    std::lock_guard<std::mutex> lock(g_lifecycle);
    PDA_Manager *m = gpPDA_Manager.load();
    if (!m) {
        RYN_LOG(OBJ_SERVICE, LOG_ERROR, "ERROR_RYN_SERVICE_NULL_MANAGER");
        return 0;
    }
    if (m->state.load() == 0) {
        RYN_LOG(OBJ_SERVICE, LOG_ERROR, "ERROR_RYN_SERVICE_NOT_STARTED");
        return 0;
    }
    if (g_isIpCompanion.load()) {
        g_isIpManagerStart = false;
        if (g_hasDeviceComThread) {
            pthread_join(g_hDeviceComThread, nullptr);
            g_hasDeviceComThread = false;
        }
    } else {
        stop_rynsock();
    }
    m->CloseService();
    return 1;
}

int serverStatus(char *status) {
    ryn::OperationGuard op(ryn::OperationGuard::Need::Services);
    if (!op) {
        RYN_LOG(OBJ_SERVICE, LOG_ERROR, "ERROR_SERVICE_NOT_ACTIVE");
        return 0;
    }
    if (!status) {
        RYN_LOG(OBJ_SERVICE, LOG_ERROR, "ERROR_INVALID_USER_BUFFER");
        return 0;
    }
    *status = op.manager()->com.load()->GetStatusCom() ? 1 : 0;
    return 1;
}

int PDA_ManagerInitialize(void) {
    if (refuseFromServiceThread("PDA_ManagerInitialize")) return 0;
    std::lock_guard<std::mutex> lock(g_lifecycle);
    return initializeLocked();
}

}  // extern "C"
