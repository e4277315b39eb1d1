// The summary of a load run: JSON written and read back, text lines, and the merge of summaries.
#include "load/Summary.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdio>
#include <limits>
#include <optional>
#include <random>
#include <string_view>
#include <utility>

#include "smpp/ReportText.h"

namespace load {

using nlohmann::ordered_json;

namespace {

// The counts by their JSON key, in the order written: today's keys first, as scripts know them.
constexpr std::pair<const char*, long TCounts::*> kCountKeys[] = {
    {"messages", &TCounts::Messages},
    {"submits", &TCounts::Submits},
    {"answered", &TCounts::Answered},
    {"accepted", &TCounts::Accepted},
    {"rejected", &TCounts::Rejected},
    {"receipts", &TCounts::Receipts},
    {"unanswered", &TCounts::Unanswered},
    {"receipts_missing", &TCounts::ReceiptsMissing},
    {"unmatched_responses", &TCounts::UnmatchedResponses},
    {"unmatched_receipts", &TCounts::UnmatchedReceipts},
    {"ambiguous_receipts", &TCounts::AmbiguousReceipts},
    {"throttled", &TCounts::Throttled},
    {"queue_full", &TCounts::QueueFull},
    {"back_offs", &TCounts::BackOffs},
    {"other_status", &TCounts::OtherStatus},
    {"reconnects", &TCounts::Reconnects}};

// Counts added later, written after those: a summary written before them reads as zeros.
constexpr std::pair<const char*, long TCounts::*> kLaterCountKeys[] = {
    {"sessions_lost", &TCounts::SessionsLost},
    {"unexpected_responses", &TCounts::UnexpectedResponses},
    {"duplicate_message_ids", &TCounts::DuplicateMessageIds},
    {"duplicate_receipts", &TCounts::DuplicateReceipts},
    {"doubtful_receipts", &TCounts::DoubtfulReceipts}};

// The counts of one second by their JSON key, after "t".
constexpr std::pair<const char*, long TSecond::*> kSecondKeys[] = {
    {"submits", &TSecond::Submits},      {"answers", &TSecond::Answers},
    {"receipts", &TSecond::Receipts},    {"throttled", &TSecond::Throttled},
    {"queue_full", &TSecond::QueueFull}, {"other_status", &TSecond::OtherStatus},
    {"in_flight", &TSecond::InFlight}};

std::string Hex8(uint32_t V) {
  char Buf[16];
  std::snprintf(Buf, sizeof Buf, "0x%08X", V);
  return Buf;
}

ordered_json CountsJson(const TCounts& C) {
  ordered_json J = ordered_json::object();
  for (const auto& [Key, Field] : kCountKeys) J[Key] = C.*Field;
  for (const auto& [Key, Field] : kLaterCountKeys) J[Key] = C.*Field;
  return J;
}

ordered_json BucketsJson(const THistogram& H) {
  ordered_json J = ordered_json::array();
  for (const auto& [Lowest, N] : H.Buckets()) J.push_back({Lowest, N});
  return J;
}

// The largest count read: exact in any JSON reader, and thousands of summaries of such counts
// still add up without overflow.
constexpr int64_t kMaxCount = int64_t{1} << 53;

// Reads the parts of a summary, naming the first fault by its path ("binds[2].counts.submits").
// Every read checks the type first, so nothing in nlohmann throws.
class TReader {
 public:
  explicit TReader(std::string& Error) : FError(Error) {}

