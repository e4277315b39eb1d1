// Tests of the stream framing: complete PDUs, partial ones, and lengths that cannot be framed.
#include "smpp/PduFraming.h"

#include <gtest/gtest.h>

#include "PduTestUtil.h"

namespace {

TEST(PduFraming, ClassifiesTheFrontOfTheStream) {
  struct Case {
    const char* what;
    Bytes stream;
    TFrameResult result;
    uint32_t length;
  };
  Bytes twoPdus = Hex("00 00 00 10 80 00 00 15 00 00 00 00 00 00 00 07");
  twoPdus.insert(twoPdus.end(), twoPdus.begin(), twoPdus.end());
  Bytes maxPdu(10000, 0);
  PutU32(maxPdu.data(), 10000);
  const Case cases[] = {
      {"empty", {}, TFrameResult::frNeedMore, 0},
      {"three bytes", Hex("00 00 00"), TFrameResult::frNeedMore, 0},
      {"length only", Hex("00 00 00 11"), TFrameResult::frNeedMore, 17},
      {"one byte short", Hex("00 00 00 11 80 00 00 05 00 00 00 00 00 00 00 07"),
       TFrameResult::frNeedMore, 17},
      {"exact header", Hex("00 00 00 10 80 00 00 15 00 00 00 00 00 00 00 07"),
       TFrameResult::frComplete, 16},
      {"two PDUs in one read", twoPdus, TFrameResult::frComplete, 16},
      {"largest PDU", maxPdu, TFrameResult::frComplete, 10000},
      {"length 0", Hex("00 00 00 00"), TFrameResult::frInvalidLength, 0},
      {"length 15", Hex("00 00 00 0F 00"), TFrameResult::frInvalidLength, 15},
      {"length 10001, header incomplete", Hex("00 00 27 11 00 00 01 03"), TFrameResult::frNeedMore,
       10001},
      {"length 10001, header complete", Hex("00 00 27 11 00 00 01 03 00 00 00 00 00 00 00 01"),
       TFrameResult::frTooLong, 10001},
      {"length 65536", Hex("00 01 00 00 00 00 01 03 00 00 00 00 00 00 00 01"),
       TFrameResult::frTooLong, 65536},
      {"length 65537", Hex("00 01 00 01"), TFrameResult::frInvalidLength, 65537},
      {"an HTTP reply", Text("HTTP/1.1 400"), TFrameResult::frInvalidLength, 0x48545450},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // An exactly sized copy, so that a read past the stream shows in the sanitizer build.
    std::vector<uint8_t> exact(c.stream);
    const TPduFrame f = FramePdu(exact.data(), exact.size());
    EXPECT_EQ(f.Result, c.result);
    EXPECT_EQ(f.Length, c.length);
  }
}

// Fed one byte at a time, a PDU is "need more" until its last byte arrives.
TEST(PduFraming, ByteByByte) {
  const Bytes pdu = Hex("00 00 00 14 00 00 00 04 00 00 00 00 00 00 00 02 31 32 33 00");
  for (size_t n = 0; n <= pdu.size(); ++n) {
    std::vector<uint8_t> exact(pdu.begin(), pdu.begin() + static_cast<std::ptrdiff_t>(n));
    const TPduFrame f = FramePdu(exact.data(), n);
    EXPECT_EQ(f.Result, n == pdu.size() ? TFrameResult::frComplete : TFrameResult::frNeedMore) << n;
  }
}

}  // namespace
