// TWorkbench: the bottom tabs (the report lines and the message journey) and the links between
// the journey and the traffic table both ways. GUI thread.
#include <QItemSelectionModel>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>

#include "app/workbench/JourneyView.h"
#include "app/workbench/TrafficModel.h"
#include "app/workbench/Workbench.h"

namespace {

// The sequence number in a PDU's header, or nullopt when the bytes hold no header.
std::optional<uint32_t> SequenceOf(const TTrafficRow& Row) {
  if (Row.Kind != TPduTraceKind::tkPdu || Row.Length < 16) return std::nullopt;
  const uint8_t* B = Row.Bytes.get() + 12;
  return uint32_t(B[0]) << 24 | uint32_t(B[1]) << 16 | uint32_t(B[2]) << 8 | B[3];
}

}  // namespace

QWidget* TWorkbench::MakeBottomTabs(QWidget* ReportPane) {
  BottomTabs = new QTabWidget;
  BottomTabs->setDocumentMode(true);
  BottomTabs->addTab(ReportPane, "&Reports");
  Journey = new TJourneyView;
  BottomTabs->addTab(Journey, "&Journey");
  Journey->ShowInTraffic = [this](const TJourneyPdu& Pdu) { ShowInTraffic(Pdu); };
  // A row of the traffic that belongs to a message chooses it in the journey.
  connect(Table->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this] {
    const std::optional<size_t> Row = CurrentStoreRow();
    if (!Row) return;
    const TTrafficRow& R = FTraffic->Store().Row(*Row);
    if (R.Kind == TPduTraceKind::tkPdu)
      Journey->SelectPdu(R.Connection, R.Direction, R.Bytes.get(), R.Length);
  });
  return BottomTabs;
}

void TWorkbench::ShowInTraffic(const TJourneyPdu& Pdu) {
  // The row of that PDU: its connection, direction and sequence number, traced at that time (a
  // sequence number comes back on every new connection).
  const TTrafficStore& Store = FTraffic->Store();
  std::optional<size_t> Found;
  for (size_t I = Store.Size(); I-- > 0 && !Found;) {
    const TTrafficRow& Row = Store.Row(I);
    if (Row.MonotonicNs == Pdu.MonotonicNs && Row.Connection == Pdu.Connection &&
        Row.Direction == Pdu.Direction && SequenceOf(Row) == Pdu.Sequence)
      Found = I;
  }
  if (!Found) {
    statusBar()->showMessage("That PDU is no longer in the traffic table", 5000);
    return;
  }
  const QModelIndex Shown = FFiltered->mapFromSource(FTraffic->index(static_cast<int>(*Found), 0));
  if (!Shown.isValid()) {
    statusBar()->showMessage("That PDU is hidden by the filter", 5000);
    return;
  }
  Table->selectionModel()->setCurrentIndex(
      Shown, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  Table->scrollTo(Shown, QAbstractItemView::PositionAtCenter);
}
