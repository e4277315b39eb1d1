// Report lines as they are shown: the escaping of control characters and invalid UTF-8.
#include "smpp/ReportText.h"

namespace {

// The length of the UTF-8 sequence at Text[At], with its code point in Cp, or 0 when the bytes
// there are no valid sequence (overlong forms and UTF-16 surrogates included).
size_t Utf8Sequence(std::string_view Text, size_t At, char32_t& Cp) {
  const auto B = static_cast<unsigned char>(Text[At]);
  size_t Len;
  char32_t Min;
  if ((B & 0xE0) == 0xC0)
    Len = 2, Cp = B & 0x1F, Min = 0x80;
  else if ((B & 0xF0) == 0xE0)
    Len = 3, Cp = B & 0x0F, Min = 0x800;
  else if ((B & 0xF8) == 0xF0)
    Len = 4, Cp = B & 0x07, Min = 0x10000;
  else
    return 0;
  if (At + Len > Text.size()) return 0;
  for (size_t K = 1; K < Len; ++K) {
    const auto C = static_cast<unsigned char>(Text[At + K]);
    if ((C & 0xC0) != 0x80) return 0;
    Cp = (Cp << 6) | (C & 0x3F);
  }
  if (Cp < Min || Cp > 0x10FFFF || (Cp >= 0xD800 && Cp <= 0xDFFF)) return 0;
  return Len;
}

// A valid character that is still written as escaped bytes: C1 controls, the line and paragraph
// separators, and the noncharacters.
bool EscapedCharacter(char32_t Cp) {
  return Cp < 0xA0 || Cp == 0x2028 || Cp == 0x2029 || (Cp >= 0xFDD0 && Cp <= 0xFDEF) ||
         (Cp & 0xFFFE) == 0xFFFE;
}

}  // namespace

std::string EscapedReportLine(std::string_view Line) {
  std::string Out;
  Out.reserve(Line.size());
  auto Hex = [&Out](unsigned char C) {
    static const char Digits[] = "0123456789abcdef";
    Out += "\\x";
    Out += Digits[C >> 4];
    Out += Digits[C & 15];
  };
  for (size_t I = 0; I < Line.size();) {
    const auto C = static_cast<unsigned char>(Line[I]);
    char32_t Cp = 0;
    size_t Len = 1;
    if (C == '\\')
      Out += "\\\\";
    else if (C == '\n')
      Out += "\\n";
    else if (C == '\r')
      Out += "\\r";
    else if (C == '\t')
      Out += "\\t";
    else if (C < 0x20 || C == 0x7F)
      Hex(C);
    else if (C < 0x80)
      Out += static_cast<char>(C);
    else if ((Len = Utf8Sequence(Line, I, Cp)) == 0)
      Hex(C), Len = 1;
    else if (EscapedCharacter(Cp))
      for (size_t K = 0; K < Len; ++K) Hex(static_cast<unsigned char>(Line[I + K]));
    else
      Out.append(Line, I, Len);
    I += Len;
  }
  return Out;
}
