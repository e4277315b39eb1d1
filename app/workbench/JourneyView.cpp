// TJourneyView: the journey's table, the chosen message's detail tree, the orphan receipts and
// the link to the traffic table.
#include "app/workbench/JourneyView.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QTabWidget>
#include <QTableView>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "app/workbench/TrafficModel.h"
#include "inspect/PduSummary.h"
#include "smpp/PduNames.h"

namespace {

QString FromStd(const std::string& S) {
  return QString::fromUtf8(S.data(), static_cast<qsizetype>(S.size()));
}

// A tree item's PDU, kept in its data for a double-click.
constexpr int kPduRole = Qt::UserRole;

void SetPdu(QTreeWidgetItem* Item, const TJourneyPdu& Pdu) {
  Item->setData(
      0, kPduRole,
      QVariantList{static_cast<int>(Pdu.Connection), static_cast<int>(Pdu.Direction),
                   static_cast<uint>(Pdu.Sequence), static_cast<qlonglong>(Pdu.MonotonicNs)});
}

std::optional<TJourneyPdu> PduOf(const QTreeWidgetItem* Item) {
  const QVariantList L = Item->data(0, kPduRole).toList();
  if (L.size() != 4) return std::nullopt;
  return TJourneyPdu{static_cast<TPduConnection>(L[0].toInt()),
                     static_cast<TPduDirection>(L[1].toInt()), L[2].toUInt(), L[3].toLongLong()};
}

QTreeWidgetItem* AddItem(QTreeWidgetItem* Parent, const QString& Name, const QString& Value,
                         std::optional<TJourneyPdu> Pdu = std::nullopt) {
  auto* Item = new QTreeWidgetItem(Parent, {Name, Value});
  Item->setToolTip(1, Value);  // the whole text where the column cuts it
  if (Pdu) SetPdu(Item, *Pdu);
  return Item;
}

// A receipt in one line: "DELIVRD, err 000, final".
QString ReceiptText(const TJourneyReceipt& R) {
  QString Text = R.Stat.empty() ? QStringLiteral("(no state)") : FromStd(R.Stat);
  if (!R.Err.empty()) Text += ", err " + FromStd(R.Err);
  return Text + (R.Intermediate ? ", intermediate" : ", final");
}

}  // namespace

TJourneyView::TJourneyView(QWidget* Parent) : QWidget(Parent) {
  FModel = new TJourneyModel(TMessageJourney::kDefaultCapacity, this);
  auto* Column = new QVBoxLayout(this);
  Column->setContentsMargins(0, 0, 0, 0);
  auto* Top = new QHBoxLayout;
  Counts = new QLabel;
  ClearButton = new QPushButton("Clear journey");
  ClearButton->setToolTip("Forgets every message and receipt followed; the traffic table stays");
  connect(ClearButton, &QPushButton::clicked, this, &TJourneyView::Clear);
  Top->addWidget(Counts, 1);
  Top->addWidget(ClearButton);
  Column->addLayout(Top);

  FSplit = new QSplitter(Qt::Horizontal);
  FSplit->setChildrenCollapsible(false);
  Table = new QTableView;
  Table->setModel(FModel);
  ShapeRowTable(Table);
  Table->setSelectionMode(QAbstractItemView::SingleSelection);
  const QFontMetrics M = Table->fontMetrics();
  const char* Widest[] = {"0000",         "5550100",  "Destination", "2 of 3",
                          "00:00:00.000", "00.00 ms", "0000000000",  "00.00 ms"};
  for (int I = 0; I < static_cast<int>(std::size(Widest)); ++I)
    Table->setColumnWidth(I, M.horizontalAdvance(Widest[I]) + M.averageCharWidth() * 2);
  connect(Table->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this](const QModelIndex& Current) { ChooseRow(Current.row()); });
  FSplit->addWidget(Table);

  // The chosen message's detail, and the receipts that match no message apart, in tabs of their
  // own: the pane is short, and each needs its height.
  DetailTabs = new QTabWidget;
  DetailTabs->setDocumentMode(true);
  Detail = new QTreeWidget;
  Detail->setHeaderLabels({"Part", "Value"});
  Detail->setColumnWidth(0, M.horizontalAdvance("After the submit") + M.averageCharWidth() * 8);
  Detail->setToolTip("Double-click a part, its response or a receipt to show it in the traffic");
  connect(Detail, &QTreeWidget::itemActivated, this, &TJourneyView::ItemActivated);
  DetailTabs->addTab(Detail, "Message");
  auto* OrphanBox = new QWidget;
  auto* OrphanColumn = new QVBoxLayout(OrphanBox);
  OrphanColumn->setContentsMargins(0, 0, 0, 0);
  OrphansLabel = new QLabel;
  OrphanColumn->addWidget(OrphansLabel);
  Orphans = new QTreeWidget;
  Orphans->setRootIsDecorated(false);
  Orphans->setUniformRowHeights(true);
  Orphans->setHeaderLabels({"Received", "Conn.", "Message id", "State"});
  Orphans->setColumnWidth(0, M.horizontalAdvance("00:00:00.000") + M.averageCharWidth() * 3);
  Orphans->setColumnWidth(1, M.horizontalAdvance("Conn.") + M.averageCharWidth() * 3);
  Orphans->setColumnWidth(2, M.horizontalAdvance("0000000000") + M.averageCharWidth() * 3);
  Orphans->setToolTip("Double-click a receipt to show it in the traffic");
  connect(Orphans, &QTreeWidget::itemActivated, this, &TJourneyView::ItemActivated);
  OrphanColumn->addWidget(Orphans, 1);
  DetailTabs->addTab(OrphanBox, QString());
  FSplit->addWidget(DetailTabs);
  // The table as wide as its columns with the state's usual text, the detail as its two columns;
  // the splitter shares what there is in that proportion.
  int TableWidth = M.horizontalAdvance("accepted, no receipt yet") + M.averageCharWidth() * 4;
  for (int I = 0; I < TJourneyModel::cState; ++I) TableWidth += Table->columnWidth(I);
  FSplit->setSizes(
      {TableWidth, Detail->columnWidth(0) + M.horizontalAdvance("DELIVRD, err 000, final")});
  FSplit->setStretchFactor(0, 1);
  FSplit->setStretchFactor(1, 0);
  FSideBySideWidth = TableWidth * 3 / 4;
  Column->addWidget(FSplit, 1);
  ShowOrphans();
  ShowCounts();
}

