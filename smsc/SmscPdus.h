// The PDUs the SMSC side reads and writes, on the smpp layer's big-endian helpers: a bounded
// reader of the request bodies it needs (bind, submit_sm, submit_multi, data_sm) and the builders
// of what it sends (responses, generic_nack, delivery receipts, mobile-originated and deliberately
// broken deliver_sm). Pure functions: any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace smsc {

// An SME address as a submit carries it.
struct TAddress {
  uint8_t Ton = 0;
  uint8_t Npi = 0;
  std::string_view Addr;
};

// What the SMSC needs of a submit_sm, submit_multi or data_sm. The views point into the PDU.
// Complete is false when the body ended before registered_delivery (the fields after the end stay
// empty or 0).
struct TSubmitFields {
  TAddress Source;
  std::vector<TAddress> Destinations;  // one, or a submit_multi's (distribution lists by name)
  uint8_t RegisteredDelivery = 0;
  std::string_view ShortMessage;  // submit_sm and submit_multi only
  bool Complete = false;
};

// Reads the fields of the submit_sm, submit_multi or data_sm of Size bytes at Pdu (its header
// among them). Nothing at or past Size is read; a string without its terminator ends the body.
void ReadSubmit(const uint8_t* Pdu, size_t Size, TSubmitFields& Out);
// The system_id of the bind of Size bytes at Pdu: at most 15 characters, empty when absent.
std::string ReadBindSystemId(const uint8_t* Pdu, size_t Size);

// Appends a PDU with this header and body.
void AppendPdu(std::string& Out, uint32_t CommandId, uint32_t Status, uint32_t Sequence,
               std::string_view Body);
// Appends the response to a submit_sm, submit_multi (no_unsuccess 0 after the id) or data_sm of
// this command id: its command id with the response bit, the message id as the body.
void AppendSubmitResponse(std::string& Out, uint32_t RequestId, uint32_t Status, uint32_t Sequence,
                          std::string_view MessageId);

// A delivery receipt or intermediate notification: deliver_sm with this esm_class, the source
// and destination addresses given, and the receipt text as its short message.
struct TReceiptText {
  std::string_view Id;
  std::string_view Stat;                  // DELIVRD, ENROUTE, UNDELIV...
  std::string_view SubmitDate, DoneDate;  // YYMMDDhhmm
  std::string_view Text;                  // the first characters of the message
};
void AppendReceipt(std::string& Out, uint32_t Sequence, uint8_t EsmClass, const TAddress& Source,
                   const TAddress& Destination, const TReceiptText& R);
// The receipt's text: "id:<Id> sub:001 dlvrd:001 submit date:... done date:... stat:<Stat>
// err:000 text:<Text>". dlvrd is 000 and err 001 for a state that failed (not DELIVRD, ENROUTE
// or ACCEPTD).
std::string ReceiptText(const TReceiptText& R);
// At most 20 characters of a short message for a receipt's text: printable ASCII kept, every
// other byte '.'.
std::string ReceiptSnippet(std::string_view ShortMessage);

// A mobile-originated deliver_sm (esm_class 0) with this text.
void AppendMo(std::string& Out, uint32_t Sequence, std::string_view Text);
// A deliver_sm whose sm_length runs past the end of the PDU.
void AppendOverrunDeliver(std::string& Out, uint32_t Sequence);
// A deliver_sm whose source_addr has no terminator before the end of the PDU.
void AppendUnterminatedDeliver(std::string& Out, uint32_t Sequence);

}  // namespace smsc
