// TLoadPanel: the load run's settings, Start and Stop, its totals as it goes, and its summary.
#include "app/workbench/LoadPanel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <climits>
#include <cstdio>

#include "app/workbench/LoadCharts.h"
#include "load/Summary.h"

namespace {

QString FromStd(const std::string& S) {
  return QString::fromUtf8(S.data(), static_cast<qsizetype>(S.size()));
}

QSpinBox* Spin(int Min, int Max, int Value) {
  auto* Box = new QSpinBox;
  Box->setRange(Min, Max);
  Box->setValue(Value);
  Box->setGroupSeparatorShown(true);
  return Box;
}

}  // namespace

TLoadPanel::TLoadPanel(TLoadCharts* Charts, QWidget* Parent) : QWidget(Parent), FCharts(Charts) {
  auto* Column = new QVBoxLayout(this);
  auto* Box = new QGroupBox("Load run");
  auto* Form = new QFormLayout(Box);
  Amount = Spin(1, INT_MAX, 10000);
  AmountUnit = new QComboBox;
  AmountUnit->addItems({"messages", "seconds"});
  auto* AmountRow = new QHBoxLayout;
  AmountRow->addWidget(Amount, 1);
  AmountRow->addWidget(AmountUnit);
  Form->addRow("Send:", AmountRow);
  Rate = Spin(0, 100000000, 0);
  Rate->setSpecialValueText("unlimited");
  Rate->setSuffix(" /s");
  Rate->setToolTip("Submits a second of the whole run, split evenly over the binds");
  Form->addRow("Rate:", Rate);
  Window = Spin(1, 1000000, 1000);
  Window->setToolTip("Most submits unanswered at once, per bind");
  Form->addRow("Window:", Window);
  Binds = Spin(1, 64, 1);
  Binds->setToolTip("Bind pairs (or transceivers, as the bind mode says), each with its window");
  Form->addRow("Binds:", Binds);
  DestinationKind = new QComboBox;
  DestinationKind->addItems({"the composer's", "a range", "a file"});
  DestinationValue = new QLineEdit;
  Form->addRow("Destinations:", DestinationKind);
  Form->addRow("", DestinationValue);
  Order = new QComboBox;
  Order->addItems({"in order", "at random"});
  Seed = Spin(0, INT_MAX, 0);
  Seed->setGroupSeparatorShown(false);
  Seed->setToolTip("The same seed gives the same random destinations and characters");
  auto* OrderRow = new QHBoxLayout;
  OrderRow->addWidget(Order, 1);
  OrderRow->addWidget(new QLabel("Seed:"));
  OrderRow->addWidget(Seed);
  Form->addRow("Order:", OrderRow);
  TextTemplate = new QLineEdit;
  TextTemplate->setPlaceholderText("the composer's, or load {n} {rand:8}");
  TextTemplate->setToolTip(
      "Empty: the composer's text. A template: {n} the message's number, {rand:N} N random "
      "letters and digits, {{ and }} braces");
  Form->addRow("Text:", TextTemplate);
  WaitReceipts = new QCheckBox("Wait for the receipts the composer asks for");
  WaitReceipts->setChecked(true);
  Form->addRow(WaitReceipts);
  Column->addWidget(Box);
  connect(DestinationKind, &QComboBox::currentIndexChanged, this, [this] { UpdateControls(); });

  auto* Buttons = new QHBoxLayout;
  StartButton = new QPushButton("Start");
  StartButton->setToolTip("Ctrl+R");
  StopButton = new QPushButton("Stop");
  StopButton->setToolTip("Ctrl+.");
  connect(StopButton, &QPushButton::clicked, this, &TLoadPanel::Stop);
  Buttons->addWidget(StartButton);
  Buttons->addWidget(StopButton);
  Column->addLayout(Buttons);

  auto* TotalsBox = new QGroupBox("Totals");
  auto* TotalsLayout = new QVBoxLayout(TotalsBox);
  Totals = new QLabel("No run yet");
  Totals->setWordWrap(true);
  Totals->setTextInteractionFlags(Qt::TextSelectableByMouse);
  TotalsLayout->addWidget(Totals);
  Column->addWidget(TotalsBox);

  auto* SummaryBox = new QGroupBox("Summary");
  auto* SummaryLayout = new QVBoxLayout(SummaryBox);
  SummaryText = new QPlainTextEdit;
  SummaryText->setReadOnly(true);
  SummaryText->setTabChangesFocus(true);
  SummaryText->setLineWrapMode(QPlainTextEdit::NoWrap);
  SummaryText->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  SummaryText->setPlaceholderText("The summary of the run, once it has ended");
  SummaryText->setMinimumHeight(SummaryText->fontMetrics().lineSpacing() * 8);
  SaveButton = new QPushButton("Save JSON...");
  connect(SaveButton, &QPushButton::clicked, this, &TLoadPanel::ChooseJsonFile);
  SummaryLayout->addWidget(SummaryText, 1);
  SummaryLayout->addWidget(SaveButton, 0, Qt::AlignRight);
  Column->addWidget(SummaryBox, 1);

  FPoll = new QTimer(this);
  FPoll->setInterval(kPollMs);
  connect(FPoll, &QTimer::timeout, this, &TLoadPanel::Poll);
  UpdateControls();
}

TLoadPanel::~TLoadPanel() = default;