  bool Fail(const std::string& Path, const std::string& What) {
    FError = Path + " " + What;
    return false;
  }
  // The member Key of the object At (at path Path), or nullptr and the error.
  const ordered_json* Member(const ordered_json& At, const std::string& Path, const char* Key) {
    const std::string Name = Path.empty() ? Key : Path + "." + Key;
    const auto It = At.find(Key);
    if (It == At.end()) {
      Fail(Name, "is missing");
      return nullptr;
    }
    return &*It;
  }
  bool Object(const ordered_json& At, const std::string& Path, const char* Key,
              const ordered_json*& Out) {
    Out = Member(At, Path, Key);
    return Out && (Out->is_object() || Fail(Name(Path, Key), "is not an object"));
  }
  bool Array(const ordered_json& At, const std::string& Path, const char* Key,
             const ordered_json*& Out) {
    Out = Member(At, Path, Key);
    return Out && (Out->is_array() || Fail(Name(Path, Key), "is not a list"));
  }
  bool Text(const ordered_json& At, const std::string& Path, const char* Key, std::string& Out) {
    const ordered_json* V = Member(At, Path, Key);
    if (!V) return false;
    if (!V->is_string()) return Fail(Name(Path, Key), "is not text");
    Out = V->get<std::string>();
    return true;
  }
  bool Number(const ordered_json& At, const std::string& Path, const char* Key, double& Out) {
    const ordered_json* V = Member(At, Path, Key);
    if (!V) return false;
    if (!V->is_number()) return Fail(Name(Path, Key), "is not a number");
    Out = V->get<double>();
    return true;
  }
  // A whole number from Min up to the largest of T; a count (Min 0) up to kMaxCount.
  template <typename T>
  bool Whole(const ordered_json& V, const std::string& Name, T& Out, T Min) {
    if (!WholeValue(V, Out) || Out < Min || (Min == 0 && Out > kMaxCount))
      return Fail(Name, Min == 0 ? "is not a count" : "is not a whole number");
    return true;
  }
  template <typename T>
  bool Whole(const ordered_json& At, const std::string& Path, const char* Key, T& Out, T Min) {
    const ordered_json* V = Member(At, Path, Key);
    return V && Whole(*V, Name(Path, Key), Out, Min);
  }
  bool Counts(const ordered_json& At, const std::string& Path, std::map<std::string, long>& Out) {
    for (const auto& [Word, N] : At.items())
      if (!Whole(N, Path + "." + Word, Out[Word], 0L)) return false;
    return true;
  }
  // The histogram of scheme Scheme whose buckets are At[Key] (at Path), whose largest sample was
  // Max when known.
  bool Histogram(const ordered_json& At, const std::string& Path, const char* Key,
                 const std::string& Scheme, std::optional<TMicros> Max, THistogram& Out) {
    const ordered_json* List;
    if (!Array(At, Path, Key, List)) return false;
    std::vector<THistogram::TBucket> Buckets;
    for (size_t I = 0; I < List->size(); ++I) {
      const ordered_json& B = (*List)[I];
      THistogram::TBucket Bucket;
      if (!B.is_array() || B.size() != 2 || !WholeValue(B[0], Bucket.first) ||
          !WholeValue(B[1], Bucket.second) || Bucket.second > kMaxCount)
        return Fail(Name(Path, Key) + "[" + std::to_string(I) + "]", "is not [lowest_us, count]");
      Buckets.push_back(Bucket);
    }
    std::string Why;
    std::optional<THistogram> H = THistogram::FromBuckets(Scheme, Buckets, Max, Why);
    if (!H) return Fail(Name(Path, Key) + ":", Why);
    Out = std::move(*H);
    return true;
  }
  // A latency object: today's keys, its scheme and buckets; count and max_us agree with them.
  bool Latency(const ordered_json& At, const char* Key, THistogram& Out) {
    const ordered_json* L;
    std::string Scheme;
    long Count = 0;
    TMicros Max = 0;
    if (!Object(At, "", Key, L) || !Whole(*L, Key, "count", Count, 0L) ||
        !Whole(*L, Key, "max_us", Max, TMicros{0}) || !Text(*L, Key, "scheme", Scheme))
      return false;
    if (!THistogram::SchemeSubBits(Scheme))
      return Fail(std::string(Key) + ".scheme", "\"" + Scheme + "\" is no bucket scheme");
    if (!Histogram(*L, Key, "buckets", Scheme, Max, Out)) return false;
    if (Out.Count() != Count)
      return Fail(std::string(Key) + ".count", std::to_string(Count) + " is not the " +
                                                   std::to_string(Out.Count()) +
                                                   " samples of its buckets");
    return true;
  }

