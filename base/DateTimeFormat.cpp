// The application-wide date and time formats and their token formatter.
#include "base/DateTimeFormat.h"

#include <mutex>

namespace {

// Never destroyed, so that a thread formatting a timestamp during program end still finds them.
std::mutex& FormatsLock() {
  static auto* Lock = new std::mutex;
  return *Lock;
}
TDateTimeFormats& Formats() {
  static auto* Value = new TDateTimeFormats;
  return *Value;
}

void AppendNumber(std::string& Out, int Value, int Digits) {
  char Buf[16];
  int Len = 0;
  unsigned V = Value < 0 ? 0u : static_cast<unsigned>(Value);
  do {
    Buf[Len++] = static_cast<char>('0' + V % 10);
    V /= 10;
  } while (V && Len < 15);
  while (Len < Digits) Buf[Len++] = '0';
  while (Len) Out.push_back(Buf[--Len]);
}

bool StartsWith(const std::string& Text, size_t Pos, const char* Token) {
  return Text.compare(Pos, std::char_traits<char>::length(Token), Token) == 0;
}

}  // namespace

TDateTimeFormats DefaultDateTimeFormats() {
  std::lock_guard<std::mutex> Guard(FormatsLock());
  return Formats();
}

void SetDefaultDateTimeFormats(const TDateTimeFormats& Value) {
  std::lock_guard<std::mutex> Guard(FormatsLock());
  Formats() = Value;
}

std::string FormatDateTime(const std::string& Pattern, const std::tm& Time,
                           const TDateTimeFormats& F) {
  std::string Out;
  Out.reserve(Pattern.size() + 4);
  bool AfterHour = false;
  for (size_t I = 0; I < Pattern.size();) {
    if (StartsWith(Pattern, I, "yyyy")) {
      AppendNumber(Out, Time.tm_year + 1900, 4), I += 4, AfterHour = false;
    } else if (StartsWith(Pattern, I, "yy")) {
      AppendNumber(Out, (Time.tm_year + 1900) % 100, 2), I += 2, AfterHour = false;
    } else if (StartsWith(Pattern, I, "mm")) {
      AppendNumber(Out, AfterHour ? Time.tm_min : Time.tm_mon + 1, 2), I += 2, AfterHour = false;
    } else if (StartsWith(Pattern, I, "dd")) {
      AppendNumber(Out, Time.tm_mday, 2), I += 2, AfterHour = false;
    } else if (StartsWith(Pattern, I, "hh")) {
      AppendNumber(Out, Time.tm_hour, 2), I += 2, AfterHour = true;
    } else if (StartsWith(Pattern, I, "nn")) {
      AppendNumber(Out, Time.tm_min, 2), I += 2, AfterHour = false;
    } else if (StartsWith(Pattern, I, "ss")) {
      AppendNumber(Out, Time.tm_sec, 2), I += 2, AfterHour = false;
    } else if (Pattern[I] == '/') {
      if (F.DateSeparator) Out.push_back(F.DateSeparator);
      ++I;
    } else if (Pattern[I] == ':') {
      // The minutes of "hh:mm" are still minutes across the separator.
      if (F.TimeSeparator) Out.push_back(F.TimeSeparator);
      ++I;
    } else {
      Out.push_back(Pattern[I++]);
      AfterHour = false;
    }
  }
  return Out;
}

std::string DateTimeToStr(const std::tm& Time) {
  const TDateTimeFormats F = DefaultDateTimeFormats();
  return FormatDateTime(F.ShortDateFormat, Time, F) + " " +
         FormatDateTime(F.LongTimeFormat, Time, F);
}

std::string NowToStr() {
  std::time_t Now = std::time(nullptr);
  std::tm Local{};
  localtime_r(&Now, &Local);
  return DateTimeToStr(Local);
}
