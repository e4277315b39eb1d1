// TLoadCharts: four Qt Charts views, fed a second at a time.
#include "app/workbench/LoadCharts.h"

#include <QBarCategoryAxis>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QGraphicsLayout>
#include <QGridLayout>
#include <QHorizontalBarSeries>
#include <QLineSeries>
#include <QValueAxis>
#include <algorithm>

#include "smpp/PduNames.h"

namespace {

QLineSeries* Line(const QString& Name) {
  auto* S = new QLineSeries;
  S->setName(Name);
  return S;
}

// The axis grows to the next 1, 2 or 5 times a power of ten, so it does not jump at every new
// value.
double RoundUp(double V) {
  double Step = 0.001;
  while (Step * 10 < V) Step *= 10;
  for (double M : {1.0, 2.0, 5.0, 10.0})
    if (Step * M >= V) return Step * M;
  return Step * 10;
}

// Small titles and legends, thin margins: four charts share the pane.
void Shape(QChart* Chart, const QString& Title) {
  Chart->setTitle(Title);
  QFont Font = Chart->titleFont();
  Font.setBold(true);
  Chart->setTitleFont(Font);
  Chart->setMargins(QMargins(2, 2, 2, 2));
  Chart->layout()->setContentsMargins(0, 0, 0, 0);
  Chart->setBackgroundRoundness(0);
  QFont Small = Chart->legend()->font();
  Small.setPointSizeF(Small.pointSizeF() * 0.85);
  Chart->legend()->setFont(Small);
}

}  // namespace

TLoadCharts::TLoadCharts(QWidget* Parent) : QWidget(Parent) {
  FSubmits = Line("Submits");
  FAnswers = Line("Answers");
  FReceipts = Line("Receipts");
  FAnswerP50 = Line("answer p50");
  FAnswerP99 = Line("p99");
  FReceiptP50 = Line("receipt p50");
  FReceiptP99 = Line("p99");
  FThrottled = Line("Throttled");
  FQueueFull = Line("Queue full");
  FOther = Line("Other status");
  Rates = MakeChart("Per second", {FSubmits, FAnswers, FReceipts}, FRateAxes);
  Latency = MakeChart("Latency of each second, ms",
                      {FAnswerP50, FAnswerP99, FReceiptP50, FReceiptP99}, FLatencyAxes);
  Statuses = MakeChart("Error statuses per second", {FThrottled, FQueueFull, FOther}, FStatusAxes);

  auto* Chart = new QChart;
  Shape(Chart, "Totals by status and receipt state");
  Chart->legend()->hide();
  FBars = new QHorizontalBarSeries;
  FBarSet = new QBarSet("Total");
  FBars->append(FBarSet);
  FBars->setLabelsVisible(true);
  FBars->setLabelsPosition(QAbstractBarSeries::LabelsInsideBase);
  Chart->addSeries(FBars);
  FCategories = new QBarCategoryAxis;
  FTotalAxis = new QValueAxis;
  FTotalAxis->setLabelFormat("%.0f");
  FTotalAxis->setRange(0, 10);
  Chart->addAxis(FCategories, Qt::AlignLeft);
  Chart->addAxis(FTotalAxis, Qt::AlignBottom);
  FBars->attachAxis(FCategories);
  FBars->attachAxis(FTotalAxis);
  Totals = new QChartView(Chart);
  Totals->setObjectName("TotalsChart");

  auto* Grid = new QGridLayout(this);
  Grid->setContentsMargins(0, 0, 0, 0);
  Grid->setSpacing(2);
  Grid->addWidget(Rates, 0, 0);
  Grid->addWidget(Latency, 0, 1);
  Grid->addWidget(Statuses, 1, 0);
  Grid->addWidget(Totals, 1, 1);
}

QChartView* TLoadCharts::MakeChart(const QString& Title, const std::vector<QLineSeries*>& Series,
                                   TAxes& Axes) {
  auto* Chart = new QChart;
  Shape(Chart, Title);
  Chart->legend()->setAlignment(Qt::AlignTop);
  Axes.X = new QValueAxis;
  Axes.X->setLabelFormat("%.0f s");
  Axes.X->setRange(0, 10);
  Axes.Y = new QValueAxis;
  Axes.Y->setLabelFormat("%g");
  Axes.Y->setRange(0, &Axes == &FLatencyAxes ? 1 : 10);
  Chart->addAxis(Axes.X, Qt::AlignBottom);
  Chart->addAxis(Axes.Y, Qt::AlignLeft);
  for (QLineSeries* S : Series) {
    Chart->addSeries(S);
    S->attachAxis(Axes.X);
    S->attachAxis(Axes.Y);
  }
  auto* View = new QChartView(Chart);
  View->setRenderHint(QPainter::Antialiasing);
  View->setMinimumSize(160, 120);
  return View;
}

