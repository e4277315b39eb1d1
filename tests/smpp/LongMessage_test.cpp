// Tests of long messages: part boundaries of every coding and mode (escape and surrogate pairs at
// a boundary), headers and SAR values, the limits, Send's plan, and reading a received header.
#include "smpp/LongMessage.h"

#include <gtest/gtest.h>

#include "PduTestUtil.h"

namespace {

std::string Repeat(std::string_view s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

std::string Lengths(const std::vector<TMessagePart>& parts) {
  std::string s;
  for (const TMessagePart& p : parts) s += (s.empty() ? "" : ",") + std::to_string(p.Length);
  return s;
}

std::string HexOf(std::string_view s) {
  return ToHex(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

TEST(LongMessage, CutsAtTheBoundariesOfEachCoding) {
  const std::string emoji = "😀";  // two UCS-2 units
  struct Case {
    std::string Text;
    TTextCoding Coding;
    TLongMessageMode Mode;
    const char* Lengths;
  };
  const Case cases[] = {
      {Repeat("a", 160), TTextCoding::tcGsm, TLongMessageMode::lmUdh, "160"},
      {Repeat("a", 161), TTextCoding::tcGsm, TLongMessageMode::lmUdh, "153,8"},
      {Repeat("a", 306), TTextCoding::tcGsm, TLongMessageMode::lmUdh, "153,153"},
      {Repeat("a", 307), TTextCoding::tcGsm, TLongMessageMode::lmUdh, "153,153,1"},
      // An escape pair that would straddle the boundary moves whole into the next part.
      {Repeat("a", 152) + "€" + Repeat("a", 10), TTextCoding::tcGsm, TLongMessageMode::lmUdh,
       "152,12"},
      {Repeat("a", 151) + "€" + Repeat("a", 10), TTextCoding::tcGsm, TLongMessageMode::lmUdh,
       "153,10"},
      // Escape pairs count two septets, also for fitting in one message.
      {Repeat("€", 80), TTextCoding::tcGsm, TLongMessageMode::lmUdh, "160"},
      {Repeat("€", 81), TTextCoding::tcGsm, TLongMessageMode::lmUdh, "152,10"},
      {Repeat("a", 161), TTextCoding::tcGsm, TLongMessageMode::lmUdh16, "152,9"},
      {Repeat("a", 161), TTextCoding::tcGsm, TLongMessageMode::lmSar, "153,8"},
      {Repeat("a", 161), TTextCoding::tcGsm, TLongMessageMode::lmSplit, "160,1"},
      {Repeat("a", 161), TTextCoding::tcGsm, TLongMessageMode::lmPayload, "161"},
      // Bytes are counted like septets and never kept in pairs.
      {Repeat("\x1B", 161), TTextCoding::tcBytes, TLongMessageMode::lmUdh, "153,8"},
      {Repeat("é", 140), TTextCoding::tcLatin1, TLongMessageMode::lmUdh, "140"},
      {Repeat("é", 141), TTextCoding::tcLatin1, TLongMessageMode::lmUdh, "134,7"},
      {Repeat("é", 141), TTextCoding::tcLatin1, TLongMessageMode::lmUdh16, "133,8"},
      {Repeat("Ж", 70), TTextCoding::tcUcs2, TLongMessageMode::lmUdh, "70"},
      {Repeat("Ж", 71), TTextCoding::tcUcs2, TLongMessageMode::lmUdh, "67,4"},
      {Repeat("Ж", 71), TTextCoding::tcUcs2, TLongMessageMode::lmUdh16, "66,5"},
      {Repeat("Ж", 71), TTextCoding::tcUcs2, TLongMessageMode::lmSplit, "70,1"},
      // A surrogate pair that would straddle the boundary moves whole into the next part.
      {Repeat("Ж", 66) + emoji + Repeat("Ж", 3), TTextCoding::tcUcs2, TLongMessageMode::lmUdh,
       "66,5"},
      {Repeat("Ж", 65) + emoji + Repeat("Ж", 4), TTextCoding::tcUcs2, TLongMessageMode::lmUdh,
       "67,4"},
      {Repeat(emoji, 35), TTextCoding::tcUcs2, TLongMessageMode::lmUdh, "70"},
      {Repeat(emoji, 36), TTextCoding::tcUcs2, TLongMessageMode::lmUdh, "66,6"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    TEncodedText text;
    std::string error;
    ASSERT_TRUE(EncodeText(c.Text, c.Coding, text, error)) << error;
    std::vector<TMessagePart> parts;
    ASSERT_TRUE(SplitMessage(text, c.Mode, 7, parts, error)) << error;
    EXPECT_EQ(Lengths(parts), c.Lengths);
    // The parts' texts, joined, are the whole text.
    std::string joined;
    for (const TMessagePart& p : parts)
      joined += p.Payload.empty()
                    ? p.ShortMessage.substr(p.ShortMessage.size() -
                                            p.Length * (c.Coding == TTextCoding::tcUcs2 ? 2 : 1))
                    : p.Payload;
    EXPECT_EQ(joined, text.Octets);
  }
}

TEST(LongMessage, TiesThePartsTogetherByMode) {
  TEncodedText text;
  std::string error;
  ASSERT_TRUE(EncodeText(Repeat("a", 200), TTextCoding::tcGsm, text, error));
  struct Case {
    TLongMessageMode Mode;
    uint8_t EsmClass;
    const char* Header1;  // the first octets of each part's short message
    const char* Header2;
    uint8_t SarTotal;
  };
  const Case cases[] = {
      {TLongMessageMode::lmUdh, 0x40, "05 00 03 7B 02 01 61", "05 00 03 7B 02 02 61", 0},
      {TLongMessageMode::lmUdh16, 0x40, "06 08 04 01 7B 02 01 61", "06 08 04 01 7B 02 02 61", 0},
      {TLongMessageMode::lmSar, 0x00, "61", "61", 2},
      {TLongMessageMode::lmSplit, 0x00, "61", "61", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(LongMessageModeWord(c.Mode));
    std::vector<TMessagePart> parts;
    ASSERT_TRUE(SplitMessage(text, c.Mode, 0x017B, parts, error)) << error;
    ASSERT_EQ(parts.size(), 2u);
    const size_t n = (std::string_view(c.Header1).size() + 1) / 3;
    EXPECT_EQ(HexOf(parts[0].ShortMessage.substr(0, n)), c.Header1);
    EXPECT_EQ(HexOf(parts[1].ShortMessage.substr(0, n)), c.Header2);
    for (size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(parts[i].EsmClass, c.EsmClass);
      EXPECT_EQ(parts[i].SarTotal, c.SarTotal);
      EXPECT_EQ(parts[i].SarSeq, c.SarTotal ? i + 1 : 0);
      EXPECT_EQ(parts[i].SarRef, c.SarTotal ? 0x017B : 0);
      EXPECT_TRUE(parts[i].Payload.empty());
    }
  }
}

TEST(LongMessage, RefusesWhatNoMessageCarries) {
  struct Case {
    size_t Septets;
    TLongMessageMode Mode;
    const char* Error;  // empty: accepted
  };
  const Case cases[] = {
      {255 * 153, TLongMessageMode::lmUdh, ""},
      {255 * 153 + 1, TLongMessageMode::lmUdh,
       "the message needs 256 parts, more than the 255 of a concatenated message"},
      {255 * 153 + 1, TLongMessageMode::lmSar,
       "the message needs 256 parts, more than the 255 of a concatenated message"},
      {kMaxPayloadOctets, TLongMessageMode::lmPayload, ""},
      {kMaxPayloadOctets + 1, TLongMessageMode::lmPayload,
       "the message has 9001 octets, more than the 9000 one message_payload carries"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Septets);
    TEncodedText text;
    std::string error;
    ASSERT_TRUE(EncodeText(std::string(c.Septets, 'x'), TTextCoding::tcGsm, text, error));
    std::vector<TMessagePart> parts;
    EXPECT_EQ(SplitMessage(text, c.Mode, 1, parts, error), *c.Error == 0);
    EXPECT_EQ(error, c.Error);
  }
}

TEST(LongMessage, PlansWhatSendSubmits) {
  const std::string trailer = "  SMPP test client v1.0";
  struct Case {
    std::string Text;
    TTextCoding Coding;
    TLongMessageMode Mode;
    const char* Lengths;
    const char* Error;
  };
  const Case cases[] = {
      // The split mode keeps the cut to 160 (bytes, or characters) before the trailer.
      {Repeat("a", 10), TTextCoding::tcBytes, TLongMessageMode::lmSplit, "33", ""},
      {Repeat("a", 150), TTextCoding::tcBytes, TLongMessageMode::lmSplit, "160,13", ""},
      {Repeat("a", 300), TTextCoding::tcBytes, TLongMessageMode::lmSplit, "160,23", ""},
      {Repeat("é", 300), TTextCoding::tcBytes, TLongMessageMode::lmSplit, "160,23", ""},
      {Repeat("é", 300), TTextCoding::tcGsm, TLongMessageMode::lmSplit, "160,23", ""},
      {Repeat("Ж", 300), TTextCoding::tcUcs2, TLongMessageMode::lmSplit, "70,70,43", ""},
      // Other modes send the whole text.
      {Repeat("a", 300), TTextCoding::tcAuto, TLongMessageMode::lmUdh, "153,153,17", ""},
      {"€", TTextCoding::tcLatin1, TLongMessageMode::lmUdh, "",
       "character 1 of the text (U+20AC \"€\") does not fit Latin-1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    TMessagePlan plan;
    std::string error;
    EXPECT_EQ(PlanMessage(c.Text, trailer, c.Coding, c.Mode, 1, plan, error), *c.Error == 0);
    EXPECT_EQ(error, c.Error);
    EXPECT_EQ(Lengths(plan.Parts), c.Lengths);
  }
}

TEST(LongMessage, ReadsTheConcatenationOfAReceivedHeader) {
  struct Case {
    const char* Hex;
    bool Ok;
    size_t HeaderLength;
    uint16_t Reference;
    uint8_t Total, Seq;
  };
  const Case cases[] = {
      {"05 00 03 7B 03 02 61", true, 6, 0x7B, 3, 2},
      {"06 08 04 01 7B 03 03", true, 7, 0x017B, 3, 3},
      // Another element first (application port), then the concatenation.
      {"0B 05 04 0B 84 23 F0 00 03 09 02 01 61", true, 12, 9, 2, 1},
      // Part numbers that tie nothing: 0, or past the count.
      {"05 00 03 7B 03 00", true, 6, 0, 0, 0},
      {"05 00 03 7B 02 03", true, 6, 0, 0, 0},
      // An element that runs past the header ends the walk; a header past the data is refused.
      {"05 00 04 7B 02 01 61", true, 6, 0, 0, 0},
      {"05 00 03 7B 02", false, 0, 0, 0, 0},
      {"", false, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Hex);
    const Bytes data = Hex(c.Hex);
    size_t length = 99;
    TConcatInfo concat{1, 1, 1};
    EXPECT_EQ(ReadUserDataHeader(data.data(), data.size(), length, concat), c.Ok);
    EXPECT_EQ(length, c.HeaderLength);
    EXPECT_EQ(concat.Reference, c.Reference);
    EXPECT_EQ(concat.Total, c.Total);
    EXPECT_EQ(concat.Seq, c.Seq);
  }
}

}  // namespace
