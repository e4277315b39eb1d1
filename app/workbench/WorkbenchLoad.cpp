// TWorkbench: the load panel's tab and its charts' tab, Start and Stop (Ctrl+R, Ctrl+.), and the
// start of a run from the load panel, the connection panel and the composer. Bind 1 of a run
// traces a sample of its PDUs into the traffic table, which says so while the run goes.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <atomic>

#include "app/workbench/ComposerPanel.h"
#include "app/workbench/LoadCharts.h"
#include "app/workbench/LoadPanel.h"
#include "app/workbench/Workbench.h"
#include "inspect/PduSampler.h"
#include "load/BackgroundRun.h"
#include "load/Traffic.h"
#include "smpp/LongMessage.h"
#include "smpp/smppclient.h"

namespace {

std::string ToStd(const QString& S) {
  return S.toUtf8().toStdString();
}

QString FromStd(const std::string& S) {
  return QString::fromUtf8(S.data(), static_cast<qsizetype>(S.size()));
}

// A text taken as it is: its braces doubled, so a template reads them back as themselves.
std::string Literal(const std::string& Text) {
  std::string Out;
  for (char C : Text) {
    Out += C;
    if (C == '{' || C == '}') Out += C;
  }
  return Out;
}

}  // namespace

QWidget* TWorkbench::MakeLoadTab() {
  LoadCharts = new TLoadCharts;
  Load = new TLoadPanel(LoadCharts);
  connect(Load->StartButton, &QPushButton::clicked, this, &TWorkbench::StartLoad);
  auto* Scroll = new QScrollArea;
  Scroll->setWidgetResizable(true);
  Scroll->setFrameShape(QFrame::NoFrame);
  Scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Scroll->setWidget(Load);
  return Scroll;
}

void TWorkbench::MakeLoadActions() {
  StartLoadAction = new QAction("Start load &run", this);
  StartLoadAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
  StopLoadAction = new QAction("S&top load run", this);
  StopLoadAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Period));
  for (QAction* A : {StartLoadAction, StopLoadAction}) {
    A->setShortcutContext(Qt::WindowShortcut);
    addAction(A);
  }
  connect(StartLoadAction, &QAction::triggered, this, &TWorkbench::StartLoad);
  connect(StopLoadAction, &QAction::triggered, this, [this] { Load->Stop(); });
  QMenu* LoadMenu = menuBar()->addMenu("&Load");
  LoadMenu->addAction(StartLoadAction);
  LoadMenu->addAction(StopLoadAction);
}

