// TMessageJourney: what became of each message the client sent. Fed with the client's trace
// records in order, it ties the parts of a message (submit_sm, submit_multi or data_sm; the parts
// of a concatenated one by their reference) to their responses by connection and sequence number,
// and to the delivery receipts that name their message ids, with the times between them and the
// state each message is in. Receipts that match no message are listed apart.
//
// Bounded: the newest Capacity messages are held, and older ones leave, counted; the indexes by
// sequence number and by message id leave with them. A view sits on it through Count and
// Message(I), and learns what changed with TakeChanges.
//
// Not thread-safe: one thread (the window's) feeds, reads and clears, the way it drains the trace
// ring.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "inspect/PduTraceRing.h"

// How the parts of a concatenated message say that they belong together: a user data header
// (8-bit or 16-bit reference) or the SAR optional parameters.
enum class TConcatTie : uint8_t { ctNone, ctUdh, ctSar };

// A delivery receipt or intermediate notification (deliver_sm or data_sm from the SMSC).
struct TJourneyReceipt {
  TPduConnection Connection = TPduConnection::pcRcx;
  uint32_t Sequence = 0;  // the SMSC's number of the deliver_sm or data_sm
  int64_t MonotonicNs = 0;
  std::string MessageId;  // receipted_message_id, or the id: of the text
  std::string Stat;       // the stat: word, or the word of message_state
  std::string Err;        // the err: of the text; empty when it has none
  // An intermediate notification, or a receipt whose state is ENROUTE: not the final word.
  bool Intermediate = false;
};

// What answered a part.
enum class TPartAnswer : uint8_t {
  paAwaiting,  // sent, no response yet
  paAnswered,  // a response (or generic_nack) came
  paLost,      // its connection closed first: no response can come any more
};

// One PDU of a message: a whole message, or one part of a concatenated one.
struct TJourneyPart {
  TPduConnection Connection = TPduConnection::pcTcx;
  uint32_t CommandId = 0;  // kSubmitSm, kSubmitMulti or kDataSm
  uint32_t Sequence = 0;
  uint8_t Seq = 0;  // its number among the parts, 1 based; 0 for a message that is whole
  int64_t SubmitNs = 0;
  // registered_delivery asks for an SMSC delivery receipt (on success, failure or both).
  bool ReceiptAsked = false;
  // The receipts that make it final: one per destination (a submit_multi's, less those its
  // response reports refused).
  uint16_t ReceiptsDue = 1;
  TPartAnswer Answer = TPartAnswer::paAwaiting;
  uint32_t ResponseCommand = 0;  // the response's command_id (generic_nack included)
  int64_t ResponseNs = 0;
  uint32_t Status = 0;
  std::string MessageId;
  std::vector<TJourneyReceipt> Receipts;  // as they came

  bool Accepted() const { return Answer == TPartAnswer::paAnswered && Status == 0; }
  // Submit to response; -1 before the response.
  int64_t ResponseDelayNs() const {
    return Answer == TPartAnswer::paAnswered ? ResponseNs - SubmitNs : -1;
  }
  // The final receipts held (intermediate notifications not counted).
  size_t FinalReceipts() const;
};

struct TJourneyMessage {
  // The message's number since the journey was made: 0 for the first, never reused.
  uint64_t Serial = 0;
  std::string Source;
  // The destination, or a submit_multi's destinations joined by ",".
  std::string Destination;
  TConcatTie Tie = TConcatTie::ctNone;
  uint16_t Reference = 0;
  uint8_t Total = 0;                // parts announced; 0 for a message that is whole
  std::vector<TJourneyPart> Parts;  // in the order sent

  // The first part's submit to the last part's response, once every part announced is answered;
  // -1 before.
  int64_t ResponseDelayNs() const;
  // The first part's submit to the last final receipt, once every receipt due is in; -1 before.
  int64_t ReceiptDelayNs() const;
};

// The state of a message in words, the first that holds of:
//   "rejected: ESME_RTHROTTLED"      a part was answered with an error (the first such part's)
//   "no response"                    a part's connection closed before its response
//   "awaiting response"              a part is not answered yet
//   "accepted"                       no part asked for a receipt
//   "UNDELIV (err 005)", "DELIVRD"   every receipt due is in: the state they share, or else the
//                                    first that is not DELIVRD, with its err when that is not
//                                    zero ("(no state)" for a receipt that names none)
//   "accepted, 1 of 3 receipts"      some receipts are in
//   "accepted, ENROUTE"              only intermediate notifications are in
//   "accepted, no receipt yet"
// A concatenated message of which not every part was seen adds " (2 of 3 parts)".
std::string JourneyState(const TJourneyMessage& Message);

