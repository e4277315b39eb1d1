// TJourneyModel: the journey's rows and their cells, and the changes applied as the view needs
// them.
#include "app/workbench/JourneyModel.h"

#include <QDateTime>
#include <algorithm>

#include "smpp/PduTrace.h"

namespace {

QString FromStd(const std::string& S) {
  return QString::fromUtf8(S.data(), static_cast<qsizetype>(S.size()));
}

}  // namespace

QString JourneyDelayText(int64_t Ns) {
  const double Ms = static_cast<double>(Ns) / 1e6;
  if (Ms < 10) return QString::number(Ms, 'f', 2) + " ms";
  if (Ms < 100) return QString::number(Ms, 'f', 1) + " ms";
  return QString::number(Ms, 'f', 0) + " ms";
}

QString JourneyTimeText(int64_t MonotonicNs) {
  return QDateTime::fromMSecsSinceEpoch(PduTraceWallNs(MonotonicNs) / 1'000'000)
      .toString("HH:mm:ss.zzz");
}

TJourneyModel::TJourneyModel(size_t Capacity, QObject* Parent)
    : QAbstractTableModel(Parent), FJourney(Capacity) {}

TJourneyChanges TJourneyModel::Refresh() {
  TJourneyChanges C = FJourney.TakeChanges();
  // The serial of the first message held now; with none held, no row is left to map.
  const uint64_t Front = FJourney.Count() ? FJourney.Message(0).Serial : 0;
  if (C.Removed) {
    beginRemoveRows({}, 0, static_cast<int>(C.Removed) - 1);
    FRows -= static_cast<int>(C.Removed);
    FFirstSerial = Front;
    endRemoveRows();
  }
  // With no row left, the first added is the first held (a Clear may skip serials never shown).
  if (FRows == 0) FFirstSerial = Front;
  if (C.Added) {
    beginInsertRows({}, FRows, FRows + static_cast<int>(C.Added) - 1);
    FRows += static_cast<int>(C.Added);
    endInsertRows();
  }
  // One signal per run of adjacent changed rows.
  for (size_t I = 0; I < C.Changed.size();) {
    size_t J = I + 1;
    while (J < C.Changed.size() && C.Changed[J] == C.Changed[J - 1] + 1) ++J;
    emit dataChanged(index(static_cast<int>(C.Changed[I]), 0),
                     index(static_cast<int>(C.Changed[J - 1]), cColumnCount - 1));
    I = J;
  }
  return C;
}

void TJourneyModel::Clear() {
  FJourney.Clear();
  Refresh();
}

const TJourneyMessage* TJourneyModel::MessageAt(int Row) const {
  if (Row < 0 || Row >= FRows || FJourney.Count() == 0) return nullptr;
  const uint64_t Serial = FFirstSerial + static_cast<uint64_t>(Row);
  const uint64_t Front = FJourney.Message(0).Serial;
  if (Serial < Front || Serial - Front >= FJourney.Count()) return nullptr;
  return &FJourney.Message(static_cast<size_t>(Serial - Front));
}

std::optional<int> TJourneyModel::RowOfSerial(uint64_t Serial) const {
  if (Serial < FFirstSerial || Serial - FFirstSerial >= static_cast<uint64_t>(FRows))
    return std::nullopt;
  return static_cast<int>(Serial - FFirstSerial);
}

int TJourneyModel::rowCount(const QModelIndex& Parent) const {
  return Parent.isValid() ? 0 : FRows;
}

int TJourneyModel::columnCount(const QModelIndex& Parent) const {
  return Parent.isValid() ? 0 : cColumnCount;
}

QVariant TJourneyModel::data(const QModelIndex& Index, int Role) const {
  if (!Index.isValid()) return {};
  if (Role == Qt::TextAlignmentRole) {
    switch (Index.column()) {
      case cNumber:
      case cParts:
      case cResponse:
      case cReceipt:
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
      default:
        return {};
    }
  }
  if (Role != Qt::DisplayRole && Role != Qt::ToolTipRole) return {};
  if (Role == Qt::ToolTipRole && Index.column() != cState && Index.column() != cDestination &&
      Index.column() != cMessageId)
    return {};
  const TJourneyMessage* M = MessageAt(Index.row());
  return M ? Cell(*M, Index.column()) : QVariant();
}

QString TJourneyModel::Cell(const TJourneyMessage& M, int Column) const {
  switch (Column) {
    case cNumber:
      return QString::number(M.Serial + 1);
    case cSource:
      return FromStd(M.Source);
    case cDestination:
      return FromStd(M.Destination);
    case cParts: {
      const size_t Total = std::max<size_t>(M.Total, 1);
      return M.Parts.size() < Total ? QString("%1 of %2").arg(M.Parts.size()).arg(Total)
                                    : QString::number(std::max(M.Parts.size(), Total));
    }
    case cSubmitted:
      return M.Parts.empty() ? QString() : JourneyTimeText(M.Parts.front().SubmitNs);
    case cResponse: {
      if (const int64_t Ns = M.ResponseDelayNs(); Ns >= 0) return JourneyDelayText(Ns);
      for (const TJourneyPart& P : M.Parts)
        if (P.Answer == TPartAnswer::paLost) return QStringLiteral("no response");
      return QStringLiteral("awaiting");
    }
    case cMessageId: {
      QString Ids;
      for (const TJourneyPart& P : M.Parts) {
        if (P.MessageId.empty()) continue;
        if (!Ids.isEmpty()) Ids += ',';
        Ids += FromStd(P.MessageId);
      }
      return Ids;
    }
    case cReceipt: {
      if (const int64_t Ns = M.ReceiptDelayNs(); Ns >= 0) return JourneyDelayText(Ns);
      const bool Asked = std::any_of(M.Parts.begin(), M.Parts.end(),
                                     [](const TJourneyPart& P) { return P.ReceiptAsked; });
      return Asked ? QString() : QStringLiteral("not asked");
    }
    case cState:
      return FromStd(JourneyState(M));
    default:
      return {};
  }
}

QVariant TJourneyModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
  if (Orientation != Qt::Horizontal || Role != Qt::DisplayRole) return {};
  static const char* const kNames[cColumnCount] = {"No.",        "Source",    "Destination",
                                                   "Parts",      "Submitted", "Response",
                                                   "Message id", "Receipt",   "State"};
  return Section >= 0 && Section < cColumnCount ? QString(kNames[Section]) : QVariant();
}
