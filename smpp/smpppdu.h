// The SMPP 3.4 PDU layer: the PDU record, the big-endian wire helpers, the codec that turns records
// into wire bytes and wire bytes into records, the receipt helpers and the stream framing.
//
// Wire format: every PDU is a 16-byte header (command_length, command_id, command_status,
// sequence_number, each an unsigned 32-bit integer, most significant byte first) followed by a
// body of one-octet integers, zero-terminated strings and at most one short message (an octet
// string preceded by its one-octet length). command_length counts the whole PDU.
//
// The codec is pure: bytes in, record out, no sockets and no shared state except the sequence
// counter, which is atomic. It never fails loudly: the encoder refuses what does not fit by giving
// length 0, and the decoder fills what it can reach within the bytes it was given.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "smpp/PduFraming.h"
#include "smpp/SMPPClientInfo.h"
#include "smpp/SequenceCounter.h"

// Command ids of the PDUs that the client exchanges.
inline constexpr uint32_t kGenericNack = 0x80000000u;
inline constexpr uint32_t kBindReceiver = 0x00000001u;
inline constexpr uint32_t kBindReceiverResp = 0x80000001u;
inline constexpr uint32_t kBindTransmitter = 0x00000002u;
inline constexpr uint32_t kBindTransmitterResp = 0x80000002u;
inline constexpr uint32_t kQuerySm = 0x00000003u;
inline constexpr uint32_t kQuerySmResp = 0x80000003u;
inline constexpr uint32_t kSubmitSm = 0x00000004u;
inline constexpr uint32_t kSubmitSmResp = 0x80000004u;
inline constexpr uint32_t kDeliverSm = 0x00000005u;
inline constexpr uint32_t kDeliverSmResp = 0x80000005u;
inline constexpr uint32_t kUnbind = 0x00000006u;
inline constexpr uint32_t kUnbindResp = 0x80000006u;
inline constexpr uint32_t kEnquireLink = 0x00000015u;
inline constexpr uint32_t kEnquireLinkResp = 0x80000015u;
inline constexpr uint32_t kSubmitMulti = 0x00000021u;
inline constexpr uint32_t kSubmitMultiResp = 0x80000021u;
inline constexpr uint32_t kDataSm = 0x00000103u;
inline constexpr uint32_t kDataSmResp = 0x80000103u;
// The other commands of SMPP 3.4, which the client does not exchange but the dissector names.
inline constexpr uint32_t kReplaceSm = 0x00000007u;
inline constexpr uint32_t kReplaceSmResp = 0x80000007u;
inline constexpr uint32_t kCancelSm = 0x00000008u;
inline constexpr uint32_t kCancelSmResp = 0x80000008u;
inline constexpr uint32_t kBindTransceiver = 0x00000009u;
inline constexpr uint32_t kBindTransceiverResp = 0x80000009u;
inline constexpr uint32_t kOutbind = 0x0000000Bu;
inline constexpr uint32_t kAlertNotification = 0x00000102u;

// command_status values this client sends or acts on.
inline constexpr uint32_t kInvalidMessageLength = 0x00000001u;  // ESME_RINVMSGLEN
inline constexpr uint32_t kInvalidCommandLength = 0x00000002u;  // ESME_RINVCMDLEN
inline constexpr uint32_t kQueueFull = 0x00000014u;             // ESME_RMSGQFUL
inline constexpr uint32_t kThrottled = 0x00000058u;             // ESME_RTHROTTLED, "MAILBOX FULL"

// esm_class: the message type bits (the reply-path bit 0x80 and the UDHI bit 0x40 are not part of
// them), and the two types that carry a delivery receipt.
inline constexpr uint8_t kEsmMessageTypeMask = 0x3C;
inline constexpr uint8_t kEsmDeliveryReceipt = 0x04;
inline constexpr uint8_t kEsmIntermediateNotification = 0x20;
inline constexpr uint8_t kEsmUdhi = 0x40;  // the user data starts with a user data header
inline constexpr bool IsReceipt(uint8_t EsmClass) noexcept {
  const uint8_t Type = EsmClass & kEsmMessageTypeMask;
  return Type == kEsmDeliveryReceipt || Type == kEsmIntermediateNotification;
}

// The longest short message of a replace_sm (sm_length is one octet; 254 is the SMPP limit).
inline constexpr size_t kMaxShortMessageLength = 254;

// Optional parameters the decoder reads.
inline constexpr uint16_t kTagReceiptedMessageId = 0x001E;
inline constexpr uint16_t kTagMessagePayload = 0x0424;
inline constexpr uint16_t kTagMessageState = 0x0427;

