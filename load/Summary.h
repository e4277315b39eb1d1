// The summary of a load run: its counts, histograms, per-bind counts and per-second series; as
// JSON both ways, as the text lines a run ends with, and summaries of runs made side by side
// added into one.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "load/Histogram.h"

namespace load {

// Every count of a run, or of one bind of it.
struct TCounts {
  long Messages = 0, Submits = 0, Answered = 0, Accepted = 0, Rejected = 0, Receipts = 0,
       Unanswered = 0, ReceiptsMissing = 0, UnmatchedResponses = 0, UnmatchedReceipts = 0,
       AmbiguousReceipts = 0, Throttled = 0, QueueFull = 0, OtherStatus = 0, BackOffs = 0,
       Reconnects = 0;
  // Sessions the SMSC (or the network) ended while bound, during the run.
  long SessionsLost = 0;
  // Responses that answered no submit on the wire; accepted submits given a message id given
  // before; receipts for an id (and destination) whose receipts had all come; receipts that
  // match an id only through a convention not settled (see TReceiptIds).
  long UnexpectedResponses = 0, DuplicateMessageIds = 0, DuplicateReceipts = 0,
       DoubtfulReceipts = 0;
};

// Per-second histograms are coarse (within 3%), so that a long run's summary stays small.
constexpr int kSeriesSubBits = 5;

// One wall-clock second of a run.
struct TSecond {
  int64_t UnixSecond = 0;  // the second it covers (seconds since 1970, UTC)
  long Submits = 0, Answers = 0, Receipts = 0, Throttled = 0, QueueFull = 0, OtherStatus = 0;
  long InFlight = 0;  // submits unanswered at the second's end
  THistogram ResponseLatency{kSeriesSubBits}, ReceiptLatency{kSeriesSubBits};
};

// One bind of a run. Run is the run it belongs to, counted from 1: always 1 in the summary of one
// run, the run's place among those merged in a merged one.
struct TBindSummary {
  long Index = 1;  // bind 1 to N in its run; in a merged summary 1 to the binds of all runs
  long Run = 1;
  TCounts Counts;
  double UnboundSeconds = 0;  // of the run, without a bound transmitter after it was once bound
};

struct TSummary {
  nlohmann::ordered_json Options;  // the front end's options, written as given
  // The run's own id (NewRunId), and the ids of every run it covers: its own, or those of the
  // runs merged into it.
  std::string RunId;
  std::vector<std::string> RunIds;
  int ExitStatus = 0;
  std::string Error;     // empty when the run passed
  double StartUnix = 0;  // wall-clock start, seconds since 1970 with fractions
  double Seconds = 0, CpuSeconds = 0;
  TCounts Counts;
  THistogram ResponseLatency, ReceiptLatency;
  std::map<uint32_t, long> Statuses;  // responses per command_status
  std::string ReceiptIdsUsed;         // "exact", "hex-dec", ... or "auto"
  std::map<std::string, long> ReceiptStates, ReceiptErrors;
  // The doubtful receipts by the --receipt-ids word that would settle them.
  std::map<std::string, long> DoubtfulReasons;
  std::vector<TBindSummary> Binds;  // one per bind, in order
  // Per second, in order; all of one histogram scheme (kSeriesSubBits unless read so).
  std::vector<TSecond> Series;
  long Runs = 1;  // runs merged into this one
  // Seconds without a bound transmitter after it was once bound, over every bind.
  double UnboundSeconds = 0;
  // Stopped by its user (a signal, the load panel's Stop), and when: seconds after its start.
  bool Stopped = false;
  double StoppedAfterS = 0;
};

// A fresh run id: 128 random bits as 32 lowercase hexadecimal digits. Any thread.
std::string NewRunId();

// Why the summary cannot be what its run ended in, or empty: an exit status of 0 beside an
// error, a stop, or counts of a failure (submits rejected with a status other than throttling,
// submits unanswered, receipts missing, sessions lost); an exit status other than 0 with no error.
// Pure.
std::string SummaryContradiction(const TSummary& S);

// The summary as the JSON object --json writes. Rates, CPU per message and percentiles are
// derived here from the counts, Seconds, CpuSeconds and the histograms.
nlohmann::ordered_json SummaryJson(const TSummary& S);

// Reads back what SummaryJson wrote: every key it needs is checked, and a summary read and
// written again is the same JSON. False, with the reason in Error ("counts.submits is missing",
// "not a summary of smppcli"), on anything else; never throws. Derived values are not read. Takes
// ordered JSON so that the options keep their order.
bool SummaryFromJson(const nlohmann::ordered_json& J, TSummary& Out, std::string& Error);

// Adds summaries of runs made at the same time (on several machines) into Out: counts, statuses,
// receipt states and errors, histograms bucket by bucket, seconds of the series by their time;
// the start the earliest, Seconds up to the latest end, the exit status the worst, the errors
// joined ("run 2: ..."), the binds of all runs renumbered from 0 and tagged with their run, the
// options the first's. Names, when given, name the summaries in Error (else "summary 2"). False
// when In is empty, two summaries' histograms are of different bucket schemes, two cover the same
// run (by their run ids), or one contradicts its own exit status (SummaryContradiction). The
// merged summary gets a run id of its own.
bool MergeSummaries(const std::vector<TSummary>& In, TSummary& Out, std::string& Error,
                    const std::vector<std::string>& Names = {});

// The text lines a run ends with, each ending in a newline ("smppcli: N messages in M submits,
// ..."); the receipt latency only WithReceipts; one line per bind when there are several; for a
// merged summary first "smppcli: merged N runs".
std::string SummaryText(const TSummary& S, bool WithReceipts);

// The summary of one histogram: count, p50, p90, p99, p99.9 and max, in microseconds.
nlohmann::ordered_json LatencyJson(const THistogram& H);

// Json as one line of text; bytes that are not UTF-8 (a host name given on the command line, an
// id from the network) are replaced by U+FFFD, so that the text is always valid JSON.
std::string JsonText(const nlohmann::ordered_json& Json);

}  // namespace load
