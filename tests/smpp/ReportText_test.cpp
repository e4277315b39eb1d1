// Tests of the escaped form of report lines: one table of edge cases, and a read-back over every
// pair of bytes.
#include "smpp/ReportText.h"

#include <gtest/gtest.h>

namespace {

TEST(ReportText, EscapesWhatCouldDoHarmAndKeepsText) {
  using namespace std::string_literals;
  const struct {
    std::string Line, Shown;
  } Cases[] = {
      {"", ""},
      {"+DELIVER 5550001:1234:Hi there", "+DELIVER 5550001:1234:Hi there"},
      {"\x1b[2J@"s, "\\x1b[2J@"},
      {"a\0b"s, "a\\x00b"},  // a GSM '@' decoded as 0x00
      {"C:\\x41", "C:\\\\x41"},
      {"two\nlines\r\tend", "two\\nlines\\r\\tend"},
      {"\x01\x1f\x7f", "\\x01\\x1f\\x7f"},
      {"é € 😀 \u00a0 \ufffd", "é € 😀 \u00a0 \ufffd"},  // 2, 3 and 4 bytes; the first after C1
      {"\xc2\x85\xc2\x9f", "\\xc2\\x85\\xc2\\x9f"},    // C1 controls
      {"a\u2028b\u2029c", "a\\xe2\\x80\\xa8b\\xe2\\x80\\xa9c"},
      {"\ufdd0\ufdef\ufffe\U0001ffff",
       "\\xef\\xb7\\x90\\xef\\xb7\\xaf\\xef\\xbf\\xbe\\xf0\\x9f\\xbf\\xbf"},
      {"caf\xe9 ok", "caf\\xe9 ok"},                 // Latin-1
      {"\x80\xbf\xff\xfe", "\\x80\\xbf\\xff\\xfe"},  // lone continuation bytes, never-valid bytes
      {"\xe2\x82", "\\xe2\\x82"},                    // cut at the end
      {"\xe2(\xa1", "\\xe2(\\xa1"},                  // a continuation byte missing
      {"\xc0\xaf\xe0\x80\xaf", "\\xc0\\xaf\\xe0\\x80\\xaf"},  // overlong
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},                    // a UTF-16 surrogate
      {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},           // above U+10FFFF
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Shown);
    EXPECT_EQ(EscapedReportLine(C.Line), C.Shown);
  }
}

// The original bytes of an escaped line.
std::string ReadBack(const std::string& Shown) {
  std::string Out;
  for (size_t I = 0; I < Shown.size(); ++I) {
    if (Shown[I] != '\\') {
      Out += Shown[I];
    } else if (Shown[++I] == 'x') {
      Out += static_cast<char>(std::stoi(Shown.substr(I + 1, 2), nullptr, 16));
      I += 2;
    } else {
      Out += Shown[I] == 'n' ? '\n' : Shown[I] == 'r' ? '\r' : Shown[I] == 't' ? '\t' : Shown[I];
    }
  }
  return Out;
}

// Whatever the bytes, the escaped line has no control byte, and the bytes can be read back.
TEST(ReportText, EveryPairOfBytesIsOneLineThatReadsBack) {
  for (int A = 0; A < 256; ++A)
    for (int B = 0; B < 256; ++B) {
      const std::string Line = {static_cast<char>(A), static_cast<char>(B), 'z'};
      const std::string Shown = EscapedReportLine(Line);
      for (char C : Shown)
        ASSERT_FALSE(static_cast<unsigned char>(C) < 0x20 || C == 0x7F) << A << " " << B;
      ASSERT_EQ(ReadBack(Shown), Line) << A << " " << B;
    }
}

}  // namespace