// The longest message id kept from the wire (the SMPP field is 65 octets with its terminator).
inline constexpr size_t kMaxMessageIdLength = 64;
// submit_multi carries at most this many destinations (number_of_dests is one octet; 254 is the
// SMPP limit).
inline constexpr size_t kMaxDestinations = 254;
// Addresses are at most 20 characters (21 octets with the terminator).
inline constexpr size_t kMaxAddressLength = 20;

// Sizes of the buffers that carry PDUs.
inline constexpr size_t kPduHeaderLength = 16;
inline constexpr size_t kPduBufferSize = 10000;         // one outgoing PDU, one read
inline constexpr size_t kEnquireLinkBufferSize = 1000;  // the periodic enquire_link
// UTF-16 code units of the workspace through which one decoding turns UCS-2 into text; a decoded
// UCS-2 text is therefore at most kTextWorkspaceUnits - 1 code units long.
inline constexpr size_t kTextWorkspaceUnits = 2500;

// The unbind PDU, sent unchanged on every unbind of either connection (sequence number 467).
inline constexpr std::array<uint8_t, 16> UnbindPdu = {
    0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0xD3};

// Big-endian access. The caller guarantees that the bytes exist.
inline void PutU32(uint8_t* P, uint32_t V) noexcept {
  P[0] = static_cast<uint8_t>(V >> 24);
  P[1] = static_cast<uint8_t>(V >> 16);
  P[2] = static_cast<uint8_t>(V >> 8);
  P[3] = static_cast<uint8_t>(V);
}
inline uint32_t GetU32(const uint8_t* P) noexcept {
  return (uint32_t{P[0]} << 24) | (uint32_t{P[1]} << 16) | (uint32_t{P[2]} << 8) | uint32_t{P[3]};
}
inline void PutU16(uint8_t* P, uint16_t V) noexcept {
  P[0] = static_cast<uint8_t>(V >> 8);
  P[1] = static_cast<uint8_t>(V);
}
inline uint16_t GetU16(const uint8_t* P) noexcept {
  return static_cast<uint16_t>((P[0] << 8) | P[1]);
}

// A text of at most N bytes. Assigning a longer value keeps its first N bytes.
template <size_t N>
class TFixedText {
 public:
  static constexpr size_t Capacity = N;

  TFixedText() = default;
  TFixedText(std::string_view s) { Assign(s); }  // NOLINT: converts like a text field would
  TFixedText& operator=(std::string_view S) {
    Assign(S);
    return *this;
  }
  void Assign(std::string_view S) noexcept {
    FLen = S.size() < N ? S.size() : N;
    if (FLen) std::memcpy(FData, S.data(), FLen);
  }
  std::string_view View() const noexcept { return {FData, FLen}; }
  operator std::string_view() const noexcept { return View(); }  // NOLINT
  std::string str() const { return std::string(View()); }
  size_t size() const noexcept { return FLen; }
  bool empty() const noexcept { return FLen == 0; }
  const char* data() const noexcept { return FData; }
  friend bool operator==(const TFixedText& A, std::string_view B) { return A.View() == B; }

 private:
  char FData[N] = {};
  size_t FLen = 0;
};

// What decoding a deliver_sm or data_sm yields. The receipt fields are filled only for delivery
// receipts and intermediate notifications (IsReceipt of esm_class), from the labels of the
// receipt text and from the optional parameters receipted_message_id and message_state, which win
// over the text; receipt_ref is the id. text is the message text, or a receipt's text: value.
struct TDeliver {
  std::string service_type;
  std::string source_addr;
  std::string destination_addr;
  std::string receipt_ref;
  uint8_t esm_class = 0;
  std::string receipt_id;
  std::string receipt_sub;
  std::string receipt_dlvrd;
  std::string receipt_submit_date;
  std::string receipt_done_date;
  std::string receipt_stat;
  std::string receipt_err;
  std::string text;
  // Messages other than receipts: the data_coding, and the user data as it came, after any user
  // data header and before decoding (what the parts of a concatenated message are joined from).
  uint8_t data_coding = 0;
  std::string user_data;
  // The part of a concatenated message this is, from its user data header (element 0x00 or 0x08)
  // or else its SAR optional parameters; sar_total_segments 0 for a message that is whole.
  uint16_t sar_msg_ref_num = 0;
  uint8_t sar_total_segments = 0;
  uint8_t sar_segment_seqnum = 0;
};

