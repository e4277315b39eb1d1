// TWorkbench: building the window, binding and unbinding through the runner, draining the sink
// into the state labels, the traffic table and the reports, and the inspector.
#include "app/workbench/Workbench.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIntValidator>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <map>
#include <utility>

#include "app/workbench/AnswerPanel.h"
#include "app/workbench/BindFields.h"
#include "app/workbench/ComposerPanel.h"
#include "app/workbench/HexView.h"
#include "app/workbench/JourneyView.h"
#include "app/workbench/LoadCharts.h"
#include "app/workbench/LoadPanel.h"
#include "app/workbench/RequestPanel.h"
#include "app/workbench/TrafficModel.h"
#include "inspect/PcapngWriter.h"
#include "inspect/PduDissector.h"
#include "smpp/PduTrace.h"
#include "smpp/ReportText.h"
#include "smpp/smppclient.h"

namespace {

std::string ToStd(const QString& S) {
  return S.toUtf8().toStdString();
}

QString FromStd(const std::string& S) {
  return QString::fromUtf8(S.data(), static_cast<qsizetype>(S.size()));
}

// A field's value as the tree shows it.
QString FieldValue(const TPduField& F) {
  switch (F.Kind) {
    case TFieldKind::fkInteger:
      return QString::number(F.Integer) +
             QString::asprintf(" (0x%llx)", static_cast<unsigned long long>(F.Integer));
    case TFieldKind::fkText:
      return FromStd(EscapedReportLine(F.Text));
    case TFieldKind::fkOctets: {
      QString Hex;
      for (size_t I = 0; I < F.Text.size() && I < 64; ++I)
        Hex += QString::asprintf(I ? " %02x" : "%02x", static_cast<uint8_t>(F.Text[I]));
      if (F.Text.size() > 64) Hex += QStringLiteral(" ...");
      return Hex;
    }
    default:
      return {};
  }
}

}  // namespace

TWorkbench::TWorkbench(QWidget* Parent) : QMainWindow(Parent) {
  setObjectName("Workbench");
  setWindowTitle("SMPP workbench");
  FRunner = std::make_unique<TClientRunner>(FSink);

  auto* Split = new QSplitter(Qt::Horizontal, this);
  // The panel scrolls when the window is lower than it (a small screen, a large scale factor).
  auto* PanelScroll = new QScrollArea;
  PanelScroll->setWidgetResizable(true);
  PanelScroll->setFrameShape(QFrame::NoFrame);
  PanelScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  QWidget* Panel = MakeConnectionPanel();
  PanelScroll->setWidget(Panel);
  PanelScroll->setMinimumWidth(Panel->minimumSizeHint().width() +
                               PanelScroll->verticalScrollBar()->sizeHint().width());
  Split->addWidget(MakeLeftTabs(PanelScroll));
  LeftTabs->addTab(MakeLoadTab(), "Load");
  Split->addWidget(MakeTrafficPane());
  Split->setStretchFactor(0, 0);
  Split->setStretchFactor(1, 1);
  Split->setChildrenCollapsible(false);
  setCentralWidget(Split);
  Counts = new QLabel(this);
  Counts->setContentsMargins(0, 0, Counts->fontMetrics().averageCharWidth() * 2, 0);
  statusBar()->setSizeGripEnabled(false);
  statusBar()->addPermanentWidget(Counts);
  MakeActions();
  MakeExportActions();
  MakeLoadActions();

  // The logical tab order: the panel top to bottom, then the filter, the table, the inspector
  // and the reports.
  QWidget* Chain[] = {Host,     Port,       Tls,      TlsVerify,  TlsCaFile,    SystemId,
                      Password, SystemType, BindMode, BindButton, UnbindButton, Filter,
                      Table,    Fields,     Hex,      Reports};
  for (size_t I = 1; I < std::size(Chain); ++I) QWidget::setTabOrder(Chain[I - 1], Chain[I]);
  // The bind fields come between the bind mode and Bind (skipped while folded away).
  QWidget* Previous = BindMode;
  for (QWidget* W : BindFields->TabChain()) QWidget::setTabOrder(std::exchange(Previous, W), W);
  QWidget::setTabOrder(Previous, BindButton);
  // Our answers come after Unbind, before the filter.
  Previous = UnbindButton;
  for (QWidget* W : Answers->TabChain()) QWidget::setTabOrder(std::exchange(Previous, W), W);
  MakeComposerActions(Previous);
  LinkRequests();
  // The load panel's fields follow the requests'.
  Previous = Requests->TabChain().back();
  for (QWidget* W : Load->TabChain()) QWidget::setTabOrder(std::exchange(Previous, W), W);
  // A focused line edit must not take the window's shortcuts for itself.
  for (QLineEdit* E : findChildren<QLineEdit*>()) E->installEventFilter(this);

  // Made before the profiles are read: what they set updates the controls, the timer among them.
  FDrainTimer = new QTimer(this);
  FDrainTimer->setInterval(kDrainIntervalMs);
  connect(FDrainTimer, &QTimer::timeout, this, &TWorkbench::Drain);
  StartProfiles();

  FDrainTimer->start();
  // As large as the screen allows, up to a size where every pane has room.
  resize(QSize(1280, 720).boundedTo(screen()->availableGeometry().size()));
  UpdateControls();
}

