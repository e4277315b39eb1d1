// TPduField: one field of a dissected PDU, as a tester reads it: the name SMPP 3.4 gives it, where
// it lies in the PDU's bytes, its raw value and what that value means. Fields nest: a PDU is a
// record whose fields are its header, body and optional parameters; a short message holds its user
// data header or its receipt text.
//
// Plain data: any thread may read a record no other thread writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What the raw value of a field is.
//   fkGroup    no value of its own: the PDU itself, a destination of a submit_multi, a user data
//              header; its fields say what it holds
//   fkInteger  Integer: an unsigned integer field (command_id, esm_class, an integer parameter)
//   fkText     Text: a C-Octet string or text field, the characters as sent (without terminator)
//   fkOctets   Text: octets as sent (short_message, an octet-string parameter, an unknown one)
//   fkError    the bytes end or break here: Meaning says where and why; nothing after it was read
enum class TFieldKind : uint8_t { fkGroup, fkInteger, fkText, fkOctets, fkError };

struct TPduField {
  // The field's name as SMPP 3.4 spells it ("command_id", "source_addr_ton", "message_payload");
  // "error" for the record of broken bytes; an unknown optional parameter is named by its tag
  // ("0x1403").
  std::string Name;
  // Where the field lies in the bytes of the PDU: its first octet and its number of octets (a
  // C-Octet string with its terminator, an optional parameter with its tag and length).
  uint32_t Offset = 0;
  uint32_t Length = 0;
  TFieldKind Kind = TFieldKind::fkGroup;
  uint64_t Integer = 0;  // fkInteger
  std::string Text;      // fkText, fkOctets
  // What the value means, for a reader ("submit_sm", "ESME_RTHROTTLED", "International",
  // "store and forward; default message type; UDHI"); empty when the value says it all.
  std::string Meaning;
  std::vector<TPduField> Fields;
};
