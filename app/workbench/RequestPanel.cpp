// TRequestPanel: the fields of query_sm, cancel_sm and replace_sm, the raw box read as typed, and
// the tasks that send them on the client's thread.
#include "app/workbench/RequestPanel.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "inspect/FieldJson.h"
#include "smpp/PduNames.h"
#include "smpp/smppclient.h"

namespace {

std::string ToStd(const QString& S) {
  return S.toUtf8().toStdString();
}

uint32_t BigEndian32(const uint8_t* P) {
  return uint32_t(P[0]) << 24 | uint32_t(P[1]) << 16 | uint32_t(P[2]) << 8 | P[3];
}

}  // namespace

bool ReadRawPduText(const QString& Text, std::vector<uint8_t>& Bytes, QString& Line) {
  Bytes.clear();
  QString Flat = Text;
  Flat.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
  if (Flat.trimmed().isEmpty()) {
    Line = QStringLiteral("Type the PDU's octets as hex pairs");
    return false;
  }
  std::string Error;
  if (!ParseHexPdu(ToStd(Flat), Bytes, Error)) {
    Bytes.clear();
    Line = QString::fromStdString(Error);
    return false;
  }
  if (Bytes.size() > TSmppClient::kMaxRawLength) {
    Line = QString("%1 octets, at most %2").arg(Bytes.size()).arg(TSmppClient::kMaxRawLength);
    Bytes.clear();
    return false;
  }
  Line = QString("%1 octets").arg(Bytes.size());
  if (Bytes.size() < 16) {
    Line += QStringLiteral(" · shorter than a PDU header (16)");
    return true;
  }
  const uint32_t Id = BigEndian32(&Bytes[4]);
  const std::string Name = CommandName(Id);
  Line += QStringLiteral(" · ") +
          (Name.empty() ? QString::asprintf("command 0x%08X", Id) : QString::fromStdString(Name));
  const uint32_t Length = BigEndian32(&Bytes[0]);
  Line += QString(" · command_length %1").arg(Length);
  if (Length != Bytes.size()) Line += QString(" (not the %1 octets sent)").arg(Bytes.size());
  return true;
}

TRequestPanel::TRequestPanel(std::function<void(TClientRunner::TTask)> Post,
                             std::function<bool()> Bound, std::function<void(const QString&)> Say,
                             QWidget* Parent)
    : QWidget(Parent), FPost(std::move(Post)), FBound(std::move(Bound)), FSay(std::move(Say)) {
  auto* Column = new QVBoxLayout(this);
  auto* MessageBox = new QGroupBox("Chosen message");
  auto* Form = new QFormLayout(MessageBox);
  MessageId = new QLineEdit;
  MessageId->setPlaceholderText("choose a message in the traffic or the journey");
  MessageId->setMaxLength(static_cast<int>(kMaxMessageIdLength));
  Source = new QLineEdit;
  Destination = new QLineEdit;
  NewText = new QLineEdit;
  NewText->setPlaceholderText("the new text, sent as its octets");
  Form->addRow("Message &id:", MessageId);
  Form->addRow("So&urce:", Source);
  Form->addRow("&Destination:", Destination);
  auto* Buttons = new QHBoxLayout;
  QueryButton = new QPushButton("&Query");
  CancelButton = new QPushButton("Ca&ncel message");
  QueryButton->setToolTip("query_sm of the message id from the source");
  CancelButton->setToolTip(
      "cancel_sm of the message id (empty: every message from the source to the destination)");
  Buttons->addWidget(QueryButton);
  Buttons->addWidget(CancelButton);
  Form->addRow(Buttons);
  auto* ReplaceRow = new QHBoxLayout;
  ReplaceButton = new QPushButton("Re&place");
  ReplaceButton->setToolTip("replace_sm of the message id with the new text");
  ReplaceRow->addWidget(NewText, 1);
  ReplaceRow->addWidget(ReplaceButton);
  auto* NewTextLabel = new QLabel("Ne&w text:");
  NewTextLabel->setBuddy(NewText);
  Form->addRow(NewTextLabel, ReplaceRow);
  Column->addWidget(MessageBox);

  auto* RawBox = new QGroupBox("Raw PDU");
  auto* RawColumn = new QVBoxLayout(RawBox);
  RawHex = new QPlainTextEdit;
  RawHex->setTabChangesFocus(true);
  RawHex->setPlaceholderText("00 00 00 10 00 00 00 15 00 00 00 00 00 00 00 01");
  RawHex->setFont(QFont("monospace"));
  RawHex->setMinimumHeight(RawHex->fontMetrics().height() * 5);
  RawNote = new QLabel;
  RawNote->setWordWrap(true);
  PatchSequence = new QCheckBox("Put in the ne&xt sequence number");
  PatchSequence->setToolTip("Octets 12 to 15 get the client's next sequence number");
  auto* RawButtons = new QHBoxLayout;
  TakeRowButton = new QPushButton("Take the row's PDU");
  TakeRowButton->setToolTip("Copies the bytes of the traffic table's current row here");
  SendRawButton = new QPushButton("Send r&aw");
  RawButtons->addWidget(TakeRowButton);
  RawButtons->addStretch(1);
  RawButtons->addWidget(SendRawButton);
  RawColumn->addWidget(RawHex);
  RawColumn->addWidget(RawNote);
  RawColumn->addWidget(PatchSequence);
  RawColumn->addLayout(RawButtons);
  Column->addWidget(RawBox);
  Column->addStretch(1);

  connect(QueryButton, &QPushButton::clicked, this, [this] { Query(); });
  connect(CancelButton, &QPushButton::clicked, this, [this] { Cancel(); });
  connect(ReplaceButton, &QPushButton::clicked, this, [this] { Replace(); });
  connect(SendRawButton, &QPushButton::clicked, this, [this] { SendRaw(); });
  connect(RawHex, &QPlainTextEdit::textChanged, this, &TRequestPanel::RawEdited);
  RawEdited();
}

