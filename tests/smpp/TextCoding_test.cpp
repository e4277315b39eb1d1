// Tests of the text codec: the GSM tables both ways, Latin-1 and UCS-2 with surrogates, Auto, and
// the refusal of what a coding cannot carry.
#include "smpp/TextCoding.h"

#include <gtest/gtest.h>

#include <random>

#include "PduTestUtil.h"

namespace {

// The GSM 03.38 default alphabet in septet order, written out as text (the escape at 0x1B).
const std::string kGsmAlphabet =
    "@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞ\x1B"
    "ÆæßÉ "
    "!\"#¤%&'()*+,-./0123456789:;<=>?¡ABCDEFGHIJKLMNOPQRSTUVWXYZÄÖÑÜ§¿abcdefghijklmnopqrstuvwxy"
    "zäöñüà";
// The extension table: each character and the code after the escape.
const struct {
  const char* Char;
  uint8_t Code;
} kGsmExtensionTable[] = {{"\f", 0x0A}, {"^", 0x14}, {"{", 0x28}, {"}", 0x29}, {"\\", 0x2F},
                          {"[", 0x3C},  {"~", 0x3D}, {"]", 0x3E}, {"|", 0x40}, {"€", 0x65}};

std::string Encoded(std::string_view text, TTextCoding coding) {
  TEncodedText out;
  std::string error;
  EXPECT_TRUE(EncodeText(text, coding, out, error)) << error;
  return ToHex(reinterpret_cast<const uint8_t*>(out.Octets.data()), out.Octets.size());
}

std::string Decoded(const Bytes& octets, TTextCoding coding) {
  return DecodeUserText(octets.data(), octets.size(), coding);
}

TEST(TextCoding, EveryGsmCharacterBothWays) {
  size_t i = 0;
  for (int septet = 0; septet < 128; ++septet) {
    // One character of the alphabet text, however many UTF-8 bytes it has.
    const size_t n = Utf8Prefix(std::string_view(kGsmAlphabet).substr(i), 1);
    const std::string ch = kGsmAlphabet.substr(i, n);
    i += n;
    if (septet == kGsmEscape) continue;
    SCOPED_TRACE(septet);
    EXPECT_EQ(Encoded(ch, TTextCoding::tcGsm), ToHex(Bytes{static_cast<uint8_t>(septet)}));
    EXPECT_EQ(Decoded({static_cast<uint8_t>(septet)}, TTextCoding::tcGsm), ch);
  }
  EXPECT_EQ(i, kGsmAlphabet.size());
  for (const auto& e : kGsmExtensionTable) {
    SCOPED_TRACE(e.Char);
    EXPECT_EQ(Encoded(e.Char, TTextCoding::tcGsm), ToHex(Bytes{kGsmEscape, e.Code}));
    EXPECT_EQ(Decoded({kGsmEscape, e.Code}, TTextCoding::tcGsm), e.Char);
  }
}

// The GSM reading spelled out one septet at a time from the per-character tables, as the decoder
// must read: an escape takes the next octet (its extension character, else its own), an escape at
// the end is a space, an octet above 0x7F is '?'.
std::string GsmReference(const Bytes& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != kGsmEscape)
      AppendUtf8(out, GsmCharOf(s[i]));
    else if (i + 1 == s.size())
      out += ' ';
    else
      ++i, AppendUtf8(out, GsmExtensionCharOf(s[i]).value_or(GsmCharOf(s[i])));
  }
  return out;
}

TEST(TextCoding, GsmDecodesEveryOctetAsTheReferenceDoes) {
  std::vector<Bytes> inputs = {{}, {kGsmEscape}, {kGsmEscape, kGsmEscape, kGsmEscape}};
  for (int o = 0; o < 256; ++o) {
    inputs.push_back({static_cast<uint8_t>(o)});
    inputs.push_back({kGsmEscape, static_cast<uint8_t>(o)});
  }
  // Random texts up to several hundred octets, one in four an escape, so pairs fall anywhere.
  std::mt19937 rng(16);
  for (int n = 0; n < 2000; ++n) {
    Bytes s(rng() % 700);
    for (uint8_t& o : s) o = rng() % 4 == 0 ? kGsmEscape : static_cast<uint8_t>(rng());
    inputs.push_back(std::move(s));
  }
  for (const Bytes& s : inputs) {
    SCOPED_TRACE(s.size() <= 3 ? ToHex(s) : std::to_string(s.size()) + " octets");
    ASSERT_EQ(Decoded(s, TTextCoding::tcGsm), GsmReference(s));
    ASSERT_EQ(DecodeUserData(s.data(), s.size(), kDataCodingDefault, TTextCoding::tcGsm),
              GsmReference(s));
  }
}