void TLoadCharts::Clear() {
  for (QLineSeries* S : {FSubmits, FAnswers, FReceipts, FAnswerP50, FAnswerP99, FReceiptP50,
                         FReceiptP99, FThrottled, FQueueFull, FOther})
    S->clear();
  for (TAxes* A : {&FRateAxes, &FLatencyAxes, &FStatusAxes}) {
    A->X->setRange(0, 10);
    A->Y->setRange(0, A == &FLatencyAxes ? 1 : 10);
  }
  FBarSet->remove(0, FBarSet->count());
  FCategories->clear();
  FCategoryNames.clear();
  FTotalAxis->setRange(0, 10);
  FSeconds = 0;
}

void TLoadCharts::Append(QLineSeries* Series, TAxes& Axes, double Y) {
  const double X = static_cast<double>(FSeconds);
  // Replacing the oldest point keeps the series at most kShownSeconds long.
  if (Series->count() >= kShownSeconds) Series->remove(0);
  Series->append(X, Y);
  if (Y > Axes.Y->max()) Axes.Y->setMax(RoundUp(Y));
}

void TLoadCharts::AddSeconds(const std::vector<load::TSecond>& Seconds) {
  const auto Ms = [](const load::THistogram& H, int PerMille) {
    return static_cast<double>(H.Percentile(PerMille)) / 1000.0;
  };
  for (const load::TSecond& S : Seconds) {
    if (FSeconds == 0) FFirstSecond = S.UnixSecond;
    FSeconds = static_cast<int>(S.UnixSecond - FFirstSecond) + 1;
    Append(FSubmits, FRateAxes, static_cast<double>(S.Submits));
    Append(FAnswers, FRateAxes, static_cast<double>(S.Answers));
    Append(FReceipts, FRateAxes, static_cast<double>(S.Receipts));
    // A second without answers has no latency: its point is left out, not drawn as zero.
    if (S.ResponseLatency.Count() > 0) {
      Append(FAnswerP50, FLatencyAxes, Ms(S.ResponseLatency, 500));
      Append(FAnswerP99, FLatencyAxes, Ms(S.ResponseLatency, 990));
    }
    if (S.ReceiptLatency.Count() > 0) {
      Append(FReceiptP50, FLatencyAxes, Ms(S.ReceiptLatency, 500));
      Append(FReceiptP99, FLatencyAxes, Ms(S.ReceiptLatency, 990));
    }
    Append(FThrottled, FStatusAxes, static_cast<double>(S.Throttled));
    Append(FQueueFull, FStatusAxes, static_cast<double>(S.QueueFull));
    Append(FOther, FStatusAxes, static_cast<double>(S.OtherStatus));
  }
  const double Right = std::max(10, FSeconds);
  const double Left = std::max(0, FSeconds - kShownSeconds);
  for (TAxes* A : {&FRateAxes, &FLatencyAxes, &FStatusAxes}) A->X->setRange(Left, Right);
}

void TLoadCharts::SetTotals(const std::map<uint32_t, long>& StatusCounts,
                            const std::map<std::string, long>& ReceiptStates) {
  QStringList Names;
  QList<qreal> Values;
  long Most = 0;
  for (const auto& [Status, N] : StatusCounts) {
    Names << QString::fromStdString(CommandStatusName(Status));
    Values << static_cast<qreal>(N);
    Most = std::max(Most, N);
  }
  for (const auto& [State, N] : ReceiptStates) {
    Names << QString::fromStdString(State);
    Values << static_cast<qreal>(N);
    Most = std::max(Most, N);
  }
  // The categories are made again only when a new status or state appears.
  if (Names != FCategoryNames) {
    FBarSet->remove(0, FBarSet->count());
    FCategories->clear();
    FCategories->append(Names);
    FBarSet->append(Values);
    FCategoryNames = Names;
  } else {
    for (int I = 0; I < Values.size(); ++I)
      if (FBarSet->at(I) != Values[I]) FBarSet->replace(I, Values[I]);
  }
  if (Most > FTotalAxis->max()) FTotalAxis->setMax(RoundUp(static_cast<double>(Most)));
}