TWorkbench::~TWorkbench() {
  FDrainTimer->stop();
  // The widgets go after this body, in QWidget's destructor, and a table being taken down still
  // signals (its range, its current row): nothing may reach this window's handlers then.
  Table->verticalScrollBar()->disconnect(this);
  Table->selectionModel()->disconnect(this);
  // The client is destroyed on its own thread once the tasks queued before are done; its
  // handlers hold the sink, not the window.
  FRunner.reset();
}

QWidget* TWorkbench::MakeConnectionPanel() {
  auto* Panel = new QWidget;
  auto* Column = new QVBoxLayout(Panel);
  auto* Box = new QGroupBox("Connection");
  auto* Form = new QFormLayout(Box);
  Form->addRow("Profile:", MakeProfileBar());
  Host = new QLineEdit("127.0.0.1");
  Port = new QLineEdit("2775");
  Port->setValidator(new QIntValidator(1, 65535, Port));
  Tls = new QCheckBox("&TLS");
  TlsVerify = new QCheckBox("&Verify certificate");
  TlsVerify->setChecked(true);
  TlsCaFile = new QLineEdit;
  TlsCaFile->setPlaceholderText("system store");
  SystemId = new QLineEdit("myuid");
  Password = new QLineEdit;
  Password->setEchoMode(QLineEdit::Password);
  SystemType = new QLineEdit;
  BindMode = new QComboBox;
  BindMode->addItem("Pair (receiver + transmitter)");
  BindMode->addItem("Transceiver");
  // Labels with a mnemonic are tied to their fields: Alt+letter moves there.
  Form->addRow("&Host:", Host);
  Form->addRow("&Port:", Port);
  Form->addRow(Tls);
  Form->addRow(TlsVerify);
  Form->addRow("&CA file:", TlsCaFile);
  Form->addRow("&System id:", SystemId);
  Form->addRow("Pass&word:", Password);
  AddRememberRows(Form);
  Form->addRow("System t&ype:", SystemType);
  Form->addRow("Bind &mode:", BindMode);
  BindFields = new TBindFields;
  Form->addRow(BindFields);
  connect(Tls, &QCheckBox::toggled, this, [this] { UpdateControls(); });
  Column->addWidget(Box);

  auto* Buttons = new QHBoxLayout;
  BindButton = new QPushButton("Bind");
  UnbindButton = new QPushButton("Unbind");
  BindButton->setToolTip("Ctrl+B");
  UnbindButton->setToolTip("Ctrl+Shift+B");
  connect(BindButton, &QPushButton::clicked, this, &TWorkbench::Bind);
  connect(UnbindButton, &QPushButton::clicked, this, &TWorkbench::Unbind);
  Buttons->addWidget(BindButton);
  Buttons->addWidget(UnbindButton);
  Column->addLayout(Buttons);

  auto* StateBox = new QGroupBox("State");
  auto* States = new QFormLayout(StateBox);
  const char* Names[] = {"Rcx:", "Tcx:", "Trx:"};
  for (int I = 0; I < 3; ++I) {
    StateLabels[I] = new QLabel;
    StateLabels[I]->setWordWrap(true);
    StateLabels[I]->setTextInteractionFlags(Qt::TextSelectableByMouse);
    States->addRow(Names[I], StateLabels[I]);
  }
  Column->addWidget(StateBox);
  Answers = new TAnswerPanel([this](TClientRunner::TTask T) {
    if (FRunner) FRunner->Post(std::move(T));
  });
  Column->addWidget(Answers);
  Column->addStretch(1);
  return Panel;
}

