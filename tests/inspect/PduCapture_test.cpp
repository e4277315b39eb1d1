// TPduCapture: a failed connect among the trace events of a session gets its own trace line, and
// the capture around it stays whole (no packet for it, the open connection left as it is).
#include "inspect/PduCapture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "tests/CaptureTools.h"
#include "tests/smpp/PduTestUtil.h"

namespace {

TEST(PduCapture, AFailedConnectHasATraceLineAndNoPacket) {
  char Path[] = "/tmp/pducapture_testXXXXXX";
  close(mkstemp(Path));
  FILE* Lines = std::tmpfile();
  const auto Pdu = TPduTraceKind::tkPdu, Failed = TPduTraceKind::tkFailed;
  const struct {
    TPduConnection Connection;
    TPduTraceKind Kind;
    Bytes B;
  } Events[] = {
      {TPduConnection::pcTcx, Failed, Text("connection refused")},
      {TPduConnection::pcTcx, TPduTraceKind::tkOpened, {}},
      {TPduConnection::pcTcx, Pdu, PduOf(kEnquireLink, 0, 1)},
      {TPduConnection::pcRcx, Failed, Text("connection refused")},  // while Tcx is open
      {TPduConnection::pcTcx, Pdu, PduOf(kEnquireLinkResp, 0, 1)},
      {TPduConnection::pcTcx, TPduTraceKind::tkClosed, {}},
  };
  {
    TPduCapture Capture(Path, Lines);
    const TPduTraceHandler Trace = Capture.Handler();
    const TTcpEndpoints Ends{0x7f000001, 40000, 0x7f000001, 2775};
    for (const auto& E : Events)
      Trace({E.Connection, TPduDirection::pdOut, PduTraceNowNs(), E.B.data(), E.B.size(), E.Kind,
             Ends});
    EXPECT_EQ(Capture.Finish(), "");
  }
  std::rewind(Lines);
  char Line[256];
  for (const char* Expected :
       {"Tcx connect failed: connection refused\n", "Tcx connected", "Tcx out",
        "Rcx connect failed: connection refused\n", "Tcx out", "Tcx closed"}) {
    ASSERT_TRUE(std::fgets(Line, sizeof Line, Lines));
    EXPECT_EQ(std::string(Line + 16).substr(0, std::strlen(Expected)), Expected);
  }
  std::fclose(Lines);
  size_t Frames = 0;
  EXPECT_EQ(capturetest::TsharkSmppIds(Path, 2775, Frames),
            (std::vector<uint32_t>{kEnquireLink, kEnquireLinkResp}));
  std::remove(Path);
}

}  // namespace
