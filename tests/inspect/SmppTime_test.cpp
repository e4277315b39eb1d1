// SMPP time texts made from a duration or a date and time, and read back by TimeMeaning.
#include "inspect/SmppTime.h"

#include <gtest/gtest.h>

#include "inspect/FieldMeanings.h"

namespace {

TEST(SmppTime, WritesRelativeTimesAndRefusesFieldsPastTwoDigits) {
  const struct {
    TSmppSpan Span;
    const char* Text;  // empty: refused
    const char* Meaning;
  } Cases[] = {
      {{0, 0, 1, 2, 30, 0}, "000001023000000R", "relative: 1 day, 2 hours, 30 minutes"},
      {{99, 99, 99, 99, 99, 99}, "999999999999000R", nullptr},
      {{}, "000000000000000R", "relative: now"},
      {{0, 0, 100, 0, 0, 0}, "", nullptr},
      {{0, 0, 0, 0, -1, 0}, "", nullptr},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Text);
    const std::optional<std::string> Text = RelativeSmppTime(C.Span);
    EXPECT_EQ(Text.value_or(""), C.Text);
    if (C.Meaning) {
      EXPECT_EQ(TimeMeaning(*Text), C.Meaning);
    }
  }
}

TEST(SmppTime, WritesAbsoluteTimesWithTheOffsetInQuarterHours) {
  const struct {
    TSmppDateTime Time;
    const char* Text;  // empty: refused
    const char* Meaning;
  } Cases[] = {
      {{2026, 12, 31, 23, 59, 59, 0, 120},
       "261231235959008+",
       "absolute: 2026-12-31 23:59:59.0 UTC+02:00"},
      {{2000, 2, 29, 0, 0, 0, 7, -570},
       "000229000000738-",
       "absolute: 2000-02-29 00:00:00.7 UTC-09:30"},
      {{2099, 1, 1, 0, 0, 0, 0, 0}, "990101000000000+", nullptr},
      {{2028, 1, 1, 0, 0, 0, 0, 12 * 60}, "280101000000048+", nullptr},
      {{2027, 2, 29, 0, 0, 0, 0, 0}, "", nullptr},       // not a leap year
      {{2026, 4, 31, 0, 0, 0, 0, 0}, "", nullptr},       // April has 30 days
      {{2100, 1, 1, 0, 0, 0, 0, 0}, "", nullptr},        // three digits of year
      {{2026, 1, 1, 24, 0, 0, 0, 0}, "", nullptr},       // no hour 24
      {{2026, 1, 1, 0, 0, 0, 10, 0}, "", nullptr},       // tenths 0 to 9
      {{2026, 1, 1, 0, 0, 0, 0, 20}, "", nullptr},       // not whole quarters
      {{2026, 1, 1, 0, 0, 0, 0, 14 * 60}, "", nullptr},  // past 48 quarters
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Text);
    const std::optional<std::string> Text = AbsoluteSmppTime(C.Time);
    EXPECT_EQ(Text.value_or(""), C.Text);
    if (C.Meaning) {
      EXPECT_EQ(TimeMeaning(*Text), C.Meaning);
    }
  }
}

}  // namespace