QWidget* TWorkbench::MakeTrafficPane() {
  auto* Vertical = new QSplitter(Qt::Vertical);
  Vertical->setChildrenCollapsible(false);

  auto* TrafficBox = new QWidget;
  auto* TrafficLayout = new QVBoxLayout(TrafficBox);
  TrafficLayout->setContentsMargins(0, 0, 0, 0);
  auto* FilterRow = new QHBoxLayout;
  Filter = new QLineEdit;
  Filter->setPlaceholderText("text, cmd:submit_sm or status:ESME_R...");
  Filter->setClearButtonEnabled(true);
  auto* FilterLabel = new QLabel("&Filter:");
  FilterLabel->setBuddy(Filter);
  FilterRow->addWidget(FilterLabel);
  FilterRow->addWidget(Filter, 1);
  TrafficLayout->addLayout(FilterRow);
  SampledNote = new QLabel("Sampled while the load runs: a burst of bind 1's PDUs a second");
  SampledNote->setWordWrap(true);
  SampledNote->hide();
  TrafficLayout->addWidget(SampledNote);

  FTraffic = new TTrafficModel(TTrafficStore::kDefaultCapacity, this);
  FFiltered = new TTrafficFilter(this);
  FFiltered->setSourceModel(FTraffic);
  Table = new QTableView;
  Table->setModel(FFiltered);
  ShapeRowTable(Table);
  Table->setSelectionMode(QAbstractItemView::ExtendedSelection);
  // Each column as wide as its longest usual text with room for the cell's margins; the first rows
  // widen them further where the style needs it.
  const QFontMetrics M = Table->fontMetrics();
  const char* Widest[] = {"00:00:00.000000", "Conn.",          "Dir.",      "bind_transmitter_resp",
                          "Sequence",        "ESME_RINVPASWD", "0000000000"};
  for (int I = 0; I < static_cast<int>(std::size(Widest)); ++I)
    Table->setColumnWidth(I, M.horizontalAdvance(Widest[I]) + M.horizontalAdvance("00"));
  TrafficLayout->addWidget(Table, 1);
  connect(Filter, &QLineEdit::textChanged, this,
          [this](const QString& T) { FFiltered->SetFilter(T); });
  // A followed view stays at its end when the range grows after the drain (a deferred layout).
  connect(Table->verticalScrollBar(), &QScrollBar::rangeChanged, this, [this](int, int Max) {
    QScrollBar* Bar = Table->verticalScrollBar();
    if (FFollowedTo < 0 || Bar->value() != FFollowedTo) return;
    Bar->setValue(Max);
    FFollowedTo = Bar->value();
  });
  connect(Table->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          &TWorkbench::ShowRow);
  Vertical->addWidget(TrafficBox);

  auto* Inspector = new QSplitter(Qt::Horizontal);
  Inspector->setChildrenCollapsible(false);
  Fields = new QTreeWidget;
  Fields->setHeaderLabels({"Field", "Value", "Meaning"});
  Fields->setColumnWidth(0, M.horizontalAdvance("destination_addr_npi") + M.averageCharWidth() * 6);
  Fields->setColumnWidth(1, M.horizontalAdvance("0000000000 (0x00000000)"));
  Hex = new THexView;
  Inspector->addWidget(Fields);
  Inspector->addWidget(Hex);
  // The bytes get the room of a full line when there is that much; the fields the rest.
  const int HexWidth = QFontMetrics(Hex->font()).horizontalAdvance(QString(72, u'0')) + 40;
  Inspector->setSizes({HexWidth * 2 / 3, HexWidth});
  connect(Fields, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* Item) {
    if (Item)
      Hex->Highlight(Item->data(0, Qt::UserRole).toULongLong(),
                     Item->data(0, Qt::UserRole + 1).toULongLong());
  });
  Vertical->addWidget(WithPartnerBar(Inspector));

  Reports = new QPlainTextEdit;
  Reports->setReadOnly(true);
  Reports->setUndoRedoEnabled(false);
  Reports->setTabChangesFocus(true);
  Reports->setPlaceholderText("Report lines of the client");
  FReportFeed = std::make_unique<TMemoFeed>(Reports);
  Vertical->addWidget(MakeBottomTabs(Reports));
  BottomTabs->addTab(LoadCharts, "Load charts");
  FTrafficSplit = Vertical;
  Vertical->setStretchFactor(0, 3);
  Vertical->setStretchFactor(1, 2);
  Vertical->setStretchFactor(2, 2);
  return Vertical;
}

