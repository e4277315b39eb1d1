// TComposerPanel: building the composer, checking the text and the optional parameters as they
// are typed, and sending through the client's runner.
#include "app/workbench/ComposerPanel.h"

#include <QComboBox>
#include <QDateTimeEdit>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "app/workbench/ComposerFields.h"
#include "inspect/TlvText.h"
#include "smpp/smppclient.h"

namespace {

std::string ToStd(const QString& S) {
  return S.toUtf8().toStdString();
}

QString FromStd(const std::string& S) {
  return QString::fromUtf8(S.data(), static_cast<qsizetype>(S.size()));
}

// Gives every editor the table opens the window's shortcut filter.
class TFilteredDelegate : public QStyledItemDelegate {
 public:
  TFilteredDelegate(QObject** Filter, QPointer<QWidget>* Open, QObject* Parent)
      : QStyledItemDelegate(Parent), FFilter(Filter), FOpen(Open) {}
  QWidget* createEditor(QWidget* Parent, const QStyleOptionViewItem& Option,
                        const QModelIndex& Index) const override {
    QWidget* Editor = QStyledItemDelegate::createEditor(Parent, Option, Index);
    if (Editor && *FFilter) Editor->installEventFilter(*FFilter);
    *FOpen = Editor;
    return Editor;
  }

 private:
  QObject** FFilter;
  QPointer<QWidget>* FOpen;
};

// What the task sends: a plain copy of the panel.
QComboBox* NumberCombo(const std::vector<TNamedNumber>& Entries, int Default) {
  auto* Box = new QComboBox;
  for (const TNamedNumber& E : Entries)
    Box->addItem(QString("%1 %2").arg(E.Value).arg(E.Name), E.Value);
  Box->setCurrentIndex(Box->findData(Default));
  return Box;
}

}  // namespace

TComposerPanel::TComposerPanel(std::function<void(TClientRunner::TTask)> Post,
                               std::function<bool()> CanSend,
                               std::function<void(const QString&)> Say, QWidget* Parent)
    : QWidget(Parent), FPost(std::move(Post)), FCanSend(std::move(CanSend)), FSay(std::move(Say)) {
  auto* Column = new QVBoxLayout(this);
  Column->addWidget(MakeAddresses());
  Column->addWidget(MakeTextBox());
  Column->addWidget(MakeFields());
  Column->addWidget(MakeTlvBox());

  auto* SendRow = new QHBoxLayout;
  Repeat = new QSpinBox;
  Repeat->setRange(1, kMaxRepeat);
  Repeat->setGroupSeparatorShown(true);
  Repeat->setToolTip("How many times the message goes, one after the other");
  auto* RepeatLabel = new QLabel("Repeat:");
  RepeatLabel->setBuddy(Repeat);
  SendButton = new QPushButton("Send");
  SendButton->setToolTip("Ctrl+Return");
  SendRow->addWidget(RepeatLabel);
  SendRow->addWidget(Repeat);
  SendRow->addStretch(1);
  SendRow->addWidget(SendButton);
  Column->addLayout(SendRow);
  RunNote = new QLabel;
  RunNote->setWordWrap(true);
  Column->addWidget(RunNote);
  Column->addStretch(1);
  connect(SendButton, &QPushButton::clicked, this, [this] { Send(); });

  FRunTimer = new QTimer(this);
  FRunTimer->setInterval(100);
  connect(FRunTimer, &QTimer::timeout, this, &TComposerPanel::ShowRun);
  TextChanged();
  CheckTlvs();
}

TComposerPanel::~TComposerPanel() {
  Stop();
}

QWidget* TComposerPanel::MakeAddresses() {
  auto* Box = new QGroupBox("Addresses");
  auto* Grid = new QGridLayout(Box);
  Source = new QLineEdit("1234");
  Source->setMaxLength(21);
  SourceTon = NumberCombo(kTonNames, 0);
  SourceNpi = NumberCombo(kNpiNames, 1);
  Destinations = new QLineEdit("5550100");
  Destinations->setPlaceholderText("one or more, commas or blanks between");
  Destinations->setToolTip("More than one destination goes as one submit_multi");
  DestTon = NumberCombo(kTonNames, 1);
  DestNpi = NumberCombo(kNpiNames, 1);
  auto* SourceLabel = new QLabel("So&urce:");
  SourceLabel->setBuddy(Source);
  auto* DestLabel = new QLabel("Destinations:");
  DestLabel->setBuddy(Destinations);
  Grid->addWidget(SourceLabel, 0, 0);
  Grid->addWidget(Source, 0, 1, 1, 2);
  Grid->addWidget(new QLabel("TON / NPI:"), 1, 0);
  Grid->addWidget(SourceTon, 1, 1);
  Grid->addWidget(SourceNpi, 1, 2);
  Grid->addWidget(DestLabel, 2, 0);
  Grid->addWidget(Destinations, 2, 1, 1, 2);
  Grid->addWidget(new QLabel("TON / NPI:"), 3, 0);
  Grid->addWidget(DestTon, 3, 1);
  Grid->addWidget(DestNpi, 3, 2);
  Grid->setColumnStretch(1, 1);
  Grid->setColumnStretch(2, 1);
  // The lists share the row's width; their longest entries show when opened.
  for (QComboBox* C : {SourceTon, SourceNpi, DestTon, DestNpi}) {
    C->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    C->setMinimumContentsLength(8);
  }
  return Box;
}

