// The summary of a load run as JSON.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "load/Histogram.h"

namespace load {

// The summary of one histogram: count, p50, p90, p99, p99.9 and max, in microseconds.
nlohmann::ordered_json LatencyJson(const THistogram& H);

// Json as one line of text; bytes that are not UTF-8 (a host name given on the command line, an
// id from the network) are replaced by U+FFFD, so that the text is always valid JSON.
std::string JsonText(const nlohmann::ordered_json& Json);

}  // namespace load
