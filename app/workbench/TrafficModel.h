// TTrafficModel: the traffic table's model over a TTrafficStore, rows appended in batches (one
// beginInsertRows per batch) and the oldest removed in one step when the store drops them; the
// columns are computed when a view asks, the last row asked for kept. TTrafficFilter: the filter
// box's proxy, matching command, status or any text of the row.
#pragma once

#include <QAbstractTableModel>
#include <QSortFilterProxyModel>
#include <vector>

#include "inspect/TrafficStore.h"

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
class TTrafficFilter : public QSortFilterProxyModel {
 public:
  using QSortFilterProxyModel::QSortFilterProxyModel;
  void SetFilter(const QString& Text);

 protected:
  bool filterAcceptsRow(int SourceRow, const QModelIndex& SourceParent) const override;

 private:
  QString FText;
  int FColumn = -1;  // -1: any column
};