void TRequestPanel::ChooseMessage(const QString& Id, const QString& Src, const QString& Dst) {
  MessageId->setText(Id);
  Source->setText(Src);
  Destination->setText(Dst);
}

void TRequestPanel::SetRawBytes(const uint8_t* Bytes, size_t Length) {
  QString Text;
  for (size_t I = 0; I < Length; ++I)
    Text += QString::asprintf(I == 0 ? "%02x" : I % 16 == 0 ? "\n%02x" : " %02x", Bytes[I]);
  RawHex->setPlainText(Text);
}

void TRequestPanel::RawEdited() {
  std::vector<uint8_t> Bytes;
  QString Line;
  const bool Ok = ReadRawPduText(RawHex->toPlainText(), Bytes, Line);
  RawNote->setText(Line);
  SendRawButton->setEnabled(Ok);
}

bool TRequestPanel::Ready(const char* What, bool NeedsId) {
  if (NeedsId && MessageId->text().isEmpty()) {
    FSay(QString("No %1: no message id").arg(What));
    MessageId->setFocus();
    return false;
  }
  if (!FBound()) {
    FSay(QString("No %1: the transmitter is not bound").arg(What));
    return false;
  }
  return true;
}

bool TRequestPanel::Query() {
  if (!Ready("query_sm", true)) return false;
  FPost([Id = ToStd(MessageId->text()), Src = ToStd(Source->text())](TSmppClient& C) {
    C.QuerySm(Id, Src);
  });
  FSay("query_sm of " + MessageId->text() + " sent");
  return true;
}

bool TRequestPanel::Cancel() {
  // An empty id cancels every message from the source to the destination: both are needed then.
  if (MessageId->text().isEmpty() && (Source->text().isEmpty() || Destination->text().isEmpty())) {
    FSay("No cancel_sm: a message id, or a source and a destination");
    return false;
  }
  if (!Ready("cancel_sm", false)) return false;
  FPost([Id = ToStd(MessageId->text()), Src = ToStd(Source->text()),
         Dst = ToStd(Destination->text())](TSmppClient& C) { C.CancelSm(Id, Src, Dst); });
  FSay(MessageId->text().isEmpty() ? "cancel_sm of every message from " + Source->text() + " to " +
                                         Destination->text() + " sent"
                                   : "cancel_sm of " + MessageId->text() + " sent");
  return true;
}

bool TRequestPanel::Replace() {
  if (!Ready("replace_sm", true)) return false;
  FPost([Id = ToStd(MessageId->text()), Src = ToStd(Source->text()),
         Text = ToStd(NewText->text())](TSmppClient& C) { C.ReplaceSm(Id, Src, Text); });
  FSay("replace_sm of " + MessageId->text() + " sent");
  return true;
}

bool TRequestPanel::SendRaw() {
  std::vector<uint8_t> Bytes;
  QString Line;
  if (!ReadRawPduText(RawHex->toPlainText(), Bytes, Line)) {
    FSay("Not sent: " + Line);
    return false;
  }
  if (PatchSequence->isChecked() && Bytes.size() < 16) {
    FSay("Not sent: a sequence number needs the 16 octets of a header");
    return false;
  }
  if (!Ready("raw PDU", false)) return false;
  FPost([Bytes = std::move(Bytes), Patch = PatchSequence->isChecked()](TSmppClient& C) {
    C.SendRaw(Bytes, Patch);
  });
  FSay("Raw PDU sent: " + Line);
  return true;
}

std::vector<QWidget*> TRequestPanel::TabChain() const {
  return {MessageId,     Source, Destination,   QueryButton,   CancelButton, NewText,
          ReplaceButton, RawHex, PatchSequence, TakeRowButton, SendRawButton};
}
