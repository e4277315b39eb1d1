// What a short message (or a message_payload) holds beyond its octets: the information elements of
// its user data header, and the text fields of a delivery receipt.
#pragma once

#include <cstddef>
#include <cstdint>

#include "inspect/PduField.h"

// Adds to Field (the short_message or message_payload record, whose octets are
// Bytes[Offset .. Offset + Length)) the fields inside it: with UDHI set in EsmClass, a
// "user_data_header" group with one record per information element; for a delivery receipt or an
// intermediate notification (the message type of EsmClass), the receipt's text fields (id, sub,
// dlvrd, submit date, done date, stat, err, text), each at its own offset. Nothing is read outside
// that range; a header that runs past it gets an "error" record inside the group.
void DissectUserData(const uint8_t* Bytes, size_t Offset, size_t Length, uint8_t EsmClass,
                     uint8_t DataCoding, TPduField& Field);
