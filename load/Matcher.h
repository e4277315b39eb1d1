// Pairs each response of a load run with its own submit (by sequence number) and each delivery
// receipt with its message id, and counts what does not pair. Nothing here locks: the caller
// serialises.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "load/Histogram.h"

namespace load {

// How the message id of a submit's response and the id of its delivery receipt are compared.
// riExact: equal as text, ignoring case only; riExactNoZeros: likewise once leading zeros are
// dropped; riHexDec: the response's id read as hexadecimal, the receipt's as decimal (the common
// SMSC habit); riDecHex: the reverse (a gateway setting, never guessed). riAuto: a receipt equal as
// text to an id is that id's (unless hex-dec reads it as another's: then it matches none); one
// that matches only through a transformation (zeros dropped, hex-dec) is doubtful and held, until
// agreeing receipts of several distinct submits (eight, at least four times as many as any other
// way has) keep that transformation for the rest of the run. Equal text is kept the same way, or
// at once by a receipt that cannot have overtaken its response (none is awaited).
enum class TReceiptIds { riAuto, riExact, riHexDec, riDecHex, riExactNoZeros };
// auto, exact, hex-dec, dec-hex, exact-nozeros
std::optional<TReceiptIds> ReceiptIdsFromWord(std::string_view Word);
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
// counted apart. A response answers only a submit already on the wire; a receipt counts once per
// destination awaited, and a duplicate never fills in for a missing one.
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
  // many fewer).
  void Claim(long N) { FUnrecorded += N; }
  // A submit with this sequence number went at Now over bind Owner. Destinations, for a
  // submit_multi, is its list of destinations as sent (comma-separated): each awaits its own
  // receipt, told apart by the source_addr the receipt reports.
  void Submitted(uint32_t Sequence, TMicros Now, int Owner = 0,
                 const std::string* Destinations = nullptr);
  // A submit_sm_resp or submit_multi_resp came, read at Now. Counts its status; Unsuccess lists
  // (comma-separated) the destinations of a submit_multi the SMSC refused, which await no
  // receipt. A response that overtakes the recording of its submit is held and paired by
  // Submitted; one read before its submit went (earlier than its sent time), one for no submit
  // of ours and a second answer to one submit are unexpected.
  void Responded(uint32_t Sequence, uint32_t Status, const std::string& MessageId, TMicros Now,
                 int Owner = 0, std::string_view Unsuccess = {});
  // The session of bind Owner ended: the submits it awaits a response for never get one. They
  // are counted as dropped. A response held for a submit not yet recorded answered nothing on
  // the wire of that session: it stays counted as unexpected (its submit, if it is recorded
  // later, awaits a response anew). Gives the number dropped.
  long DropInFlight(int Owner);
  // A delivery receipt for this message id came, in state Stat (its stat word or message_state)
  // with error Err, reporting on destination Source; Notification when it is an intermediate
  // notification (esm_class type 0x20). An intermediate one (a notification, or a receipt in an
  // intermediate state) is counted as ENROUTE and never stands for the final receipt. When
  // receipts are not awaited it is only counted.
  void Receipt(const std::string& MessageId, TMicros Now, std::string_view Stat = "DELIVRD",
               std::string_view Err = "000", std::string_view Source = {},
               bool Notification = false);
  // Receipt, for a receipt whose id is awaited, or whenever nothing would be held for it (receipts
  // not awaited, or the convention not kept yet); gives false, doing nothing, for one that would
  // be held. A caller that can offer it again later saves holding it.
  bool ReceiptIfAwaited(const std::string& MessageId, TMicros Now, std::string_view Stat,
                        std::string_view Err, std::string_view Source = {},
                        bool Notification = false);