QWidget* TComposerPanel::MakeTextBox() {
  auto* Box = new QGroupBox("Message");
  auto* Column = new QVBoxLayout(Box);
  Text = new QPlainTextEdit("Hello");
  Text->setTabChangesFocus(true);
  Text->setPlaceholderText("The message text");
  Text->setMinimumHeight(Text->fontMetrics().lineSpacing() * 5);
  auto* TextLabel = new QLabel("Te&xt:");
  TextLabel->setBuddy(Text);
  Column->addWidget(TextLabel);
  Column->addWidget(Text, 1);
  TextLine = new QLabel;
  TextLine->setWordWrap(true);
  TextLine->setTextInteractionFlags(Qt::TextSelectableByMouse);
  TextLine->setToolTip(
      QString("Counts the client's signature (\"%1\") that every message ends with")
          .arg(QString(TSmppClient::SignatureTrailer).trimmed()));
  Column->addWidget(TextLine);

  auto* Form = new QFormLayout;
  Coding = new QComboBox;
  for (const char* Name : {"auto", "GSM", "Latin-1", "UCS-2", "bytes"}) Coding->addItem(Name);
  Coding->setToolTip("auto: GSM when every character fits it, otherwise UCS-2");
  LongMode = new QComboBox;
  for (const char* Name : {"split", "UDH 8-bit", "UDH 16-bit", "SAR", "payload"})
    LongMode->addItem(Name);
  LongMode->setCurrentIndex(1);
  LongMode->setToolTip(
      "A text past one short message goes as independent messages (split), concatenated parts "
      "(user data header or SAR parameters), or one message_payload");
  Form->addRow("Coding:", Coding);
  Form->addRow("Long message:", LongMode);
  Column->addLayout(Form);
  connect(Text, &QPlainTextEdit::textChanged, this, &TComposerPanel::TextChanged);
  connect(Coding, &QComboBox::currentIndexChanged, this, &TComposerPanel::TextChanged);
  connect(LongMode, &QComboBox::currentIndexChanged, this, &TComposerPanel::TextChanged);
  return Box;
}

QWidget* TComposerPanel::MakeFields() {
  auto* Box = new QGroupBox("Submit fields");
  auto* Form = new QFormLayout(Box);
  auto* ReceiptRow = new QHBoxLayout;
  Receipt = new QComboBox;
  for (const char* Name : {"none", "on success or failure", "on failure", "number"})
    Receipt->addItem(Name);
  ReceiptValue = new QSpinBox;
  ReceiptValue->setRange(0, 255);
  ReceiptValue->setToolTip("registered_delivery as a number, 0 to 255");
  ReceiptRow->addWidget(Receipt, 1);
  ReceiptRow->addWidget(ReceiptValue);
  Receipt->setCurrentIndex(1);
  ReceiptChosen();
  connect(Receipt, &QComboBox::activated, this, &TComposerPanel::ReceiptChosen);
  Validity = new TSmppTimeField(99, true);
  Schedule = new TSmppTimeField(99, true);
  Priority = new QSpinBox;
  Priority->setRange(0, 3);
  ProtocolId = new QSpinBox;
  ProtocolId->setRange(0, 255);
  ServiceType = new QLineEdit;
  ServiceType->setMaxLength(5);
  ServiceType->setPlaceholderText("default");
  Form->addRow("Receipt:", ReceiptRow);
  Form->addRow("Validity:", Validity);
  Form->addRow("Schedule:", Schedule);
  Form->addRow("Priority:", Priority);
  Form->addRow("protocol_id:", ProtocolId);
  Form->addRow("service_type:", ServiceType);
  return Box;
}

