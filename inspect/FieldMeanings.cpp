// The meanings of field values: tables of names where SMPP 3.4 names each value, and small
// readers for the fields built of bits or digits.
#include "inspect/FieldMeanings.h"

#include <iterator>
#include <string_view>

#include "smpp/smpppdu.h"

namespace {

// The names are views, so that making a text of one needs no search for its end.
using std::string_view_literals::operator""sv;

// A value and its name, for the tables that are searched rather than indexed.
template <typename T>
struct TNamed {
  T Value;
  std::string_view Name;
};

// The name of Value in Table, or empty.
template <typename T, size_t N>
std::string_view Find(const TNamed<T> (&Table)[N], T Value) {
  for (const TNamed<T>& Entry : Table)
    if (Entry.Value == Value) return Entry.Name;
  return {};
}

// The name at Value of an indexed table, or Otherwise past its end or at a gap (an empty name).
template <size_t N>
std::string Indexed(const std::string_view (&Table)[N], size_t Value,
                    std::string_view Otherwise = "reserved"sv) {
  return std::string(Value < N && !Table[Value].empty() ? Table[Value] : Otherwise);
}

constexpr TNamed<uint8_t> kNpis[] = {
    {0, "Unknown"},
    {1, "ISDN (E163/E164)"},
    {3, "Data (X.121)"},
    {4, "Telex (F.69)"},
    {6, "Land Mobile (E.212)"},
    {8, "National"},
    {9, "Private"},
    {10, "ERMES"},
    {14, "Internet (IP)"},
    {18, "WAP Client Id"},
};

constexpr std::string_view kDataCodings[] = {
    "SMSC default alphabet",
    "IA5 (CCITT T.50)/ASCII",
    "8-bit binary",
    "Latin-1 (ISO-8859-1)",
    "8-bit binary",
    "JIS (X 0208-1990)",
    "Cyrillic (ISO-8859-5)",
    "Latin/Hebrew (ISO-8859-8)",
    "UCS-2 (ISO/IEC-10646)",
    "pictogram encoding",
    "music codes (ISO-2022-JP)",
    {},
    {},
    "extended Kanji JIS (X 0212-1990)",
    "KS C 5601",
};

// Appends Part, if any, to Text, after "; " unless Text is empty.
void Join(std::string& Text, std::string_view Part) {
  if (Part.empty()) return;
  if (!Text.empty()) Text += "; ";
  Text += Part;
}

// The two-digit number at Text[At], which the caller has checked to be digits.
int TwoDigits(std::string_view Text, size_t At) {
  return (Text[At] - '0') * 10 + (Text[At + 1] - '0');
}

}  // namespace

std::string TonMeaning(uint8_t Ton) {
  static constexpr std::string_view kTons[] = {
      "Unknown",           "International", "National",   "Network Specific",
      "Subscriber Number", "Alphanumeric",  "Abbreviated"};
  return Indexed(kTons, Ton);
}

std::string NpiMeaning(uint8_t Npi) {
  const std::string_view Name = Find(kNpis, Npi);
  return std::string(Name.empty() ? "reserved"sv : Name);
}

std::string EsmClassMeaning(uint8_t EsmClass) {
  static constexpr std::string_view kModes[] = {"default SMSC mode", "datagram", "forward",
                                                "store and forward"};
  // The message type is bits 2 to 5; the SMSC sets the receipt types, the ESME the
  // acknowledgements.
  static constexpr std::string_view kTypes[] = {"default message type",
                                                "delivery receipt",
                                                "delivery acknowledgement",
                                                {},
                                                "manual/user acknowledgement",
                                                {},
                                                "conversation abort",
                                                {},
                                                "intermediate delivery notification"};
  std::string Text(kModes[EsmClass & 0x03]);
  Join(Text, Indexed(kTypes, (EsmClass & kEsmMessageTypeMask) >> 2, "reserved message type"));
  if (EsmClass & kEsmUdhi) Join(Text, "UDHI");
  if (EsmClass & 0x80) Join(Text, "reply path");
  return Text;
}

std::string RegisteredDeliveryMeaning(uint8_t RegisteredDelivery) {
  static constexpr std::string_view kReceipts[] = {
      "no SMSC delivery receipt", "SMSC delivery receipt on success or failure",
      "SMSC delivery receipt on failure", "reserved SMSC delivery receipt value"};
  static constexpr std::string_view kAcks[] = {{},
                                               "SME delivery acknowledgement",
                                               "SME manual/user acknowledgement",
                                               "SME delivery and manual/user acknowledgement"};
  std::string Text(kReceipts[RegisteredDelivery & 0x03]);
  Join(Text, kAcks[(RegisteredDelivery >> 2) & 0x03]);
  if (RegisteredDelivery & 0x10) Join(Text, "intermediate notification");
  if (RegisteredDelivery & 0xE0) Join(Text, "reserved bits set");
  return Text;
}