  long Sent() const { return FSent; }
  long Answered() const { return FAnswered; }
  long Accepted() const { return FAccepted; }
  long Receipts() const { return FReceipts; }
  long InFlight() const { return FAwaiting.Size(); }
  // Submits whose session ended before their response: never answered.
  long Dropped() const { return FDropped; }
  long ReceiptsDue() const { return FReceiptsPerSubmit ? FExpected - FReceipts : 0; }
  // Responses that answer no submit on the wire: for no submit of ours (those held because they
  // came first included, which may still find theirs), read before their submit went, or a second
  // answer to one submit.
  long UnexpectedResponses() const {
    return FStrayResponses + FPremature + static_cast<long>(FEarly.size());
  }
  long UnmatchedResponses() const { return UnexpectedResponses(); }
  // Receipts for no message id we were given (nor for one whose receipts all came), held because
  // they may still find theirs; the ambiguous and doubtful ones among them.
  long UnmatchedReceipts() const { return FHeldReceipts - LateCounts().Receipts; }
  // Of those, the receipts that could match two awaited ids when they came. They are held, and
  // matched once one convention is kept.
  long AmbiguousReceipts() const { return FAmbiguous; }
  // Of those, the receipts that match an id of ours only through a transformation not kept (under
  // riAuto): in total, and by the --receipt-ids word that would settle them (a receipt with two
  // such readings under both).
  long DoubtfulReceipts() const;
  std::map<std::string, long> DoubtfulReasons() const;
  // Receipts for an id (and destination) whose receipts had all come: not counted as receipts.
  long DuplicateReceipts() const { return FDuplicateReceipts + LateCounts().Receipts; }
  // Accepted submits given a message id that an earlier submit of the run was given; the first
  // such id. Their receipts cannot be told apart.
  long DuplicateMessageIds() const { return FDuplicateIds + LateCounts().Ids; }
  const std::string& DuplicateIdExample() const { return FDuplicateExample; }
  // The convention in use: under riAuto the one found, riExact when only receipts equal as text
  // were matched, riAuto while none is found yet.
  TReceiptIds Convention() const {
    return FIds == TReceiptIds::riAuto && FExactMatches > 0 ? TReceiptIds::riExact : FIds;
  }
  // Counts per command_status of the responses to our submits.
  const std::map<uint32_t, long>& Statuses() const { return FStatuses; }
  // The receipts counted (and the intermediate notifications for ids of ours), by state word and
  // by err text.
  const std::map<std::string, long>& ReceiptStates() const { return FStates; }
  const std::map<std::string, long>& ReceiptErrors() const { return FErrors; }
  const THistogram& ResponseLatency() const { return FResponseLatency; }
  const THistogram& ReceiptLatency() const { return FReceiptLatency; }

 private:
  // The transformations riAuto tries after the text itself, by index.
  static constexpr TReceiptIds kTransforms[] = {TReceiptIds::riExactNoZeros, TReceiptIds::riHexDec,
                                                TReceiptIds::riDecHex};
  static constexpr size_t kTransformCount = std::size(kTransforms);
  // Ids by their text in lower case, by that text without leading zeros, and by value read as
  // hexadecimal and as decimal. Ids whose values clash keep the first.
  template <typename T>
  struct TIdIndex {
    using TIter = typename std::unordered_map<std::string, T>::iterator;
    std::unordered_map<std::string, T> ByText;
    std::unordered_map<std::string, std::string> ByNoZeros;
    std::unordered_map<uint64_t, std::string> ByHex, ByDec;
    // Adds Key unless it is there, and gives its entry. Under riAuto every reading of the key is
    // kept; under a kept convention only the one that Find reads for keys of the other side
    // (receipts' keys when QueriedByReceipts), since the convention never changes again.
    std::pair<TIter, bool> Add(const std::string& Key, T Value, TReceiptIds Ids,
                               bool QueriedByReceipts);
    // The entry that Key (of a receipt when IsReceipt, else of a response) matches under the
    // convention Ids (not riAuto), or ByText.end().
    TIter Find(const std::string& Key, TReceiptIds Ids, bool IsReceipt);
    void Erase(TIter It);
  };
  // How Match found a key.
  enum class THow { None, Found, Agreed, Doubtful, Ambiguous };
  static constexpr size_t kHexDec = 1;             // in kTransforms
  static constexpr size_t kAutoTransforms = 2;     // those riAuto tries: not dec-hex
  static constexpr unsigned kEqualText = 1u << 8;  // Doubts of an Ambiguous key equal to an id
  // Finds Key in Index under the convention in use (Found, or None). Under riAuto: a key equal as
  // text is Found, Agreed when hex-dec finds the same entry, Ambiguous when it finds another; a
  // key that is no id as text and is matched by transformations (all pointing at one entry, the
  // bits of Doubts) is Doubtful, given with its entry; two entries are Ambiguous (with Doubts
  // kEqualText when one of them is equal as text).
  template <typename T>
  typename TIdIndex<T>::TIter Match(TIdIndex<T>& Index, const std::string& Key, bool IsReceipt,
                                    THow& How, unsigned& Doubts);
  struct TAwaited {
    TMicros SentAt;
    long Remaining;
    int Owner;
    // The destinations of a submit_multi whose receipts are awaited; none: any source_addr.
    std::unique_ptr<std::vector<std::string>> Destinations;
  };
  struct TEarly {
    uint32_t Status;
    std::string MessageId, Unsuccess;
    TMicros At;
  };
  struct THeld {
    TMicros At;
    std::string Stat, Err, Source;
    bool Ambiguous, Intermediate;
    unsigned Doubts;  // the transformations it matches an id through, when Doubtful
  };
  void Answer(TMicros SentAt, uint32_t Status, const std::string& MessageId, TMicros Now, int Owner,
              std::string_view Unsuccess, std::string_view Destinations);
  // The key of a submit: its bind above its sequence number.
  static uint64_t SubmitKey(uint32_t Sequence, int Owner) {
    return static_cast<uint64_t>(Owner) << 32 | Sequence;
  }
  // Counts the held receipts of Held (an entry of FEarlyReceipts) against the awaited id Awaited
  // and forgets them: those it awaits no more are duplicates.
  void ClaimHeld(TIdIndex<std::vector<THeld>>::TIter Held, TIdIndex<TAwaited>::TIter Awaited);
  // Once riAuto has kept a convention: the held receipts matched again under it.
  void RematchHeld();
  // riAuto, nothing awaiting a response: keeps equal text when a held receipt now tells it.
  void DecideHeld();
  // No submit of ours can still be given an id we have not seen: none awaits its response or is
  // on its way out unrecorded.
  bool AllIdsGiven() const { return FAwaiting.Size() == 0 && FUnrecorded <= 0; }
  // riAuto: a receipt matched the awaited id Key as text (Way 0) or through kTransforms[Way - 1]
  // alone; keeps that way once enough distinct ids agree and the others lag far behind.
  void Vote(size_t Way, const std::string& Key);
  // The receipt for Awaited (final, from Source) counts: false, counting nothing, when its
  // receipts (or that destination's) all came.
  bool Consume(TAwaited& A, std::string_view Source);
  // Of the last kKeepGiven ids given: how many were given again once their receipts had all
  // come, and how many held receipts are for one of them (duplicates).
  struct TLateCounts {
    long Ids = 0, Receipts = 0;
  };
  TLateCounts LateCounts() const;
  // A receipt whose id's key is Key, found at Awaited (or not: the end of the index) as How
  // says: counted, or held.
  void ReceiptFor(const std::string& Key, TIdIndex<TAwaited>::TIter Awaited, THow How,
                  unsigned Doubts, const std::string& State, TMicros Now, std::string_view Err,
                  std::string_view Source, bool Intermediate);
  void CountReceipt(TMicros Latency, const std::string& Stat, std::string_view Err, int Owner);
  static void CountWord(std::map<std::string, long>& Counts, const std::string& Word);

