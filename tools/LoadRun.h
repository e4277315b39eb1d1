// The bookkeeping of a load run in smppcli, kept apart from sockets and threads so that it can be
// tested alone: the submit rate limiter with its back-off, the latency histogram, the matcher that
// pairs each response with its own submit (by sequence number) and each delivery receipt with its
// message id, and the JSON writer of the summary. Nothing here locks: the caller serialises.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

namespace load {

// Times are in microseconds of a steady clock; their origin is the caller's.
using TMicros = int64_t;

// A token bucket: at most Rate submits per second, spread evenly. The bucket holds a tenth of a
// second's worth (at least one), so a sender woken late catches up what it missed; a second cap
// keeps every second within 1% of the rate all the same: no more than 1.01 Rate submits in any
// 101 slots of 10 ms (which cover any second), so the catching up is spread too. Throttled halves
// the current rate (at most once per 200 ms, as the answers to a whole window of submits come back
// together); every 100 ms without a throttle the rate climbs back by a twentieth of its ceiling.
// Without a rate (0) the sender is unlimited until throttled; the ceiling is then the rate seen at
// that moment, and reaching it again lifts the limit.
class TRateLimiter {
 public:
  // Each Take takes Submits tokens at once, one per submit of a message whose parts go together;
  // the rate never backs off below Submits per second, at which such a message still goes.
  explicit TRateLimiter(double Rate = 0, long Submits = 1)
      : FTarget(Rate), FRate(Rate), FSubmits(std::max(1L, Submits)) {}
  // How long to wait from Now before the next message may go; 0 means now, and its tokens are
  // taken.
  TMicros Take(TMicros Now);
  // A throttled (0x58) or queue-full (0x14) answer came at Now; SeenRate is the submits per second
  // of the last moments, the base for halving when there is no limit yet.
  void Throttled(TMicros Now, double SeenRate);
  double Rate() const { return FRate; }  // 0: unlimited
  long BackOffs() const { return FBackOffs; }

 private:
  void Recover(TMicros Now);

  double FTarget;       // the rate asked for; 0 unlimited
  double FRate;         // the rate now; 0 unlimited
  double FCeiling = 0;  // the rate to climb back to
  long FSubmits;        // tokens per Take
  double FTokens = 0;
  TMicros FLast = -1;          // last refill
  TMicros FLastThrottle = -1;  // last halving
  TMicros FLastRecover = -1;   // last step back up
  long FBackOffs = 0;
  // Submits per 10 ms slot over the last 101 slots, a ring indexed by slot number.
  static constexpr int kSlots = 101;
  static constexpr TMicros kSlotMicros = 10000;
  long FSlots[kSlots] = {};
  TMicros FSlot = 0;  // the newest slot in the ring
  long FInSlots = 0;  // their sum
};

// Latencies in microseconds, kept as a histogram of fixed size: exact below 2048 us, then within
// a tenth of a percent. Memory does not grow with the number of samples.
class THistogram {
 public:
  void Record(TMicros Value);
  long Count() const { return FCount; }
  TMicros Max() const { return FMax; }
  // The nearest-rank percentile PerMille / 10 (500 for p50, 999 for p99.9): the value of rank
  // ceil(PerMille * Count / 1000), to the histogram's precision; 0 when empty. The rank is
  // computed in integers, so p99.9 of 1000 samples is the 999th.
  TMicros Percentile(int PerMille) const;

 private:
  static constexpr int kSubBits = 10;
  static size_t Index(uint64_t V);
  static uint64_t ValueAt(size_t I);
  std::vector<long> FBuckets;
  long FCount = 0;
  TMicros FMax = 0;
};

// How the message id of a submit's response and the id of its delivery receipt are compared.
// riExact: as text, ignoring case and leading zeros; riHexDec: the response's id read as
// hexadecimal, the receipt's as decimal (the common SMSC habit); riDecHex: the reverse (a gateway
// setting); riAuto: exact, then hex-dec, keeping for the rest of the run the first convention that
// told them apart (a receipt that matches the same id both ways tells nothing).
enum class TReceiptIds { riAuto, riExact, riHexDec, riDecHex };
std::optional<TReceiptIds> ReceiptIdsFromWord(std::string_view Word);  // auto, exact, hex-dec, ...
std::string_view ReceiptIdsWord(TReceiptIds Ids);

// A receipt's state word as counted: upper case, printable, at most 16 characters; "(none)" when
// the receipt carries none.
std::string ReceiptStateWord(std::string_view Stat);
// An intermediate notification (ENROUTE): counted by its state, but the final receipt is still
// awaited.
bool IntermediateState(std::string_view Word);

// Pairs answers with what was sent. Sequence numbers key the submits awaiting a response;
// message ids key the accepted submits awaiting receipts, compared by the convention given. One id
// never stands for another: a receipt that could match two awaited ids matches none and is
// counted apart.
class TMatcher {
 public:
  // Receipts expected per accepted submit (one per destination); 0 when receipts are not awaited.
  explicit TMatcher(long ReceiptsPerSubmit, TReceiptIds Ids = TReceiptIds::riAuto)
      : FReceiptsPerSubmit(ReceiptsPerSubmit), FIds(Ids) {}