void TWorkbench::MakeActions() {
  const auto Make = [this](const char* Text, QKeySequence Keys, auto Slot) {
    auto* A = new QAction(Text, this);
    A->setShortcut(Keys);
    A->setShortcutContext(Qt::WindowShortcut);
    connect(A, &QAction::triggered, this, Slot);
    addAction(A);
    return A;
  };
  BindAction = Make("&Bind", QKeySequence(Qt::CTRL | Qt::Key_B), &TWorkbench::Bind);
  UnbindAction =
      Make("&Unbind", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_B), &TWorkbench::Unbind);
  FilterAction = Make("&Filter", QKeySequence(Qt::CTRL | Qt::Key_F), [this] {
    Filter->setFocus(Qt::ShortcutFocusReason);
    Filter->selectAll();
  });
  ClearAction = Make("&Clear table", QKeySequence(Qt::CTRL | Qt::Key_L), [this] {
    FTraffic->Clear();
    Fields->clear();
    Hex->SetBytes({});
    UpdateControls();
  });
  ExportAction =
      Make("&Export traffic...", QKeySequence(Qt::CTRL | Qt::Key_S), &TWorkbench::ChooseExportFile);
  QMenu* Session = menuBar()->addMenu("&Session");
  Session->addAction(BindAction);
  Session->addAction(UnbindAction);
  QMenu* TrafficMenu = menuBar()->addMenu("&Traffic");
  TrafficMenu->addAction(FilterAction);
  TrafficMenu->addAction(ClearAction);
  TrafficMenu->addAction(ExportAction);
}

bool TWorkbench::eventFilter(QObject* Watched, QEvent* Event) {
  if (Event->type() == QEvent::ShortcutOverride) {
    // Left unaccepted, the key goes to the window's shortcut instead of the line edit.
    const QKeySequence Keys(static_cast<QKeyEvent*>(Event)->keyCombination());
    for (QAction* A : {BindAction, UnbindAction, FilterAction, ClearAction, ExportAction,
                       JumpAction, SendAction, StartLoadAction, StopLoadAction})
      if (A->shortcut() == Keys) return true;
  }
  return QMainWindow::eventFilter(Watched, Event);
}