// What changed since the last TakeChanges, in the terms a table model needs: first the Removed
// oldest rows leave, then Added rows come at the end, and the rows in Changed (indices after both,
// ascending, none of the added ones) are shown anew.
struct TJourneyChanges {
  size_t Removed = 0;
  size_t Added = 0;
  std::vector<size_t> Changed;
  bool OrphansChanged = false;
};

class TMessageJourney {
 public:
  static constexpr size_t kDefaultCapacity = 100'000;
  // Orphan receipts held at most (older ones leave, counted).
  static constexpr size_t kOrphanCapacity = 10'000;

  explicit TMessageJourney(size_t Capacity = kDefaultCapacity);

  // Takes one trace record: a submit_sm, submit_multi or data_sm sent starts a message or adds a
  // part to one; its response, a generic_nack, a delivery receipt and a connection's close move
  // one on. Every other record is passed over. Bytes that break the rules are taken as far as they
  // can be read; nothing is read outside them.
  void OnTrace(const TPduTraceRecord& Record);

  size_t Count() const { return FMessages.size(); }
  // Message I, the oldest held being 0.
  const TJourneyMessage& Message(size_t I) const { return FMessages[I]; }
  // Messages that left to make room, since the journey was made or cleared.
  uint64_t Evicted() const { return FEvicted; }

  // The row of the message that a traced PDU belongs to: its submit or response (our sequence
  // number on that connection), or a receipt of it or the answer to that receipt (the SMSC's
  // number). nullopt for any other PDU, or when the message has left.
  std::optional<size_t> RowOfPdu(TPduConnection Connection, TPduDirection Direction,
                                 const uint8_t* Bytes, size_t Length) const;
  // The row of the newest message that was given this message id.
  std::optional<size_t> RowOfMessageId(std::string_view MessageId) const;

  // The receipts that matched no message, oldest first; OrphansEvicted left to make room.
  size_t OrphanCount() const { return FOrphans.size(); }
  const TJourneyReceipt& Orphan(size_t I) const { return FOrphans[I]; }
  uint64_t OrphansEvicted() const { return FOrphansEvicted; }

  // What changed since the last call (or since the journey was made or cleared).
  TJourneyChanges TakeChanges();

  // Forgets every message and orphan; the next TakeChanges removes every row shown.
  void Clear();

 private:
  // Where a message or one of its parts is: the message's serial and the part's index.
  struct TPlace {
    uint64_t Serial = 0;
    uint16_t Part = 0;
  };
  // Sequence numbers are keyed by connection and by who numbered them: ours (a submit and its
  // response) or the SMSC's (a receipt and our answer to it), which may coincide.
  static uint64_t SequenceKey(TPduConnection Connection, bool Ours, uint32_t Sequence) {
    return (uint64_t(Connection) << 33) | (uint64_t(Ours) << 32) | Sequence;
  }
  // The key of a concatenated message whose parts are still coming.
  static std::string OpenKey(const TJourneyMessage& M);

  void OnSubmit(const TPduTraceRecord& Record, uint32_t CommandId, uint32_t Sequence);
  void OnResponse(const TPduTraceRecord& Record, uint32_t CommandId, uint32_t Status,
                  uint32_t Sequence);
  void OnDelivery(const TPduTraceRecord& Record, uint32_t Sequence);
  void OnClosed(TPduConnection Connection);

  TJourneyMessage* Find(uint64_t Serial);
  TJourneyPart* Find(const TPlace& Place);
  void Touch(uint64_t Serial);
  // Claims the orphans that name Part's id and came after Part was sent: a receipt can overtake
  // its submit's response when the two come over different connections.
  void ClaimOrphans(TPlace Place, TJourneyPart& Part);
  void AddOrphan(TJourneyReceipt Receipt);
  void Evict();
  void Unindex(const TJourneyMessage& M);

  const size_t FCapacity;
  std::deque<TJourneyMessage> FMessages;
  uint64_t FNextSerial = 0;
  uint64_t FEvicted = 0;
  std::unordered_map<uint64_t, TPlace> FBySequence;
  // By message id as compared: ASCII letters in lower case, leading zeros dropped.
  std::unordered_map<std::string, TPlace> FById;
  std::unordered_map<std::string, uint64_t> FOpen;
  // Our sequence keys whose response is still due, for a connection's close.
  std::unordered_set<uint64_t> FAwaiting;
  std::deque<TJourneyReceipt> FOrphans;
  uint64_t FOrphansEvicted = 0;
  // The serials of the rows a view shows since the last TakeChanges, [FShownBegin, FShownEnd),
  // and the serials of those that changed since.
  uint64_t FShownBegin = 0;
  uint64_t FShownEnd = 0;
  std::vector<uint64_t> FChanged;
  bool FOrphansChanged = false;
};
