// Pacing and atomic pieces of the simulator's transmit queue, driven with an
// explicit clock.
#include "tools/spmsim/tx_queue.h"

#include <gtest/gtest.h>

#include <string>

namespace spmsim {
namespace {

const uint8_t* b(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// Writes everything the queue allows at `now` into `line` (as a pty that
// takes all bytes would); returns the number of separate writes.
int drain(TxQueue& q, uint64_t now, std::string* line) {
  int writes = 0;
  for (;;) {
    TxQueue::Chunk c = q.writable(now);
    if (c.len == 0) return writes;
    line->append(reinterpret_cast<const char*>(c.data), c.len);
    q.consume(c.len);
    ++writes;
  }
}

TEST(TxQueueTest, UnpacedQueueHandsOutEverythingAtOnce) {
  TxQueue q;
  std::string frames(5000, 'x');
  ASSERT_TRUE(q.push(b(frames), frames.size()));
  EXPECT_EQ(q.waitMs(0), 0);
  std::string line;
  drain(q, 0, &line);
  EXPECT_EQ(line, frames);
  EXPECT_TRUE(q.empty());
  EXPECT_EQ(q.waitMs(0), -1);
}

TEST(TxQueueTest, PacedQueueKeepsToTheRateOverTime) {
  // 11520 B/s is a 115200-baud line. Simulate 2 s in 1 ms steps.
  TxQueue q(11520);
  std::string data(100000, 'd');
  ASSERT_TRUE(q.push(b(data), data.size()));
  std::string line;
  uint64_t now = 1000000;
  for (int ms = 0; ms <= 2000; ++ms) {
    drain(q, now + static_cast<uint64_t>(ms) * 1000, &line);
  }
  // 2 s at 11520 B/s plus at most one initial burst of 20 ms.
  EXPECT_GE(line.size(), 23040u - 150);
  EXPECT_LE(line.size(), 23040u + 231 + 1);
}

TEST(TxQueueTest, WaitTellsWhenThePaceAllowsTheNextChunk) {
  TxQueue q(1000);  // one byte per ms
  std::string data(200, 'd');
  ASSERT_TRUE(q.push(b(data), data.size()));
  std::string line;
  drain(q, 0, &line);  // spends the initial burst
  ASSERT_FALSE(q.empty());
  int wait = q.waitMs(0);
  EXPECT_GT(wait, 0);
  EXPECT_EQ(q.writable(0).len, 0u);
  // After the promised wait there is something to write, without sleeping.
  EXPECT_GT(q.writable(static_cast<uint64_t>(wait) * 1000).len, 0u);
}

TEST(TxQueueTest, AtomicPieceStartsItsOwnWriteAndIsNeverSplit) {
  struct Case {
    uint32_t rate;
    std::string before;
  };
  const Case cases[] = {{0, "frame-bytes"}, {11520, std::string(1000, 'f')}, {200, "abc"}, {50, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE("rate " + std::to_string(c.rate));
    TxQueue q(c.rate);
    ASSERT_TRUE(q.push(b(c.before), c.before.size()));
    ASSERT_TRUE(q.pushAtomic(b("CLIENTSERVER"), 12));
    ASSERT_TRUE(q.push(b("tail"), 4));
    std::vector<std::string> writes;
    for (uint64_t now = 0; !q.empty() && now < 60000000; now += 1000) {
      TxQueue::Chunk ch = q.writable(now);
      if (ch.len == 0) continue;
      writes.emplace_back(reinterpret_cast<const char*>(ch.data), ch.len);
      q.consume(ch.len);
    }
    ASSERT_TRUE(q.empty());
    bool found = false;
    for (const auto& w : writes) {
      if (w.find("CLIENT") != std::string::npos) {
        EXPECT_EQ(w, "CLIENTSERVER");
        found = true;
      }
    }
    EXPECT_TRUE(found);
  }
}

TEST(TxQueueTest, ClearForgetsQueuedBytesAndAtomicMarks) {
  TxQueue q(0);
  ASSERT_TRUE(q.push(b("old frame"), 9));
  ASSERT_TRUE(q.pushAtomic(b("CLIENTSERVER"), 12));
  q.clear();
  EXPECT_TRUE(q.empty());
  ASSERT_TRUE(q.push(b("abcdefghijklmnop"), 16));
  ASSERT_TRUE(q.pushAtomic(b("CLIENT"), 6));
  std::string line;
  EXPECT_EQ(drain(q, 0, &line), 2);  // the new bytes, then CLIENT alone
  EXPECT_EQ(line, "abcdefghijklmnopCLIENT");
}

TEST(TxQueueTest, CapacityBoundsTheQueue) {
  TxQueue q(0, 100);
  std::string chunk(60, 'c');
  EXPECT_TRUE(q.push(b(chunk), chunk.size()));
  EXPECT_FALSE(q.push(b(chunk), chunk.size()));
  EXPECT_EQ(q.size(), 60u);
  std::string line;
  drain(q, 0, &line);
  EXPECT_TRUE(q.push(b(chunk), chunk.size()));
}

TEST(TxQueueTest, PartlyWrittenChunkLeavesTheRestInOrder) {
  // A pty that takes only part of a write (full buffer): the rest follows.
  TxQueue q(0);
  std::string data = "0123456789";
  ASSERT_TRUE(q.push(b(data), data.size()));
  TxQueue::Chunk c = q.writable(0);
  ASSERT_EQ(c.len, 10u);
  q.consume(3);
  std::string line;
  drain(q, 0, &line);
  EXPECT_EQ(line, "3456789");
}

}  // namespace
}  // namespace spmsim
