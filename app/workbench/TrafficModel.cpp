// TTrafficModel and TTrafficFilter: the traffic table's rows and their filter.
#include "app/workbench/TrafficModel.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QTableView>
#include <QTimer>
#include <algorithm>
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

TTrafficFilter::TTrafficFilter(QObject* Parent) : QAbstractProxyModel(Parent) {
  FTimer = new QTimer(this);
  FTimer->setInterval(0);
  connect(FTimer, &QTimer::timeout, this, [this] { RunSlice(); });
}

const TTrafficModel* TTrafficFilter::Source() const {
  return static_cast<const TTrafficModel*>(sourceModel());
}

void TTrafficFilter::setSourceModel(QAbstractItemModel* NewSource) {
  beginResetModel();
  for (const QMetaObject::Connection& C : FSourceConnections) disconnect(C);
  FSourceConnections.clear();
  QAbstractProxyModel::setSourceModel(NewSource);
  FFrontRemoved = 0;
  FRows.clear();
  FCandidates.clear();
  FHeld.clear();
  FNextUnchecked = 0;
  if (NewSource) {
    using M = QAbstractItemModel;
    FSourceConnections = {
        connect(NewSource, &M::rowsAboutToBeInserted, this,
                [this](const QModelIndex&, int F, int L) { SourceAboutToInsert(F, L); }),
        connect(NewSource, &M::rowsInserted, this, [this] { SourceInserted(); }),
        connect(NewSource, &M::rowsAboutToBeRemoved, this,
                [this](const QModelIndex&, int F, int L) { SourceAboutToRemove(F, L); }),
        connect(NewSource, &M::rowsRemoved, this,
                [this](const QModelIndex&, int F, int L) { SourceRemoved(F, L); }),
        connect(NewSource, &M::modelAboutToBeReset, this, [this] { SourceAboutToReset(); }),
        connect(NewSource, &M::modelReset, this, [this] { SourceReset(); }),
    };
  }
  endResetModel();
  RunSlice();
}

void TTrafficFilter::SetFilter(const QString& Text) {
  QString NewText = Text.trimmed();
  int NewColumn = -1;
  if (NewText.startsWith("cmd:", Qt::CaseInsensitive)) {
    NewColumn = TTrafficModel::cCommand;
    NewText = NewText.mid(4);
  } else if (NewText.startsWith("status:", Qt::CaseInsensitive)) {
    NewColumn = TTrafficModel::cStatus;
    NewText = NewText.mid(7);
  }
  if (NewText.isEmpty()) NewColumn = -1;
  if (NewColumn == FColumn && NewText.compare(FText, Qt::CaseInsensitive) == 0) {
    FText = NewText;
    return;
  }
  // A narrower text of the same kind: only the rows that passed the wider one (those shown, then
  // those it had still to check) can pass it.
  const bool Narrower = !FText.isEmpty() && NewColumn == FColumn &&
                        (FColumn >= 0 ? NewText.startsWith(FText, Qt::CaseInsensitive)
                                      : NewText.contains(FText, Qt::CaseInsensitive));
  // One layout change that keeps the selection and the current row where the new text shows them:
  // the rows a view holds on to are checked at once (a handful), the others in slices.
  emit layoutAboutToBeChanged();
  const QModelIndexList Held = persistentIndexList();
  std::vector<uint64_t> HeldNumbers;
  HeldNumbers.reserve(static_cast<size_t>(Held.size()));
  for (const QModelIndex& I : Held) HeldNumbers.push_back(NumberOf(I.row()));
  if (Narrower) {
    // Both ascending; the rows from FNextUnchecked on are checked in the tail anyway.
    std::vector<uint64_t> Merged;
    Merged.reserve(FRows.size() + FCandidates.size());
    std::merge(FRows.begin(), FRows.end(), FCandidates.begin(), FCandidates.end(),
               std::back_inserter(Merged));
    Merged.erase(std::unique(Merged.begin(), Merged.end()), Merged.end());
    Merged.erase(std::lower_bound(Merged.begin(), Merged.end(), FNextUnchecked), Merged.end());
    FCandidates.assign(Merged.begin(), Merged.end());
  } else {
    FCandidates.clear();
    FNextUnchecked = FFrontRemoved;
  }
  FRows.clear();
  FText = NewText;
  FColumn = NewColumn;
  FHeld.clear();
  if (!FText.isEmpty()) {
    for (uint64_t Number : HeldNumbers)
      if (Accepts(static_cast<int>(Number - FFrontRemoved))) FHeld.push_back(Number);
    std::sort(FHeld.begin(), FHeld.end());
    FHeld.erase(std::unique(FHeld.begin(), FHeld.end()), FHeld.end());
    FRows.assign(FHeld.begin(), FHeld.end());
  }
  QModelIndexList Moved;
  Moved.reserve(Held.size());
  for (qsizetype I = 0; I < Held.size(); ++I) {
    const int Row = RowOf(HeldNumbers[static_cast<size_t>(I)]);
    Moved.push_back(Row < 0 ? QModelIndex() : createIndex(Row, Held[I].column()));
  }
  changePersistentIndexList(Held, Moved);
  emit layoutChanged();
  RunSlice();
}

