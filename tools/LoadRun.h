// The bookkeeping of a load run in smppcli, kept apart from sockets and threads so that it can be
// tested alone: the submit rate limiter with its back-off, the latency histogram, the matcher that
// pairs each response with its own submit (by sequence number) and each delivery receipt with its
// message id, and the JSON writer of the summary. Nothing here locks: the caller serialises.
#pragma once

#include <cstdint>
#include <map>
#include <memory_resource>
#include <string>
#include <unordered_map>
#include <vector>

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
  explicit TRateLimiter(double Rate = 0) : FTarget(Rate), FRate(Rate) {}
  // How long to wait from Now before the next submit may go; 0 means now, and the token is taken.
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
  double FTokens = 1;
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
  // The smallest recorded value at or above which lies no more than (100 - P) percent of the
  // samples, to the histogram's precision; 0 when empty.
  TMicros Percentile(double P) const;

 private:
  static constexpr int kSubBits = 10;
  static size_t Index(uint64_t V);
  static uint64_t ValueAt(size_t I);
  std::vector<long> FBuckets;
  long FCount = 0;
  TMicros FMax = 0;
};

// Pairs answers with what was sent. Sequence numbers key the submits awaiting a response;
// message ids key the accepted submits awaiting receipts. A receipt's id is compared with the
// response's as text, and, where one is hexadecimal and the other decimal, as numbers.
class TMatcher {
 public:
  // Receipts expected per accepted submit (one per destination); 0 when receipts are not awaited.
  explicit TMatcher(long ReceiptsPerSubmit) : FReceiptsPerSubmit(ReceiptsPerSubmit) {}

  // A submit with this sequence number went at Now.
  void Submitted(uint32_t Sequence, TMicros Now);
  // A submit_sm_resp or submit_multi_resp came. Counts its status; a response for no submit of
  // ours that awaits one is counted apart (it may still come before its submit is recorded: such
  // a response is held and paired by Submitted).
  void Responded(uint32_t Sequence, uint32_t Status, const std::string& MessageId, TMicros Now);
  // A delivery receipt for this message id came. When receipts are not awaited it is only
  // counted.
  void Receipt(const std::string& MessageId, TMicros Now);

  long Sent() const { return FSent; }
  long Answered() const { return FAnswered; }
  long Accepted() const { return FAccepted; }
  long Receipts() const { return FReceipts; }
  long InFlight() const { return static_cast<long>(FAwaiting.size()); }
  long ReceiptsDue() const {
    return FReceiptsPerSubmit ? FAccepted * FReceiptsPerSubmit - FReceipts : 0;
  }
  // Responses for no submit of ours, receipts for no message id we were given; both include
  // those held because they came first, which may still find theirs.
  long UnmatchedResponses() const { return FStrayResponses + static_cast<long>(FEarly.size()); }
  long UnmatchedReceipts() const { return FHeldReceipts; }
  // Counts per command_status of the responses to our submits.
  const std::map<uint32_t, long>& Statuses() const { return FStatuses; }
  const THistogram& ResponseLatency() const { return FResponseLatency; }
  const THistogram& ReceiptLatency() const { return FReceiptLatency; }

 private:
  // Message ids by text, by value read as hexadecimal and by value read as decimal.
  template <typename T>
  struct TIdIndex {
    std::unordered_map<std::string, T> ByText;
    std::unordered_map<uint64_t, std::string> ByHex, ByDec;
    void Add(const std::string& Id, T Value);
    // The text key of an entry matching Id, or nullptr.
    const std::string* Find(const std::string& Id) const;
    void Erase(const std::string& Key);
  };
  struct TAwaited {
    TMicros SentAt;
    long Remaining;
  };
  struct TEarly {
    uint32_t Status;
    std::string MessageId;
    TMicros At;
  };
  void Answer(TMicros SentAt, uint32_t Status, const std::string& MessageId, TMicros Now);

  long FReceiptsPerSubmit;
  long FSent = 0, FAnswered = 0, FAccepted = 0, FReceipts = 0;
  long FStrayResponses = 0;
  long FHeldReceipts = 0;  // receipts in FEarlyReceipts
  // The nodes of the submits in flight are recycled through a pool: one submit and its
  // response cost no trip to the heap.
  std::pmr::unsynchronized_pool_resource FPool;
  std::pmr::unordered_map<uint32_t, TMicros> FAwaiting{&FPool};  // sequence -> sent at
  std::unordered_map<uint32_t, TEarly> FEarly;    // responses before their submit was recorded
  TIdIndex<TAwaited> FIds;                        // accepted submits awaiting receipts
  TIdIndex<std::vector<TMicros>> FEarlyReceipts;  // receipts before their response
  std::map<uint32_t, long> FStatuses;
  THistogram FResponseLatency, FReceiptLatency;
};

// The message id of a "+QUERY_RES id:state:err" report line, or false when the line is none.
bool ReceiptLineId(const std::string& Line, std::string& Id);

// A minimal writer of one JSON object: keys in the order given, numbers, text, nested objects.
class TJson {
 public:
  TJson& Number(const std::string& Key, double Value);
  TJson& Integer(const std::string& Key, long Value);
  TJson& Text(const std::string& Key, const std::string& Value);
  TJson& Bool(const std::string& Key, bool Value);
  TJson& Object(const std::string& Key, const TJson& Value);
  std::string Str() const { return "{" + FBody + "}"; }
  static std::string Quoted(const std::string& Text);

 private:
  void Key(const std::string& K);
  std::string FBody;
};

// The summary of one histogram: count, p50, p90, p99, p99.9 and max, in microseconds.
TJson LatencyJson(const THistogram& H);

}  // namespace load
