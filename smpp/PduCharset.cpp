// Character-set conversion for UCS-2 short messages: direct UTF-8 code, iconv for the rest.
#include "smpp/PduCharset.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <cstring>

#include "smpp/TextCoding.h"

namespace {

// True when the current locale's character set is to be treated as UTF-8.
bool SystemIsUtf8(const char*& codeset) {
  codeset = nl_langinfo(CODESET);
  if (!codeset || !*codeset) return true;
  return std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0 ||
         std::strcmp(codeset, "ANSI_X3.4-1968") == 0 || std::strcmp(codeset, "ASCII") == 0;
}

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out += static_cast<char16_t>(cp);
  } else {
    cp -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (cp >> 10));
    out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
  }
}

std::u16string Utf8ToUtf16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    int extra;
    char32_t cp;
    char32_t min;
    if (b < 0x80) {
      out += static_cast<char16_t>(b);
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      extra = 1, cp = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      extra = 2, cp = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      extra = 3, cp = b & 0x07, min = 0x10000;
    } else {
      out += u'?';
      ++i;
      continue;
    }
    bool ok = i + static_cast<size_t>(extra) < s.size();
    for (int k = 1; ok && k <= extra; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80)
        ok = false;
      else
        cp = (cp << 6) | (c & 0x3F);
    }
    if (!ok || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      // One replacement per undecodable lead byte; the scan resumes on the next byte.
      out += u'?';
      ++i;
      continue;
    }
    AppendUtf16(out, cp);
    i += static_cast<size_t>(extra) + 1;
  }
  return out;
}

std::string Utf16ToUtf8(const char16_t* u, size_t n) {
  std::string out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const char16_t c = u[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && u[i + 1] >= 0xDC00 && u[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((char32_t{c} - 0xD800) << 10) + (char32_t{u[i + 1]} - 0xDC00));
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      out += '?';  // a lone surrogate stands for no character
    } else {
      AppendUtf8(out, c);
    }
  }
  return out;
}

// Converts with iconv; every input unit that cannot be converted is replaced by the given
// replacement bytes and skipped (inputUnit bytes).
std::string IconvAll(const char* to, const char* from, const char* in, size_t inBytes,
                     size_t inputUnit, std::string_view replacement) {
  std::string out;
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return out;
  char buf[256];
  char* src = const_cast<char*>(in);
  size_t left = inBytes;
  while (left > 0) {
    char* dst = buf;
    size_t room = sizeof buf;
    const size_t r = iconv(cd, &src, &left, &dst, &room);
    out.append(buf, static_cast<size_t>(dst - buf));
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL: an unconvertible or incomplete unit.
      out.append(replacement);
      const size_t step = left < inputUnit ? left : inputUnit;
      src += step;
      left -= step;
    }
  }
  char* dst = buf;
  size_t room = sizeof buf;
  iconv(cd, nullptr, nullptr, &dst, &room);
  out.append(buf, static_cast<size_t>(dst - buf));
  iconv_close(cd);
  return out;
}

}  // namespace

std::u16string TextToUtf16(std::string_view text) {
  const char* codeset;
  if (SystemIsUtf8(codeset)) return Utf8ToUtf16(text);
  const char16_t q = u'?';
  const std::string bytes = IconvAll("UTF-16LE", codeset, text.data(), text.size(), 1,
                                     std::string_view(reinterpret_cast<const char*>(&q), sizeof q));
  std::u16string out(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                   (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  return out;
}

bool SystemTextIsUtf8() noexcept {
  const char* codeset;
  return SystemIsUtf8(codeset);
}

std::string Utf16ToText(const char16_t* units, size_t count) {
  const char* codeset;
  if (SystemIsUtf8(codeset)) return Utf16ToUtf8(units, count);
  std::string le(count * 2, '\0');
  for (size_t i = 0; i < count; ++i) {
    le[2 * i] = static_cast<char>(units[i] & 0xFF);
    le[2 * i + 1] = static_cast<char>(units[i] >> 8);
  }
  return IconvAll(codeset, "UTF-16LE", le.data(), le.size(), 2, "?");
}
