// Request/answer round trips per second through the service server on
// loopback: a client plays the terminal, the handler answers each request.
// Run with the log off and with it on (to a private file).
#include "service/log.h"
#include "services/com.h"
#include "services/envelope.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

using namespace ryn::services;

constexpr uint32_t kTag = 0x60020009;

int answerHandler(ServiceConnection &connection, const unsigned char *, uint32_t) {
    static const std::string answer = [] {
        sTLV_TREE_NODE *root = TlvTree_New(kTag + 0x01000000);
        TlvTree_AddChildString(root, 0x40000001, "host-name");
        std::string s = serializeTlv(root);
        TlvTree_Release(root);
        return s;
    }();
    return int(sendAll(connection, answer.data(), answer.size()));
}

ServiceEntry kEntries[] = {{kTag, "PDA_TAG_GET_PDA_INFO_REQ", answerHandler}};
const ServiceTable kTable{kEntries, 1};

bool readExactly(int fd, char *buf, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t r = ::recv(fd, buf + done, n - done, 0);
        if (r <= 0) return false;
        done += size_t(r);
    }
    return true;
}

void BM_ServiceRoundTrip(benchmark::State &state) {
    const bool logOn = state.range(0) != 0;
    char dir[] = "/tmp/ryn-bench-XXXXXX";
    if (logOn) {
        ryn::log::setPathForTesting(std::string(mkdtemp(dir)) + "/RYNLog.txt");
        logCreate();
    } else {
        logDestroy();
    }
    ComOptions o;
    o.servicesPort = 0;
    o.channelPort = 1;  // nothing there: the channel stays closed
    o.table = &kTable;
    {
        Com com(o);
        while (com.servicesPort() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(com.servicesPort());
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

        sTLV_TREE_NODE *req = TlvTree_New(kTag);
        const std::string request = serializeTlv(req);
        TlvTree_Release(req);
        char buf[4096];
        for (auto _ : state) {
            ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
            if (!readExactly(fd, buf, 6)) {
                state.SkipWithError("connection lost");
                break;
            }
            const uint32_t len = uint32_t(uint8_t(buf[0])) | uint32_t(uint8_t(buf[1])) << 8;
            readExactly(fd, buf + 6, len);
        }
        state.SetItemsProcessed(int64_t(state.iterations()));
        state.SetLabel(logOn ? "log on" : "log off");
        ::close(fd);
    }
    logDestroy();
    if (logOn) {
        std::remove((std::string(dir) + "/RYNLog.txt").c_str());
        ::rmdir(dir);
        ryn::log::setPathForTesting("");
    }
}

BENCHMARK(BM_ServiceRoundTrip)->Arg(0)->Arg(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
