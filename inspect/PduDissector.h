// The dissector: the bytes of one PDU in, a tree of named fields out. Pure: no sockets, no state;
// any thread may call it, several at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "inspect/PduField.h"

// Dissects the PDU at the start of Bytes[0 .. Size). The result is a group named after the command
// ("submit_sm"; "unknown command" for an id SMPP 3.4 does not define) whose fields are the four
// header fields, the mandatory body fields in order and one record per optional parameter. When the
// bytes end early, the length lies or a field breaks the rules, the fields that could be read come
// first and one record named "error" last. Nothing is read outside Bytes[0 .. Size), and nothing
// past command_length when it is smaller.
TPduField DissectPdu(const uint8_t* Bytes, size_t Size);