std::optional<TBindSettings> TWorkbench::ReadBindSettings() {
  TBindSettings S;
  if (Host->text().trimmed().isEmpty()) {
    statusBar()->showMessage("The host is empty", 5000);
    Host->setFocus();
    return std::nullopt;
  }
  bool Ok = false;
  S.Port = Port->text().toInt(&Ok);
  if (!Ok || S.Port < 1 || S.Port > 65535) {
    statusBar()->showMessage("The port must be a number from 1 to 65535", 5000);
    Port->setFocus();
    return std::nullopt;
  }
  if (QString Error; !BindFields->Read(S.Fields, Error)) {
    statusBar()->showMessage(Error, 5000);
    return std::nullopt;
  }
  S.Host = ToStd(Host->text().trimmed());
  S.SystemId = ToStd(SystemId->text());
  S.Password = ToStd(Password->text());
  S.SystemType = ToStd(SystemType->text());
  S.Tls = Tls->isChecked();
  S.Verify = TlsVerify->isChecked();
  S.CaFile = ToStd(TlsCaFile->text());
  S.Mode = BindMode->currentIndex() == 1 ? TBindMode::bmTransceiver : TBindMode::bmPair;
  return S;
}

void TWorkbench::ApplyBindSettings(TSMPPClientInfo& Info, const TBindSettings& S) {
  Info.SetHost(S.Host);
  Info.SetPort(S.Port);
  Info.SetUserID(S.SystemId);
  Info.SetPassword(S.Password);
  Info.SetSystemType(S.SystemType);
  Info.SetUseTLS(S.Tls);
  Info.SetTLSVerifyPeer(S.Verify);
  Info.SetTLSCAFile(S.CaFile);
  Info.Set_bind_mode(S.Mode);
  S.Fields.Apply(Info);
}

void TWorkbench::Bind() {
  if (!FStates.CanBind()) return;
  const std::optional<TBindSettings> Read = ReadBindSettings();
  if (!Read) return;
  const TBindSettings S = *Read;
  FStates.BindAsked(S.Mode);
  Answers->Apply();
  FRunner->Post([S, Sink = FSink](TSmppClient& C) {
    try {
      ApplyBindSettings(C.ClientInfo(), S);
    } catch (const std::exception& E) {
      Sink->AddReport(TReportChannel::rcTcx, std::string("Bind refused: ") + E.what());
      return;
    }
    C.Connect();
  });
  UpdateControls();
}

void TWorkbench::Unbind() {
  if (!FStates.CanUnbind()) return;
  FStates.UnbindAsked();
  // A repeat run keeps the client's thread until it stops.
  Composer->Stop();
  FRunner->Post([](TSmppClient& C) { C.Disconnect(); });
  UpdateControls();
}

void TWorkbench::Drain() {
  FSink->Ring.Drain(FRecords);
  FSink->TakeReports(FReports);
  // The states follow reports and trace in the order they happened.
  size_t R = 0;
  for (const TPduTraceRecord& Record : FRecords) {
    for (; R < FReports.size() && FReports[R].MonotonicNs <= Record.MonotonicNs; ++R)
      FStates.OnReport(FReports[R].Channel, FReports[R].Line, FReports[R].MonotonicNs);
    FStates.OnTrace(Record);
  }
  Journey->Follow(FRecords);
  for (; R < FReports.size(); ++R)
    FStates.OnReport(FReports[R].Channel, FReports[R].Line, FReports[R].MonotonicNs);
  // A Bind refused before connecting leaves nothing to wait for.
  for (const TReportEvent& E : FReports) {
    if (E.Line.rfind("Bind refused: ", 0) == 0) FStates.UnbindDone();
    FReportFeed->Add(E.Line);
  }
  if (FStates.Unbinding() && FRunner->Busy() == 0) FStates.UnbindDone();
  FLoadRing->Drain(FLoadRecords);
  FRecords.insert(FRecords.end(), std::make_move_iterator(FLoadRecords.begin()),
                  std::make_move_iterator(FLoadRecords.end()));
  if (!FRecords.empty()) {
    // Followed only while the view is at its end, so that a row being read stays put.
    QScrollBar* Bar = Table->verticalScrollBar();
    // The view is followed while it is at its end, or still where the last follow left it: the
    // range can grow between two drains (a scroll bar appearing, a deferred layout) without the
    // reader having moved.
    const bool AtEnd = Bar->value() >= Bar->maximum() || Bar->value() == FFollowedTo;
    FTraffic->Append(FRecords);
    if (!FColumnsSized) {
      // Once, from the first rows: the cells' own margins are the style's.
      for (int C = 0; C < TTrafficModel::cSummary; ++C) {
        const int Planned = Table->columnWidth(C);
        Table->resizeColumnToContents(C);
        Table->setColumnWidth(C, std::max(Planned, Table->columnWidth(C)));
      }
      FColumnsSized = true;
    }
    if (AtEnd) Table->scrollToBottom();
    FFollowedTo = AtEnd ? Bar->value() : -1;
  }
  FRingDropped = FSink->Ring.Dropped();
  UpdateControls();
}

