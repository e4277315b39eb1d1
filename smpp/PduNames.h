// The names of SMPP 3.4 values that report lines and the dissector both show: commands, command
// statuses and message states. One table of each, kept here, below everything that names them.
// Pure functions of their arguments: any thread may call them.
#pragma once

#include <cstdint>
#include <string>

// The command's name ("submit_sm", "bind_transmitter_resp"), or empty for an id SMPP 3.4 does not
// define.
std::string CommandName(uint32_t CommandId);
// The ESME_R... name of a command_status ("ESME_ROK", "ESME_RTHROTTLED"); a value without one is
// "vendor specific" (0x400 to 0x4FF) or "reserved".
std::string CommandStatusName(uint32_t Status);
// The name of a message_state ("DELIVERED"), or "reserved".
std::string MessageStateName(uint8_t State);
