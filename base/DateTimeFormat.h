// The application-wide default date and time formats, and the formatting of local date and time
// with them, as report timestamps use it.
//
// A format is a pattern of tokens: "yyyy" (four-digit year), "yy" (two-digit year), "mm" (month,
// or minutes right after an "hh" token), "dd" (day), "hh" (hour 00-23), "nn" (minutes), "ss"
// (seconds), "/" (the date separator), ":" (the time separator); any other character stands for
// itself. A separator of '\0' means none: the token then produces nothing.
//
// Threads: every function may be called from any thread; the formats are read and written whole
// under one lock.
#pragma once

#include <ctime>
#include <string>

struct TDateTimeFormats {
  std::string ShortDateFormat = "dd/mm/yyyy";
  std::string LongTimeFormat = "hh:nn:ss";
  char DateSeparator = '/';
  char TimeSeparator = ':';
};

// The current application-wide formats (a copy).
TDateTimeFormats DefaultDateTimeFormats();
// Replaces the application-wide formats.
void SetDefaultDateTimeFormats(const TDateTimeFormats& Formats);

// Formats the broken-down local time with one pattern and the separators of Formats.
std::string FormatDateTime(const std::string& Pattern, const std::tm& Time,
                           const TDateTimeFormats& Formats);

// The date and time text of the defaults: ShortDateFormat, a space, LongTimeFormat.
std::string DateTimeToStr(const std::tm& Time);
// DateTimeToStr of the local time now.
std::string NowToStr();
