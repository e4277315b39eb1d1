// Text encodings of short messages: UTF-8 text to the octets of a message in the GSM 03.38 default
// alphabet (with its extension table), Latin-1 or UCS-2, and those octets back to text.
//
// The codec is pure: tables and functions of their arguments, no state. Any thread may call any
// function here, several at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// How a message text goes on the wire.
//
//   tcBytes   the text's bytes as given, data_coding 0 (the client's behaviour before codings)
//   tcAuto    tcGsm when every character fits the GSM alphabet, otherwise tcUcs2
//   tcGsm     GSM 03.38 default alphabet, one septet per octet (unpacked), data_coding 0; an
//             extension character is the escape 0x1B and its code, two septets
//   tcLatin1  ISO 8859-1, one octet per character, data_coding 3
//   tcUcs2    UTF-16 big-endian, two octets per code unit, data_coding 8; a character outside the
//             Basic Multilingual Plane is a surrogate pair, two code units
enum class TTextCoding : uint8_t { tcBytes, tcAuto, tcGsm, tcLatin1, tcUcs2 };

// The data_coding values of the codings.
inline constexpr uint8_t kDataCodingDefault = 0;  // SMSC default alphabet: GSM, or bytes
inline constexpr uint8_t kDataCodingLatin1 = 3;
inline constexpr uint8_t kDataCodingUcs2 = 8;

// The GSM escape to the extension table.
inline constexpr uint8_t kGsmEscape = 0x1B;

// The identifier of a coding as a form text stores it ("tcGsm"), and back (nullopt for anything
// else).
std::string_view TextCodingIdent(TTextCoding Coding) noexcept;
std::optional<TTextCoding> TextCodingFromIdent(std::string_view Ident) noexcept;
// The short name a user types ("gsm", "latin1", ...), and back.
std::string_view TextCodingWord(TTextCoding Coding) noexcept;
std::optional<TTextCoding> TextCodingFromWord(std::string_view Word) noexcept;

// A message text in its coding: the octets of its user data (without any header).
struct TEncodedText {
  TTextCoding Coding = TTextCoding::tcBytes;  // never tcAuto
  uint8_t DataCoding = kDataCodingDefault;
  std::string Octets;

  // The length in the unit the coding counts: septets (tcGsm, tcBytes), octets (tcLatin1) or
  // UTF-16 code units (tcUcs2).
  size_t Units() const noexcept {
    return Coding == TTextCoding::tcUcs2 ? Octets.size() / 2 : Octets.size();
  }
};

// Encodes the UTF-8 Text in Coding. tcBytes takes the bytes as they are. Every other coding
// refuses, rather than replaces, what it cannot carry: the result is false and Error says which
// character of the text (counted from 1) does not fit, or where the text is not valid UTF-8.
bool EncodeText(std::string_view Text, TTextCoding Coding, TEncodedText& Out, std::string& Error);

// The septet of one character in the GSM default alphabet: 0..0x7F for the main table, 0x1B00 |
// code for the extension table; -1 when the character has none.
int GsmSeptetOf(char32_t Ch) noexcept;
// The character of a septet in the main table (0x1B, the escape, has none: U+00A0 is given, which
// a reader shows as a space), and of a code in the extension table (nullopt when it has none).
char32_t GsmCharOf(uint8_t Septet) noexcept;
std::optional<char32_t> GsmExtensionCharOf(uint8_t Code) noexcept;

// The text of user data octets, in the system's character set (UTF-8 in practice):
//   tcGsm     unpacked septets; an escape followed by a code the extension table lacks shows that
//             code's main-table character, an escape at the end a space; octets above 0x7F '?'
//   tcLatin1  one character per octet
//   tcUcs2    big-endian code units, surrogate pairs joined; a last odd octet is dropped and a lone
//             surrogate is '?'
//   tcBytes   the octets unchanged
std::string DecodeUserText(const uint8_t* Octets, size_t Count, TTextCoding Coding);

// The text of user data received with this data_coding: 8 UCS-2, 3 Latin-1, 0 by DefaultAlphabet
// (tcGsm, or tcBytes for the octets unchanged), any other value the octets unchanged.
std::string DecodeUserData(const uint8_t* Octets, size_t Count, uint8_t DataCoding,
                           TTextCoding DefaultAlphabet);

// Reads one UTF-8 character at Text[I] (I < Text.size()): its code point in Cp and its length in
// bytes, or length 0 when the bytes there are not valid UTF-8 (overlong forms, surrogates and
// values past U+10FFFF included).
size_t ReadUtf8(std::string_view Text, size_t I, char32_t& Cp) noexcept;

// The number of characters of valid UTF-8 text, and the length in bytes of its first N characters.
// Bytes that are not valid UTF-8 count one character each.
size_t Utf8Length(std::string_view Text) noexcept;
size_t Utf8Prefix(std::string_view Text, size_t N) noexcept;

// Appends the UTF-8 form of a code point (at most U+10FFFF).
void AppendUtf8(std::string& Out, char32_t Cp);
