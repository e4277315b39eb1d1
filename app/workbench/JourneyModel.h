// TJourneyModel: the message journey's table, a QAbstractTableModel over a TMessageJourney it
// owns. Records are fed as they are drained and the view learns of them once per drain, in the
// journey's own terms (TakeChanges): the oldest rows leave in one step, the new ones come in one
// step at the end, and the rows whose message moved on are shown anew. A cell is read from the
// message as it is held, nothing decoded.
//
// GUI thread only.
#pragma once

#include <QAbstractTableModel>
#include <cstdint>
#include <optional>

#include "inspect/MessageJourney.h"

class TJourneyModel : public QAbstractTableModel {
 public:
  enum TColumn {
    cNumber,       // the message's number, 1 for the first since the window opened
    cSource,       //
    cDestination,  // or a submit_multi's destinations, joined by ","
    cParts,        // "3", or "2 of 3" while parts are missing
    cSubmitted,    // the first part's submit, local time with milliseconds
    cResponse,     // the first submit to the last response, or why there is none
    cMessageId,    // the parts' ids, joined by ","
    cReceipt,      // the first submit to the last final receipt
    cState,        // JourneyState
    cColumnCount
  };

  explicit TJourneyModel(size_t Capacity = TMessageJourney::kDefaultCapacity,
                         QObject* Parent = nullptr);

  // Feeds one record to the journey; the view learns of it at the next Refresh.
  void OnTrace(const TPduTraceRecord& Record) { FJourney.OnTrace(Record); }
  // Shows what changed since the last Refresh, and returns it.
  TJourneyChanges Refresh();
  // Forgets every message and orphan receipt, and shows it.
  void Clear();

  const TMessageJourney& Journey() const { return FJourney; }
  // The message shown in Row, or null when it has left the journey (between two Refreshes).
  const TJourneyMessage* MessageAt(int Row) const;
  // The row that shows the message with this serial, or nullopt.
  std::optional<int> RowOfSerial(uint64_t Serial) const;

  int rowCount(const QModelIndex& Parent = {}) const override;
  int columnCount(const QModelIndex& Parent = {}) const override;
  QVariant data(const QModelIndex& Index, int Role = Qt::DisplayRole) const override;
  QVariant headerData(int Section, Qt::Orientation Orientation,
                      int Role = Qt::DisplayRole) const override;

 private:
  QString Cell(const TJourneyMessage& M, int Column) const;

  TMessageJourney FJourney;
  // The rows shown: the messages with serials from FFirstSerial on, FRows of them. Between two
  // Refreshes the journey may hold others; a row maps to its message by serial.
  uint64_t FFirstSerial = 0;
  int FRows = 0;
};

// A delay as the journey shows it: "0.42 ms", "12.5 ms", "1840 ms".
QString JourneyDelayText(int64_t Ns);
// A trace time (PduTraceNowNs's clock) as local wall time, "HH:mm:ss.zzz".
QString JourneyTimeText(int64_t MonotonicNs);
