// TTrafficModel and TTrafficFilter: the traffic table's rows and their filter.
#include "app/workbench/TrafficModel.h"

#include <QDateTime>
#include <cstdint>

#include "inspect/PduSummary.h"
#include "smpp/PduTrace.h"

namespace {

QString FromStd(const std::string& S) {
  return QString::fromUtf8(S.data(), static_cast<qsizetype>(S.size()));
}

// A row's wall time as the table shows it: "HH:mm:ss.zzzuuu", local time. The zone's offset from
// UTC is looked up once per quarter of an hour (offsets change only on such a boundary), not per
// cell: a text filter over the full table formats every row's time, and a QDateTime in local time
// costs far more than the arithmetic. The cache is per thread, so any thread may format.
QString LocalTimeText(int64_t WallUs) {
  constexpr int64_t kQuarterUs = 15LL * 60 * 1'000'000;
  constexpr int64_t kDayUs = 86'400LL * 1'000'000;
  thread_local int64_t CachedQuarter = INT64_MIN;
  thread_local int64_t OffsetUs = 0;
  const int64_t Quarter = (WallUs >= 0 ? WallUs : WallUs - kQuarterUs + 1) / kQuarterUs;
  if (Quarter != CachedQuarter) {
    const QDateTime Start = QDateTime::fromMSecsSinceEpoch(Quarter * kQuarterUs / 1000);
    OffsetUs = int64_t(Start.offsetFromUtc()) * 1'000'000;
    CachedQuarter = Quarter;
  }
  int64_t InDay = (WallUs + OffsetUs) % kDayUs;
  if (InDay < 0) InDay += kDayUs;
  const int Seconds = static_cast<int>(InDay / 1'000'000);
  return QString::asprintf("%02d:%02d:%02d.%06d", Seconds / 3600, Seconds / 60 % 60, Seconds % 60,
                           static_cast<int>(InDay % 1'000'000));
}

}  // namespace

TTrafficModel::TTrafficModel(size_t Capacity, QObject* Parent)
    : QAbstractTableModel(Parent), FStore(Capacity) {}

void TTrafficModel::Append(const std::vector<TPduTraceRecord>& Records) {
  if (Records.empty()) return;
  // More than the store holds: only its newest Capacity records matter.
  const size_t Skip = Records.size() > FStore.Capacity() ? Records.size() - FStore.Capacity() : 0;
  const size_t Adding = Records.size() - Skip;
  const size_t Leaving =
      FStore.Size() + Adding > FStore.Capacity() ? FStore.Size() + Adding - FStore.Capacity() : 0;
  if (Leaving > 0) {
    beginRemoveRows({}, 0, static_cast<int>(Leaving) - 1);
    FStore.DropOldest(Leaving);
    FCachedRow = SIZE_MAX;
    endRemoveRows();
  }
  // Records beyond the store's room are appended too and leave at once, counted as dropped.
  const int First = static_cast<int>(FStore.Size());
  beginInsertRows({}, First, First + static_cast<int>(Adding) - 1);
  for (size_t I = 0; I < Records.size(); ++I) FStore.Append(Records[I]);
  endInsertRows();
}

void TTrafficModel::Clear() {
  beginResetModel();
  FStore.Clear();
  FCachedRow = SIZE_MAX;
  endResetModel();
}

int TTrafficModel::rowCount(const QModelIndex& Parent) const {
  return Parent.isValid() ? 0 : static_cast<int>(FStore.Size());
}

int TTrafficModel::columnCount(const QModelIndex& Parent) const {
  return Parent.isValid() ? 0 : cColumnCount;
}

QString TTrafficModel::Cell(int RowIndex, int Column) const {
  const TTrafficRow& Row = FStore.Row(static_cast<size_t>(RowIndex));
  switch (Column) {
    case cTime:
      return LocalTimeText(PduTraceWallNs(Row.MonotonicNs) / 1000);
    case cConnection:
      return PduConnectionName(Row.Connection);
    case cDirection:
      if (Row.Kind != TPduTraceKind::tkPdu) return {};
      return Row.Direction == TPduDirection::pdIn ? QStringLiteral("in") : QStringLiteral("out");
    default:
      break;
  }
  if (FCachedRow != static_cast<size_t>(RowIndex) || FCachedDropped != FStore.Dropped()) {
    FCached = TrafficColumns(Row);
    FCachedRow = static_cast<size_t>(RowIndex);
    FCachedDropped = FStore.Dropped();
  }
  switch (Column) {
    case cCommand:
      return FromStd(FCached.Command);
    case cSequence:
      return FromStd(FCached.Sequence);
    case cStatus:
      return FromStd(FCached.Status);
    case cMessageId:
      return FromStd(FCached.MessageId);
    case cSummary:
      return FromStd(FCached.Summary);
    default:
      return {};
  }
}

QVariant TTrafficModel::data(const QModelIndex& Index, int Role) const {
  if (!Index.isValid() || Index.row() >= rowCount()) return {};
  if (Role == Qt::DisplayRole || Role == Qt::ToolTipRole) return Cell(Index.row(), Index.column());
  return {};
}

QVariant TTrafficModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
  if (Orientation != Qt::Horizontal || Role != Qt::DisplayRole) return {};
  static const char* const Names[] = {"Time",     "Conn.",  "Dir.",       "Command",
                                      "Sequence", "Status", "Message id", "Summary"};
  return Section >= 0 && Section < cColumnCount ? QString(Names[Section]) : QVariant();
}

void TTrafficFilter::SetFilter(const QString& Text) {
  FText = Text.trimmed();
  FColumn = -1;
  if (FText.startsWith("cmd:", Qt::CaseInsensitive)) {
    FColumn = TTrafficModel::cCommand;
    FText = FText.mid(4);
  } else if (FText.startsWith("status:", Qt::CaseInsensitive)) {
    FColumn = TTrafficModel::cStatus;
    FText = FText.mid(7);
  }
  // One layout change, not invalidateFilter's removal or insertion per run of rows: a filter that
  // keeps every other row of a full table would tell the view (and its header, which moves its
  // sections each time) a hundred thousand times.
  invalidate();
}

bool TTrafficFilter::filterAcceptsRow(int SourceRow, const QModelIndex&) const {
  if (FText.isEmpty()) return true;
  const auto* Model = static_cast<const TTrafficModel*>(sourceModel());
  if (FColumn >= 0) return Model->Cell(SourceRow, FColumn).startsWith(FText, Qt::CaseInsensitive);
  for (int C = 0; C < TTrafficModel::cColumnCount; ++C)
    if (Model->Cell(SourceRow, C).contains(FText, Qt::CaseInsensitive)) return true;
  return false;
}
