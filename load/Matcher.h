// Pairs each response of a load run with its own submit (by sequence number) and each delivery
// receipt with its message id, and counts what does not pair. Nothing here locks: the caller
// serialises.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "load/Histogram.h"

namespace load {

// How the message id of a submit's response and the id of its delivery receipt are compared.
// riExact: as text, ignoring case and leading zeros; riHexDec: the response's id read as
// hexadecimal, the receipt's as decimal (the common SMSC habit); riDecHex: the reverse (a gateway
// setting); riAuto: exact or hex-dec, keeping for the rest of the run the convention that told
// them apart. A receipt that matches the same id both ways tells nothing. One that matches one way
// alone tells at once when no submit awaits its response; otherwise it may have overtaken its own
// response and match by chance, so it is a vote: eight votes one way, at least four times those the
// other way, keep a convention, as does every held receipt pointing one way once nothing awaits a
// response. Receipts are held meanwhile.
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

  // Every response and receipt latency is also recorded in these (the run's current second),
  // when given.
  void SetTap(THistogram* Responses, THistogram* Receipts) {
    FTapResponses = Responses, FTapReceipts = Receipts;
  }
  // Submits go over several binds (Owner 0 to Owners - 1), each with its own sequence numbers
  // and at most about Window of them awaiting a response at once (a hint: more cost more); the
  // counts below are of them all, and per bind through Owner().
  void SetOwners(int Owners, long Window = 0) {
    FOwners.resize(static_cast<size_t>(std::max(1, Owners)));
    FAwaiting.Reserve(Window);
  }
  struct TOwnerCounts {
    long Sent = 0, Answered = 0, Accepted = 0, Receipts = 0;
    long InFlight = 0;  // sent and awaiting a response
    long Dropped = 0;   // awaited a response on a session that ended: never answered
  };
  const TOwnerCounts& Owner(int Owner) const { return FOwners[static_cast<size_t>(Owner)]; }

  // N more submits are on their way out but not recorded by Submitted yet (a negative N: that
  // many fewer). While any are, a receipt may belong to one of them, so under riAuto it cannot
  // tell the conventions apart by matching another id.
  void Claim(long N) { FUnrecorded += N; }
  // A submit with this sequence number went at Now over bind Owner.
  void Submitted(uint32_t Sequence, TMicros Now, int Owner = 0);
  // A submit_sm_resp or submit_multi_resp came. Counts its status; a response for no submit of
  // ours that awaits one is counted apart (it may still come before its submit is recorded: such
  // a response is held and paired by Submitted).
  void Responded(uint32_t Sequence, uint32_t Status, const std::string& MessageId, TMicros Now,
                 int Owner = 0);
  // The session of bind Owner ended: the submits it awaits a response for never get one. They
  // are counted as dropped, and a response held for a submit not yet recorded is forgotten (its
  // submit, when it is recorded, awaits a response anew). Gives the number dropped.
  long DropInFlight(int Owner);
  // A delivery receipt for this message id came, in state Stat (its stat word or message_state)
  // with error Err. When receipts are not awaited it is only counted.
  void Receipt(const std::string& MessageId, TMicros Now, std::string_view Stat = "DELIVRD",
               std::string_view Err = "000");
  // Receipt, for a receipt whose id is awaited, or whenever nothing would be held for it (receipts
  // not awaited, or the convention not kept yet); gives false, doing nothing, for one that would
  // be held. A caller that can offer it again later saves holding it.
  bool ReceiptIfAwaited(const std::string& MessageId, TMicros Now, std::string_view Stat,
                        std::string_view Err);

