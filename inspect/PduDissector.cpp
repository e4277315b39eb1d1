// The dissector: not written yet.
#include "inspect/PduDissector.h"

TPduField DissectPdu(const uint8_t*, size_t) {
  return {};
}
