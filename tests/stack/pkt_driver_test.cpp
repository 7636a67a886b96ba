// The packet driver's contract with the link, against the real PPP device
// record (no serial line): inert unless PPP is the device; addresses follow
// what IPCP hands the link.
#include "link/ppp.h"
#include "stack/pkt_driver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace ryn::inet {
namespace {

TEST(PacketDriver, InertUnlessPppIsTheDevice) {
    ASSERT_NE(_pktdevclass.load(), kPppDeviceClass);
    uint16_t len = 0;
    EXPECT_EQ(pkt_received(&len), nullptr);
    uint8_t buf[64] = {};
    EXPECT_EQ(pkt_send(buf + 4, 40), 0);
    pkt_free_ip(nullptr);  // harmless
}

TEST(PacketDriver, AddressesFollowTheLink) {
    NetStack stack;
    stack.bindToLink();
    ASSERT_EQ(ppp_dev_open(), 0);
    ASSERT_EQ(sifaddr(0, htonl(0x01010102), htonl(0x01010101), htonl(0xFFFFFF00)), 1);
    EXPECT_EQ(stack.addressing().my_ip_addr.load(), 0x01010102u);
    EXPECT_EQ(stack.addressing().sin_mask.load(), 0xFFFFFF00u);
    EXPECT_EQ(rem_ip_addr.load(), 0x01010101u);
    EXPECT_TRUE(stack.addressing().is_local_addr(0x01010102u));

    EXPECT_EQ(sifdown(0), 1);
    EXPECT_EQ(stack.addressing().my_ip_addr.load(), 0u);
    EXPECT_EQ(rem_ip_addr.load(), 0u);
    ppp_dev_close(0);

    // A tick with PPP not the device drains nothing and sends nothing.
    stack.tcp_tick(1000);
    stack.unbindFromLink();
    EXPECT_EQ(_pktdevclass.load(), 0);
}

}  // namespace
}  // namespace ryn::inet
