// A dissected PDU as text a program reads: one JSON object per PDU, and the hex text a tester
// pastes parsed back into bytes. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "inspect/PduField.h"

// The field as one line of JSON, its fields nested:
//   {"name": ..., "offset": N, "length": N, "value": V, "meaning": "...", "fields": [...]}
// "meaning" and "fields" only where there are any. The value is a number for an integer field, the
// text for a text field (escaped as report lines are, so that any byte stays readable and the
// JSON valid), the octets as hex pairs ("48 65 6C") for an octet field, and null for a group or an
// error record.
std::string FieldJson(const TPduField& Field);

// The bytes of a PDU written as hex: pairs of hex digits, upper or lower case, with blanks, tabs,
// colons or a leading "0x" allowed around them. False, with Error saying where, for any other
// character, an odd number of digits or no digits at all.
bool ParseHexPdu(std::string_view Text, std::vector<uint8_t>& Bytes, std::string& Error);
