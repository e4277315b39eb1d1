// Building blocks of the optional parameter and user data dissection: one TPduField of each kind,
// made from bytes whose bounds the caller has already checked, and the hex names of tags and
// element identifiers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

#include "inspect/PduField.h"

// "0x0424" for a tag, "0x08" for an element identifier: upper-case digits, Digits of them.
inline std::string MakeHexName(unsigned Value, int Digits) {
  char Text[16];
  std::snprintf(Text, sizeof Text, "0x%0*X", Digits, Value);
  return Text;
}

inline TPduField MakeIntegerRecord(std::string Name, size_t Offset, size_t Length, uint64_t Value,
                                   std::string Meaning = {}) {
  TPduField F;
  F.Name = std::move(Name);
  F.Offset = static_cast<uint32_t>(Offset);
  F.Length = static_cast<uint32_t>(Length);
  F.Kind = TFieldKind::fkInteger;
  F.Integer = Value;
  F.Meaning = std::move(Meaning);
  return F;
}

// Kind is fkText or fkOctets; the record's value is Bytes[Offset .. Offset + Length).
inline TPduField MakeBytesRecord(std::string Name, TFieldKind Kind, const uint8_t* Bytes,
                                 size_t Offset, size_t Length, std::string Meaning = {}) {
  TPduField F;
  F.Name = std::move(Name);
  F.Offset = static_cast<uint32_t>(Offset);
  F.Length = static_cast<uint32_t>(Length);
  F.Kind = Kind;
  F.Text.assign(reinterpret_cast<const char*>(Bytes + Offset), Length);
  F.Meaning = std::move(Meaning);
  return F;
}

// The record that says where and why the bytes break; nothing after it is read.
inline TPduField MakeErrorRecord(size_t Offset, std::string Meaning) {
  TPduField F;
  F.Name = "error";
  F.Offset = static_cast<uint32_t>(Offset);
  F.Kind = TFieldKind::fkError;
  F.Meaning = std::move(Meaning);
  return F;
}

// "1 octet", "12 octets".
inline std::string OctetCountText(size_t N) {
  return std::to_string(N) + (N == 1 ? " octet" : " octets");
}

// The meaning of a value whose length does not suit its type: "wrong length: 2 octets, expected 1".
inline std::string WrongLengthText(size_t Length, const std::string& Expected) {
  return "wrong length: " + OctetCountText(Length) + ", expected " + Expected;
}

// Big-endian unsigned integer of Length octets (at most 8) at Bytes[Offset].
inline uint64_t ReadBigEndian(const uint8_t* Bytes, size_t Offset, size_t Length) {
  uint64_t Value = 0;
  for (size_t I = 0; I < Length; ++I) Value = (Value << 8) | Bytes[Offset + I];
  return Value;
}

// The name at Value in a table of names, or Otherwise for a value past its end or without one.
template <size_t N>
std::string PickMeaning(uint64_t Value, const char* const (&Names)[N],
                        const char* Otherwise = "reserved") {
  return Value < N && Names[Value] ? Names[Value] : Otherwise;
}
