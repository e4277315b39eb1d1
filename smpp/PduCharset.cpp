// Character-set conversion for UCS-2 short messages: direct UTF-8 code, iconv for the rest.
#include "smpp/PduCharset.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <cstring>

#include "smpp/TextCoding.h"

namespace {

// True when the current locale's character set is to be treated as UTF-8.
bool SystemIsUtf8(const char*& Codeset) {
  Codeset = nl_langinfo(CODESET);
  if (!Codeset || !*Codeset) return true;
  return std::strcmp(Codeset, "UTF-8") == 0 || std::strcmp(Codeset, "utf8") == 0 ||
         std::strcmp(Codeset, "ANSI_X3.4-1968") == 0 || std::strcmp(Codeset, "ASCII") == 0;
}

void AppendUtf16(std::u16string& Out, char32_t Cp) {
  if (Cp < 0x10000) {
    Out += static_cast<char16_t>(Cp);
  } else {
    Cp -= 0x10000;
    Out += static_cast<char16_t>(0xD800 + (Cp >> 10));
    Out += static_cast<char16_t>(0xDC00 + (Cp & 0x3FF));
  }
}

std::u16string Utf8ToUtf16(std::string_view S) {
  std::u16string Out;
  Out.reserve(S.size());
  size_t I = 0;
  while (I < S.size()) {
    const auto B = static_cast<unsigned char>(S[I]);
    int Extra;
    char32_t Cp;
    char32_t Min;
    if (B < 0x80) {
      Out += static_cast<char16_t>(B);
      ++I;
      continue;
    } else if ((B & 0xE0) == 0xC0) {
      Extra = 1, Cp = B & 0x1F, Min = 0x80;
    } else if ((B & 0xF0) == 0xE0) {
      Extra = 2, Cp = B & 0x0F, Min = 0x800;
    } else if ((B & 0xF8) == 0xF0) {
      Extra = 3, Cp = B & 0x07, Min = 0x10000;
    } else {
      Out += u'?';
      ++I;
      continue;
    }
    bool Ok = I + static_cast<size_t>(Extra) < S.size();
    for (int K = 1; Ok && K <= Extra; ++K) {
      const auto C = static_cast<unsigned char>(S[I + K]);
      if ((C & 0xC0) != 0x80)
        Ok = false;
      else
        Cp = (Cp << 6) | (C & 0x3F);
    }
    if (!Ok || Cp < Min || Cp > 0x10FFFF || (Cp >= 0xD800 && Cp <= 0xDFFF)) {
      // One replacement per undecodable lead byte; the scan resumes on the next byte.
      Out += u'?';
      ++I;
      continue;
    }
    AppendUtf16(Out, Cp);
    I += static_cast<size_t>(Extra) + 1;
  }
  return Out;
}

std::string Utf16ToUtf8(const char16_t* U, size_t N) {
  std::string Out;
  Out.reserve(N);
  for (size_t I = 0; I < N; ++I) {
    const char16_t C = U[I];
    if (C >= 0xD800 && C <= 0xDBFF && I + 1 < N && U[I + 1] >= 0xDC00 && U[I + 1] <= 0xDFFF) {
      AppendUtf8(Out, 0x10000 + ((char32_t{C} - 0xD800) << 10) + (char32_t{U[I + 1]} - 0xDC00));
      ++I;
    } else if (C >= 0xD800 && C <= 0xDFFF) {
      Out += '?';  // a lone surrogate stands for no character
    } else {
      AppendUtf8(Out, C);
    }
  }
  return Out;
}

// Converts with iconv; every input unit that cannot be converted is replaced by the given
// replacement bytes and skipped (InputUnit bytes).
std::string IconvAll(const char* To, const char* From, const char* In, size_t InBytes,
                     size_t InputUnit, std::string_view Replacement) {
  std::string Out;
  iconv_t Cd = iconv_open(To, From);
  if (Cd == reinterpret_cast<iconv_t>(-1)) return Out;
  char Buf[256];
  char* Src = const_cast<char*>(In);
  size_t Left = InBytes;
  while (Left > 0) {
    char* Dst = Buf;
    size_t Room = sizeof Buf;
    const size_t R = iconv(Cd, &Src, &Left, &Dst, &Room);
    Out.append(Buf, static_cast<size_t>(Dst - Buf));
    if (R == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL: an unconvertible or incomplete unit.
      Out.append(Replacement);
      const size_t Step = Left < InputUnit ? Left : InputUnit;
      Src += Step;
      Left -= Step;
    }
  }
  char* Dst = Buf;
  size_t Room = sizeof Buf;
  iconv(Cd, nullptr, nullptr, &Dst, &Room);
  Out.append(Buf, static_cast<size_t>(Dst - Buf));
  iconv_close(Cd);
  return Out;
}

}  // namespace

std::u16string TextToUtf16(std::string_view Text) {
  const char* Codeset;
  if (SystemIsUtf8(Codeset)) return Utf8ToUtf16(Text);
  const char16_t Q = u'?';
  const std::string Bytes = IconvAll("UTF-16LE", Codeset, Text.data(), Text.size(), 1,
                                     std::string_view(reinterpret_cast<const char*>(&Q), sizeof Q));
  std::u16string Out(Bytes.size() / 2, u'\0');
  for (size_t I = 0; I < Out.size(); ++I)
    Out[I] = static_cast<char16_t>(static_cast<unsigned char>(Bytes[2 * I]) |
                                   (static_cast<unsigned char>(Bytes[2 * I + 1]) << 8));
  return Out;
}

bool SystemTextIsUtf8() noexcept {
  const char* Codeset;
  return SystemIsUtf8(Codeset);
}

std::string Utf16ToText(const char16_t* Units, size_t Count) {
  const char* Codeset;
  if (SystemIsUtf8(Codeset)) return Utf16ToUtf8(Units, Count);
  std::string Le(Count * 2, '\0');
  for (size_t I = 0; I < Count; ++I) {
    Le[2 * I] = static_cast<char>(Units[I] & 0xFF);
    Le[2 * I + 1] = static_cast<char>(Units[I] >> 8);
  }
  return IconvAll(Codeset, "UTF-16LE", Le.data(), Le.size(), 2, "?");
}
