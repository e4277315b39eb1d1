// Report lines as they are shown: the escaping of control characters and invalid UTF-8.
#include "smpp/ReportText.h"

#include "smpp/TextCoding.h"

namespace {

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
    else if ((Len = ReadUtf8(Line, I, Cp)) == 0)
      Hex(C), Len = 1;
    else if (EscapedCharacter(Cp))
      for (size_t K = 0; K < Len; ++K) Hex(static_cast<unsigned char>(Line[I + K]));
    else
      Out.append(Line, I, Len);
    I += Len;
  }
  return Out;
}
