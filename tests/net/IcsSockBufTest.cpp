// Tests of TIcsBuffer, the send chunk: sizes, writes into a full chunk, partial removal and the
// return to the start once emptied.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/IcsSockBuf.h"

namespace {

TEST(TIcsBuffer, SizeZeroOrNegativeMeansDefault) {
  struct Case {
    int32_t Asked, Expected;
  };
  for (const Case& C : {Case{0, 1514}, Case{-5, 1514}, Case{1, 1}, Case{4096, 4096}}) {
    SCOPED_TRACE(C.Asked);
    TIcsBuffer B(C.Asked);
    EXPECT_EQ(B.BufSize(), C.Expected);
    EXPECT_EQ(B.WrCount(), 0);
    EXPECT_EQ(B.RdCount(), 0);
  }
}

TEST(TIcsBuffer, WriteFillsUpToTheSizeThenTakesNothing) {
  std::vector<uint8_t> Data(2000);
  for (size_t I = 0; I < Data.size(); ++I) Data[I] = static_cast<uint8_t>(I * 7);
  TIcsBuffer B(0);
  EXPECT_EQ(B.Write(Data.data(), 2000), 1514);
  EXPECT_EQ(B.Write(Data.data(), 2000), 0);
  EXPECT_EQ(B.Write(Data.data(), -1), 0);
  int32_t Count = -1;
  const uint8_t* P = B.Peek(Count);
  ASSERT_EQ(Count, 1514);
  EXPECT_EQ(std::memcmp(P, Data.data(), 1514), 0);
}

TEST(TIcsBuffer, RemoveTakesAtMostTheUnreadBytes) {
  struct Step {
    int32_t Write, Remove, ExpectRemoved, ExpectRd, ExpectWr;
  };
  // One chunk of 10 bytes driven through a sequence of writes and removals.
  const std::vector<Step> Steps = {
      {0, 5, 0, 0, 0},    // empty chunk: nothing to remove
      {6, 2, 2, 2, 6},    // partial removal moves the read position
      {0, -3, 0, 2, 6},   // a negative length removes nothing
      {10, 0, 0, 2, 10},  // a write takes only the room left (4 bytes)
      {0, 100, 8, 0, 0},  // removing more than unread removes the unread, then resets
      {3, 1, 1, 1, 3},    // after the reset, writing starts at the beginning again
  };
  TIcsBuffer B(10);
  const char Src[] = "abcdefghijklmnop";
  for (size_t I = 0; I < Steps.size(); ++I) {
    SCOPED_TRACE(I);
    const Step& S = Steps[I];
    if (S.Write) B.Write(Src, S.Write);
    EXPECT_EQ(B.Remove(S.Remove), S.ExpectRemoved);
    EXPECT_EQ(B.RdCount(), S.ExpectRd);
    EXPECT_EQ(B.WrCount(), S.ExpectWr);
  }
  int32_t Count = 0;
  const uint8_t* P = B.Peek(Count);
  ASSERT_EQ(Count, 2);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(P), 2), "bc");
}

TEST(TIcsBuffer, PeekOnEmptyChunkGivesNothing) {
  TIcsBuffer B(16);
  int32_t Count = 99;
  EXPECT_EQ(B.Peek(Count), nullptr);
  EXPECT_EQ(Count, 0);
  B.Write("xy", 2);
  B.Remove(2);
  EXPECT_EQ(B.Peek(Count), nullptr);
  EXPECT_EQ(Count, 0);
}

TEST(TIcsBuffer, ResizeKeepsHeldBytesAndRefusesToCutThem) {
  TIcsBuffer B(8);
  B.Write("12345678", 8);
  B.Remove(3);
  B.SetBufSize(16);
  EXPECT_EQ(B.BufSize(), 16);
  EXPECT_EQ(B.RdCount(), 3);
  EXPECT_EQ(B.WrCount(), 8);
  EXPECT_EQ(B.Write("9", 1), 1);
  EXPECT_THROW(B.SetBufSize(5), std::invalid_argument);
  EXPECT_EQ(B.BufSize(), 16);
  int32_t Count = 0;
  const uint8_t* P = B.Peek(Count);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(P), Count), "456789");
}

}  // namespace
