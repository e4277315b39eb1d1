// smppcli spread over several binds, as a tester runs it on two machines at once against one
// SMSC, and the two summaries merged: every submit answered and every receipt counted, per bind
// and in total, and the merged summary the sum of both.
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/interop/CliRun.h"
#include "tests/interop/SmscProcess.h"

namespace {

using nlohmann::json;
using smpptest::CliRun;
using smpptest::RunCli;

json ReadJson(const std::string& Path) {
  std::string Text;
  if (FILE* F = std::fopen(Path.c_str(), "r")) {
    char Buf[4096];
    for (size_t N; (N = std::fread(Buf, 1, sizeof Buf, F)) > 0;) Text.append(Buf, N);
    std::fclose(F);
  }
  return json::parse(Text, nullptr, false);
}

TEST(SmppcliBinds, FourBindsOnTwoMachinesMergeIntoOneSummary) {
  smpptest::SmscProcess Sink({"--receipts"});
  Sink.useSink();
  ASSERT_TRUE(Sink.start()) << Sink.error();
  const std::string Dir = SMPP_BINARY_DIR;
  const std::vector<std::string> Files = {Dir + "/smppcli_binds_a.json",
                                          Dir + "/smppcli_binds_b.json"};
  CliRun Runs[2];
  {
    std::vector<std::thread> Machines;
    for (int I = 0; I < 2; ++I)
      Machines.emplace_back([&, I] {
        // Each machine binds its own account, whose receipts the SMSC sends to it.
        Runs[I] = RunCli({"--port", std::to_string(Sink.port()), "--system-id",
                          "machine" + std::to_string(I), "--binds", "4", "--tps", "2000", "--count",
                          "4000", "--quiet", "--json", Files[I]});
      });
    for (std::thread& T : Machines) T.join();
  }
  long P50[2];
  for (int I = 0; I < 2; ++I) {
    SCOPED_TRACE(Runs[I].out);
    EXPECT_EQ(Runs[I].status, 0);
    const json S = ReadJson(Files[I]);
    ASSERT_TRUE(S.is_object());
    EXPECT_EQ(S["counts"]["submits"], 4000);
    ASSERT_EQ(S["binds"].size(), 4u);
    long Submits = 0, Answered = 0, Receipts = 0;
    for (const json& B : S["binds"]) {
      // A quarter of the rate each.
      EXPECT_NEAR(B["counts"]["submits"].get<long>(), 1000, 10) << B.dump();
      Submits += B["counts"]["submits"].get<long>();
      Answered += B["counts"]["answered"].get<long>();
      Receipts += B["counts"]["receipts"].get<long>();
    }
    EXPECT_EQ(Submits, 4000);
    EXPECT_EQ(Answered, 4000);
    EXPECT_EQ(Receipts, 4000);
    P50[I] = S["response_latency"]["p50_us"].get<long>();
  }
  const CliRun Merged = RunCli({"merge", Files[0], Files[1]});
  EXPECT_EQ(Merged.status, 0) << Merged.out;
  const json M = json::parse(Merged.out.substr(0, Merged.out.find('\n')), nullptr, false);
  ASSERT_TRUE(M.is_object()) << Merged.out;
  EXPECT_EQ(M["runs"], 2);
  EXPECT_EQ(M["counts"]["submits"], 8000);
  EXPECT_EQ(M["counts"]["receipts"], 8000);
  EXPECT_EQ(M["response_latency"]["count"], 8000);
  EXPECT_EQ(M["binds"].size(), 8u);
  const long MergedP50 = M["response_latency"]["p50_us"].get<long>();
  EXPECT_GE(MergedP50, std::min(P50[0], P50[1]));
  EXPECT_LE(MergedP50, std::max(P50[0], P50[1]));
  EXPECT_NE(Merged.out.find("smppcli: merged 2 runs"), std::string::npos) << Merged.out;
  for (const std::string& F : Files) std::remove(F.c_str());
}

}  // namespace