TJourneyView::~TJourneyView() {
  // The model and the table go after this body, and the table's current row moves as they do.
  Table->selectionModel()->disconnect(this);
}

void TJourneyView::resizeEvent(QResizeEvent* Event) {
  // Too narrow for the table beside the detail (a small screen, a large scale factor): the detail
  // goes under it.
  const Qt::Orientation Wanted = width() < FSideBySideWidth ? Qt::Vertical : Qt::Horizontal;
  if (FSplit->orientation() != Wanted) FSplit->setOrientation(Wanted);
  QWidget::resizeEvent(Event);
}

void TJourneyView::Follow(const std::vector<TPduTraceRecord>& Records) {
  for (const TPduTraceRecord& R : Records) FModel->OnTrace(R);
  QScrollBar* Bar = Table->verticalScrollBar();
  const bool AtEnd = Bar->value() >= Bar->maximum();
  const TJourneyChanges C = FModel->Refresh();
  if (C.Removed == 0 && C.Added == 0 && C.Changed.empty() && !C.OrphansChanged) return;
  if (C.Added && AtEnd) Table->scrollToBottom();
  // The chosen message's detail follows it, and only it.
  if (FChosen) {
    const std::optional<int> Row = FModel->RowOfSerial(*FChosen);
    if (!Row) {
      FChosen.reset();
      ShowDetail();
    } else if (std::binary_search(C.Changed.begin(), C.Changed.end(), static_cast<size_t>(*Row))) {
      ShowDetail();
    }
  }
  if (C.OrphansChanged) ShowOrphans();
  ShowCounts();
}

void TJourneyView::Clear() {
  FModel->Clear();
  FChosen.reset();
  ShowDetail();
  ShowOrphans();
  ShowCounts();
}

