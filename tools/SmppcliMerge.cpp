// smppcli merge: reads summaries written by --json, merges them and prints the result.
#include "tools/SmppcliMerge.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "load/Summary.h"
#include "smpp/ReportText.h"

namespace {

constexpr const char* kUsage =
    "Usage: smppcli merge SUMMARY.json...\n"
    "Adds the summaries of load runs made at the same time (on several machines, each with\n"
    "--json) into one: counts, statuses and receipt states added, latency percentiles taken from\n"
    "the histograms added bucket by bucket, per-second figures added by their second.\n"
    "Writes the merged summary as one line of JSON on standard output and its text on standard\n"
    "error.\n"
    "\n"
    "  --help               show this help and exit\n"
    "\n"
    "Exit status: 0 when every run passed, 1 when one failed, 2 on bad input (a file that\n"
    "cannot be read or is no summary, histograms of different bucket schemes, one run\n"
    "given twice (by its run id), a summary whose counts contradict its exit status).\n";

// The text of the file at Path, or false and the reason.
bool ReadText(const std::string& Path, std::string& Text, std::string& Error) {
  FILE* F = std::fopen(Path.c_str(), "rb");
  if (!F) {
    Error = std::strerror(errno);
    return false;
  }
  char Buf[65536];
  for (size_t N; (N = std::fread(Buf, 1, sizeof Buf, F)) > 0;) Text.append(Buf, N);
  const bool Failed = std::ferror(F) != 0;
  const int Errno = errno;
  std::fclose(F);
  if (Failed) Error = std::strerror(Errno);
  return !Failed;
}

// The summary in the file at Path, or false and the reason naming the file.
bool ReadSummary(const std::string& Path, load::TSummary& S, std::string& Error) {
  std::string Text, Why;
  const std::string Name = EscapedReportLine(Path);
  if (!ReadText(Path, Text, Why)) {
    Error = Name + ": cannot be read: " + Why;
    return false;
  }
  // No exceptions: a file that is no JSON is told by the parser's result.
  const nlohmann::ordered_json J = nlohmann::ordered_json::parse(Text, nullptr, false);
  if (J.is_discarded()) {
    Error = Name + ": not JSON";
    return false;
  }
  if (!load::SummaryFromJson(J, S, Why)) {
    Error = Name + ": " + Why;
    return false;
  }
  return true;
}

// Whether the runs awaited receipts: then the receipt latency is a line of the text.
bool WithReceipts(const load::TSummary& S) {
  const auto It = S.Options.find("wait_for_receipts");
  return S.ReceiptLatency.Count() > 0 ||
         (It != S.Options.end() && It->is_boolean() && It->get<bool>());
}

}  // namespace

int RunMerge(int Argc, char** Argv) {
  std::vector<std::string> Paths;
  bool Options = true;
  for (int I = 1; I < Argc; ++I) {
    const std::string Arg = Argv[I];
    if (Options && Arg == "--") {
      Options = false;
    } else if (Options && (Arg == "--help" || Arg == "-h")) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (Options && Arg.size() > 1 && Arg[0] == '-') {
      std::fprintf(stderr, "smppcli merge: unknown option %s\n%s", EscapedReportLine(Arg).c_str(),
                   kUsage);
      return 2;
    } else {
      Paths.push_back(Arg);
    }
  }
  if (Paths.empty()) {
    std::fprintf(stderr, "smppcli merge: no summary given\n%s", kUsage);
    return 2;
  }
  std::vector<load::TSummary> In(Paths.size());
  for (size_t I = 0; I < Paths.size(); ++I) {
    std::string Error;
    if (!ReadSummary(Paths[I], In[I], Error)) {
      std::fprintf(stderr, "smppcli merge: %s\n", Error.c_str());
      return 2;
    }
  }
  load::TSummary Merged;
  std::string Error;
  // The files are named in errors as arguments are quoted: escaped.
  std::vector<std::string> Names;
  for (const std::string& Path : Paths) Names.push_back(EscapedReportLine(Path));
  if (!load::MergeSummaries(In, Merged, Error, Names)) {
    std::fprintf(stderr, "smppcli merge: %s\n", Error.c_str());
    return 2;
  }
  std::printf("%s\n", load::JsonText(load::SummaryJson(Merged)).c_str());
  std::fflush(stdout);
  std::fputs(load::SummaryText(Merged, WithReceipts(Merged)).c_str(), stderr);
  if (!Merged.Error.empty()) std::fprintf(stderr, "smppcli: %s\n", Merged.Error.c_str());
  return Merged.ExitStatus == 0 ? 0 : 1;
}
