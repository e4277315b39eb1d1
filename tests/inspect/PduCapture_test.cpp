// TPduCapture: a failed connect among the trace events of a session gets its own trace line, and
// the capture around it stays whole (no packet for it, the open connection left as it is).
#include "inspect/PduCapture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/CaptureTools.h"
#include "tests/smpp/PduTestUtil.h"

namespace {

constexpr uint16_t kSmscPort = 2775;

TEST(PduCapture, AFailedConnectHasATraceLineAndNoPacket) {
  char Path[] = "/tmp/pducapture_testXXXXXX";
  close(mkstemp(Path));
  FILE* Lines = std::tmpfile();
  ASSERT_NE(Lines, nullptr);
  const Bytes Ask = PduOf(kEnquireLink, 0, 1), Answer = PduOf(kEnquireLinkResp, 0, 1);
  const Bytes Refused = Text("connection refused");
  {
    TPduCapture Capture(Path, Lines);
    const TPduTraceHandler Trace = Capture.Handler();
    const auto Event = [&](TPduConnection C, TPduTraceKind Kind, TPduDirection Way,
                           const Bytes& B) {
      Trace({C,
             Way,
             PduTraceNowNs(),
             B.data(),
             B.size(),
             Kind,
             {0x7f000001, 40000, 0x7f000001, kSmscPort}});
    };
    const auto Out = TPduDirection::pdOut, In = TPduDirection::pdIn;
    const auto Tcx = TPduConnection::pcTcx, Rcx = TPduConnection::pcRcx;
    Event(Tcx, TPduTraceKind::tkFailed, Out, Refused);
    Event(Tcx, TPduTraceKind::tkOpened, Out, {});
    Event(Tcx, TPduTraceKind::tkPdu, Out, Ask);
    // The other connection fails while this one is open.
    Event(Rcx, TPduTraceKind::tkFailed, Out, Refused);
    Event(Tcx, TPduTraceKind::tkPdu, In, Answer);
    Event(Tcx, TPduTraceKind::tkClosed, Out, {});
    EXPECT_EQ(Capture.Finish(), "");
  }
  std::rewind(Lines);
  std::vector<std::string> Read;
  char Line[256];
  while (std::fgets(Line, sizeof Line, Lines)) Read.emplace_back(Line);
  std::fclose(Lines);
  ASSERT_EQ(Read.size(), 6u);
  EXPECT_EQ(Read[0].substr(15), " Tcx connect failed: connection refused\n");
  EXPECT_EQ(Read[3].substr(15), " Rcx connect failed: connection refused\n");
  size_t Frames = 0;
  EXPECT_EQ(capturetest::TsharkSmppIds(Path, kSmscPort, Frames),
            (std::vector<uint32_t>{kEnquireLink, kEnquireLinkResp}));
  std::remove(Path);
}

}  // namespace
