// Why a connect failed, in the words a tester reads: from the socket worker's error number and
// text (LastError, LastErrorMsg) to "connection refused", "host not found", "TLS handshake failed:
// ..." and the like.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The reason of a failed connect. In order:
//   the worker's text of a failed TLS handshake as it is ("TLS handshake failed: " + OpenSSL's
//     reason, or the wait that ran out);
//   a host name the resolver did not know: "host not found"; a host text that is no name or
//     address at all: "invalid host address";
//   ECONNREFUSED "connection refused", ETIMEDOUT "connection timed out", ENETUNREACH "network
//     unreachable";
//   any other error number: the OS's text for it ("No route to host");
//   no error number: the worker's text, or "connect failed" when it has none.
// Pure; any thread.
std::string ConnectFailureReason(int32_t ErrorCode, std::string_view WorkerText);
