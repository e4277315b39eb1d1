// TTrafficStore: the rows of a live traffic view, one per traced PDU or connection boundary, the
// newest Capacity of them (older ones leave and are counted). A row is kept small: its time,
// connection, direction and kind, and the PDU's bytes in one allocation of their own size; the
// columns a view shows are computed from the bytes when asked for.
//
// Not thread-safe: one thread (the window's) appends, reads and clears.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>

#include "inspect/PduTraceRing.h"

struct TTrafficRow {
  int64_t MonotonicNs = 0;
  // The PDU's bytes as traced (for tkOpened the endpoints, packed; for tkFailed the reason);
  // Length of them.
  std::unique_ptr<uint8_t[]> Bytes;
  uint32_t Length = 0;
  TPduConnection Connection = TPduConnection::pcRcx;
  TPduDirection Direction = TPduDirection::pdIn;
  TPduTraceKind Kind = TPduTraceKind::tkPdu;
  // The ring cut the PDU short.
  bool Cut = false;

  std::span<const uint8_t> Pdu() const { return {Bytes.get(), Length}; }
  // tkOpened: the connection's endpoints.
  TTcpEndpoints Endpoints() const;
};

// The columns of a row, as a view shows them. Command is the command's name (its id in hex when
// SMPP 3.4 has none; "connected" / "closed" for a boundary, "connect failed" with the reason as
// Summary for a failed connect), Status the status by name (empty for
// a request whose status is 0), MessageId the message_id field where the PDU has one.
struct TTrafficColumns {
  std::string Command;
  std::string Sequence;
  std::string Status;
  std::string MessageId;
  std::string Summary;
};
TTrafficColumns TrafficColumns(const TTrafficRow& Row);
// The columns read from the row's kind and its PDU header alone (Command, Sequence, Status), the
// others left empty: no dissection, no summary. A filter on those columns needs no more.
TTrafficColumns TrafficHeaderColumns(const TTrafficRow& Row);
// Adds the columns that need the PDU's body (MessageId, Summary) to Columns, which holds the
// header's (TrafficHeaderColumns) of the same row.
void AddTrafficBodyColumns(const TTrafficRow& Row, TTrafficColumns& Columns);

class TTrafficStore {
 public:
  static constexpr size_t kDefaultCapacity = 1'000'000;
  explicit TTrafficStore(size_t Capacity = kDefaultCapacity) : FCapacity(Capacity ? Capacity : 1) {}

  // Appends Record as the newest row. Returns how many of the oldest rows left to make room (0 or
  // 1).
  size_t Append(const TPduTraceRecord& Record);
  // Takes the N oldest rows out (all, when there are fewer), counted as dropped.
  void DropOldest(size_t N);
  // Takes every row out; the count of rows that left is kept.
  void Clear();

  size_t Size() const { return FRows.size(); }
  size_t Capacity() const { return FCapacity; }
  // Row I, the oldest held being 0.
  const TTrafficRow& Row(size_t I) const { return FRows[I]; }
  // Rows that left the store to make room, since it was made.
  uint64_t Dropped() const { return FDropped; }

 private:
  const size_t FCapacity;
  std::deque<TTrafficRow> FRows;
  uint64_t FDropped = 0;
};
