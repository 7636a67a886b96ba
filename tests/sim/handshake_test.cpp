// Detection of the host's "CLIENT" in the bytes the simulated terminal reads.
#include "tools/spmsim/handshake.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace spmsim {
namespace {

bool feedAll(HandshakeScanner& s, const std::vector<std::string>& reads, size_t* matchedAt) {
  for (size_t i = 0; i < reads.size(); ++i) {
    if (s.feed(reinterpret_cast<const uint8_t*>(reads[i].data()), reads[i].size())) {
      *matchedAt = i;
      return true;
    }
  }
  return false;
}

TEST(HandshakeScannerTest, FindsClientInReadsTable) {
  struct Case {
    const char* name;
    std::vector<std::string> reads;
    bool found;
    size_t at;
  };
  const std::string noise("\x01\x7e\x25%\xff\r\n", 7);
  const std::string big(200, 'Z');
  const std::vector<Case> cases = {
      {"whole", {"CLIENT"}, true, 0},
      {"split 3/3", {"CLI", "ENT"}, true, 1},
      {"byte by byte", {"C", "L", "I", "E", "N", "T"}, true, 5},
      {"after noise", {noise + "CLIENT"}, true, 0},
      {"noise then split", {noise + "CL", "IENT" + noise}, true, 1},
      {"after a long read", {big + "CLIE", "NT"}, true, 1},
      {"lower case", {"client"}, false, 0},
      {"interrupted", {"CLIE", "xNT"}, false, 0},
      {"prefix only", {"CLIEN"}, false, 0},
      {"in the answer text", {"xxCLIENTSERVERxx"}, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HandshakeScanner s;
    size_t at = 0;
    EXPECT_EQ(feedAll(s, c.reads, &at), c.found);
    if (c.found) {
      EXPECT_EQ(at, c.at);
    }
  }
}

TEST(HandshakeScannerTest, ResetForgetsAPartialMatch) {
  HandshakeScanner s;
  EXPECT_FALSE(s.feed(reinterpret_cast<const uint8_t*>("CLIE"), 4));
  s.reset();
  EXPECT_FALSE(s.feed(reinterpret_cast<const uint8_t*>("NT"), 2));
}

TEST(HandshakeScannerTest, ExactClientReadOnly) {
  struct Case {
    std::string read;
    bool exact;
  };
  const Case cases[] = {{"CLIENT", true}, {"CLIENTCLIENT", false}, {"xCLIENT", false}, {"CLIEN", false}, {"", false}};
  for (const Case& c : cases) {
    EXPECT_EQ(isExactClient(reinterpret_cast<const uint8_t*>(c.read.data()), c.read.size()), c.exact) << c.read;
  }
}

}  // namespace
}  // namespace spmsim
