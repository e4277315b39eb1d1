// SMPP time texts as schedule_delivery_time and validity_period carry them, made from what a
// tester picks: a duration becomes a relative time "YYMMDDhhmmss000R", a date and time with its
// offset from UTC an absolute one "YYMMDDhhmmsstnnp" (nn the offset in quarter hours, p '+' or
// '-'). TimeMeaning (inspect/FieldMeanings.h) reads them back.
//
// Pure: any thread may call them, several at once.
#pragma once

#include <optional>
#include <string>

// A relative time, field by field as the text carries it: each 0 to 99.
struct TSmppSpan {
  int Years = 0, Months = 0, Days = 0, Hours = 0, Minutes = 0, Seconds = 0;
};

// A date and time as a clock in the zone UtcOffsetMinutes away from UTC shows it.
struct TSmppDateTime {
  int Year = 2000, Month = 1, Day = 1, Hour = 0, Minute = 0, Second = 0, Tenths = 0;
  int UtcOffsetMinutes = 0;
};

// "YYMMDDhhmmss000R"; nothing when a field is outside 0 to 99.
std::optional<std::string> RelativeSmppTime(const TSmppSpan& Span);
// "YYMMDDhhmmsstnnp"; nothing when the year is outside 2000 to 2099 (the text keeps two digits),
// the date or time does not exist, or the offset is not a whole number of quarter hours within
// 12 hours of UTC (the text holds 00 to 48 quarters).
std::optional<std::string> AbsoluteSmppTime(const TSmppDateTime& Time);