std::vector<QWidget*> TLoadPanel::TabChain() const {
  return {Amount,          AmountUnit,       Rate,       Window,      Binds,
          DestinationKind, DestinationValue, Order,      Seed,        TextTemplate,
          WaitReceipts,    StartButton,      StopButton, SummaryText, SaveButton};
}

void TLoadPanel::Started(std::unique_ptr<load::TBackgroundRun> Run, nlohmann::ordered_json Options,
                         bool Receipts) {
  FRun = std::move(Run);
  FOptions = std::move(Options);
  FReceipts = Receipts;
  FJson = nullptr;
  FSecondsRead = 0;
  FShownPhase = load::TBackgroundRun::TPhase::Binding;
  FCharts->Clear();
  SummaryText->clear();
  Totals->setText("Binding...");
  // Changing twice a second, the totals are selected once the run has ended; a selectable label
  // lays its text out anew on every paint.
  Totals->setTextInteractionFlags(Qt::NoTextInteraction);
  FPoll->start();
  UpdateControls();
}

void TLoadPanel::Stop() {
  if (!FRun) return;
  FRun->Stop();
  Totals->setText(Totals->text() + "\nStopping: the answers of what was sent are awaited");
}

bool TLoadPanel::Running() const {
  return FRun != nullptr;
}

void TLoadPanel::Poll() {
  if (!FRun) return;
  const std::vector<load::TSecond> Seconds = FRun->Seconds(FSecondsRead);
  FSecondsRead += Seconds.size();
  if (!Seconds.empty()) {
    FCharts->AddSeconds(Seconds);
    const load::TLiveStates S = FRun->States();
    FCharts->SetTotals(S.Statuses, S.ReceiptStates);
  }
  const load::TBackgroundRun::TPhase Phase = FRun->Phase();
  if (Phase == load::TBackgroundRun::TPhase::Done) return Ended();
  // The totals are told once a second: each new text lays the panel out again.
  if (Phase == FShownPhase && Seconds.empty()) return;
  FShownPhase = Phase;
  if (Phase == load::TBackgroundRun::TPhase::Binding) return;
  const load::TLiveFigures F = FRun->Live();
  QString Text = QString("Sent %L1 · answered %L2 · receipts %L3 · in flight %L4")
                     .arg(F.Sent)
                     .arg(F.Answered)
                     .arg(F.Receipts)
                     .arg(F.InFlight);
  if (!Seconds.empty())
    Text += QString("\nLast second: %L1 submits, %L2 answers, %L3 receipts")
                .arg(Seconds.back().Submits)
                .arg(Seconds.back().Answers)
                .arg(Seconds.back().Receipts);
  else if (Totals->text().contains('\n'))
    Text += Totals->text().mid(Totals->text().indexOf('\n'));
  if (Phase == load::TBackgroundRun::TPhase::Closing) Text += "\nClosing the binds...";
  Totals->setText(Text);
}

void TLoadPanel::Ended() {
  FPoll->stop();
  Totals->setTextInteractionFlags(Qt::TextSelectableByMouse);
  load::TSummary S = FRun->Summary();
  const std::string Error = FRun->Error();  // a copy: the run goes below
  S.Options = FOptions;
  S.ExitStatus = Error.empty() ? 0 : 1;
  S.Error = Error;
  // The clients are destroyed on the run's own thread once it is let go.
  FRun.reset();
  FCharts->SetTotals(S.Statuses, S.ReceiptStates);
  FJson = load::SummaryJson(S);
  const load::TCounts& C = S.Counts;
  Totals->setText(QString("Sent %L1 · answered %L2 · receipts %L3 · %4")
                      .arg(C.Submits)
                      .arg(C.Answered)
                      .arg(C.Receipts)
                      .arg(Error.empty() ? QString("passed") : QString("failed")));
  SummaryText->setPlainText(
      FromStd(load::SummaryText(S, FReceipts) + (Error.empty() ? "passed" : "failed: " + Error)));
  UpdateControls();
}

std::string TLoadPanel::SaveJson(const std::string& Path) const {
  if (FJson.is_null()) return "no run has ended yet";
  FILE* F = std::fopen(Path.c_str(), "w");
  if (!F) return "cannot write " + Path;
  const std::string Text = load::JsonText(FJson) + "\n";
  const bool Written = std::fwrite(Text.data(), 1, Text.size(), F) == Text.size();
  if (std::fclose(F) != 0 || !Written) return "cannot write " + Path;
  return {};
}

void TLoadPanel::ChooseJsonFile() {
  const QString Path =
      QFileDialog::getSaveFileName(this, "Save the summary", "load-summary.json", "JSON (*.json)");
  if (Path.isEmpty()) return;
  if (const std::string Error = SaveJson(Path.toStdString()); !Error.empty())
    Totals->setText(Totals->text() + "\n" + FromStd(Error));
}

void TLoadPanel::UpdateControls() {
  const bool Running = FRun != nullptr;
  StartButton->setEnabled(!Running);
  StopButton->setEnabled(Running);
  SaveButton->setEnabled(!FJson.is_null());
  const int Kind = DestinationKind->currentIndex();
  DestinationValue->setEnabled(Kind != 0);
  DestinationValue->setPlaceholderText(Kind == 1   ? "4915100000000-4915100009999"
                                       : Kind == 2 ? "a file of numbers, one a line"
                                                   : "as the composer's destinations say");
  Order->setEnabled(Kind != 0);
}
