// JSON of dissected PDUs, and hex text parsed into bytes.
#include "inspect/FieldJson.h"

#include "smpp/ReportText.h"

namespace {

// Text escaped as report lines are is valid UTF-8 without control characters, so only the quote
// and the backslash need JSON's escapes. The JSON is written by hand: a dissection is printed for
// every PDU of a stream, and a DOM of it costs far more than the dissection itself.
void AppendJsonString(std::string& Out, std::string_view Raw) {
  const std::string Text = EscapedReportLine(Raw);
  Out += '"';
  for (const char C : Text) {
    if (C == '"' || C == '\\') Out += '\\';
    Out += C;
  }
  Out += '"';
}

void AppendHexPairs(std::string& Out, std::string_view Octets) {
  static constexpr char Digits[] = "0123456789ABCDEF";
  Out += '"';
  for (size_t I = 0; I < Octets.size(); ++I) {
    const auto B = static_cast<unsigned char>(Octets[I]);
    if (I) Out += ' ';
    Out += Digits[B >> 4];
    Out += Digits[B & 15];
  }
  Out += '"';
}

void AppendField(std::string& Out, const TPduField& Field) {
  Out += "{\"name\":";
  AppendJsonString(Out, Field.Name);
  Out += ",\"offset\":";
  Out += std::to_string(Field.Offset);
  Out += ",\"length\":";
  Out += std::to_string(Field.Length);
  Out += ",\"value\":";
  switch (Field.Kind) {
    case TFieldKind::fkInteger:
      Out += std::to_string(Field.Integer);
      break;
    case TFieldKind::fkText:
      AppendJsonString(Out, Field.Text);
      break;
    case TFieldKind::fkOctets:
      AppendHexPairs(Out, Field.Text);
      break;
    case TFieldKind::fkGroup:
    case TFieldKind::fkError:
      Out += "null";
      break;
  }
  if (!Field.Meaning.empty()) {
    Out += ",\"meaning\":";
    AppendJsonString(Out, Field.Meaning);
  }
  if (!Field.Fields.empty()) {
    Out += ",\"fields\":[";
    for (size_t I = 0; I < Field.Fields.size(); ++I) {
      if (I) Out += ',';
      AppendField(Out, Field.Fields[I]);
    }
    Out += ']';
  }
  Out += '}';
}

int HexDigit(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

}  // namespace

std::string FieldJson(const TPduField& Field) {
  std::string Out;
  Out.reserve(256);
  AppendField(Out, Field);
  return Out;
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
