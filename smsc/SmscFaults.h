// The fault options of the SMSC side: every way it can misbehave towards a client, as one plain
// record. Every field's default is the well-behaved SMSC; the options combine. Counting ("every
// Nth submit", "after N") is per connection and starts at 1; 0 turns an option off.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace smsc {

// How message ids are written: 10-digit zero-padded decimal; lowercase hexadecimal without
// padding; one constant text for every submit; hexadecimal in the response and the same number as
// 10-digit decimal in the receipt.
enum class TIdStyle : uint8_t { isDec, isHex, isConstant, isHexDec };
// What the intermediate notifications before a final receipt look like: esm_class 0x20, or a
// delivery receipt (esm_class 0x04); both with stat ENROUTE.
enum class TEnrouteAs : uint8_t { eaNotification, eaReceipt };
// The receipts of a submit_multi: one per destination with that destination as source_addr, or
// one per destination with the first destination as source_addr.
enum class TMultiReceipts : uint8_t { mrPerDestination, mrOneDestination };
// A deliver_sm that breaks the rules, sent when a receiver binds: sm_length past the end of the
// PDU, or a source_addr without its terminator.
enum class TBadDeliver : uint8_t { bdNone, bdOverrun, bdUnterminated };

// One word of the final-state mix and its weight.
struct TStateWeight {
  std::string Word;
  uint32_t Weight = 1;
};

struct TSmscFaults {
  // Binds: a refusal (bind response with this status) or a generic_nack of this status.
  bool RefuseBind = false;
  uint32_t RefuseBindStatus = 0;
  bool NackBind = false;
  uint32_t NackBindStatus = 0;
  // The connection closes on reading its Nth submit, which gets no answer.
  uint64_t CloseAfter = 0;
  // The Nth submit and all later ones get no response.
  uint64_t SilentAfter = 0;

  // Responses: submit_sm_resp for the sequence numbers PhantomFirst..PhantomLast sent right after
  // a transmitter or transceiver binds; the submits with those numbers later get none.
  bool Phantom = false;
  uint32_t PhantomFirst = 0;
  uint32_t PhantomLast = 0;
  uint64_t UnansweredEvery = 0;
  // Responses held and sent in reversed batches of this size; a partial batch goes after
  // BatchFlushMs.
  uint32_t ReverseBatches = 0;
  int64_t BatchFlushMs = 100;
  bool AnswerTwice = false;
  bool WrongSequence = false;  // sequence_number + 1000000
  uint64_t NackSubmitEvery = 0;
  uint32_t NackSubmitStatus = 0;
  uint64_t RejectEvery = 0;
  uint32_t RejectStatus = 0;

  // Message ids.
  TIdStyle Ids = TIdStyle::isDec;
  std::string ConstantId = "42";
  uint64_t IdStart = 1;

  // Receipts.
  bool NoReceipts = false;
  int64_t ReceiptDelayMs = 0;
  int64_t ReceiptSpreadMs = 0;
  uint64_t Seed = 1;
  bool ReceiptsFirst = false;
  uint64_t ReceiptTwiceEvery = 0;
  uint64_t ReceiptDropEvery = 0;
  uint64_t StrayReceipts = 0;
  uint32_t Enroute = 0;
  TEnrouteAs EnrouteAs = TEnrouteAs::eaNotification;
  std::vector<TStateWeight> States = {{"DELIVRD", 1}};
  TMultiReceipts MultiReceipts = TMultiReceipts::mrPerDestination;

  // deliver_sm that break the rules, and mobile-originated traffic (deliver_sm a second to every
  // bound receiver and transceiver).
  TBadDeliver BadDeliver = TBadDeliver::bdNone;
  double MoRate = 0;
};

// The id of the first stray receipt; the later ones count up from it.
inline constexpr uint64_t kFirstStrayId = 9999999000ull;
// What --wrong-sequence adds to the submit's sequence number.
inline constexpr uint32_t kWrongSequenceOffset = 1000000;
// The system_id the SMSC gives in its bind responses.
inline constexpr const char* kSmscSystemId = "adversary";

}  // namespace smsc
