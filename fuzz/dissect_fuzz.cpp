// Fuzz target of the dissector and its JSON: any bytes as one PDU. Every record must lie inside
// the bytes given, an error record must be the last of its group, and the JSON must be valid.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "inspect/FieldJson.h"
#include "inspect/PduDissector.h"

namespace {

void Check(const TPduField& Field, size_t Size) {
  if (Field.Offset > Size || Field.Length > Size - Field.Offset) abort();
  for (size_t I = 0; I < Field.Fields.size(); ++I) {
    if (Field.Fields[I].Kind == TFieldKind::fkError && I + 1 != Field.Fields.size()) abort();
    Check(Field.Fields[I], Size);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const TPduField Pdu = DissectPdu(Data, Size);
  Check(Pdu, Size);
  if (!nlohmann::json::accept(FieldJson(Pdu))) abort();
  return 0;
}
