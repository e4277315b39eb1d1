// TPduTraceRing: records come out in the order pushed, a full ring drops and counts its oldest,
// long PDUs are kept whole up to the ring's limit, and pushes from several threads all arrive, a
// ring that waits when full losing none.
#include "inspect/PduTraceRing.h"

#include <algorithm>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Pushes a PDU of Length bytes, each byte and the time carrying Tag.
void PushTagged(TPduTraceRing& ring, uint8_t tag, size_t length,
                TPduConnection c = TPduConnection::pcTcx) {
  const std::vector<uint8_t> bytes(length, tag);
  ring.Push({c, TPduDirection::pdOut, tag, bytes.data(), bytes.size()});
}

TEST(PduTraceRing, KeepsTheNewestInOrderAndCountsWhatItDrops) {
  const struct {
    size_t capacity;
    size_t pushes;
    size_t length;
    size_t kept;  // bytes kept of each PDU
    size_t held;  // the newest records left
  } cases[] = {
      {4, 3, 60, 60, 3},   // not full
      {4, 4, 60, 60, 4},   // exactly full
      {4, 11, 60, 60, 4},  // wrapped more than once
      // The room for bytes (131072 octets) fills before the slots: older records leave as the
      // bytes wrap round.
      {8, 7, 30000, 30000, 3},
      {2, 2, TPduTraceRing::kMaxBytes + 7, TPduTraceRing::kMaxBytes, 2},  // cut off
      {2, 1, 0, 0, 1},                                                    // empty PDU
  };
  for (const auto& c : cases) {
    TPduTraceRing ring(c.capacity);
    for (size_t i = 0; i < c.pushes; ++i) PushTagged(ring, static_cast<uint8_t>(i), c.length);
    std::vector<TPduTraceRecord> out;
    ring.Drain(out);
    ASSERT_EQ(out.size(), c.held) << c.capacity << "/" << c.pushes;
    EXPECT_EQ(ring.Pushed(), c.pushes);
    EXPECT_EQ(ring.Dropped(), c.pushes - c.held);
    for (size_t i = 0; i < c.held; ++i) {
      const auto tag = static_cast<uint8_t>(c.pushes - c.held + i);
      EXPECT_EQ(out[i].MonotonicNs, tag);
      EXPECT_EQ(out[i].OriginalLength, c.length);
      EXPECT_EQ(out[i].Bytes, std::vector<uint8_t>(c.kept, tag));
    }
    ring.Drain(out);
    EXPECT_TRUE(out.empty());
  }
}

TEST(PduTraceRing, PushesFromSeveralThreadsAllArriveInEachThreadsOrder) {
  constexpr int kThreads = 4, kEach = 2000;
  // Far smaller than what is pushed: the producers wait for the consumer.
  TPduTraceRing ring(64, TPduTraceRing::TWhenFull::wfWait);
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t)
    producers.emplace_back([&ring, t] {
      for (int i = 0; i < kEach; ++i) {
        const uint8_t bytes[2] = {static_cast<uint8_t>(t), static_cast<uint8_t>(i)};
        ring.Push({TPduConnection::pcRcx, TPduDirection::pdIn, i, bytes, sizeof bytes});
      }
    });
  // The consumer drains while they push.
  std::vector<TPduTraceRecord> all, part;
  while (all.size() < size_t(kThreads * kEach)) {
    ring.Drain(part);
    all.insert(all.end(), part.begin(), part.end());
  }
  for (auto& p : producers) p.join();
  EXPECT_EQ(ring.Dropped(), 0u);
  std::vector<int64_t> last(kThreads, -1);
  for (const auto& r : all) {
    ASSERT_EQ(r.Bytes.size(), 2u);
    EXPECT_EQ(r.MonotonicNs, last[r.Bytes[0]] + 1);
    last[r.Bytes[0]] = r.MonotonicNs;
  }
}

}  // namespace
