// The reason of a failed connect in words, from the worker's error number and text as the socket
// layer sets them (no name is looked up: the resolver's texts are given as it writes them, or
// taken from a host text it refuses before any look-up).
#include "smpp/ConnectFailure.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "net/IcsSocketIntf.h"

namespace {

// The worker's text when the host cannot be resolved: its step's prefix and the resolver's text.
std::string ResolveFailure(const std::string& Host) {
  try {
    IcsSocketResolveHost(Host);
  } catch (const std::exception& E) {
    return std::string("connect failed. ESocketException: ") + E.what();
  }
  return "resolved";
}

TEST(ConnectFailure, NamesTheReasonInWords) {
  const struct {
    int32_t Code;
    std::string Text;
    std::string Expected;
  } Cases[] = {
      {ECONNREFUSED, "connect failed", "connection refused"},
      {ETIMEDOUT, "connect failed", "connection timed out"},
      {ENETUNREACH, "connect failed", "network unreachable"},
      // The resolver's failures carry EHOSTUNREACH; a real unreachable host the OS's text.
      {EHOSTUNREACH,
       "connect failed. ESocketException: IcsSocketResolveHost: Cannot convert host address "
       "'smsc.invalid', Error #1",
       "host not found"},
      {EHOSTUNREACH, ResolveFailure(std::string(300, 'h')), "invalid host address"},
      {EHOSTUNREACH, "connect failed", "No route to host"},
      {ECONNABORTED, "connect failed", "Software caused connection abort"},
      // A TLS failure keeps OpenSSL's reason, whatever the error number.
      {EPROTO, "TLS handshake failed: certificate verify failed (hostname mismatch)",
       "TLS handshake failed: certificate verify failed (hostname mismatch)"},
      {ETIMEDOUT, "TLS handshake failed: no answer within 300 ms",
       "TLS handshake failed: no answer within 300 ms"},
      {ECONNREFUSED, "TLS handshake failed: ", "TLS handshake failed"},
      // No error number: a refused request's own text, or nothing known.
      {0, "Unable to allocate a new worker thread", "Unable to allocate a new worker thread"},
      {0, "", "connect failed"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Text);
    EXPECT_EQ(ConnectFailureReason(C.Code, C.Text), C.Expected);
  }
}

}  // namespace
