// The reason of a failed connect in words, from the worker's error number and text.
#include "smpp/ConnectFailure.h"

#include <cerrno>
#include <system_error>

namespace {

constexpr std::string_view kTlsFailed = "TLS handshake failed: ";
// What the worker's text holds when the host could not be resolved (see IcsSocketResolveHost):
// a name the resolver does not know, or a text that is neither name nor address.
constexpr std::string_view kUnknownHost = "Cannot convert host address";
constexpr std::string_view kBadHost = "IcsSocketResolveHost: ";

bool Contains(std::string_view Text, std::string_view Part) {
  return Text.find(Part) != std::string_view::npos;
}

}  // namespace

std::string ConnectFailureReason(int32_t ErrorCode, std::string_view WorkerText) {
  if (WorkerText.substr(0, kTlsFailed.size()) == kTlsFailed) {
    // A handshake that failed without a reason says only that.
    if (WorkerText.size() == kTlsFailed.size()) return "TLS handshake failed";
    return std::string(WorkerText);
  }
  // The resolver's failures come with EHOSTUNREACH, whose own text ("No route to host") would
  // send the tester looking at the network instead of at the host name.
  if (Contains(WorkerText, kUnknownHost)) return "host not found";
  if (Contains(WorkerText, kBadHost)) return "invalid host address";
  switch (ErrorCode) {
    case 0:
      return WorkerText.empty() ? "connect failed" : std::string(WorkerText);
    case ECONNREFUSED:
      return "connection refused";
    case ETIMEDOUT:
      return "connection timed out";
    case ENETUNREACH:
      return "network unreachable";
    default:
      // strerror's text, without its thread-safety caveats.
      return std::generic_category().message(ErrorCode);
  }
}