  long Sent() const { return FSent; }
  long Answered() const { return FAnswered; }
  long Accepted() const { return FAccepted; }
  long Receipts() const { return FReceipts; }
  long InFlight() const { return FAwaiting.Size(); }
  // Submits whose session ended before their response: never answered.
  long Dropped() const { return FDropped; }
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
    using TIter = typename std::unordered_map<std::string, T>::iterator;
    std::unordered_map<std::string, T> ByText;
    std::unordered_map<uint64_t, std::string> ByHex, ByDec;
    // Adds Key unless it is there, and gives its entry. Under riAuto both values of the key are
    // kept; under a kept convention only the one that Find reads for keys of the other side
    // (receipts' keys when QueriedByReceipts), since the convention never changes again.
    std::pair<TIter, bool> Add(const std::string& Key, T Value, TReceiptIds Ids,
                               bool QueriedByReceipts);
    // The entry that Key (of a receipt when IsReceipt, else of a response) matches under the
    // convention Ids (not riAuto), or ByText.end().
    TIter Find(const std::string& Key, TReceiptIds Ids, bool IsReceipt);
    void Erase(TIter It);
  };
  // Finds Key in Index under the convention in use; under riAuto settles the convention when one
  // alone matches. Ambiguous is set when two conventions point at two different entries.
  template <typename T>
  typename TIdIndex<T>::TIter Match(TIdIndex<T>& Index, const std::string& Key, bool IsReceipt,
                                    bool& Ambiguous);
  struct TAwaited {
    TMicros SentAt;
    long Remaining;
    int Owner;
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
  void Answer(TMicros SentAt, uint32_t Status, const std::string& MessageId, TMicros Now,
              int Owner);
  // The key of a submit: its bind above its sequence number.
  static uint64_t SubmitKey(uint32_t Sequence, int Owner) {
    return static_cast<uint64_t>(Owner) << 32 | Sequence;
  }
  // Counts the held receipts of Held (an entry of FEarlyReceipts) against the awaited id Awaited,
  // while both last. Gives whether Awaited is still awaited (else it is erased).
  bool ClaimHeld(TIdIndex<std::vector<THeld>>::TIter Held, TIdIndex<TAwaited>::TIter Awaited);
  // Once riAuto has kept a convention: the held receipts matched again under it.
  void RematchHeld();
  // No submit of ours can still be given an id we have not seen: none awaits its response or is
  // on its way out unrecorded (a response held early is one of those, or a stray).
  bool AllIdsGiven() const { return FAwaiting.Size() == 0 && FUnrecorded <= 0; }
  // riAuto keeps Ids.
  void Settle(TReceiptIds Ids);
  // riAuto, nothing awaiting a response: keeps the convention the held receipts point to, when
  // they point one way.
  void DecideHeld();
  // A receipt whose id's key is Key, in state word State, found awaited at Awaited (or not, at
  // the end of the index): counted, or held.
  void ReceiptFor(const std::string& Key, TIdIndex<TAwaited>::TIter Awaited, bool Ambiguous,
                  const std::string& State, TMicros Now, std::string_view Err);
  void CountReceipt(TMicros Latency, const std::string& Stat, std::string_view Err, int Owner);
  static void CountWord(std::map<std::string, long>& Counts, const std::string& Word);

  long FReceiptsPerSubmit;
  TReceiptIds FIds;
  long FSent = 0, FAnswered = 0, FAccepted = 0, FReceipts = 0;
  long FStrayResponses = 0;
  long FDropped = 0;
  long FUnrecorded = 0;  // see Claim
  THistogram *FTapResponses = nullptr, *FTapReceipts = nullptr;
  std::vector<TOwnerCounts> FOwners = std::vector<TOwnerCounts>(1);
  long FHeldReceipts = 0;  // receipts in FEarlyReceipts
  long FAmbiguous = 0;     // of them, held as ambiguous
  bool FSettled = false;   // riAuto has just kept a convention: RematchHeld is due
  // riAuto's votes of receipts that matched one way alone while submits awaited responses:
  // exact, hex-dec.
  long FVotes[2] = {0, 0};
  static constexpr long kVotesToSettle = 8;
  // The submits awaiting a response: SubmitKey -> sent at. A bind's sequence numbers rise one by
  // one, so a slot per number, modulo a table of a few windows, finds nearly every submit at its
  // first look, with no hashing and no trip to the heap; one still awaited when its slot comes
  // round again moves to a map.
  class TAwaitingTable {
   public:
    void Reserve(long Window);
    // Adds Key, or gives it a new time.
    void Put(uint64_t Key, TMicros SentAt);
    // Finds Key and removes it, giving its time.
    bool Take(uint64_t Key, TMicros& SentAt);
    // Removes every key of Owner; gives how many there were.
    long DropOwner(int Owner);
    long Size() const { return FSize; }

   private:
    struct TSlot {
      uint32_t Sequence = 0;
      bool Used = false;
      TMicros SentAt = 0;
    };
    std::vector<TSlot>& Slots(int Owner);
    size_t FSlotCount = 1024;
    std::vector<std::vector<TSlot>> FSlots;  // by owner, made when first used
    std::unordered_map<uint64_t, TMicros> FMoved;
    long FSize = 0;
  };
  TAwaitingTable FAwaiting;
  std::unordered_map<uint64_t, TEarly> FEarly;  // responses before their submit was recorded
  TIdIndex<TAwaited> FAwaitedIds;               // accepted submits awaiting receipts
  TIdIndex<std::vector<THeld>> FEarlyReceipts;  // receipts before their response
  std::map<uint32_t, long> FStatuses;
  std::map<std::string, long> FStates, FErrors;
  THistogram FResponseLatency, FReceiptLatency;
};

// The message id of a "+QUERY_RES id:state:err" report line, or false when the line is none.
bool ReceiptLineId(const std::string& Line, std::string& Id);

}  // namespace load