void TWorkbench::StartLoad() {
  const auto Refuse = [this](const QString& Why) {
    statusBar()->showMessage("Load run not started: " + Why, 8000);
  };
  if (Load->Running()) return Refuse("a run is under way");
  const std::optional<TBindSettings> Bind = ReadBindSettings();
  if (!Bind) return;
  const int Kind = Load->DestinationKind->currentIndex();
  const bool OwnText = !Load->TextTemplate->text().isEmpty();
  if (const QString Why = Composer->Refusal(!OwnText, Kind == 0); !Why.isEmpty())
    return Refuse("the composer's " + Why);
  const TSubmitSettings Submit = Composer->Submission();
  // The settings are tried on a settings object of our own first: a value the client refuses is
  // said here, not on the run's thread.
  try {
    TSMPPClientInfo Probe;
    ApplyBindSettings(Probe, *Bind);
    TComposerPanel::ApplySubmitSettings(Probe, Submit);
  } catch (const std::exception& E) {
    return Refuse(E.what());
  }

  load::TTraffic Traffic;
  Traffic.Seed = static_cast<uint64_t>(Load->Seed->value());
  load::TDestinationsOptions& Where = Traffic.Where;
  const std::string Value = ToStd(Load->DestinationValue->text().trimmed());
  if (Kind == 0)
    Where.Destination = Submit.Destinations;
  else if (Kind == 1)
    Where.Range = Value;
  else
    Where.File = Value;
  Where.Order = Load->Order->currentIndex() == 1 ? load::TDestinationOrder::Random
                                                 : load::TDestinationOrder::InOrder;
  Where.Seed = Traffic.Seed;
  std::string Error;
  if (!load::TDestinations::Parse(Where, Traffic.Destinations, Error))
    return Refuse(FromStd(Error));
  const std::string Template = OwnText ? ToStd(Load->TextTemplate->text()) : Literal(Submit.Text);
  if (!load::TTextTemplate::Parse(Template, Traffic.Text, Error)) return Refuse(FromStd(Error));

  const bool ForTime = Load->AmountUnit->currentIndex() == 1;
  const long Count = ForTime ? 0 : Load->Amount->value();
  TMessagePlan Plan;
  if (!PlanMessage(Traffic.LongestText(Count), TSmppClient::SignatureTrailer, Submit.Coding,
                   Submit.Mode, 0, Plan, Error))
    return Refuse("the text cannot be sent: " + FromStd(Error));
  const long Parts = static_cast<long>(Plan.Parts.size());
  if (Parts > Load->Window->value())
    return Refuse(QString("a message of %1 parts does not fit a window of %2: its parts go "
                          "together")
                      .arg(Parts)
                      .arg(Load->Window->value()));
  if (Load->Rate->value() > 0 && Load->Rate->value() < Parts)
    return Refuse(QString("a rate of %1 is below the %2 parts of one message, which go together")
                      .arg(Load->Rate->value())
                      .arg(Parts));

  load::TLoadOptions L;
  L.Binds = Load->Binds->value();
  L.Transceiver = Bind->Mode == TBindMode::bmTransceiver;
  L.Count = Count;
  L.Duration = ForTime ? Load->Amount->value() : 0;
  L.Tps = Load->Rate->value();
  L.Window = Load->Window->value();
  L.Parts = Parts;
  // Receipts are awaited only when the submits ask for them.
  const bool Receipts = Load->WaitReceipts->isChecked() && (Submit.RegisteredDelivery & 3) != 0;
  L.ReceiptsPerSubmit = Receipts ? Traffic.AddressesPerMessage() : 0;
  L.Host = Bind->Host;
  L.Port = Bind->Port;
  L.Source = Submit.Source;
  load::TRandom R(Traffic.Seed);
  Traffic.Destinations.At(0, L.Destination);
  Traffic.Text.Expand(0, L.Text, R);
  L.Validity = Submit.Validity;
  L.Vary = Traffic.Vary();

  // Bind 1 traces bursts of its PDUs for the traffic table; the others trace nothing.
  auto Made = std::make_shared<std::atomic<int>>(0);
  auto Sampler =
      std::make_shared<TPduSampler>([Ring = FLoadRing](const TPduTraceEvent& E) { Ring->Push(E); },
                                    kLoadSampleIntervalNs, kLoadSampleBurst);
  auto Make = [B = *Bind, Submit, Made, Sampler] {
    auto Client = std::make_unique<TSmppClient>(nullptr);
    // Tried above with the same values: they cannot throw here.
    ApplyBindSettings(Client->ClientInfo(), B);
    TComposerPanel::ApplySubmitSettings(Client->ClientInfo(), Submit);
    if (Made->fetch_add(1) == 0)
      Client->SetPduTrace([Sampler](const TPduTraceEvent& E) { (*Sampler)(E); }, Sampler->Gate());
    return Client;
  };
  nlohmann::ordered_json Options = {{"host", Bind->Host},
                                    {"port", Bind->Port},
                                    {"count", Count},
                                    {"duration_s", L.Duration},
                                    {"tps", L.Tps},
                                    {"window", L.Window},
                                    {"binds", L.Binds},
                                    {"seed", Traffic.Seed},
                                    {"wait_for_receipts", Receipts},
                                    {"receipt_ids", load::ReceiptIdsWord(L.ReceiptIds)},
                                    {"expect_stat", L.ExpectStat}};
  Load->Started(std::make_unique<load::TBackgroundRun>(std::move(L), std::move(Make)),
                std::move(Options), Receipts);
  // The charts come forward, with room: the table only samples the run meanwhile.
  BottomTabs->setCurrentWidget(LoadCharts);
  const QList<int> Sizes = FTrafficSplit->sizes();
  int Total = 0;
  for (int S : Sizes) Total += S;
  if (Sizes.size() == 3 && Sizes[2] < Total / 2)
    FTrafficSplit->setSizes({Total / 4, Total / 5, Total - Total / 4 - Total / 5});
  statusBar()->showMessage("Load run started", 5000);
  UpdateControls();
}