// What encoding a submit_sm or submit_multi takes.
struct TSubmit {
  TFixedText<21> source_addr;
  // One destination, or for submit_multi a comma-separated list of destinations.
  std::string destination_addr;
  // Empty: no validity period; otherwise an SMPP relative time (its first 15 characters are sent,
  // followed by "R"), or an absolute one of 16 characters ending in "+" or "-", sent whole.
  TFixedText<21> validity_period;
  TFixedText<160> short_message;
  // Coded texts and long messages (Send with submit_coding other than tcBytes or submit_long_mode
  // other than lmSplit); a fresh record sends none of them and goes out as before.
  // esm_class of the submit: 0x40 when short_message starts with a user data header.
  uint8_t esm_class = 0;
  // True: short_message and message_payload hold the user data's octets as they go on the wire,
  // already in the data coding given to the encoder (which a submit_multi then carries too).
  bool user_data_octets = false;
  // Not empty: sent as the optional parameter message_payload (short_message is then empty).
  std::string message_payload;
  // sar_total_segments not 0: the three SAR optional parameters are sent.
  uint16_t sar_msg_ref_num = 0;
  uint8_t sar_total_segments = 0;
  uint8_t sar_segment_seqnum = 0;
};

// What encoding a query_sm with its source given, a cancel_sm or a replace_sm takes, besides
// TPDU::message_id (at most kMaxMessageIdLength characters, or the PDU is not built). A fresh
// record (source_given false) makes the query_sm of before: source 0/1 "8877".
struct TMessageRequest {
  bool source_given = false;
  // With submit_source_addr_ton/npi; cut to kMaxAddressLength characters.
  std::string source_addr;
  // cancel_sm, with submit_dest_addr_ton/npi; empty for none. Cut to kMaxAddressLength.
  std::string destination_addr;
  // replace_sm: the new short message, its octets as they are (at most 254, or the PDU is not
  // built).
  std::string short_message;
};

// What decoding a query_sm_resp yields besides message_id; empty and 0 when its body is shorter.
struct TQueryResult {
  std::string final_date;
  uint8_t message_state = 0;
  uint8_t error_code = 0;
};

// One PDU, for one exchange. It lives in the frame of the handler that uses it and is never shared
// between threads.
struct TPDU {
  // Filled by decoding; the encoder neither reads nor writes it.
  uint32_t command_length = 0;
  uint32_t command_id = 0;
  uint32_t command_status = 0;
  // Encoding: in for responses (the number of the PDU answered), out for requests (the number
  // drawn from the counter). Filled by decoding.
  uint32_t sequence_number = 0;
  // Input of query_sm, cancel_sm and replace_sm encoding; result of submit_sm_resp,
  // submit_multi_resp and query_sm_resp decoding.
  std::string message_id;
  TDeliver deliver;
  TSubmit submit;
  TMessageRequest request;
  TQueryResult query;
};

// The message id of the submit_sm_resp or submit_multi_resp of Length bytes at Bytes (its header
// among them), as DecodePdu gives it in message_id, written into Id without building a record:
// nothing is read at or past the smaller of Length and command_length. Pure; any thread.
std::string_view SubmitResponseId(const uint8_t* Bytes, size_t Length,
                                  char (&Id)[kMaxMessageIdLength]);

// What a load run counts of a delivery receipt, read where it lies in the PDU.
struct TReceiptFields {
  std::string_view Id, Stat, Err;  // as DecodePdu gives receipt_ref, receipt_stat, receipt_err
  std::string_view Source;         // source_addr, as it lies
  uint8_t EsmClass = 0;
  char IdBytes[kMaxMessageIdLength];  // the printable characters of a receipted_message_id
};
// The fields of the deliver_sm or data_sm receipt of Length bytes at Bytes (its header among
// them), as DecodePdu gives them, without building a record. False, with Out unset, for a PDU
// that is not a deliver_sm or data_sm receipt (IsReceipt of esm_class) or whose text is UCS-2
// (DecodePdu reads those); the status is the caller's to look at. Pure; any thread.
bool DecodeReceiptFields(const uint8_t* Bytes, size_t Length, TReceiptFields& Out);

// The encoder and decoder of one client component. It is handed the component's settings object
// (ClientInfo) and sequence counter (SequenceCounter), which must outlive it.
//
// Threads: EncodePdu and DecodePdu may be called from any number of threads at once (socket
// workers, keep-alive timers, the application thread). They share only the counter, which is
// atomic, and the settings, which lock their own fields; each decoding has its own workspace.
class TPduCodec {
 public:
  TPduCodec(const TSMPPClientInfo& ClientInfo, TSequenceCounter& SequenceCounter) noexcept
      : FClientInfo(ClientInfo), FSequenceCounter(SequenceCounter) {}

