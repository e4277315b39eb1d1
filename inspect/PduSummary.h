// One line per traced PDU, the way a packet list sums a packet up: when, which connection, which
// way, the command, its sequence number and status, and the fields a tester reads first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "inspect/PduTraceRing.h"

// The command and the first fields of the PDU in Bytes[0 .. Length), for example
//   submit_sm seq=2 src=1234 dst=5551234 dc=0 text="Hello  SMPP test cl..."
//   submit_sm_resp seq=2 ESME_ROK id=0000000001
// The status is named for a response, and for any PDU whose status is not 0; the text is the
// short message (or message_payload) decoded by its data_coding (data_coding 0 as the octets),
// its first 20 characters, escaped as report lines are. A PDU that breaks the rules ends with
// " [malformed: " + where and why + "]". Pure; any thread.
std::string PduSummary(const uint8_t* Bytes, size_t Length);

// The connection's name in trace lines: "Rcx", "Tcx", "Trx".
const char* PduConnectionName(TPduConnection Connection);

// The trace line of one record: the local wall-clock time with microseconds, the connection, "out"
// or "in " and PduSummary; for the start of a connection "Tcx connected 127.0.0.1:40000 ->
// 127.0.0.1:2775", for its end "Tcx closed", for a failed connect "Rcx connect failed: connection
// refused". A PDU cut short by the ring says so. Any thread.
std::string PduTraceLine(const TPduTraceRecord& Record);

// The reason a tkFailed record carries, as text ("connect failed" when it carries none). Pure; any
// thread.
std::string FailureReason(std::span<const uint8_t> Bytes);
