// TAnswerPanel: reading the status as it is typed, and posting the answer settings to the client.
#include "app/workbench/AnswerPanel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>

#include "smpp/PduNames.h"
#include "smpp/smppclient.h"

namespace {

// The statuses the list offers, in its order.
constexpr uint32_t kListed[] = {0x00, 0x58, 0x64, 0x65, 0x66, 0x08};

QString ListEntry(uint32_t Status) {
  return QString::fromStdString(CommandStatusName(Status)) + QString::asprintf(" (0x%02X)", Status);
}

}  // namespace

std::optional<uint32_t> ParseAnswerStatus(const QString& Text) {
  const QString T = Text.trimmed();
  for (uint32_t S : kListed)
    if (T.compare(QString::fromStdString(CommandStatusName(S)), Qt::CaseInsensitive) == 0 ||
        T.compare(ListEntry(S), Qt::CaseInsensitive) == 0)
      return S;
  const bool Hex = T.startsWith("0x", Qt::CaseInsensitive);
  const QString Digits = Hex ? T.mid(2) : T;
  // Digits only: no sign, no spaces, no empty number; leading zeros are fine.
  if (Digits.isEmpty()) return std::nullopt;
  for (QChar C : Digits)
    if (!(C.isDigit() || (Hex && QStringLiteral("abcdefABCDEF").contains(C)))) return std::nullopt;
  bool Ok = false;
  const qulonglong Value = Digits.toULongLong(&Ok, Hex ? 16 : 10);
  if (!Ok || Value > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<uint32_t>(Value);
}

TAnswerPanel::TAnswerPanel(std::function<void(TClientRunner::TTask)> Post, QWidget* Parent)
    : QGroupBox("Our answers", Parent), FPost(std::move(Post)) {
  auto* Form = new QFormLayout(this);
  Status = new QComboBox;
  Status->setEditable(true);
  Status->setInsertPolicy(QComboBox::NoInsert);
  for (uint32_t S : kListed) Status->addItem(ListEntry(S));
  Status->setToolTip(
      "The command_status of our deliver_sm_resp and data_sm_resp: a name from "
      "the list, or a number (decimal or 0x hex, 0 to 0xFFFFFFFF)");
  StatusNote = new QLabel;
  StatusNote->setWordWrap(true);
  DelayMs = new QSpinBox;
  DelayMs->setRange(0, kMaxDelayMs);
  DelayMs->setSuffix(" ms");
  DelayMs->setToolTip("How long after the delivery is read the answer goes");
  NoAnswer = new QCheckBox("D&on't answer");
  NoAnswer->setToolTip("Leave every deliver_sm and data_sm without an answer");
  // Mnemonics none of the window's other fields or menus use.
  Form->addRow("&Answer status:", Status);
  Form->addRow(StatusNote);
  Form->addRow("De&lay:", DelayMs);
  Form->addRow(NoAnswer);
  StatusEdited(Status->currentText());

  connect(Status, &QComboBox::editTextChanged, this, &TAnswerPanel::StatusEdited);
  // Applied when the typing is done (Enter, or the focus leaves) or an entry is picked: a number
  // on its way to a bad one is never applied by the way.
  connect(Status->lineEdit(), &QLineEdit::editingFinished, this, [this] { Apply(); });
  connect(Status, &QComboBox::activated, this, [this] { Apply(); });
  connect(DelayMs, &QSpinBox::valueChanged, this, [this] { Apply(); });
  connect(NoAnswer, &QCheckBox::toggled, this, [this](bool On) {
    Status->setEnabled(!On);
    DelayMs->setEnabled(!On);
    Apply();
  });
}

void TAnswerPanel::StatusEdited(const QString& Text) {
  const std::optional<uint32_t> Read = ParseAnswerStatus(Text);
  QPalette Colours = Status->lineEdit()->palette();
  Colours.setColor(QPalette::Text, Read ? palette().color(QPalette::Text) : QColor(Qt::red));
  Status->lineEdit()->setPalette(Colours);
  if (!Read) {
    StatusNote->setText("Not applied: a name from the list, or 0 to 4294967295 (0xFFFFFFFF)");
    return;
  }
  StatusNote->setText(QString::asprintf("0x%08X ", *Read) +
                      QString::fromStdString(CommandStatusName(*Read)) +
                      (*Read == FStatus ? QString() : QStringLiteral(" (Enter applies)")));
}

void TAnswerPanel::Apply() {
  // The status shown, when it reads; otherwise the one applied before stays.
  if (const std::optional<uint32_t> Read = ParseAnswerStatus(Status->currentText())) {
    FStatus = *Read;
    StatusEdited(Status->currentText());
  }
  const auto Code = static_cast<int32_t>(FStatus);  // the setting takes any 32-bit pattern
  const int Delay = DelayMs->value();
  const bool Silent = NoAnswer->isChecked();
  FPost([Code, Delay, Silent](TSmppClient& C) {
    TSMPPClientInfo& Info = C.ClientInfo();
    Info.Set_deliver_resp_status(Code);
    Info.Set_deliver_resp_delay_ms(Delay);
    Info.Set_deliver_no_answer(Silent);
  });
}

std::vector<QWidget*> TAnswerPanel::TabChain() const {
  return {Status, DelayMs, NoAnswer};
}
