// Optional parameters: not dissected yet.
#include "inspect/OptionalParams.h"

void DissectOptionalParams(const uint8_t*, size_t, size_t, std::vector<TPduField>&) {}

std::string OptionalParamName(uint16_t) {
  return {};
}