QWidget* TComposerPanel::MakeTlvBox() {
  auto* Box = new QGroupBox("Optional parameters");
  auto* Column = new QVBoxLayout(Box);
  Tlvs = new QTableWidget(0, 3);
  Tlvs->setHorizontalHeaderLabels({"Tag", "Type", "Value"});
  Tlvs->verticalHeader()->hide();
  Tlvs->horizontalHeader()->setStretchLastSection(true);
  Tlvs->setSelectionBehavior(QAbstractItemView::SelectRows);
  Tlvs->setTabKeyNavigation(false);
  Tlvs->setItemDelegate(new TFilteredDelegate(&FShortcutFilter, &FTlvEditor, Tlvs));
  const QFontMetrics M = Tlvs->fontMetrics();
  Tlvs->setColumnWidth(0, M.horizontalAdvance("user_message_reference") + M.averageCharWidth() * 2);
  Tlvs->setColumnWidth(1, M.horizontalAdvance("int4") + M.averageCharWidth() * 6);
  Tlvs->setMinimumHeight(M.lineSpacing() * 6);
  Tlvs->setToolTip("A tag by number (decimal or 0x) or name, its type and value");
  Column->addWidget(Tlvs);
  TlvNote = new QLabel;
  TlvNote->setWordWrap(true);
  Column->addWidget(TlvNote);
  auto* Buttons = new QHBoxLayout;
  AddTlv = new QPushButton("Add");
  RemoveTlv = new QPushButton("Remove");
  Buttons->addWidget(AddTlv);
  Buttons->addWidget(RemoveTlv);
  Buttons->addStretch(1);
  Column->addLayout(Buttons);
  connect(AddTlv, &QPushButton::clicked, this, [this] {
    const int Row = AddTlvRow("", "int2", "");
    Tlvs->setCurrentCell(Row, 0);
    // The editor opens once the view has laid the new row out, and takes the focus then.
    Tlvs->setFocus();
    QTimer::singleShot(0, Tlvs, [this, Row] {
      if (Row < Tlvs->rowCount()) Tlvs->editItem(Tlvs->item(Row, 0));
    });
  });
  connect(RemoveTlv, &QPushButton::clicked, this, [this] {
    if (Tlvs->currentRow() < 0) return;
    Tlvs->removeRow(Tlvs->currentRow());
    CheckTlvs();
  });
  connect(Tlvs, &QTableWidget::itemChanged, this, &TComposerPanel::CheckTlvs);
  return Box;
}

int TComposerPanel::AddTlvRow(const QString& Tag, const QString& Type, const QString& Value) {
  const QSignalBlocker Quiet(Tlvs);
  const int Row = Tlvs->rowCount();
  Tlvs->insertRow(Row);
  Tlvs->setItem(Row, 0, new QTableWidgetItem(Tag));
  Tlvs->setItem(Row, 2, new QTableWidgetItem(Value));
  auto* Types = new QComboBox;
  for (const char* T : kTlvTypes) Types->addItem(T);
  Types->setCurrentIndex(std::max(0, Types->findText(Type)));
  Types->setFrame(false);
  Tlvs->setCellWidget(Row, 1, Types);
  connect(Types, &QComboBox::currentIndexChanged, this, &TComposerPanel::CheckTlvs);
  CheckTlvs();
  return Row;
}

void TComposerPanel::CheckTlvs() {
  const QSignalBlocker Quiet(Tlvs);
  FTlvError.clear();
  for (int Row = 0; Row < Tlvs->rowCount(); ++Row) {
    const TTlvRow R = TlvRowOf(Tlvs, Row);
    uint16_t Tag = 0;
    std::vector<uint8_t> Value;
    std::string Error;
    const bool Ok = ParseTlvText(ToStd(R.Tag + "=" + R.Type + ":" + R.Value), Tag, Value, Error);
    const QString Why = Ok ? QString() : FromStd(Error);
    if (!Ok && FTlvError.isEmpty()) FTlvError = QString("Row %1: %2").arg(Row + 1).arg(Why);
    for (int Column : {0, 2}) {
      QTableWidgetItem* Item = Tlvs->item(Row, Column);
      Item->setBackground(Ok ? QBrush() : QBrush(QColor(255, 200, 200)));
      Item->setToolTip(Ok ? QString::asprintf("tag 0x%04X, %zu octets", Tag, Value.size()) : Why);
    }
  }
  TlvNote->setText(FTlvError);
  TlvNote->setStyleSheet(FTlvError.isEmpty() ? QString() : QStringLiteral("color: #b00000"));
  TlvNote->setVisible(!FTlvError.isEmpty());
}

