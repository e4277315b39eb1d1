// The time base of a load run: microseconds of a steady clock, whose origin is the caller's.
#pragma once

#include <cstdint>

namespace load {

using TMicros = int64_t;

}  // namespace load
