// TAG=TYPE:VALUE read into a tag and the value's octets.
#include "inspect/TlvText.h"

#include <cctype>
#include <charconv>

#include "inspect/OptionalParams.h"
#include "smpp/ReportText.h"

namespace {

// A decimal or 0x-prefixed hex number, whole, at most Max.
bool ParseNumber(std::string_view Text, uint64_t Max, uint64_t& Out) {
  int Base = 10;
  if (Text.size() > 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X')) {
    Text.remove_prefix(2);
    Base = 16;
  }
  if (Text.empty()) return false;
  const auto [End, Ec] = std::from_chars(Text.data(), Text.data() + Text.size(), Out, Base);
  return Ec == std::errc() && End == Text.data() + Text.size() && Out <= Max;
}

int HexDigit(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  return C >= 'a' && C <= 'f' ? C - 'a' + 10 : -1;
}

}  // namespace

bool ParseTlvText(std::string_view Text, uint16_t& Tag, std::vector<uint8_t>& Value,
                  std::string& Error) {
  const size_t Eq = Text.find('=');
  const size_t Colon = Eq == std::string_view::npos ? Eq : Text.find(':', Eq);
  if (Colon == std::string_view::npos) {
    Error = "'" + EscapedReportLine(Text) + "' is not TAG=TYPE:VALUE";
    return false;
  }
  const std::string_view TagText = Text.substr(0, Eq);
  const std::string_view Type = Text.substr(Eq + 1, Colon - Eq - 1);
  const std::string_view ValueText = Text.substr(Colon + 1);
  uint64_t Number = 0;
  if (ParseNumber(TagText, 0xFFFF, Number)) {
    Tag = static_cast<uint16_t>(Number);
  } else if (const int32_t Named = OptionalParamTag(TagText); Named >= 0) {
    Tag = static_cast<uint16_t>(Named);
  } else {
    Error = "tag '" + EscapedReportLine(TagText) +
            "' is neither a number from 0 to 65535 nor a name SMPP 3.4 defines";
    return false;
  }
  Value.clear();
  if (Type == "int1" || Type == "int2" || Type == "int4") {
    const int Octets = Type[3] - '0';
    const uint64_t Max = Octets == 4 ? 0xFFFFFFFFu : (uint64_t{1} << (8 * Octets)) - 1;
    if (!ParseNumber(ValueText, Max, Number)) {
      Error = "value '" + EscapedReportLine(ValueText) + "' is not a number from 0 to " +
              std::to_string(Max) + " (" + std::string(Type) + ")";
      return false;
    }
    for (int I = Octets - 1; I >= 0; --I) Value.push_back(static_cast<uint8_t>(Number >> (8 * I)));
  } else if (Type == "str") {
    if (ValueText.find('\0') != std::string_view::npos) {
      Error = "a str value cannot hold a NUL";
      return false;
    }
    Value.assign(ValueText.begin(), ValueText.end());
    Value.push_back(0);
  } else if (Type == "hex") {
    int High = -1;
    for (const char C : ValueText) {
      if (C == ' ' || C == ':') continue;
      const int D = HexDigit(C);
      if (D < 0) {
        Error = "value '" + EscapedReportLine(ValueText) + "' is not hex pairs";
        return false;
      }
      if (High < 0) {
        High = D;
      } else {
        Value.push_back(static_cast<uint8_t>(High * 16 + D));
        High = -1;
      }
    }
    if (High >= 0) {
      Error = "value '" + EscapedReportLine(ValueText) + "' has an odd number of hex digits";
      return false;
    }
  } else {
    Error = "type '" + EscapedReportLine(Type) + "' is not int1, int2, int4, str or hex";
    return false;
  }
  if (Value.size() > 0xFFFF) {
    Error = "the value is " + std::to_string(Value.size()) + " octets, at most 65535 fit";
    return false;
  }
  return true;
}