  // Writes the PDU that Pdu describes into Buffer[0 .. Capacity) and sets Length to its size.
  //
  // Built: bind_receiver, bind_transmitter (account values from the settings), enquire_link,
  // submit_sm (DataCoding 0 or 0xF0: single bytes; 8: UCS-2; any other: single bytes),
  // submit_multi, query_sm, cancel_sm, replace_sm, and the responses deliver_sm_resp, data_sm_resp,
  // enquire_link_resp, unbind_resp and generic_nack, which carry Pdu.sequence_number and the
  // record's command_status. unbind is the UnbindPdu constant. Addresses are cut to
  // kMaxAddressLength characters; the data coding's low 8 bits are the byte on the wire and choose
  // the layout. submit_multi: the destinations are the non-empty pieces of the comma-separated
  // list, trimmed; a list of none or of more than kMaxDestinations is not built. Requests draw
  // their sequence number from the counter and store it into Pdu.sequence_number.
  //
  // A PDU that would not fit in Capacity, or a command id outside that list, is not built:
  // Length is 0, the counter does not move and Pdu is unchanged. Nothing is written past Capacity.
  //
  // The fields of the bind and of submits, and the extra optional parameters appended to every
  // submit after its own, come from the settings (BindFields, SubmitFields); query_sm (with
  // request.source_given), cancel_sm and replace_sm take their message id and addresses from the
  // record and the rest from the same settings: cancel_sm the service_type, replace_sm the
  // schedule, registered_delivery and sm_default_msg_id (no validity period).
  //
  // Coded texts: with submit.user_data_octets, submit_sm and submit_multi write short_message as
  // the octets stored, in whatever data coding is given (submit_multi then carries it too), with
  // the submit's esm_class, SAR values and message_payload.
  void EncodePdu(uint8_t* Buffer, size_t Capacity, size_t& Length, TPDU& Pdu, int DataCoding) const;

  // Fills Pdu (fresh) from the PDU at the start of Buffer. Reads nothing at or past the smallest of
  // command_length, Received and Capacity.
  //
  // query_sm_resp: message_id likewise, then query (final_date, message_state, error_code).
  // submit_sm_resp, submit_multi_resp: message_id is the id as sent (its printable characters, at
  // most kMaxMessageIdLength). deliver_sm, data_sm: the fields in order; the user data is the
  // short message (sm_length bytes), or message_payload for a data_sm or an empty short message,
  // found by tag among the optional parameters; with UDHI its header is skipped by its own length
  // byte; data_coding 8 is UCS-2. A field that runs past the end is cut there, and whatever lies
  // beyond it stays empty.
  //
  // Text: data_coding 8 is UCS-2, 3 Latin-1, 0 read by DefaultAlphabet (tcBytes: the octets as
  // they are; tcGsm: the GSM alphabet), anything else the octets as they are.
  static void DecodePdu(const uint8_t* Buffer, size_t Capacity, size_t Received, TPDU& Pdu,
                        TTextCoding DefaultAlphabet = TTextCoding::tcBytes);

  const TSMPPClientInfo& ClientInfo() const noexcept { return FClientInfo; }
  TSequenceCounter& SequenceCounter() const noexcept { return FSequenceCounter; }

 private:
  const TSMPPClientInfo& FClientInfo;
  TSequenceCounter& FSequenceCounter;
};

// The decoder's helpers below are pure functions of their arguments: any thread may call them, and
// two threads may call them at once.

// The text of Count bytes of user data in data coding DataCoding: UCS-2 (Ucs2ToText) for data
// coding 8, Latin-1 for 3, data coding 0 by DefaultAlphabet (tcBytes leaves a GSM '@' the byte
// 0x00; tcGsm reads the GSM alphabet), the bytes unchanged for every other coding.
std::string DecodeText(const uint8_t* Bytes, size_t Count, uint8_t DataCoding,
                       TTextCoding DefaultAlphabet = TTextCoding::tcBytes);

// The bytes read as big-endian UCS-2 (a last odd byte is dropped), up to the first zero code unit
// and at most kTextWorkspaceUnits - 1 code units, converted to the system's character set.
std::string Ucs2ToText(const uint8_t* Bytes, size_t Count);

// The SMPP message_state digit of a receipt's stat word: DELIVRD '2', EXPIRED '3', DELETED '4',
// UNDELIV '5', ACCEPTD '6', UNKNOWN '7', REJECTD '8', anything else '1'. Exact, case-sensitive.
char ReceiptStateCode(std::string_view Word) noexcept;
