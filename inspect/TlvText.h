// Optional parameters as a tester writes them, TAG=TYPE:VALUE: for smppcli's --tlv and the
// workbench's composer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Reads TAG=TYPE:VALUE. TAG is a standard name or a number (decimal, or hex with 0x), 0 to 65535;
// TYPE is int1, int2 or int4 (a decimal or 0x number that fits that many octets, written
// big-endian), str (the text and a terminating NUL) or hex (octets as hex pairs, blanks and colons
// ignored; may be empty). On success Tag and Value hold the parameter; otherwise Error says what is
// wrong, in words fit for an error message ("tag 'x' is neither a number nor a name SMPP 3.4
// defines"). A value longer than 65535 octets is refused. Pure; any thread.
bool ParseTlvText(std::string_view Text, uint16_t& Tag, std::vector<uint8_t>& Value,
                  std::string& Error);
