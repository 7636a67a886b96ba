// Both ends of the discovery test, run by discovery_netns.sh in two network
// namespaces:
//   discovery_probe listen SECONDS  - prints the fields of the first
//                                     datagram on UDP 65004, or "none"
//   discovery_probe host SECONDS    - runs the service in IP mode (the
//                                     activation file under RYN_HOME) and
//                                     reports the CPU time it used
#include "ryn_service.h"
#include "ryn_tlv.h"
#include "service/log.h"
#include "service/manager.h"
#include "services/envelope.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

static int listen(int seconds) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(65004);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        perror("bind");
        return 2;
    }
    printf("listening\n");
    fflush(stdout);
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, seconds * 1000) <= 0) {
        printf("none\n");
        return 0;
    }
    unsigned char buf[2048];
    sockaddr_in from{};
    socklen_t fl = sizeof from;
    const ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &fl);
    sTLV_TREE_NODE *tree = nullptr;
    if (n <= 0 || ryn::services::TLVTree_DecodeServiceMsg(buf, size_t(n), &tree) != ryn::services::DecodeStatus::Ok) {
        printf("undecodable\n");
        return 1;
    }
    printf("root 0x%x\n", TlvTree_GetTag(tree));
    for (sTLV_TREE_NODE *c = TlvTree_GetFirstChild(tree); c; c = TlvTree_GetNext(c)) {
        printf("child 0x%x", TlvTree_GetTag(c));
        const auto *v = static_cast<const unsigned char *>(TlvTree_GetData(c));
        for (uint32_t i = 0; i < TlvTree_GetLength(c); ++i) printf(" %02x", v[i]);
        printf("\n");
    }
    TlvTree_Release(tree);
    return 0;
}

static int host(int seconds) {
    logDestroy();  // the test's namespace has a private /tmp, but keep quiet anyway
    ryn::createManager();
    if (startRynService() != 1) return 1;
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    getrusage(RUSAGE_SELF, &after);
    stopRynService();
    ryn::destroyManager();
    auto ms = [](const timeval &t) { return t.tv_sec * 1000 + t.tv_usec / 1000; };
    printf("cpu_ms %ld\n", long(ms(after.ru_utime) + ms(after.ru_stime) - ms(before.ru_utime) - ms(before.ru_stime)));
    return 0;
}

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    const int seconds = atoi(argv[2]);
    if (!strcmp(argv[1], "listen")) return listen(seconds);
    if (!strcmp(argv[1], "host")) return host(seconds);
    return 2;
}
