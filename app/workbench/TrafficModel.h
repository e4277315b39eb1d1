// TTrafficModel: the traffic table's model over a TTrafficStore, rows appended in batches (one
// beginInsertRows per batch) and the oldest removed in one step when the store drops them; the
// columns are computed when a view asks, the last row asked for kept. TTrafficFilter: the filter
// box's proxy, matching command, status or any text of the row, checked in slices so that
// a filter over a million rows never stalls the window.
#pragma once

#include <QAbstractProxyModel>
#include <QAbstractTableModel>
#include <algorithm>
#include <deque>
#include <vector>

#include "inspect/TrafficStore.h"

class QTimer;

class QTableView;

// Shapes a table of rows as the workbench shows them: whole rows selected, no row header, rows of
// one text line, the last column stretched, no word wrap.
void ShapeRowTable(QTableView* Table);

class TTrafficModel : public QAbstractTableModel {
 public:
  enum TColumn {
    cTime,
    cConnection,
    cDirection,
    cCommand,
    cSequence,
    cStatus,
    cMessageId,
    cSummary,
    cColumnCount
  };

  explicit TTrafficModel(size_t Capacity = TTrafficStore::kDefaultCapacity,
                         QObject* Parent = nullptr);

  // Appends Records as rows; rows the store drops to make room leave the model first. GUI thread.
  void Append(const std::vector<TPduTraceRecord>& Records);
  // Takes every row out. GUI thread.
  void Clear();
  const TTrafficStore& Store() const { return FStore; }

  int rowCount(const QModelIndex& Parent = {}) const override;
  int columnCount(const QModelIndex& Parent = {}) const override;
  QVariant data(const QModelIndex& Index, int Role = Qt::DisplayRole) const override;
  QVariant headerData(int Section, Qt::Orientation Orientation,
                      int Role = Qt::DisplayRole) const override;

  // The text of one cell. GUI thread.
  QString Cell(int Row, int Column) const;

 private:
  TTrafficStore FStore;
  // The columns of the row last asked for: a view asks for every column of a row in turn.
  mutable size_t FCachedRow = SIZE_MAX;
  mutable uint64_t FCachedDropped = 0;
  mutable TTrafficColumns FCached;
};

// Shows the rows that contain the filter text (case-insensitive) in any column; "cmd:NAME" and
// "status:NAME" match those columns alone (a prefix of the name matches).
//
// The check never holds the GUI thread for long: a new filter text is checked against the rows in
// slices of a few milliseconds, the first at once (a small table is done before SetFilter
// returns) and the rest from a zero timer, the rows found so far shown meanwhile. A text that
// narrows the one before checks only the rows that passed it. Rows the source appends are checked
// as they come; rows it takes out at the front (the store's ring) or all at once (a reset) leave
// here in step. Without a filter text the rows are the source's, one for one. The selection and
// the current row stay where the new text shows them (their rows are checked at once).
//
// The source must be a TTrafficModel, which appends at the end and removes at the front only.
// GUI thread only.
class TTrafficFilter : public QAbstractProxyModel {
 public:
  explicit TTrafficFilter(QObject* Parent = nullptr);

  void setSourceModel(QAbstractItemModel* Source) override;
  void SetFilter(const QString& Text);
  // A check is under way: rows of the source are still to be checked.
  bool Checking() const;
  // Rows of the source checked against the current text and rows still to check.
  size_t CheckedCount() const;
  size_t PendingCount() const;
  // Checks every row left now, on the caller's thread (an export of the rows shown needs all).
  void Finish();
  // At most Rows rows checked in one slice, whatever the time (tests; 0 for no bound).
  void SetRowsPerSlice(size_t Rows) { FRowsPerSlice = Rows; }

  QModelIndex index(int Row, int Column, const QModelIndex& Parent = {}) const override;
  QModelIndex parent(const QModelIndex& Child) const override;
  int rowCount(const QModelIndex& Parent = {}) const override;
  int columnCount(const QModelIndex& Parent = {}) const override;
  bool hasChildren(const QModelIndex& Parent = {}) const override;
  QVariant headerData(int Section, Qt::Orientation Orientation,
                      int Role = Qt::DisplayRole) const override;
  QModelIndex mapToSource(const QModelIndex& ProxyIndex) const override;
  QModelIndex mapFromSource(const QModelIndex& SourceIndex) const override;

 private:
  // How long one slice may check rows.
  static constexpr int64_t kSliceNs = 4'000'000;

  const TTrafficModel* Source() const;
  bool Accepts(int SourceRow) const;
  // A row's number from its row here, and back (-1: not shown).
  uint64_t NumberOf(int Row) const;
  int RowOf(uint64_t Number) const;
  bool IsHeld(uint64_t Number) const {
    return !FHeld.empty() && std::binary_search(FHeld.begin(), FHeld.end(), Number);
  }
  // Checks rows for up to one slice and shows those that pass; starts or stops the timer.
  void RunSlice(bool Unbounded = false);
  void SourceAboutToInsert(int First, int Last);
  void SourceInserted();
  void SourceAboutToRemove(int First, int Last);
  void SourceRemoved(int First, int Last);
  void SourceAboutToReset();
  void SourceReset();

  QString FText;
  int FColumn = -1;  // -1: any column
  // Rows are kept by their number since the source was set: source row + FFrontRemoved.
  uint64_t FFrontRemoved = 0;
  // The rows shown, by number, ascending; unused without a filter text (all rows shown).
  std::deque<uint64_t> FRows;
  // Rows that passed a wider text, still to check against the narrower one, ascending.
  std::deque<uint64_t> FCandidates;
  // The rows a view held (selection, current row) when the text changed that passed it, shown at
  // once and skipped when the check reaches them; ascending.
  std::vector<uint64_t> FHeld;
  // Every source row from this number on is still to check (after the candidates).
  uint64_t FNextUnchecked = 0;
  // Rows of FRows removed at the front between the source's about-to and done signals.
  size_t FLeaving = 0;
  size_t FRowsPerSlice = 0;
  QTimer* FTimer;
  std::vector<QMetaObject::Connection> FSourceConnections;
};
