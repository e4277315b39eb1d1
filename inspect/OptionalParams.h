// Optional parameters (tag, length, value) of SMPP 3.4: their names, types and meanings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "inspect/PduField.h"

// Appends one record per optional parameter in Bytes[Offset .. End) to Out, named and typed as
// SMPP 3.4 defines the tag (an unknown tag: named by its number, "0x1403", its value as octets). A
// parameter whose header or value runs past End gets an "error" record and ends the walk. A
// message_payload holds user data like a short message: EsmClass and DataCoding, the PDU's own,
// say what is inside it (see DissectUserData).
void DissectOptionalParams(const uint8_t* Bytes, size_t Offset, size_t End,
                           std::vector<TPduField>& Out, uint8_t EsmClass = 0,
                           uint8_t DataCoding = 0);

// The name of an optional parameter ("message_payload"), or empty for a tag SMPP 3.4 does not
// define.
std::string OptionalParamName(uint16_t Tag);

// The tag of a standard optional parameter by its name ("user_message_reference"), or -1 for a name
// SMPP 3.4 does not define.
int32_t OptionalParamTag(std::string_view Name);