bool TJourneyView::SelectPdu(TPduConnection Connection, TPduDirection Direction,
                             const uint8_t* Bytes, size_t Length) {
  const std::optional<size_t> I = Journey().RowOfPdu(Connection, Direction, Bytes, Length);
  if (!I) return false;
  const std::optional<int> Row = FModel->RowOfSerial(Journey().Message(*I).Serial);
  if (!Row) return false;
  const QModelIndex Index = FModel->index(*Row, 0);
  Table->selectionModel()->setCurrentIndex(
      Index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  Table->scrollTo(Index);
  return true;
}

const TJourneyMessage* TJourneyView::Chosen() const {
  if (!FChosen) return nullptr;
  const std::optional<int> Row = FModel->RowOfSerial(*FChosen);
  return Row ? FModel->MessageAt(*Row) : nullptr;
}

void TJourneyView::ChooseRow(int Row) {
  const TJourneyMessage* M = FModel->MessageAt(Row);
  const std::optional<uint64_t> Serial = M ? std::optional(M->Serial) : std::nullopt;
  if (Serial == FChosen) return;
  FChosen = Serial;
  ShowDetail();
}

void TJourneyView::ShowDetail() {
  Detail->clear();
  const TJourneyMessage* M = Chosen();
  if (!M) return;
  const size_t Total = std::max<size_t>(M->Total, M->Parts.size());
  for (size_t I = 0; I < M->Parts.size(); ++I) {
    const TJourneyPart& P = M->Parts[I];
    const QString Name = M->Total ? QString("Part %1 of %2").arg(P.Seq ? P.Seq : I + 1).arg(Total)
                                  : QStringLiteral("Message %1").arg(M->Serial + 1);
    const TJourneyPdu Submit{P.Connection, TPduDirection::pdOut, P.Sequence, P.SubmitNs};
    auto* Part = new QTreeWidgetItem(Detail, {Name, FromStd(CommandName(P.CommandId))});
    SetPdu(Part, Submit);
    AddItem(Part, "Connection", PduConnectionName(P.Connection));
    AddItem(Part, "Sequence", QString::number(P.Sequence));
    AddItem(Part, "Submitted", JourneyTimeText(P.SubmitNs), Submit);
    switch (P.Answer) {
      case TPartAnswer::paAwaiting:
        AddItem(Part, "Response", "awaiting");
        break;
      case TPartAnswer::paLost:
        AddItem(Part, "Response", "none: the connection closed first");
        break;
      case TPartAnswer::paAnswered:
        AddItem(Part, "Response",
                FromStd(CommandName(P.ResponseCommand)) + ", " +
                    FromStd(CommandStatusName(P.Status)) + ", " +
                    JourneyDelayText(P.ResponseDelayNs()),
                TJourneyPdu{P.Connection, TPduDirection::pdIn, P.Sequence, P.ResponseNs});
        break;
    }
    AddItem(Part, "Message id", FromStd(P.MessageId));
    if (P.Receipts.empty()) AddItem(Part, "Receipt", P.ReceiptAsked ? "none yet" : "not asked");
    for (size_t R = 0; R < P.Receipts.size(); ++R) {
      const TJourneyReceipt& Receipt = P.Receipts[R];
      const TJourneyPdu Pdu{Receipt.Connection, TPduDirection::pdIn, Receipt.Sequence,
                            Receipt.MonotonicNs};
      auto* Item = AddItem(
          Part, P.Receipts.size() > 1 ? QString("Receipt %1").arg(R + 1) : "Receipt",
          ReceiptText(Receipt) + ", " + JourneyDelayText(Receipt.MonotonicNs - P.SubmitNs), Pdu);
      AddItem(Item, "Received", JourneyTimeText(Receipt.MonotonicNs), Pdu);
      AddItem(Item, "Delay", JourneyDelayText(Receipt.MonotonicNs - P.SubmitNs));
      AddItem(Item, "Conn., seq.",
              QString("%1, %2").arg(PduConnectionName(Receipt.Connection)).arg(Receipt.Sequence));
      AddItem(Item, "stat", FromStd(Receipt.Stat));
      AddItem(Item, "err", FromStd(Receipt.Err));
      AddItem(Item, "Kind", Receipt.Intermediate ? "intermediate" : "final");
    }
  }
  // The parts open, their receipts folded.
  for (int I = 0; I < Detail->topLevelItemCount(); ++I) Detail->topLevelItem(I)->setExpanded(true);
}

void TJourneyView::ShowOrphans() {
  const TMessageJourney& J = Journey();
  // New orphans are appended; one left, or a Clear, fills the list anew.
  if (J.OrphansEvicted() != FOrphansEvictedShown || J.OrphanCount() < FOrphansShown) {
    Orphans->clear();
    FOrphansShown = 0;
    FOrphansEvictedShown = J.OrphansEvicted();
  }
  QList<QTreeWidgetItem*> Items;
  for (size_t I = FOrphansShown; I < J.OrphanCount(); ++I) {
    const TJourneyReceipt& R = J.Orphan(I);
    auto* Item =
        new QTreeWidgetItem({JourneyTimeText(R.MonotonicNs), PduConnectionName(R.Connection),
                             FromStd(R.MessageId), ReceiptText(R)});
    SetPdu(Item, {R.Connection, TPduDirection::pdIn, R.Sequence, R.MonotonicNs});
    Items.append(Item);
  }
  Orphans->addTopLevelItems(Items);
  FOrphansShown = J.OrphanCount();
  QString Text = QString("Receipts that match no message: %1").arg(J.OrphanCount());
  if (J.OrphansEvicted()) Text += QString(" (%1 older ones left)").arg(J.OrphansEvicted());
  OrphansLabel->setText(Text);
  DetailTabs->setTabText(kOrphansTab, QString("Unmatched: %1").arg(J.OrphanCount()));
}

void TJourneyView::ShowCounts() {
  const TMessageJourney& J = Journey();
  QString Text = J.Count() == 1 ? QString("1 message") : QString("%1 messages").arg(J.Count());
  if (J.Evicted()) Text += QString(", %1 older ones left").arg(J.Evicted());
  if (Counts->text() != Text) Counts->setText(Text);
}

void TJourneyView::ItemActivated(QTreeWidgetItem* Item) {
  if (const std::optional<TJourneyPdu> Pdu = Item ? PduOf(Item) : std::nullopt;
      Pdu && ShowInTraffic)
    ShowInTraffic(*Pdu);
}