int TWorkbench::DrainIntervalMs() const {
  return FDrainTimer->interval();
}

void TWorkbench::UpdateControls() {
  const int64_t Now = PduTraceNowNs();
  for (int I = 0; I < 3; ++I) {
    const auto C = static_cast<TPduConnection>(I);
    const QString Text = FStates.InUse(C) || FStates.Status(C).State != TLinkState::lsClosed
                             ? FromStd(LinkStatusText(FStates.Status(C), Now))
                             : QStringLiteral("-");
    if (StateLabels[I]->text() != Text) StateLabels[I]->setText(Text);
  }
  BindButton->setEnabled(FStates.CanBind());
  BindAction->setEnabled(FStates.CanBind());
  UnbindButton->setEnabled(FStates.CanUnbind());
  UnbindAction->setEnabled(FStates.CanUnbind());
  SampledNote->setVisible(Load->Running());
  const int Drain = Load->Running() && FStates.CanBind() ? kLoadDrainIntervalMs : kDrainIntervalMs;
  if (FDrainTimer->interval() != Drain) FDrainTimer->setInterval(Drain);
  StartLoadAction->setEnabled(!Load->Running());
  StopLoadAction->setEnabled(Load->Running());
  TlsVerify->setEnabled(Tls->isChecked());
  TlsCaFile->setEnabled(Tls->isChecked());
  const TTrafficStore& Store = FTraffic->Store();
  QString Text = QString("%1 rows").arg(Store.Size());
  if (Store.Dropped()) Text += QString(", %1 older rows dropped").arg(Store.Dropped());
  if (FRingDropped)
    Text += QString(", %1 PDUs missed while the view fell behind").arg(FRingDropped);
  if (FFiltered->Checking())
    Text +=
        QString(", filtering... %1 of %2 rows").arg(FFiltered->CheckedCount()).arg(Store.Size());
  if (Counts->text() != Text) {
    Counts->setText(Text);
    // The status bar lays its permanent widgets out by their minimum width.
    Counts->setMinimumWidth(Counts->sizeHint().width());
  }
}

void TWorkbench::ShowRow() {
  Fields->clear();
  ShowPartner();
  const QModelIndex Current = FFiltered->mapToSource(Table->currentIndex());
  if (!Current.isValid()) {
    Hex->SetBytes({});
    return;
  }
  const TTrafficRow& Row = FTraffic->Store().Row(static_cast<size_t>(Current.row()));
  if (Row.Kind != TPduTraceKind::tkPdu) {
    Hex->SetBytes({});
    return;
  }
  Hex->SetBytes(Row.Pdu());
  const TPduField Pdu = DissectPdu(Row.Bytes.get(), Row.Length);
  auto* Top = new QTreeWidgetItem(Fields, {FromStd(Pdu.Name)});
  Top->setData(0, Qt::UserRole, QVariant::fromValue<qulonglong>(Pdu.Offset));
  Top->setData(0, Qt::UserRole + 1, QVariant::fromValue<qulonglong>(Pdu.Length));
  for (const TPduField& F : Pdu.Fields) AddFieldItems(Top, F);
  Fields->expandAll();
}

