// JSON of dissected PDUs, and hex text parsed into bytes.
#include "inspect/FieldJson.h"

#include <nlohmann/json.hpp>

#include "smpp/ReportText.h"

namespace {

using TJson = nlohmann::ordered_json;

std::string HexPairs(std::string_view Octets) {
  static constexpr char Digits[] = "0123456789ABCDEF";
  std::string Out;
  Out.reserve(Octets.size() * 3);
  for (const char C : Octets) {
    const auto B = static_cast<unsigned char>(C);
    if (!Out.empty()) Out += ' ';
    Out += Digits[B >> 4];
    Out += Digits[B & 15];
  }
  return Out;
}

TJson ToJson(const TPduField& Field) {
  TJson J;
  J["name"] = Field.Name;
  J["offset"] = Field.Offset;
  J["length"] = Field.Length;
  switch (Field.Kind) {
    case TFieldKind::fkInteger:
      J["value"] = Field.Integer;
      break;
    case TFieldKind::fkText:
      J["value"] = EscapedReportLine(Field.Text);
      break;
    case TFieldKind::fkOctets:
      J["value"] = HexPairs(Field.Text);
      break;
    case TFieldKind::fkGroup:
    case TFieldKind::fkError:
      J["value"] = nullptr;
      break;
  }
  // Names and meanings may quote bytes from the wire (an unknown tag's name does not, but a
  // receipt's stat word does): escaped like the value, so that the JSON is always valid.
  J["name"] = EscapedReportLine(Field.Name);
  if (!Field.Meaning.empty()) J["meaning"] = EscapedReportLine(Field.Meaning);
  if (!Field.Fields.empty()) {
    TJson& Children = J["fields"] = TJson::array();
    for (const TPduField& Child : Field.Fields) Children.push_back(ToJson(Child));
  }
  return J;
}

int HexDigit(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

}  // namespace

std::string FieldJson(const TPduField& Field) {
  return ToJson(Field).dump();
}

bool ParseHexPdu(std::string_view Text, std::vector<uint8_t>& Bytes, std::string& Error) {
  Bytes.clear();
  Error.clear();
  int High = -1;
  for (size_t I = 0; I < Text.size(); ++I) {
    const char C = Text[I];
    if (C == ' ' || C == '\t' || C == ':' || C == '\r' || C == '\n') continue;
    // "0x" in front of the digits, as a tester may copy it from a log.
    if (C == '0' && High < 0 && I + 1 < Text.size() && (Text[I + 1] == 'x' || Text[I + 1] == 'X')) {
      ++I;
      continue;
    }
    const int D = HexDigit(C);
    if (D < 0) {
      Error = "character " + std::to_string(I + 1) + " is not a hex digit";
      return false;
    }
    if (High < 0) {
      High = D;
    } else {
      Bytes.push_back(static_cast<uint8_t>(High << 4 | D));
      High = -1;
    }
  }
  if (High >= 0) {
    Error = "an odd number of hex digits";
    return false;
  }
  if (Bytes.empty()) {
    Error = "no hex digits";
    return false;
  }
  return true;
}