uint64_t TTrafficFilter::NumberOf(int Row) const {
  return FText.isEmpty() ? static_cast<uint64_t>(Row) + FFrontRemoved
                         : FRows[static_cast<size_t>(Row)];
}

int TTrafficFilter::RowOf(uint64_t Number) const {
  if (Number < FFrontRemoved) return -1;
  if (FText.isEmpty()) return static_cast<int>(Number - FFrontRemoved);
  const auto It = std::lower_bound(FRows.begin(), FRows.end(), Number);
  return It == FRows.end() || *It != Number ? -1 : static_cast<int>(It - FRows.begin());
}

bool TTrafficFilter::Checking() const {
  return PendingCount() > 0;
}

size_t TTrafficFilter::PendingCount() const {
  if (FText.isEmpty() || !sourceModel()) return 0;
  const uint64_t End = FFrontRemoved + static_cast<uint64_t>(Source()->rowCount());
  return FCandidates.size() + static_cast<size_t>(End - std::min(End, FNextUnchecked));
}

size_t TTrafficFilter::CheckedCount() const {
  if (!sourceModel()) return 0;
  const size_t Rows = static_cast<size_t>(Source()->rowCount());
  return Rows - std::min(Rows, PendingCount());
}

void TTrafficFilter::Finish() {
  RunSlice(true);
}

bool TTrafficFilter::Accepts(int SourceRow) const {
  const TTrafficModel* Model = Source();
  const TTrafficRow& Row = Model->Store().Row(static_cast<size_t>(SourceRow));
  TTrafficColumns Columns = TrafficHeaderColumns(Row);
  if (FColumn >= 0)
    return FromStd(FColumn == TTrafficModel::cCommand ? Columns.Command : Columns.Status)
        .startsWith(FText, Qt::CaseInsensitive);
  // The columns that cost little first; the body (message id, summary) only when none matches.
  for (int C : {TTrafficModel::cTime, TTrafficModel::cConnection, TTrafficModel::cDirection})
    if (Model->Cell(SourceRow, C).contains(FText, Qt::CaseInsensitive)) return true;
  for (const std::string* Text : {&Columns.Command, &Columns.Sequence, &Columns.Status})
    if (FromStd(*Text).contains(FText, Qt::CaseInsensitive)) return true;
  AddTrafficBodyColumns(Row, Columns);
  return FromStd(Columns.MessageId).contains(FText, Qt::CaseInsensitive) ||
         FromStd(Columns.Summary).contains(FText, Qt::CaseInsensitive);
}

void TTrafficFilter::RunSlice(bool Unbounded) {
  if (!Checking()) {
    FCandidates.clear();
    FTimer->stop();
    return;
  }
  QElapsedTimer Clock;
  Clock.start();
  const uint64_t End = FFrontRemoved + static_cast<uint64_t>(Source()->rowCount());
  FNextUnchecked = std::max(FNextUnchecked, FFrontRemoved);
  std::vector<uint64_t> Found;
  size_t Checked = 0;
  const auto SliceOver = [&] {
    ++Checked;
    if (Unbounded) return false;
    if (FRowsPerSlice && Checked >= FRowsPerSlice) return true;
    // The clock is read every few rows: reading it costs about as much as a cheap check.
    return Checked % 16 == 0 && Clock.nsecsElapsed() >= kSliceNs;
  };
  bool Over = false;
  while (!Over && !FCandidates.empty()) {
    const uint64_t Number = FCandidates.front();
    FCandidates.pop_front();
    if (Number < FFrontRemoved) continue;  // left the source meanwhile
    if (!IsHeld(Number) && Accepts(static_cast<int>(Number - FFrontRemoved)))
      Found.push_back(Number);
    Over = SliceOver();
  }
  while (!Over && FNextUnchecked < End) {
    const uint64_t Number = FNextUnchecked++;
    if (!IsHeld(Number) && Accepts(static_cast<int>(Number - FFrontRemoved)))
      Found.push_back(Number);
    Over = SliceOver();
  }
  // In order among the rows shown: at the end, but for the held rows further on, each run of
  // found rows before one of them inserted in its place.
  for (auto Run = Found.begin(); Run != Found.end();) {
    const auto At = std::lower_bound(FRows.begin(), FRows.end(), *Run);
    const auto RunEnd = At == FRows.end() ? Found.end() : std::lower_bound(Run, Found.end(), *At);
    const int First = static_cast<int>(At - FRows.begin());
    beginInsertRows({}, First, First + static_cast<int>(RunEnd - Run) - 1);
    FRows.insert(At, Run, RunEnd);
    endInsertRows();
    Run = RunEnd;
  }
  if (Checking()) {
    if (!FTimer->isActive()) FTimer->start();
  } else {
    FTimer->stop();
  }
}

