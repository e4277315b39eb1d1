// SMPP time texts: two digits per field, checked before they are written.
#include "inspect/SmppTime.h"

namespace {

void PutTwo(std::string& Out, int Value) {
  Out += char('0' + Value / 10);
  Out += char('0' + Value % 10);
}

bool Within(int Value, int Low, int High) {
  return Value >= Low && Value <= High;
}

int DaysInMonth(int Year, int Month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  // Every year from 2000 to 2099 divisible by four is a leap year, 2000 included.
  return Month == 2 && Year % 4 == 0 ? 29 : kDays[Month - 1];
}

}  // namespace

std::optional<std::string> RelativeSmppTime(const TSmppSpan& Span) {
  const int Fields[] = {Span.Years, Span.Months, Span.Days, Span.Hours, Span.Minutes, Span.Seconds};
  std::string Out;
  for (int F : Fields) {
    if (!Within(F, 0, 99)) return std::nullopt;
    PutTwo(Out, F);
  }
  return Out + "000R";
}

std::optional<std::string> AbsoluteSmppTime(const TSmppDateTime& T) {
  if (!Within(T.Year, 2000, 2099) || !Within(T.Month, 1, 12) ||
      !Within(T.Day, 1, DaysInMonth(T.Year, T.Month)) || !Within(T.Hour, 0, 23) ||
      !Within(T.Minute, 0, 59) || !Within(T.Second, 0, 59) || !Within(T.Tenths, 0, 9) ||
      T.UtcOffsetMinutes % 15 != 0 || !Within(T.UtcOffsetMinutes, -12 * 60, 12 * 60))
    return std::nullopt;
  std::string Out;
  for (int F : {T.Year - 2000, T.Month, T.Day, T.Hour, T.Minute, T.Second}) PutTwo(Out, F);
  Out += char('0' + T.Tenths);
  const int Quarters = T.UtcOffsetMinutes / 15;
  PutTwo(Out, Quarters < 0 ? -Quarters : Quarters);
  Out += Quarters < 0 ? '-' : '+';
  return Out;
}
