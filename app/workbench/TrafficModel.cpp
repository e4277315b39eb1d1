// TTrafficModel and TTrafficFilter: the traffic table's rows and their filter.
#include "app/workbench/TrafficModel.h"

#include <QDateTime>

#include "inspect/PduSummary.h"
#include "smpp/PduTrace.h"

namespace {

QString FromStd(const std::string& S) {
  return QString::fromUtf8(S.data(), static_cast<qsizetype>(S.size()));
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
    case cTime: {
      const int64_t WallUs = PduTraceWallNs(Row.MonotonicNs) / 1000;
      return QDateTime::fromMSecsSinceEpoch(WallUs / 1000).toString("HH:mm:ss.zzz") +
             QString::number(WallUs % 1000).rightJustified(3, u'0');
    }
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
