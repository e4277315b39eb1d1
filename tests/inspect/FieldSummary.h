// Helpers of the optional parameter and user data tests: input bytes on a heap block of exactly
// their size, so that AddressSanitizer catches a read past them, and dissected records written
// out as one line each for compact expectations.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "inspect/PduField.h"
#include "tests/smpp/PduTestUtil.h"

// The bytes of one case, copied to a block that ends where they end.
struct THeapBytes {
  explicit THeapBytes(const Bytes& Source)
      : Data(new uint8_t[Source.size() + (Source.empty() ? 1 : 0)]), Size(Source.size()) {
    if (Size) std::memcpy(Data.get(), Source.data(), Size);
  }
  std::unique_ptr<uint8_t[]> Data;
  size_t Size;
};

// "name@offset+length=value (meaning) {field, field}": 5 for an integer, 'abc' for text, [61 62]
// for octets, nothing for a group or an error.
inline std::string Summary(const TPduField& F) {
  std::string S = F.Name + "@" + std::to_string(F.Offset) + "+" + std::to_string(F.Length);
  if (F.Kind == TFieldKind::fkInteger) S += "=" + std::to_string(F.Integer);
  if (F.Kind == TFieldKind::fkText) S += "='" + F.Text + "'";
  if (F.Kind == TFieldKind::fkOctets)
    S += "=[" + ToHex(reinterpret_cast<const uint8_t*>(F.Text.data()), F.Text.size()) + "]";
  if (!F.Meaning.empty()) S += " (" + F.Meaning + ")";
  for (size_t I = 0; I < F.Fields.size(); ++I)
    S += (I ? ", " : " {") + Summary(F.Fields[I]) + (I + 1 == F.Fields.size() ? "}" : "");
  return S;
}

// The summaries of a list of records, separated by " | ".
inline std::string Summaries(const std::vector<TPduField>& Fields) {
  std::string S;
  for (const TPduField& F : Fields) S += (S.empty() ? "" : " | ") + Summary(F);
  return S;
}