void TTrafficFilter::SourceAboutToInsert(int First, int Last) {
  if (FText.isEmpty()) beginInsertRows({}, First, Last);
}

void TTrafficFilter::SourceInserted() {
  if (FText.isEmpty()) {
    endInsertRows();
    return;
  }
  // The new rows are checked now when the check was done (a live drain's batch); otherwise they
  // wait their turn behind the rows before them.
  if (!FTimer->isActive()) RunSlice();
}

void TTrafficFilter::SourceAboutToRemove(int First, int Last) {
  if (FText.isEmpty()) {
    beginRemoveRows({}, First, Last);
    return;
  }
  // The source removes at the front only (its ring); the rows shown among those leave first.
  Q_ASSERT(First == 0);
  const uint64_t End = FFrontRemoved + static_cast<uint64_t>(Last) + 1;
  FLeaving = static_cast<size_t>(std::lower_bound(FRows.begin(), FRows.end(), End) - FRows.begin());
  if (FLeaving > 0) beginRemoveRows({}, 0, static_cast<int>(FLeaving) - 1);
}

void TTrafficFilter::SourceRemoved(int First, int Last) {
  FFrontRemoved += static_cast<uint64_t>(Last - First) + 1;
  if (FText.isEmpty()) {
    endRemoveRows();
    return;
  }
  if (FLeaving > 0) {
    FRows.erase(FRows.begin(), FRows.begin() + static_cast<std::ptrdiff_t>(FLeaving));
    FLeaving = 0;
    endRemoveRows();
  }
}

void TTrafficFilter::SourceAboutToReset() {
  beginResetModel();
}

void TTrafficFilter::SourceReset() {
  FFrontRemoved = 0;
  FRows.clear();
  FCandidates.clear();
  FHeld.clear();
  FNextUnchecked = 0;
  endResetModel();
  RunSlice();
}

QModelIndex TTrafficFilter::index(int Row, int Column, const QModelIndex& Parent) const {
  if (Parent.isValid() || Row < 0 || Column < 0 || Row >= rowCount() || Column >= columnCount())
    return {};
  return createIndex(Row, Column);
}

QModelIndex TTrafficFilter::parent(const QModelIndex&) const {
  return {};
}

int TTrafficFilter::rowCount(const QModelIndex& Parent) const {
  if (Parent.isValid() || !sourceModel()) return 0;
  return FText.isEmpty() ? Source()->rowCount() : static_cast<int>(FRows.size());
}

int TTrafficFilter::columnCount(const QModelIndex& Parent) const {
  return Parent.isValid() || !sourceModel() ? 0 : Source()->columnCount();
}

bool TTrafficFilter::hasChildren(const QModelIndex& Parent) const {
  return !Parent.isValid() && rowCount() > 0;
}

QVariant TTrafficFilter::headerData(int Section, Qt::Orientation Orientation, int Role) const {
  if (!sourceModel()) return {};
  if (Orientation == Qt::Horizontal) return Source()->headerData(Section, Orientation, Role);
  return Role == Qt::DisplayRole ? QVariant(Section + 1) : QVariant();
}

QModelIndex TTrafficFilter::mapToSource(const QModelIndex& ProxyIndex) const {
  if (!ProxyIndex.isValid() || ProxyIndex.model() != this || !sourceModel()) return {};
  const int Row =
      FText.isEmpty()
          ? ProxyIndex.row()
          : static_cast<int>(FRows[static_cast<size_t>(ProxyIndex.row())] - FFrontRemoved);
  return Source()->index(Row, ProxyIndex.column());
}

QModelIndex TTrafficFilter::mapFromSource(const QModelIndex& SourceIndex) const {
  if (!SourceIndex.isValid() || SourceIndex.model() != sourceModel()) return {};
  const int Row = RowOf(static_cast<uint64_t>(SourceIndex.row()) + FFrontRemoved);
  return Row < 0 ? QModelIndex() : index(Row, SourceIndex.column());
}

void ShapeRowTable(QTableView* Table) {
  Table->setSelectionBehavior(QAbstractItemView::SelectRows);
  Table->verticalHeader()->hide();
  Table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  Table->verticalHeader()->setDefaultSectionSize(Table->fontMetrics().height() + 4);
  Table->horizontalHeader()->setStretchLastSection(true);
  Table->setWordWrap(false);
}