  static std::string Name(const std::string& Path, const char* Key) {
    return Path.empty() ? Key : Path + "." + Key;
  }

 private:
  template <typename T>
  static bool WholeValue(const ordered_json& V, T& Out) {
    if (V.is_number_unsigned()) {
      const uint64_t U = V.get<uint64_t>();
      if (U > static_cast<uint64_t>(std::numeric_limits<T>::max())) return false;
      Out = static_cast<T>(U);
      return true;
    }
    if (!V.is_number_integer()) return false;
    const int64_t I = V.get<int64_t>();
    if (I < std::numeric_limits<T>::min() || I > std::numeric_limits<T>::max()) return false;
    Out = static_cast<T>(I);
    return true;
  }
  std::string& FError;
};

bool CountsFromJson(TReader& R, const ordered_json& At, const std::string& Path, TCounts& Out) {
  const ordered_json* C;
  if (!R.Object(At, Path, "counts", C)) return false;
  const std::string Inner = TReader::Name(Path, "counts");
  for (const auto& [Key, Field] : kCountKeys)
    if (!R.Whole(*C, Inner, Key, Out.*Field, 0L)) return false;
  for (const auto& [Key, Field] : kLaterCountKeys)
    if (C->contains(Key) && !R.Whole(*C, Inner, Key, Out.*Field, 0L)) return false;
  return true;
}

// The seconds at Key of At, when there (0 when not: summaries written before it had none).
bool OptionalSeconds(TReader& R, const ordered_json& At, const std::string& Path, const char* Key,
                     double& Out) {
  return !At.contains(Key) || R.Number(At, Path, Key, Out);
}

void AddCounts(TCounts& To, const TCounts& From) {
  for (const auto& [Key, Field] : kCountKeys) To.*Field += From.*Field;
  for (const auto& [Key, Field] : kLaterCountKeys) To.*Field += From.*Field;
}

template <typename K>
void AddMap(std::map<K, long>& To, const std::map<K, long>& From) {
  for (const auto& [Key, N] : From) To[Key] += N;
}

// "DELIVRD 10, UNDELIV 2" of counts by word.
std::string CountsText(const std::map<std::string, long>& Counts) {
  std::string Text;
  for (const auto& [Word, N] : Counts)
    Text += (Text.empty() ? "" : ", ") + EscapedReportLine(Word) + " " + std::to_string(N);
  return Text;
}

std::string Printed(const char* Format, auto... Args) {
  const int N = std::snprintf(nullptr, 0, Format, Args...);
  std::string Text(static_cast<size_t>(std::max(N, 0)), '\0');
  std::snprintf(Text.data(), Text.size() + 1, Format, Args...);
  return Text;
}

// "N, p50 120 us, p90 ..., max ..." of a histogram.
std::string LatencyText(const THistogram& H) {
  return Printed("%ld, p50 %lld us, p90 %lld us, p99 %lld us, p99.9 %lld us, max %lld us",
                 H.Count(), static_cast<long long>(H.Percentile(500)),
                 static_cast<long long>(H.Percentile(900)),
                 static_cast<long long>(H.Percentile(990)),
                 static_cast<long long>(H.Percentile(999)), static_cast<long long>(H.Max()));
}

}  // namespace

std::string NewRunId() {
  std::random_device Random;
  std::string Id;
  for (int I = 0; I < 4; ++I) Id += Printed("%08x", static_cast<unsigned>(Random()));
  return Id;
}

std::string SummaryContradiction(const TSummary& S) {
  const TCounts& C = S.Counts;
  if (S.ExitStatus != 0) return S.Error.empty() ? "exit_status is not 0, yet error is empty" : "";
  if (!S.Error.empty()) return "exit_status is 0, yet error is not empty";
  if (S.Stopped) return "exit_status is 0, yet the run was stopped";
  // Rejections other than throttling: a throttled answer may be what a run of back-off expects.
  const std::pair<const char*, long> Failures[] = {
      {"other_status", C.OtherStatus},
      {"unanswered", C.Unanswered},
      {"receipts_missing", C.ReceiptsMissing},
      {"sessions_lost", C.SessionsLost},
      {"unexpected_responses", C.UnexpectedResponses},
      {"duplicate_message_ids", C.DuplicateMessageIds}};
  for (const auto& [Key, N] : Failures)
    if (N > 0)
      return "exit_status is 0, yet counts." + std::string(Key) + " is " + std::to_string(N);
  return {};
}

nlohmann::ordered_json LatencyJson(const THistogram& H) {
  return {
      {"count", H.Count()},          {"p50_us", H.Percentile(500)},   {"p90_us", H.Percentile(900)},
      {"p99_us", H.Percentile(990)}, {"p99_9_us", H.Percentile(999)}, {"max_us", H.Max()}};
}

std::string JsonText(const nlohmann::ordered_json& Json) {
  return Json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

nlohmann::ordered_json SummaryJson(const TSummary& S) {
  const TCounts& C = S.Counts;
  const auto Latency = [](const THistogram& H) {
    ordered_json J = LatencyJson(H);
    J["scheme"] = H.Scheme();
    J["buckets"] = BucketsJson(H);
    return J;
  };
  ordered_json Statuses = ordered_json::object();
  for (const auto& [Code, N] : S.Statuses) Statuses[Hex8(Code)] = N;
  ordered_json Binds = ordered_json::array();
  for (const TBindSummary& B : S.Binds)
    Binds.push_back({{"index", B.Index},
                     {"run", B.Run},
                     {"counts", CountsJson(B.Counts)},
                     {"unbound_s", B.UnboundSeconds}});
  ordered_json Series = ordered_json::array();
  for (const TSecond& T : S.Series) {
    ordered_json J = {{"t", T.UnixSecond}};
    for (const auto& [Key, Field] : kSecondKeys) J[Key] = T.*Field;
    J["response_p50_us"] = T.ResponseLatency.Percentile(500);
    J["response_p99_us"] = T.ResponseLatency.Percentile(990);
    J["receipt_p50_us"] = T.ReceiptLatency.Percentile(500);
    J["receipt_p99_us"] = T.ReceiptLatency.Percentile(990);
    J["response_buckets"] = BucketsJson(T.ResponseLatency);
    J["receipt_buckets"] = BucketsJson(T.ReceiptLatency);
    Series.push_back(std::move(J));
  }
  const double Seconds = S.Seconds;
  return {{"options", S.Options.is_null() ? ordered_json::object() : S.Options},
          {"run_id", S.RunId},
          {"run_ids", S.RunIds},
          {"exit_status", S.ExitStatus},
          {"error", S.Error},
          {"stopped", S.Stopped},
          {"stopped_after_s", S.StoppedAfterS},
          {"counts", CountsJson(C)},
          {"unbound_s", S.UnboundSeconds},
          {"seconds", Seconds},
          {"submits_per_s", Seconds > 0 ? static_cast<double>(C.Submits) / Seconds : 0.0},
          {"answered_per_s", Seconds > 0 ? static_cast<double>(C.Answered) / Seconds : 0.0},
          {"cpu_us_per_message",
           C.Messages > 0 ? S.CpuSeconds * 1e6 / static_cast<double>(C.Messages) : 0.0},
          {"response_latency", Latency(S.ResponseLatency)},
          {"receipt_latency", Latency(S.ReceiptLatency)},
          {"statuses", Statuses},
          {"receipt_ids_used", S.ReceiptIdsUsed},
          {"receipt_states", S.ReceiptStates},
          {"receipt_errors", S.ReceiptErrors},
          {"doubtful_reasons", S.DoubtfulReasons},
          {"start_unix", S.StartUnix},
          {"cpu_s", S.CpuSeconds},
          {"runs", S.Runs},
          {"binds", Binds},
          {"series_scheme", S.Series.empty() ? THistogram(kSeriesSubBits).Scheme()
                                             : S.Series.front().ResponseLatency.Scheme()},
          {"per_second", Series}};
}

bool SummaryFromJson(const nlohmann::ordered_json& J, TSummary& Out, std::string& Error) {
  if (!J.is_object() || !J.contains("counts") || !J.contains("response_latency")) {
    Error = "not a summary of smppcli";
    return false;
  }
  TReader R(Error);
  TSummary S;
  const ordered_json *Options, *Statuses, *States, *Errors, *Binds, *Series;
  if (!R.Object(J, "", "options", Options) ||
      !R.Whole(J, "", "exit_status", S.ExitStatus, INT_MIN) || !R.Text(J, "", "error", S.Error) ||
      !CountsFromJson(R, J, "", S.Counts) || !R.Number(J, "", "seconds", S.Seconds) ||
      !R.Latency(J, "response_latency", S.ResponseLatency) ||
      !R.Latency(J, "receipt_latency", S.ReceiptLatency) ||
      !R.Object(J, "", "statuses", Statuses) ||
      !R.Text(J, "", "receipt_ids_used", S.ReceiptIdsUsed) ||
      !R.Object(J, "", "receipt_states", States) ||
      !R.Counts(*States, "receipt_states", S.ReceiptStates) ||
      !R.Object(J, "", "receipt_errors", Errors) ||
      !R.Counts(*Errors, "receipt_errors", S.ReceiptErrors) ||
      !R.Number(J, "", "start_unix", S.StartUnix) || !R.Number(J, "", "cpu_s", S.CpuSeconds) ||
      !R.Whole(J, "", "runs", S.Runs, 1L) || !R.Array(J, "", "binds", Binds))
    return false;
  // Written since the doubtful receipts are counted: absent from older summaries.
  const ordered_json* Doubtful;
  if (J.contains("doubtful_reasons") &&
      (!R.Object(J, "", "doubtful_reasons", Doubtful) ||
       !R.Counts(*Doubtful, "doubtful_reasons", S.DoubtfulReasons)))
    return false;
  S.Options = *Options;
  // Written since runs carry an id, stop and their time without a transmitter; a summary from
  // before reads with none.
  if (J.contains("run_id") && !R.Text(J, "", "run_id", S.RunId)) return false;
  if (const auto Ids = J.find("run_ids"); Ids != J.end()) {
    if (!Ids->is_array()) return R.Fail("run_ids", "is not a list");
    for (size_t I = 0; I < Ids->size(); ++I) {
      if (!(*Ids)[I].is_string())
        return R.Fail("run_ids[" + std::to_string(I) + "]", "is not text");
      S.RunIds.push_back((*Ids)[I].get<std::string>());
    }
  } else if (!S.RunId.empty()) {
    S.RunIds = {S.RunId};
  }
  if (const auto Stopped = J.find("stopped"); Stopped != J.end()) {
    if (!Stopped->is_boolean()) return R.Fail("stopped", "is not true or false");
    S.Stopped = Stopped->get<bool>();
  }
  if (!OptionalSeconds(R, J, "", "stopped_after_s", S.StoppedAfterS) ||
      !OptionalSeconds(R, J, "", "unbound_s", S.UnboundSeconds))
    return false;
  for (const auto& [Key, N] : Statuses->items()) {
    // "0x" and eight hex digits, as written.
    uint32_t Code = 0;
    const char* End = Key.data() + Key.size();
    const bool Hex = Key.size() == 10 && Key.compare(0, 2, "0x") == 0 &&
                     std::from_chars(Key.data() + 2, End, Code, 16).ptr == End;
    if (!Hex) return R.Fail("statuses." + Key, "is not a command_status (0x and 8 hex digits)");
    if (!R.Whole(N, "statuses." + Key, S.Statuses[Code], 0L)) return false;
  }
  for (size_t I = 0; I < Binds->size(); ++I) {
    const ordered_json& B = (*Binds)[I];
    const std::string Path = "binds[" + std::to_string(I) + "]";
    TBindSummary Bind;
    if (!B.is_object()) return R.Fail(Path, "is not an object");
    if (!R.Whole(B, Path, "index", Bind.Index, 0L) || !R.Whole(B, Path, "run", Bind.Run, 1L) ||
        !CountsFromJson(R, B, Path, Bind.Counts) ||
        !OptionalSeconds(R, B, Path, "unbound_s", Bind.UnboundSeconds))
      return false;
    S.Binds.push_back(Bind);
  }
  std::string SeriesScheme;
  if (!R.Text(J, "", "series_scheme", SeriesScheme) || !R.Array(J, "", "per_second", Series))
    return false;
  if (!THistogram::SchemeSubBits(SeriesScheme))
    return R.Fail("series_scheme", "\"" + SeriesScheme + "\" is no bucket scheme");
  for (size_t I = 0; I < Series->size(); ++I) {
    const ordered_json& T = (*Series)[I];
    const std::string Path = "per_second[" + std::to_string(I) + "]";
    TSecond Second;
    if (!T.is_object()) return R.Fail(Path, "is not an object");
    if (!R.Whole(T, Path, "t", Second.UnixSecond, int64_t{0})) return false;
    for (const auto& [Key, Field] : kSecondKeys)
      if (!R.Whole(T, Path, Key, Second.*Field, 0L)) return false;
    // A second's histograms carry no max: their percentiles do not need it.
    if (!R.Histogram(T, Path, "response_buckets", SeriesScheme, std::nullopt,
                     Second.ResponseLatency) ||
        !R.Histogram(T, Path, "receipt_buckets", SeriesScheme, std::nullopt, Second.ReceiptLatency))
      return false;
    S.Series.push_back(std::move(Second));
  }
  Out = std::move(S);
  return true;
}

bool MergeSummaries(const std::vector<TSummary>& In, TSummary& Out, std::string& Error,
                    const std::vector<std::string>& Names) {
  if (In.empty()) {
    Error = "no summary to merge";
    return false;
  }
  const auto NameOf = [&](size_t I) {
    return I < Names.size() ? Names[I] : "summary " + std::to_string(I + 1);
  };
  // Histograms of In[I] added to To, whose scheme is that of In[First]; false, and the reason,
  // when the schemes differ.
  const auto AddHistogram = [&](THistogram& To, const THistogram& From, size_t I, size_t First,
                                const char* What) {
    if (To.Add(From)) return true;
    Error = NameOf(I) + " has " + What + " in buckets " + From.Scheme() + ", " + NameOf(First) +
            " in " + To.Scheme() + ": summaries of different bucket schemes do not add up";
    return false;
  };
  // One run given twice (or inside a merged summary and again alone) would count twice; a summary
  // whose counts say it failed while its status says it passed was changed after it was written.
  std::map<std::string, size_t> SeenIds;
  for (size_t I = 0; I < In.size(); ++I) {
    if (const std::string Why = SummaryContradiction(In[I]); !Why.empty()) {
      Error = NameOf(I) + " contradicts itself: " + Why;
      return false;
    }
    for (const std::string& Id : In[I].RunIds) {
      const auto [It, New] = SeenIds.emplace(Id, I);
      if (!New) {
        Error = It->second == I ? NameOf(I) + " names run " + EscapedReportLine(Id) + " twice"
                                : NameOf(It->second) + " and " + NameOf(I) +
                                      " are summaries of the same run (run id " +
                                      EscapedReportLine(Id) + "): it would count twice";
        return false;
      }
    }
  }
  TSummary M;
  M.Options = In.front().Options;
  M.RunId = NewRunId();
  M.Runs = 0;
  M.ResponseLatency = THistogram(In.front().ResponseLatency.SubBits());
  M.ReceiptLatency = THistogram(In.front().ReceiptLatency.SubBits());
  std::map<int64_t, TSecond> Seconds;
  std::optional<size_t> SeriesFrom;  // the first summary with a series: its scheme is the one
  double End = 0;
  std::vector<std::string> IdsUsed;
  for (size_t I = 0; I < In.size(); ++I) {
    const TSummary& S = In[I];
    if (!AddHistogram(M.ResponseLatency, S.ResponseLatency, I, 0, "response_latency") ||
        !AddHistogram(M.ReceiptLatency, S.ReceiptLatency, I, 0, "receipt_latency"))
      return false;
    for (const TSecond& T : S.Series) {
      if (!SeriesFrom) SeriesFrom = I;
      auto [It, New] = Seconds.try_emplace(T.UnixSecond);
      TSecond& To = It->second;
      if (New) {
        To.UnixSecond = T.UnixSecond;
        const int SubBits = In[*SeriesFrom].Series.front().ResponseLatency.SubBits();
        To.ResponseLatency = THistogram(SubBits);
        To.ReceiptLatency = THistogram(SubBits);
      }
      for (const auto& [Key, Field] : kSecondKeys) To.*Field += T.*Field;
      if (!AddHistogram(To.ResponseLatency, T.ResponseLatency, I, *SeriesFrom, "per_second") ||
          !AddHistogram(To.ReceiptLatency, T.ReceiptLatency, I, *SeriesFrom, "per_second"))
        return false;
    }
    AddCounts(M.Counts, S.Counts);
    AddMap(M.Statuses, S.Statuses);
    AddMap(M.ReceiptStates, S.ReceiptStates);
    AddMap(M.ReceiptErrors, S.ReceiptErrors);
    AddMap(M.DoubtfulReasons, S.DoubtfulReasons);
    for (const TBindSummary& B : S.Binds)
      M.Binds.push_back(
          {static_cast<long>(M.Binds.size()) + 1, M.Runs + B.Run, B.Counts, B.UnboundSeconds});
    M.RunIds.insert(M.RunIds.end(), S.RunIds.begin(), S.RunIds.end());
    M.UnboundSeconds += S.UnboundSeconds;
    M.Stopped = M.Stopped || S.Stopped;
    M.StoppedAfterS = std::max(M.StoppedAfterS, S.StoppedAfterS);
    if (!S.Error.empty()) {
      // The runs are numbered as their binds are: a merged summary's own runs keep their place.
      const std::string Run = S.Runs == 1 ? "run " + std::to_string(M.Runs + 1)
                                          : "runs " + std::to_string(M.Runs + 1) + "-" +
                                                std::to_string(M.Runs + S.Runs);
      M.Error += (M.Error.empty() ? "" : "; ") + Run + ": " + S.Error;
    }
    M.ExitStatus = std::max(M.ExitStatus, S.ExitStatus);
    M.StartUnix = I == 0 ? S.StartUnix : std::min(M.StartUnix, S.StartUnix);
    End = std::max(End, S.StartUnix + S.Seconds);
    M.CpuSeconds += S.CpuSeconds;
    M.Runs += S.Runs;
    // A merged summary names its conventions joined by commas: each counts once.
    for (size_t At = 0; At <= S.ReceiptIdsUsed.size();) {
      const size_t Comma = std::min(S.ReceiptIdsUsed.find(',', At), S.ReceiptIdsUsed.size());
      const std::string Word = S.ReceiptIdsUsed.substr(At, Comma - At);
      if (std::find(IdsUsed.begin(), IdsUsed.end(), Word) == IdsUsed.end()) IdsUsed.push_back(Word);
      At = Comma + 1;
    }
  }
  M.Seconds = std::max(0.0, End - M.StartUnix);
  // A run that kept "auto" met no receipt that told the conventions apart: it agrees with any
  // convention another run found. Conventions that differ are all named.
  if (IdsUsed.size() > 1) std::erase(IdsUsed, "auto");
  for (const std::string& Word : IdsUsed)
    M.ReceiptIdsUsed += (M.ReceiptIdsUsed.empty() ? "" : ",") + Word;
  for (auto& [T, Second] : Seconds) M.Series.push_back(std::move(Second));
  Out = std::move(M);
  return true;
}

std::string SummaryText(const TSummary& S, bool WithReceipts) {
  const TCounts& C = S.Counts;
  std::string Text;
  if (S.Runs > 1) Text += Printed("smppcli: merged %ld runs\n", S.Runs);
  if (C.Messages > 0) {
    const double Rate = S.Seconds > 0 ? static_cast<double>(C.Answered) / S.Seconds : 0.0;
    const double CpuPerMessage = S.CpuSeconds * 1e6 / static_cast<double>(C.Messages);
    Text += Printed(
        "smppcli: %ld messages in %ld submits, answered %ld (rejected %ld), receipts %ld in %.3f "
        "s: %.0f messages/s, CPU %.2f us per message\n",
        C.Messages, C.Submits, C.Answered, C.Rejected, C.Receipts, S.Seconds,
        Rate * static_cast<double>(C.Messages) / static_cast<double>(std::max(1L, C.Submits)),
        CpuPerMessage);
    Text += "smppcli: response latency: " + LatencyText(S.ResponseLatency) + "\n";
    if (WithReceipts) Text += "smppcli: receipt latency: " + LatencyText(S.ReceiptLatency) + "\n";
    Text += Printed(
        "smppcli: statuses: ok %ld, throttled 0x00000058 %ld, queue full 0x00000014 %ld, others "
        "%ld; backed off %ld times\n",
        C.Accepted, C.Throttled, C.QueueFull, C.OtherStatus, C.BackOffs);
    if (!S.ReceiptStates.empty())
      Text += "smppcli: receipt states: " + CountsText(S.ReceiptStates) +
              "; err: " + CountsText(S.ReceiptErrors) + "; ids compared " +
              (S.ReceiptIdsUsed == "auto" ? "auto (no receipt told exact and hex-dec apart)"
                                          : EscapedReportLine(S.ReceiptIdsUsed)) +
              "\n";
  }
  if (S.Binds.size() > 1)
    for (const TBindSummary& B : S.Binds)
      Text += "smppcli: bind " + std::to_string(B.Index) +
              (S.Runs > 1 ? " (run " + std::to_string(B.Run) + ")" : std::string()) +
              Printed(": %ld submits, answered %ld, receipts %ld, reconnects %ld\n",
                      B.Counts.Submits, B.Counts.Answered, B.Counts.Receipts, B.Counts.Reconnects);
  if (C.SessionsLost > 0 || C.Reconnects > 0 || S.UnboundSeconds > 0)
    Text += Printed(
        "smppcli: the SMSC ended %ld sessions during the run: %ld binds made again, %.1f s "
        "without a bound transmitter\n",
        C.SessionsLost, C.Reconnects, S.UnboundSeconds);
  if (S.Stopped) Text += Printed("smppcli: stopped by the user after %.1f s\n", S.StoppedAfterS);
  if (C.UnmatchedResponses > 0 || C.UnmatchedReceipts > 0)
    Text += Printed(
        "smppcli: not of this run: %ld responses to no submit awaiting one, %ld receipts for no "
        "message id of this run (%ld of them could match two ids)\n",
        C.UnmatchedResponses, C.UnmatchedReceipts, C.AmbiguousReceipts);
  if (C.UnexpectedResponses > 0)
    Text += Printed("smppcli: unexpected responses: %ld answered no submit on the wire\n",
                    C.UnexpectedResponses);
  if (C.DuplicateMessageIds > 0)
    Text += Printed(
        "smppcli: duplicate message ids: %ld submits were given an id already given to another; "
        "their receipts cannot be told apart\n",
        C.DuplicateMessageIds);
  if (C.DuplicateReceipts > 0)
    Text += Printed(
        "smppcli: duplicate receipts: %ld for a message (and destination) whose receipt had "
        "come, not counted\n",
        C.DuplicateReceipts);
  if (C.DoubtfulReceipts > 0) {
    std::string Ways;
    for (const auto& [Word, N] : S.DoubtfulReasons)
      Ways += (Ways.empty() ? "" : ", ") + std::to_string(N) + " as " + EscapedReportLine(Word) +
              " (--receipt-ids " + EscapedReportLine(Word) + " would settle it)";
    Text += Printed("smppcli: doubtful receipts: %ld match a message id of this run only ",
                    C.DoubtfulReceipts) +
            "through a convention not settled: " + Ways + "\n";
  }
  return Text;
}

}  // namespace load