  // A submit with this sequence number went at Now.
  void Submitted(uint32_t Sequence, TMicros Now);
  // A submit_sm_resp or submit_multi_resp came. Counts its status; a response for no submit of
  // ours that awaits one is counted apart (it may still come before its submit is recorded: such
  // a response is held and paired by Submitted).
  void Responded(uint32_t Sequence, uint32_t Status, const std::string& MessageId, TMicros Now);
  // A delivery receipt for this message id came, in state Stat (its stat word or message_state)
  // with error Err. When receipts are not awaited it is only counted.
  void Receipt(const std::string& MessageId, TMicros Now, std::string_view Stat = "DELIVRD",
               std::string_view Err = "000");

  long Sent() const { return FSent; }
  long Answered() const { return FAnswered; }
  long Accepted() const { return FAccepted; }
  long Receipts() const { return FReceipts; }
  long InFlight() const { return static_cast<long>(FAwaiting.size()); }
  long ReceiptsDue() const {
    return FReceiptsPerSubmit ? FAccepted * FReceiptsPerSubmit - FReceipts : 0;
  }
  // Responses for no submit of ours, receipts for no message id we were given; both include
  // those held because they came first, which may still find theirs. The unmatched receipts
  // include the ambiguous ones.
  long UnmatchedResponses() const { return FStrayResponses + static_cast<long>(FEarly.size()); }
  long UnmatchedReceipts() const { return FHeldReceipts; }
  // Of those, the receipts that could match two awaited ids when they came, under riAuto before
  // a receipt told the conventions apart. They are held, and matched once one convention is kept.
  long AmbiguousReceipts() const { return FAmbiguous; }
  // The convention in use: under riAuto the one found, riAuto while none is found yet.
  TReceiptIds Convention() const { return FIds; }
  // Counts per command_status of the responses to our submits.
  const std::map<uint32_t, long>& Statuses() const { return FStatuses; }
  // The receipts counted (and the intermediate notifications for ids of ours), by state word and
  // by err text.
  const std::map<std::string, long>& ReceiptStates() const { return FStates; }
  const std::map<std::string, long>& ReceiptErrors() const { return FErrors; }
  const THistogram& ResponseLatency() const { return FResponseLatency; }
  const THistogram& ReceiptLatency() const { return FReceiptLatency; }

 private:
  // Ids by their text without case and leading zeros, and by value read as hexadecimal and as
  // decimal. Two ids with one text key have one value each way, so the value maps never clash.
  template <typename T>
  struct TIdIndex {
    std::unordered_map<std::string, T> ByText;
    std::unordered_map<uint64_t, std::string> ByHex, ByDec;
    void Add(const std::string& Key, T Value);
    // The text key of the entry that Key (of a receipt when IsReceipt, else of a response)
    // matches under the convention Ids (not riAuto), or nullptr.
    const std::string* Find(const std::string& Key, TReceiptIds Ids, bool IsReceipt) const;
    void Erase(const std::string& Key);
  };
  // Finds Key in Index under the convention in use; under riAuto settles the convention when one
  // alone matches. Ambiguous is set when two conventions point at two different entries.
  template <typename T>
  const std::string* Match(const TIdIndex<T>& Index, const std::string& Key, bool IsReceipt,
                           bool& Ambiguous);
  struct TAwaited {
    TMicros SentAt;
    long Remaining;
  };
  struct TEarly {
    uint32_t Status;
    std::string MessageId;
    TMicros At;
  };
  struct THeld {
    TMicros At;
    std::string Stat, Err;
    bool Ambiguous;
  };
  void Answer(TMicros SentAt, uint32_t Status, const std::string& MessageId, TMicros Now);
  // Counts the held receipts of Held (a key of FEarlyReceipts) against the awaited id Awaited,
  // while both last.
  void ClaimHeld(const std::string& Held, const std::string& Awaited);
  // Once riAuto has kept a convention: the held receipts matched again under it.
  void RematchHeld();
  void CountReceipt(TMicros Latency, const std::string& Stat, std::string_view Err);
  static void CountWord(std::map<std::string, long>& Counts, const std::string& Word);

  long FReceiptsPerSubmit;
  TReceiptIds FIds;
  long FSent = 0, FAnswered = 0, FAccepted = 0, FReceipts = 0;
  long FStrayResponses = 0;
  long FHeldReceipts = 0;  // receipts in FEarlyReceipts
  long FAmbiguous = 0;     // of them, held as ambiguous
  bool FSettled = false;   // riAuto has just kept a convention: RematchHeld is due
  // The nodes of the submits in flight are recycled through a pool: one submit and its
  // response cost no trip to the heap.
  std::pmr::unsynchronized_pool_resource FPool;
  std::pmr::unordered_map<uint32_t, TMicros> FAwaiting{&FPool};  // sequence -> sent at
  std::unordered_map<uint32_t, TEarly> FEarly;  // responses before their submit was recorded
  TIdIndex<TAwaited> FAwaitedIds;               // accepted submits awaiting receipts
  TIdIndex<std::vector<THeld>> FEarlyReceipts;  // receipts before their response
  std::map<uint32_t, long> FStatuses;
  std::map<std::string, long> FStates, FErrors;
  THistogram FResponseLatency, FReceiptLatency;
};

// The message id of a "+QUERY_RES id:state:err" report line, or false when the line is none.
bool ReceiptLineId(const std::string& Line, std::string& Id);

// The summary of one histogram: count, p50, p90, p99, p99.9 and max, in microseconds.
nlohmann::ordered_json LatencyJson(const THistogram& H);

// Json as one line of text; bytes that are not UTF-8 (a host name given on the command line, an
// id from the network) are replaced by U+FFFD, so that the text is always valid JSON.
std::string JsonText(const nlohmann::ordered_json& Json);

}  // namespace load