  long FReceiptsPerSubmit;
  TReceiptIds FIds;
  long FSent = 0, FAnswered = 0, FAccepted = 0, FReceipts = 0;
  long FExpected = 0;  // receipts awaited in all, for the accepted submits
  long FStrayResponses = 0, FPremature = 0;
  long FDropped = 0;
  long FUnrecorded = 0;  // see Claim
  THistogram *FTapResponses = nullptr, *FTapReceipts = nullptr;
  std::vector<TOwnerCounts> FOwners = std::vector<TOwnerCounts>(1);
  long FHeldReceipts = 0;  // receipts in FEarlyReceipts
  long FAmbiguous = 0;     // of them, held as ambiguous
  long FDuplicateReceipts = 0, FDuplicateIds = 0, FExactMatches = 0;
  std::string FDuplicateExample;
  bool FSettled = false;  // riAuto has just kept a convention: RematchHeld is due
  // riAuto's votes: the distinct awaited ids that receipts matched through one transformation
  // alone, by transformation.
  static constexpr size_t kWays = 1 + kTransformCount;  // exact, then kTransforms
  std::unordered_set<std::string> FVotes[kWays];
  static constexpr size_t kVotesToSettle = 8;
  // The keys of the last kKeepGiven message ids given (a ring; the first FGivenCount slots once
  // it has not come round), so that a duplicate receipt or an id given again once its receipts
  // came is told from a stray at the end, at no cost per receipt.
  static constexpr size_t kKeepGiven = 1 << 16;
  std::vector<std::string> FGiven;
  size_t FGivenCount = 0;
  // LateCounts as last counted, and the counts it was counted at.
  mutable TLateCounts FLate;
  mutable std::array<long, 4> FLateStamp = {-1, -1, -1, -1};
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
  // The destinations of the submit_multi awaiting a response, by SubmitKey.
  std::unordered_map<uint64_t, std::string> FMultiDestinations;
  TIdIndex<TAwaited> FAwaitedIds;               // accepted submits awaiting receipts
  TIdIndex<std::vector<THeld>> FEarlyReceipts;  // receipts before their response
  std::map<uint32_t, long> FStatuses;
  std::map<std::string, long> FStates, FErrors;
  THistogram FResponseLatency, FReceiptLatency;
};

// The message id of a "+QUERY_RES id:state:err" report line, or false when the line is none.
bool ReceiptLineId(const std::string& Line, std::string& Id);

}  // namespace load
