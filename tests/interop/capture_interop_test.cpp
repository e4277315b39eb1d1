// smppcli's --pcap and --trace on runs against the local SMSC, plain and over TLS: the capture
// opens in tshark with exactly the PDUs the trace printed, none malformed, a PDU longer than a
// segment among them, and in tcpdump.
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "inspect/FieldMeanings.h"
#include "tests/CaptureTools.h"
#include "tests/TlsTestPki.h"
#include "tests/interop/CliRun.h"
#include "tests/interop/SmscProcess.h"

namespace {

TEST(Capture, SmppcliRunsOpenInTsharkAndTcpdumpWithThePdusTheTracePrinted) {
  const auto& Pki = tlstest::Pki();
  ASSERT_TRUE(Pki.Ok) << Pki.Error;
  for (const bool Tls : {false, true}) {
    SCOPED_TRACE(Tls ? "TLS" : "plain");
    smpptest::SmscProcess Smsc(
        Tls ? std::vector<std::string>{"--tls", "--cert", Pki.CertFile, "--key", Pki.KeyFile}
            : std::vector<std::string>{});
    ASSERT_TRUE(Smsc.start()) << Smsc.error();
    char Path[] = "/tmp/capture_testXXXXXX";
    close(mkstemp(Path));
    // The last message goes as one message_payload of 3000 octets: three segments.
    std::vector<std::string> Args = {"--port",   std::to_string(Smsc.port()),
                                     "--count",  "3",
                                     "--coding", "latin1",
                                     "--long",   "payload",
                                     "--text",   std::string(3000, 'p'),
                                     "--pcap",   Path,
                                     "--trace",  "--wait",
                                     "20"};
    if (Tls) Args.insert(Args.end(), {"--tls", "--tls-ca", Pki.CAFile});
    const smpptest::CliRun Run = smpptest::RunCli(Args);
    SCOPED_TRACE(Run.out);
    ASSERT_EQ(Run.status, 0);

    // The trace's PDUs, in the order they were traced.
    std::vector<std::string> Traced;
    const std::regex Line(R"(^\d\d:\d\d:\d\d\.\d{6} (Rcx|Tcx) (out|in ) (\S+))");
    std::istringstream Out(Run.out);
    for (std::string L; std::getline(Out, L);)
      if (std::smatch M; std::regex_search(L, M, Line)) Traced.push_back(M[3]);
    size_t Frames = 0;
    std::vector<std::string> Captured;
    for (const uint32_t Id : capturetest::TsharkSmppIds(Path, Smsc.port(), Frames))
      Captured.push_back(CommandName(Id));
    EXPECT_EQ(Captured, Traced);
    EXPECT_EQ(std::count(Traced.begin(), Traced.end(), "submit_sm"), 3);
    EXPECT_EQ(std::count(Traced.begin(), Traced.end(), "deliver_sm_resp"), 3);
    EXPECT_EQ(std::count(Traced.begin(), Traced.end(), "unbind_resp"), 2);
    EXPECT_EQ(capturetest::OutputOf("tcpdump -nr " + std::string(Path)).size(), Frames);
    std::remove(Path);
  }
}

}  // namespace
