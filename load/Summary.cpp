// The summary of a load run as JSON.
#include "load/Summary.h"

#include <cstdio>

namespace load {

nlohmann::ordered_json LatencyJson(const THistogram& H) {
  return {
      {"count", H.Count()},          {"p50_us", H.Percentile(500)},   {"p90_us", H.Percentile(900)},
      {"p99_us", H.Percentile(990)}, {"p99_9_us", H.Percentile(999)}, {"max_us", H.Max()}};
}

std::string JsonText(const nlohmann::ordered_json& Json) {
  return Json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace load
