// The activated-terminal file, as a table of file contents and the record
// and mode they give.
#include "service/config.h"
#include "service/log.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

struct Case {
    const char *what;
    std::string text;
    int result;
    bool ip;
    std::string name, addrIP, addrMAC;
    int type, useSsl;
};

TEST(ActivationFile, ParsesAsTheReaderTakesIt) {
    const std::string n247(247, 'n'), n248(248, 'n');
    const Case cases[] = {
        {"empty file", "", 1, false, "", "", "", 0, 0},
        {"no '='", "just text;", 1, false, "", "", "", 0, 0},
        {"IP terminal with TLS, any order", "Type=3;AddrIP=10.9.9.2;AddrMAC=00:11:22:33:44:55;Name=T1;UseSsl=1", 1, true,
         "T1", "10.9.9.2", "00:11:22:33:44:55", 3, 1},
        {"serial terminal", "Name=/dev/ttyACM0;Type=0", 1, false, "/dev/ttyACM0", "", "", 0, 0},
        {"one pair per line: later keys start with a line end", "Name=/dev/ttyUSB0;\nType=3;\nAddrIP=1.2.3.4;\n", 1,
         false, "/dev/ttyUSB0", "", "", 0, 0},
        {"line end after the last value", "Type=3\n", 1, true, "", "", "", 3, 0},
        {"line end stays in a text value", "AddrIP=1.2.3.4\n", 1, false, "", "1.2.3.4\n", "", 0, 0},
        {"duplicate key: first wins", "Name=first;Name=second", 1, false, "first", "", "", 0, 0},
        {"unknown keys ignored", "Colour=blue;Type=2", 1, false, "", "", "", 2, 0},
        {"a final value with '=' is split again (into another pair)", "Name=a=b", 1, false, "a=b", "", "", 0, 0},
        {"the split of a final value can name a key", "UseSsl=Type=3", 0, false, "", "", "", 3, 0},
        {"name of 247 bytes fits", "Name=" + n247, 1, false, n247, "", "", 0, 0},
        {"name of 248 bytes fails, others still copied", "Type=2;Name=" + n248 + ";AddrIP=1.1.1.2", 0, false, "",
         "1.1.1.2", "", 2, 0},
        {"IP type with an over-long address stays serial", "Type=3;AddrIP=123.123.123.123:65535", 0, false, "", "",
         "", 3, 0},
        {"over-long MAC", "AddrMAC=00-11-22-33-44-55-66", 0, false, "", "", "", 0, 0},
        {"sign and blanks in numbers", "Type= +3;UseSsl=-1", 1, true, "", "", "", 3, -1},
        {"number out of range", "Type=99999999999", 0, false, "", "", "", 0, 0},
        {"no number at all", "UseSsl=yes", 0, false, "", "", "", 0, 0},
        {"binary junk cannot crash", std::string("Na\0me=\xff\x00;=;;==;Type=3", 22), 1, true, "", "", "", 3, 0},
    };
    for (const auto &c : cases) {
        CompanionInfo info;
        memset(&info, 0x5a, sizeof info);
        bool ip = true;
        EXPECT_EQ(ryn::config::parseActivation(c.text, info, ip), c.result) << c.what;
        EXPECT_EQ(ip, c.ip) << c.what;
        EXPECT_EQ(std::string(info.name), c.name) << c.what;
        EXPECT_EQ(std::string(info.addrIP), c.addrIP) << c.what;
        EXPECT_EQ(std::string(info.addrMAC), c.addrMAC) << c.what;
        EXPECT_EQ(info.type, c.type) << c.what;
        EXPECT_EQ(info.useSsl, c.useSsl) << c.what;
    }
}

class ActivationHome : public ::testing::Test {
protected:
    void SetUp() override { setenv("RYN_HOME", home_.path().c_str(), 1); }
    void TearDown() override { unsetenv("RYN_HOME"); }
    ryn::test::TempDir home_;
};

TEST_F(ActivationHome, ReadsTheFileUnderTheOverriddenHome) {
    EXPECT_EQ(ryn::config::activationFilePath(), home_.path() + "/.CalvorinKestova/KestovaLinux.txt");
    ryn::test::writeFile(ryn::config::activationFilePath(), "Type=3;AddrIP=10.9.9.2;Name=lab");
    EXPECT_EQ(getActivatedDevice(), 1);
    EXPECT_TRUE(g_isIpCompanion.load());
    EXPECT_STREQ(g_CompanionInfo.addrIP, "10.9.9.2");
}

TEST_F(ActivationHome, MissingFileClearsTheRecordAndMeansSerial) {
    ryn::test::writeFile(ryn::config::activationFilePath(), "Type=3;Name=lab");
    ASSERT_EQ(getActivatedDevice(), 1);
    std::filesystem::remove(ryn::config::activationFilePath());
    EXPECT_EQ(getActivatedDevice(), 0);
    EXPECT_FALSE(g_isIpCompanion.load());
    EXPECT_STREQ(g_CompanionInfo.name, "");
    EXPECT_EQ(g_CompanionInfo.type, 0);
}

TEST_F(ActivationHome, FailedReadNeverSelectsIpMode) {
    ryn::test::writeFile(ryn::config::activationFilePath(), "Type=3;AddrIP=" + std::string(20, '1'));
    EXPECT_EQ(getActivatedDevice(), 0);
    EXPECT_FALSE(g_isIpCompanion.load());
}

TEST_F(ActivationHome, HugeFileIsRefusedNotRead) {
    ryn::test::writeFile(ryn::config::activationFilePath(),
                         "Type=3;" + std::string(ryn::config::kMaxActivationFile, ' '));
    EXPECT_EQ(getActivatedDevice(), 0);
    EXPECT_FALSE(g_isIpCompanion.load());
}

TEST(ActivationHomeDefault, ComesFromThePasswordDatabase) {
    unsetenv("RYN_HOME");
    EXPECT_FALSE(ryn::config::homeDirectory().empty());
    setenv("RYN_HOME", "", 1);  // empty means unset
    EXPECT_NE(ryn::config::homeDirectory(), "");
    unsetenv("RYN_HOME");
}

}  // namespace