std::string DataCodingMeaning(uint8_t DataCoding) {
  if (DataCoding < 0xC0) return Indexed(kDataCodings, DataCoding);
  if (DataCoding >= 0xF0) {
    // Data coding and message class: bit 2 chooses 8-bit data over the default alphabet.
    static constexpr std::string_view kClasses[] = {"0 (immediate display)", "1 (mobile equipment)",
                                                    "2 (SIM)", "3 (terminal equipment)"};
    std::string Text = "message class ";
    Text.append(kClasses[DataCoding & 0x03]);
    return Text.append(DataCoding & 0x04 ? ", 8-bit data" : ", SMSC default alphabet");
  }
  // Message waiting indication groups: the group says whether the message is kept and in which
  // alphabet, bit 3 whether the indication is set or cleared, bits 0 and 1 what waits.
  static constexpr std::string_view kGroups[] = {"discard message", "store message",
                                                 "store message, UCS-2"};
  static constexpr std::string_view kWaiting[] = {"voicemail", "fax", "electronic mail", "other"};
  std::string Text = "message waiting indication, ";
  Text.append(kGroups[(DataCoding >> 4) - 0x0C]).append(": ").append(kWaiting[DataCoding & 0x03]);
  return Text.append(DataCoding & 0x08 ? " waiting" : " no longer waiting");
}

std::string InterfaceVersionMeaning(uint8_t Version) {
  if (Version == 0x34) return "3.4";
  if (Version == 0x50) return "5.0";
  return Version < 0x34 ? "3.3 or earlier" : "later than 3.4";
}

std::string PriorityFlagMeaning(uint8_t Priority) {
  static constexpr std::string_view kLevels[] = {"level 0 (lowest)", "level 1", "level 2",
                                                 "level 3 (highest)"};
  return Indexed(kLevels, Priority);
}

std::string ReplaceIfPresentMeaning(uint8_t Flag) {
  static constexpr std::string_view kFlags[] = {"don't replace", "replace"};
  return Indexed(kFlags, Flag);
}

std::string DestFlagMeaning(uint8_t Flag) {
  static constexpr std::string_view kFlags[] = {{}, "SME address", "distribution list"};
  return Indexed(kFlags, Flag);
}

std::string TimeMeaning(std::string_view Time) {
  if (Time.empty()) return {};
  // YYMMDDhhmmss, tenths, quarter hours from UTC, and '+', '-' or 'R' for relative.
  bool Digits = Time.size() == 16;
  for (size_t I = 0; Digits && I < 15; ++I) Digits = Time[I] >= '0' && Time[I] <= '9';
  const char Sign = Digits ? Time[15] : 0;
  if (Sign != '+' && Sign != '-' && Sign != 'R') return "not of the form YYMMDDhhmmsstnnp";
  if (Sign == 'R') {
    static constexpr std::string_view kUnits[] = {"year", "month",  "day",
                                                  "hour", "minute", "second"};
    std::string Span;
    for (size_t I = 0; I < std::size(kUnits); ++I) {
      const int N = TwoDigits(Time, 2 * I);
      if (N == 0) continue;
      if (!Span.empty()) Span += ", ";
      Span.append(std::to_string(N)).append(" ").append(kUnits[I]).append(N == 1 ? "" : "s");
    }
    return "relative: " + (Span.empty() ? std::string("now") : Span);
  }
  const int Quarters = TwoDigits(Time, 13);
  const char Offset[] = {
      char('0' + Quarters / 40),          char('0' + Quarters / 4 % 10),      ':',
      char('0' + Quarters % 4 * 15 / 10), char('0' + Quarters % 4 * 15 % 10), 0};
  std::string Text = "absolute: 20";
  Text.append(Time.substr(0, 2)).append("-").append(Time.substr(2, 2)).append("-");
  Text.append(Time.substr(4, 2)).append(" ").append(Time.substr(6, 2)).append(":");
  Text.append(Time.substr(8, 2)).append(":").append(Time.substr(10, 2)).append(".");
  Text.append(Time.substr(12, 1)).append(" UTC").append(1, Sign).append(Offset);
  return Text;
}