TEST(TextCoding, EncodesEachCoding) {
  struct Case {
    const char* Text;
    TTextCoding Coding;
    TTextCoding Chosen;
    uint8_t DataCoding;
    const char* Hex;
    size_t Units;
  };
  const Case cases[] = {
      // Bytes go as given, whatever they are.
      {"h\xC3\xA9\xFF", TTextCoding::tcBytes, TTextCoding::tcBytes, 0, "68 C3 A9 FF", 4},
      {"a{€}", TTextCoding::tcGsm, TTextCoding::tcGsm, 0, "61 1B 28 1B 65 1B 29", 7},
      {"café ÿ", TTextCoding::tcLatin1, TTextCoding::tcLatin1, 3, "63 61 66 E9 20 FF", 6},
      {"\x7F\u0080", TTextCoding::tcLatin1, TTextCoding::tcLatin1, 3, "7F 80", 2},
      // An emoji is a surrogate pair: two units.
      {"a😀é", TTextCoding::tcUcs2, TTextCoding::tcUcs2, 8, "00 61 D8 3D DE 00 00 E9", 4},
      {"\uFFFF\U00010000\U0010FFFF", TTextCoding::tcUcs2, TTextCoding::tcUcs2, 8,
       "FF FF D8 00 DC 00 DB FF DF FF", 5},
      // Auto: GSM when everything fits, extension characters included; UCS-2 otherwise.
      {"Hello [€]", TTextCoding::tcAuto, TTextCoding::tcGsm, 0,
       "48 65 6C 6C 6F 20 1B 3C 1B 65 1B 3E", 12},
      {"Hello ç", TTextCoding::tcAuto, TTextCoding::tcUcs2, 8,
       "00 48 00 65 00 6C 00 6C 00 6F 00 20 00 E7", 7},
      {"", TTextCoding::tcAuto, TTextCoding::tcGsm, 0, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    TEncodedText out;
    std::string error;
    ASSERT_TRUE(EncodeText(c.Text, c.Coding, out, error)) << error;
    EXPECT_EQ(out.Coding, c.Chosen);
    EXPECT_EQ(out.DataCoding, c.DataCoding);
    EXPECT_EQ(ToHex(reinterpret_cast<const uint8_t*>(out.Octets.data()), out.Octets.size()), c.Hex);
    EXPECT_EQ(out.Units(), c.Units);
    // What is sent reads back as the same text.
    if (c.Chosen != TTextCoding::tcBytes) {
      EXPECT_EQ(DecodeUserText(reinterpret_cast<const uint8_t*>(out.Octets.data()),
                               out.Octets.size(), out.Coding),
                c.Text);
    }
  }
}

TEST(TextCoding, RefusesWhatDoesNotFit) {
  struct Case {
    const char* Text;
    TTextCoding Coding;
    const char* Error;
  };
  const Case cases[] = {
      {"ab€", TTextCoding::tcLatin1, "character 3 of the text (U+20AC \"€\") does not fit Latin-1"},
      {"Ā", TTextCoding::tcLatin1, "character 1 of the text (U+0100 \"Ā\") does not fit Latin-1"},
      {"ça", TTextCoding::tcGsm,
       "character 1 of the text (U+00E7 \"ç\") does not fit the GSM alphabet"},
      {"a😀", TTextCoding::tcGsm,
       "character 2 of the text (U+1F600 \"😀\") does not fit the GSM alphabet"},
      {"a\tb", TTextCoding::tcGsm,
       "character 2 of the text (U+0009) does not fit the GSM alphabet"},
      // U+00A0 has no septet although a reader shows the escape as one.
      {"\u00A0", TTextCoding::tcGsm,
       "character 1 of the text (U+00A0 \"\u00A0\") does not fit the GSM alphabet"},
      // Not UTF-8: a lone continuation, a cut sequence, an overlong form, a surrogate, past
      // U+10FFFF.
      {"ab\x80", TTextCoding::tcUcs2, "the text is not valid UTF-8 at byte 3"},
      {"\xC3", TTextCoding::tcAuto, "the text is not valid UTF-8 at byte 1"},
      {"a\xC0\xAF", TTextCoding::tcLatin1, "the text is not valid UTF-8 at byte 2"},
      {"\xED\xA0\x80", TTextCoding::tcUcs2, "the text is not valid UTF-8 at byte 1"},
      {"\xF4\x90\x80\x80", TTextCoding::tcUcs2, "the text is not valid UTF-8 at byte 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    TEncodedText out;
    std::string error;
    EXPECT_FALSE(EncodeText(c.Text, c.Coding, out, error));
    EXPECT_EQ(error, c.Error);
    EXPECT_TRUE(out.Octets.empty());
  }
}

TEST(TextCoding, DecodesWhatArrivesWithoutLosingTheRest) {
  struct Case {
    Bytes Octets;
    TTextCoding Coding;
    std::string Text;
  };
  const Case cases[] = {
      // An escape before a code the extension table lacks shows that code; at the end, a space.
      {{0x1B, 0x41, 0x62, 0x1B}, TTextCoding::tcGsm, "Ab "},
      {{0x80, 0x40, 0x00}, TTextCoding::tcGsm, "?¡@"},
      {{0xE9, 0x00, 0x41}, TTextCoding::tcLatin1, std::string("é\0A", 4)},
      // A lone surrogate is '?'; a last odd octet is dropped.
      {{0xD8, 0x3D, 0x00, 0x41, 0xDE, 0x00, 0x00}, TTextCoding::tcUcs2, "?A?"},
      {{0xD8, 0x3D, 0xDE, 0x00}, TTextCoding::tcUcs2, "😀"},
      {{0xFF, 0x00}, TTextCoding::tcBytes, std::string("\xFF\0", 2)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ToHex(c.Octets));
    EXPECT_EQ(Decoded(c.Octets, c.Coding), c.Text);
  }
}

}  // namespace