void TWorkbench::AddFieldItems(QTreeWidgetItem* Parent, const TPduField& F) {
  auto* Item = new QTreeWidgetItem(Parent, {FromStd(F.Name), FieldValue(F), FromStd(F.Meaning)});
  Item->setData(0, Qt::UserRole, QVariant::fromValue<qulonglong>(F.Offset));
  Item->setData(0, Qt::UserRole + 1, QVariant::fromValue<qulonglong>(F.Length));
  Item->setToolTip(2, FromStd(F.Meaning));
  for (const TPduField& Child : F.Fields) AddFieldItems(Item, Child);
}

void TWorkbench::ChooseExportFile() {
  // Qt's own dialog: it behaves the same on every desktop, and under test. Choosing a type
  // changes the name's extension; a known extension typed by hand chooses the format itself.
  const QStringList Types = {"pcapng (*.pcapng)", "CSV (*.csv)", "JSON lines (*.jsonl)"};
  const QStringList Suffixes = {"pcapng", "csv", "jsonl"};
  QFileDialog Dialog(this, "Export the traffic");
  Dialog.setOption(QFileDialog::DontUseNativeDialog);
  Dialog.setAcceptMode(QFileDialog::AcceptSave);
  Dialog.setNameFilters(Types);
  Dialog.selectFile("traffic.pcapng");
  connect(&Dialog, &QFileDialog::filterSelected, &Dialog, [&](const QString& Type) {
    const QFileInfo Name(Dialog.selectedFiles().value(0));
    if (Types.contains(Type) && !Name.fileName().isEmpty())
      Dialog.selectFile(Name.completeBaseName() + "." + Suffixes[Types.indexOf(Type)]);
  });
  if (Dialog.exec() != QDialog::Accepted || Dialog.selectedFiles().isEmpty()) return;
  const QString Path = Dialog.selectedFiles().first();
  const TTrafficFormat Formats[] = {TTrafficFormat::tfPcapng, TTrafficFormat::tfCsv,
                                    TTrafficFormat::tfJsonLines};
  const TTrafficFormat Chosen =
      Formats[std::max<qsizetype>(0, Types.indexOf(Dialog.selectedNameFilter()))];
  const std::string Error =
      ExportTable(ToStd(Path), TrafficFormatOfPath(ToStd(Path)).value_or(Chosen));
  statusBar()->showMessage(Error.empty() ? "Saved " + Path : "Not saved: " + FromStd(Error), 8000);
}

std::string TWorkbench::ExportPcapng(const std::string& Path) {
  try {
    TPcapngWriter Writer(Path);
    // The capture's connection of each client connection while it is open; PDUs of a connection
    // whose start has left the table have no endpoints and are left out.
    std::map<TPduConnection, int> Open;
    const TTrafficStore& Store = FTraffic->Store();
    for (size_t I = 0; I < Store.Size(); ++I) {
      const TTrafficRow& Row = Store.Row(I);
      // A failed connect sent nothing: its row has no packet.
      if (Row.Kind == TPduTraceKind::tkFailed) continue;
      const int64_t WallUs = PduTraceWallNs(Row.MonotonicNs) / 1000;
      if (Row.Kind == TPduTraceKind::tkOpened) {
        Open[Row.Connection] = Writer.AddConnection(Row.Endpoints());
      } else if (auto It = Open.find(Row.Connection); It != Open.end()) {
        if (Row.Kind == TPduTraceKind::tkClosed) {
          Writer.CloseConnection(It->second, WallUs);
          Open.erase(It);
        } else {
          Writer.WritePdu(It->second, Row.Direction == TPduDirection::pdOut, WallUs,
                          Row.Bytes.get(), Row.Length);
        }
      }
    }
    Writer.Close();
  } catch (const std::exception& E) {
    return E.what();
  }
  return {};
}
