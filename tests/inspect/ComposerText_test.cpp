// The composer's live line and the characters marked in it, for texts in each coding and mode.
#include "inspect/ComposerText.h"

#include <gtest/gtest.h>

namespace {

TEST(ComposerText, SaysWhatTheTextBecomes) {
  using enum TTextCoding;
  using enum TLongMessageMode;
  const std::string A200(200, 'a'), A300(300, 'a'), A330(330, 'a'), A500(500, 'a');
  const std::string TooLong(256 * 153, 'a');
  const struct {
    std::string Text;
    TTextCoding Coding;
    TLongMessageMode Mode;
    std::string Line, Error;
    std::vector<TTextSpan> Unfit;
  } Cases[] = {
      {"Hello", tcGsm, lmUdh, "1 part · GSM · 5 septets", "", {}},
      {"", tcAuto, lmSar, "1 part · GSM · 0 septets", "", {}},
      {"a€b", tcGsm, lmUdh, "1 part · GSM · 4 septets", "", {}},
      {A200, tcGsm, lmUdh, "2 parts · GSM · 153 + 47 septets", "", {}},
      {A200, tcGsm, lmUdh16, "2 parts · GSM · 152 + 48 septets", "", {}},
      {A500, tcAuto, lmSar, "4 parts · GSM · 153 × 3 + 41 septets", "", {}},
      {A330, tcGsm, lmSplit, "3 messages · GSM · 160 × 2 + 10 septets", "", {}},
      {A300, tcGsm, lmPayload, "1 message · payload · GSM · 300 octets", "", {}},
      {"Привет мир!", tcAuto, lmUdh, "1 part · UCS-2 · 11 characters", "", {}},
      {"Привет мир!", tcUcs2, lmPayload, "1 part · UCS-2 · 11 characters", "", {}},
      {"😀", tcUcs2, lmUdh, "1 part · UCS-2 · 2 characters", "", {}},
      {"é", tcLatin1, lmUdh, "1 part · Latin-1 · 1 character", "", {}},
      {"Ü", tcBytes, lmUdh, "1 part · bytes · 2 octets", "", {}},
      {"aПb😀c",
       tcGsm,
       lmUdh,
       "",
       "character 2 of the text (U+041F \"П\") does not fit the GSM alphabet",
       {{1, 1}, {3, 2}}},
      {"é€",
       tcLatin1,
       lmUdh,
       "",
       "character 2 of the text (U+20AC \"€\") does not fit Latin-1",
       {{1, 1}}},
      {"a\xFF"
       "b",
       tcAuto,
       lmUdh,
       "",
       "the text is not valid UTF-8 at byte 2",
       {{1, 1}}},
      {TooLong,
       tcGsm,
       lmUdh,
       "",
       "the message needs 256 parts, more than the 255 of a concatenated message",
       {}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Text.substr(0, 20) + " / " + std::string(TextCodingWord(C.Coding)) + " / " +
                 std::string(LongMessageModeWord(C.Mode)));
    const TComposerText R = ComposeText(C.Text, C.Coding, C.Mode);
    EXPECT_EQ(R.Line, C.Line);
    EXPECT_EQ(R.Error, C.Error);
    EXPECT_EQ(R.Unfit, C.Unfit);
    EXPECT_EQ(R.Ok, C.Error.empty());
  }
}

}  // namespace
