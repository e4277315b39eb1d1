// What the values of SMPP 3.4 fields mean, as a tester reads them: command names, command_status
// names, type of number, numbering plan, the bits of esm_class and registered_delivery, data
// codings, message states and times. Pure functions of their arguments: any thread may call them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// CommandName, CommandStatusName and MessageStateName come from the client's own tables, so that
// its report lines and the dissector name every value alike.
#include "smpp/PduNames.h"

// Type of number ("International") and numbering plan ("ISDN (E163/E164)") of an address;
// "reserved" for values SMPP 3.4 leaves open.
std::string TonMeaning(uint8_t Ton);
std::string NpiMeaning(uint8_t Npi);
// The three parts of esm_class joined with "; ": messaging mode, message type, and the GSM
// features when set ("store and forward; default message type; UDHI").
std::string EsmClassMeaning(uint8_t EsmClass);
// The requests of registered_delivery joined with "; ": the SMSC delivery receipt, the SME
// acknowledgements and the intermediate notification.
std::string RegisteredDeliveryMeaning(uint8_t RegisteredDelivery);
// The alphabet of a data_coding ("UCS-2 (ISO/IEC-10646)"), or for the GSM coding groups from
// 0xC0 on, the group with its message class or message waiting indication.
std::string DataCodingMeaning(uint8_t DataCoding);

// The smaller fields: interface_version ("3.4"), priority_flag, replace_if_present_flag and the
// dest_flag of a submit_multi destination.
std::string InterfaceVersionMeaning(uint8_t Version);
std::string PriorityFlagMeaning(uint8_t Priority);
std::string ReplaceIfPresentMeaning(uint8_t Flag);
std::string DestFlagMeaning(uint8_t Flag);
// A time field (schedule_delivery_time, validity_period, final_date) read: "absolute: 2026-12-31
// 23:59:59.0 UTC+02:00" or "relative: 1 day, 2 hours"; empty for an empty time; a text that is not
// of the form YYMMDDhhmmsstnnp says so.
std::string TimeMeaning(std::string_view Time);