void TComposerPanel::ReceiptChosen() {
  static constexpr int kValues[] = {0, 1, 2};
  const int Index = Receipt->currentIndex();
  if (Index < 3) ReceiptValue->setValue(kValues[Index]);
  ReceiptValue->setEnabled(Index == 3);
}

QString TComposerPanel::PlainText() const {
  // The raw text keeps every character as typed (a no-break space stays one); the editor's
  // paragraph and line separators end lines.
  QString T = Text->document()->toRawText();
  T.replace(QChar::ParagraphSeparator, u'\n').replace(QChar::LineSeparator, u'\n');
  return T;
}

void TComposerPanel::TextChanged() {
  // The client appends its signature to every message: the line counts it.
  FText = ComposeText(ToStd(PlainText()) + TSmppClient::SignatureTrailer,
                      CodingAt(Coding->currentIndex()), ModeAt(LongMode->currentIndex()));
  TextLine->setText(FText.Ok ? FromStd(FText.Line) : "Cannot be sent: " + FromStd(FText.Error));
  TextLine->setStyleSheet(FText.Ok ? QString() : QStringLiteral("color: #b00000"));
  // Each character the coding cannot carry: white on red, plain at a glance in any text.
  QList<QTextEdit::ExtraSelection> Marks;
  QTextCharFormat Format;
  Format.setBackground(QColor(200, 0, 0));
  Format.setForeground(Qt::white);
  Format.setToolTip("Not in the chosen coding");
  for (const TTextSpan& S : FText.Unfit) {
    QTextEdit::ExtraSelection Mark;
    Mark.cursor = QTextCursor(Text->document());
    Mark.cursor.setPosition(static_cast<int>(S.Position));
    Mark.cursor.setPosition(static_cast<int>(S.Position + S.Length), QTextCursor::KeepAnchor);
    Mark.format = Format;
    Marks.append(Mark);
  }
  Text->setExtraSelections(Marks);
}

std::string TComposerPanel::DestinationList() const {
  return ToStd(
      Destinations->text().split(QRegularExpression("[,\\s]+"), Qt::SkipEmptyParts).join(u','));
}

QString TComposerPanel::Refusal(bool WithText, bool WithDestinations) const {
  if (WithText && !FText.Ok) return "the text cannot be sent: " + FromStd(FText.Error);
  if (!FTlvError.isEmpty()) return "optional parameter " + FTlvError;
  if (WithDestinations && DestinationList().empty()) return "no destination";
  size_t Octets = 0;
  for (int Row = 0; Row < Tlvs->rowCount(); ++Row) Octets += 4 + TlvRowOctets(Tlvs, Row);
  if (Octets > TSMPPClientInfo::kMaxExtraTlvOctets)
    return QString("the optional parameters take %1 octets, more than %2")
        .arg(Octets)
        .arg(TSMPPClientInfo::kMaxExtraTlvOctets);
  QString Error;
  if (!Validity->SmppText(Error)) return "validity: " + Error;
  if (!Schedule->SmppText(Error)) return "schedule: " + Error;
  return {};
}

TSubmitSettings TComposerPanel::Submission() const {
  TSubmitSettings S;
  QString Ignored;  // Refusal has checked the schedule
  S.Source = ToStd(Source->text());
  S.Destinations = DestinationList();
  S.Text = ToStd(PlainText());
  S.SourceTon = SourceTon->currentData().toInt();
  S.SourceNpi = SourceNpi->currentData().toInt();
  S.DestTon = DestTon->currentData().toInt();
  S.DestNpi = DestNpi->currentData().toInt();
  S.Coding = CodingAt(Coding->currentIndex());
  S.Mode = ModeAt(LongMode->currentIndex());
  S.RegisteredDelivery = ReceiptValue->value();
  // The client sends a whole SMPP time as it stands.
  S.Validity = Validity->SmppText(Ignored).value_or("");
  S.Schedule = Schedule->SmppText(Ignored).value_or("");
  S.Priority = Priority->value();
  S.ProtocolId = ProtocolId->value();
  S.ServiceType = ToStd(ServiceType->text());
  S.Repeat = Repeat->value();
  for (int Row = 0; Row < Tlvs->rowCount(); ++Row) {
    const TTlvRow R = TlvRowOf(Tlvs, Row);
    TTlv Tlv;
    std::string Error;
    ParseTlvText(ToStd(R.Tag + "=" + R.Type + ":" + R.Value), Tlv.Tag, Tlv.Value, Error);
    S.Tlvs.push_back(std::move(Tlv));
  }
  return S;
}

