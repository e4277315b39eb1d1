// smppcli merge as scripts use it: summaries written by the library to files, the built program
// run on them, its exit status, its JSON line and its messages.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "load/Summary.h"
#include "tests/interop/CliRun.h"

using smpptest::CliRun;
using smpptest::RunCli;

namespace {

// A run of Submits messages from Start whose latencies grow with their number.
load::TSummary RunOf(double Start, long Submits, const std::string& Error = "") {
  load::TSummary S;
  S.Options = {{"host", "127.0.0.1"}, {"wait_for_receipts", false}};
  S.ExitStatus = Error.empty() ? 0 : 1;
  S.Error = Error;
  S.StartUnix = Start;
  S.Seconds = 1;
  S.Counts.Messages = S.Counts.Submits = S.Counts.Answered = S.Counts.Accepted = Submits;
  S.Statuses[0] = Submits;
  S.ReceiptIdsUsed = "auto";
  for (long I = 0; I < Submits; ++I) S.ResponseLatency.Record(100 + I * I);
  S.Binds.push_back({0, 1, S.Counts});
  return S;
}

std::string Write(const std::string& Name, const std::string& Text) {
  const std::string Path = std::string(SMPP_BINARY_DIR) + "/smppcli_merge_test_" + Name;
  if (FILE* F = std::fopen(Path.c_str(), "w")) {
    std::fputs(Text.c_str(), F);
    std::fclose(F);
  }
  return Path;
}

TEST(SmppcliMerge, MergesSummaryFilesAndTellsBadInput) {
  const load::TSummary A = RunOf(1765180800, 3000), B = RunOf(1765180800.5, 2000);
  load::TSummary Fine = B;
  Fine.ResponseLatency = load::THistogram(12);
  const std::string PathA = Write("a.json", load::JsonText(load::SummaryJson(A)) + "\n"),
                    PathB = Write("b.json", load::JsonText(load::SummaryJson(B)) + "\n"),
                    Failed = Write("failed.json", load::JsonText(load::SummaryJson(RunOf(
                                                      1765180801, 10, "the SMSC went away")))),
                    FinePath = Write("fine.json", load::JsonText(load::SummaryJson(Fine))),
                    NotJson = Write("not.json", "{\"counts\":"),
                    Other = Write("other.json", "{\"host\":\"x\"}"),
                    Missing = std::string(SMPP_BINARY_DIR) + "/smppcli_merge_test_none.json";
  load::TSummary Merged;
  std::string Error;
  ASSERT_TRUE(load::MergeSummaries({A, B}, Merged, Error)) << Error;
  const struct {
    std::vector<std::string> Args;
    int Status;
    std::string Message;  // in what it printed
  } Cases[] = {
      {{PathA, PathB}, 0, "\nsmppcli: merged 2 runs\n"},
      {{PathA, Failed}, 1, "smppcli: run 2: the SMSC went away\n"},
      {{PathA}, 0, "smppcli: 3000 messages in 3000 submits, answered 3000 (rejected 0)"},
      {{"--help"}, 0, "Usage: smppcli merge SUMMARY.json..."},
      {{}, 2, "smppcli merge: no summary given\n"},
      {{PathA, Missing},
       2,
       "smppcli merge: " + Missing + ": cannot be read: No such file or directory\n"},
      {{NotJson}, 2, "smppcli merge: " + NotJson + ": not JSON\n"},
      {{PathA, Other}, 2, "smppcli merge: " + Other + ": not a summary of smppcli\n"},
      {{PathA, FinePath},
       2,
       "smppcli merge: " + FinePath + " has response_latency in buckets log-linear-us-12, " +
           PathA + " in log-linear-us-10: summaries of different bucket schemes do not add up\n"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Message);
    std::vector<std::string> Args = {"merge"};
    Args.insert(Args.end(), C.Args.begin(), C.Args.end());
    const CliRun R = RunCli(Args);
    EXPECT_EQ(R.status, C.Status) << R.out;
    EXPECT_NE(R.out.find(C.Message), std::string::npos) << R.out;
  }
  // The merged JSON is the library's, but for the merged summary's own run id.
  const CliRun R = RunCli({"merge", PathA, PathB});
  nlohmann::ordered_json Printed =
      nlohmann::ordered_json::parse(R.out.substr(0, R.out.find('\n')), nullptr, false);
  ASSERT_TRUE(Printed.is_object()) << R.out;
  EXPECT_EQ(Printed["run_id"].get<std::string>().size(), 32u);
  Printed["run_id"] = Merged.RunId;
  EXPECT_EQ(Printed, load::SummaryJson(Merged));
}

}  // namespace
