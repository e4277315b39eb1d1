// User data: not dissected yet.
#include "inspect/UserData.h"

void DissectUserData(const uint8_t*, size_t, size_t, uint8_t, uint8_t, TPduField&) {}
