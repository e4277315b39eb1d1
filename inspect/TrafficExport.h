// The traffic table written out for other programs and people: as CSV (RFC 4180), as JSON lines
// (one object per row, with the PDU's bytes, so nothing is lost), as tab-separated text for the
// clipboard, and any text written to a file with the reason when that fails.
//
// Pure functions of their arguments, or of a store that the caller does not change meanwhile:
// any thread, as long as the store is read by one thread at a time (TTrafficStore's rule).
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "inspect/TrafficStore.h"

enum class TTrafficFormat { tfPcapng, tfCsv, tfJsonLines };

// The format a file name asks for by its extension (case-insensitive): .pcapng, .csv, and .jsonl,
// .ndjson or .json for JSON lines; none for any other name.
std::optional<TTrafficFormat> TrafficFormatOfPath(std::string_view Path);

// The table's columns, in the table's order; their names are the CSV header's and the JSON keys.
inline constexpr size_t kTableColumns = 8;
extern const std::array<const char*, kTableColumns> kTableColumnNames;

// A row's cells as the table shows them: the local wall-clock time with the date and microseconds
// ("2026-12-08 01:35:30.123456"), the connection, "in"/"out" (empty for a boundary), and
// TrafficColumns' command, sequence, status, message id and summary. Every cell is valid UTF-8: a
// byte that starts no valid UTF-8 sequence (text from the network) is written as U+FFFD, as the
// table shows it.
std::array<std::string, kTableColumns> TableCells(const TTrafficRow& Row);

// One CSV field: as it is, or in double quotes, with quotes doubled, when it holds a comma, a
// quote, a CR or an LF.
std::string CsvField(std::string_view Text);
// Valid UTF-8 Text as a JSON string, quotes included: the quote, the backslash, the C0 and C1
// controls, DEL and the line and paragraph separators escaped; any byte that starts no valid UTF-8
// sequence written as U+FFFD.
std::string JsonString(std::string_view Text);

// The header line and the line of one row, each ending in CRLF for CSV (RFC 4180) and in LF for
// JSON lines (no header; each object has the columns by name, "wall_us" with the time in
// microseconds since the Unix epoch, and "bytes" with the PDU's bytes in lower-case hex, empty
// for a connection's start or end). Format must not be tfPcapng.
std::string TableHeaderLine(TTrafficFormat Format);
std::string TableLine(const TTrafficRow& Row, TTrafficFormat Format);

// Rows (indexes into Store, in the order given) as tab-separated text: a header line, then a line
// per row, tabs, CRs and LFs inside a cell written as blanks.
std::string TableTsv(const TTrafficStore& Store, const std::vector<size_t>& Rows);

// Writes Rows of Store (indexes, in the order given) to the file Path as CSV or JSON lines,
// replacing it. Returns the error ("cannot write PATH: reason"), or an empty text. The file is
// written a row at a time, never held whole in memory.
std::string WriteTable(const std::string& Path, const TTrafficStore& Store,
                       const std::vector<size_t>& Rows, TTrafficFormat Format);
// Writes Text to the file Path, replacing it. Returns the error, or an empty text.
std::string WriteTextFile(const std::string& Path, std::string_view Text);

// The row that answers the request in row Index, or the request that the response in row Index
// answers: on the same connection, the other way, with the same sequence number. A request's
// response is the next such row whose command_id is the request's with bit 31 set, or a
// generic_nack; a response's request the previous such request (a generic_nack's of any command).
// The search runs outward from Index over the store and stops where the connection opened or
// closed (its sequence numbers start anew), and, for a request, at a request of the same command
// and sequence sent the same way (the number was used again). None for a row that is no PDU,
// outbind, alert_notification, or when the partner is not in the store.
std::optional<size_t> PartnerRow(const TTrafficStore& Store, size_t Index);

// The inspector's line for row Index and its partner, for example
//   "Response: submit_sm_resp, ESME_ROK, 3 ms later"
//   "Request: submit_sm, 3 ms earlier"
//   "No response in the table" / "Its request is not in the table"
// and an empty text for a row that has no partner to look for.
std::string PartnerLine(const TTrafficStore& Store, size_t Index, std::optional<size_t> Partner);