void TComposerPanel::ApplySubmitSettings(TSMPPClientInfo& Info, const TSubmitSettings& S) {
  Info.Set_submit_source_addr_ton(S.SourceTon);
  Info.Set_submit_source_addr_npi(S.SourceNpi);
  Info.Set_submit_dest_addr_ton(S.DestTon);
  Info.Set_submit_dest_addr_npi(S.DestNpi);
  Info.Set_submit_coding(S.Coding);
  Info.Set_submit_long_mode(S.Mode);
  Info.Set_submit_registered_delivery(S.RegisteredDelivery);
  Info.Set_submit_priority_flag(S.Priority);
  Info.Set_submit_protocol_id(S.ProtocolId);
  Info.Set_submit_service_type(S.ServiceType);
  Info.Set_submit_schedule_delivery_time(S.Schedule);
  Info.SetExtraTlvs(S.Tlvs);
}

bool TComposerPanel::Send() {
  const auto Refuse = [this](const QString& Why) {
    FSay("Not sent: " + Why);
    return false;
  };
  // A value still being typed in the table counts as it is shown.
  if (FTlvEditor && FTlvEditor->isVisible()) emit Tlvs->itemDelegate()->commitData(FTlvEditor);
  if (const QString Why = Refusal(); !Why.isEmpty()) return Refuse(Why);
  if (FRun && !FRun->Done.load(std::memory_order_acquire))
    return Refuse(QString("still sending (%1 of %2)").arg(FRun->Sent.load()).arg(FRun->Total));
  if (!FCanSend()) return Refuse("not bound");
  TSubmitSettings S = Submission();
  FRun = std::make_shared<TSendRun>();
  FRun->Total = S.Repeat;
  FPost([S, Run = FRun](TSmppClient& C) {
    try {
      ApplySubmitSettings(C.ClientInfo(), S);
    } catch (const std::exception& E) {
      Run->Error = E.what();
      Run->Done.store(true, std::memory_order_release);
      return;
    }
    // One task for every repeat: the stop flag is read between messages, and a send the client
    // cannot make (not connected, or the message refused with its own report line) ends the run.
    for (int I = 0; I < S.Repeat && !Run->Stop.load(); ++I) {
      if (C.Send(S.Source, S.Destinations, S.Validity, S.Text) < 0) break;
      Run->Sent.fetch_add(1);
    }
    Run->Done.store(true, std::memory_order_release);
  });
  RunNote->setText(QString("Sending %1...").arg(S.Repeat));
  FRunTimer->start();
  return true;
}

void TComposerPanel::Stop() {
  if (FRun) FRun->Stop.store(true);
}

void TComposerPanel::ShowRun() {
  if (!FRun) return;
  const int Sent = FRun->Sent.load();
  if (!FRun->Done.load(std::memory_order_acquire)) {
    RunNote->setText(QString("Sending: %L1 of %L2").arg(Sent).arg(FRun->Total));
    return;
  }
  FRunTimer->stop();
  QString Note;
  if (!FRun->Error.empty())
    Note = "Not sent: the client refused a setting: " + FromStd(FRun->Error);
  else if (Sent == FRun->Total)
    Note = FRun->Total == 1 ? QString("Sent 1 message") : QString("Sent %L1 messages").arg(Sent);
  else if (FRun->Stop.load())
    Note = QString("Stopped after %L1 of %L2 messages").arg(Sent).arg(FRun->Total);
  else
    Note = QString(
               "Sent %L1 of %L2 messages: the client took no more (not bound, or the message "
               "refused: see the report lines)")
               .arg(Sent)
               .arg(FRun->Total);
  RunNote->setText(Note);
  FSay(Note);
}

void TComposerPanel::InstallShortcutFilter(QObject* Filter) {
  FShortcutFilter = Filter;
  Text->installEventFilter(Filter);
  for (QLineEdit* E : findChildren<QLineEdit*>()) E->installEventFilter(Filter);
}

std::vector<QWidget*> TComposerPanel::TabChain() const {
  std::vector<QWidget*> Chain = {Source, SourceTon, SourceNpi, Destinations, DestTon,     DestNpi,
                                 Text,   Coding,    LongMode,  Receipt,      ReceiptValue};
  for (TSmppTimeField* F : {Validity, Schedule})
    for (QWidget* W : F->TabChain()) Chain.push_back(W);
  for (QWidget* W : std::initializer_list<QWidget*>{Priority, ProtocolId, ServiceType, Tlvs, AddTlv,
                                                    RemoveTlv, Repeat, SendButton})
    Chain.push_back(W);
  return Chain;
}
