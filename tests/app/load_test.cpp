// Load panel tests: the real TWorkbench starts a run over two binds to the local sink with its
// keys from a focused text field, the totals, charts and sampled table move, Ctrl+. stops it, and
// the summary saved through the dialog reads back as JSON with the run's counts; and what the
// panel refuses to start, with the reason in the status bar.
#include <QAbstractBarSeries>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QLineSeries>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

#include "RefusedPort.h"
#include "WorkbenchFixture.h"
#include "app/workbench/ComposerPanel.h"
#include "app/workbench/LoadCharts.h"
#include "app/workbench/LoadPanel.h"
#include "interop/SmscProcess.h"

using smpptest::SmscProcess;

namespace {

class LoadPanelTest : public WorkbenchTest {
 protected:
  TLoadPanel* L() { return Wb->Load; }
  // The connection panel pointed at Port, the load tab shown.
  void Prepare(uint16_t Port) {
    Type(Wb->Port, QString::number(Port));
    Wb->LeftTabs->setCurrentIndex(Wb->LeftTabs->count() - 1);
  }
};

TEST_F(LoadPanelTest, RunsFromThePanelStopsAndSavesTheSummary) {
  SmscProcess Sink({"--receipts"});
  Sink.useSink();
  ASSERT_TRUE(Sink.start()) << Sink.error();
  Prepare(Sink.port());
  // Long enough to be seen moving and stopped: 2 binds at 400 submits a second for 60 seconds.
  L()->Amount->setValue(60);
  L()->AmountUnit->setCurrentIndex(1);
  L()->Rate->setValue(400);
  L()->Binds->setValue(2);
  L()->DestinationKind->setCurrentIndex(1);
  Type(L()->DestinationValue, "4915100000000-4915100000099");
  Type(L()->TextTemplate, "load {n} {rand:4}");
  QTest::keyClick(L()->TextTemplate, Qt::Key_R, Qt::ControlModifier);
  EXPECT_EQ(L()->TextTemplate->text(), "load {n} {rand:4}");  // the key went to the window
  ASSERT_TRUE(L()->Running()) << Wb->statusBar()->currentMessage().toStdString();
  EXPECT_EQ(Wb->BottomTabs->currentWidget(), Wb->LoadCharts);
  // The workbench's own client idle, the table is drained a few times a second meanwhile.
  EXPECT_EQ(Wb->DrainIntervalMs(), TWorkbench::kLoadDrainIntervalMs);

  // The figures move: two seconds charted, the totals counting, the table sampling bind 1.
  ASSERT_TRUE(QTest::qWaitFor([&] { return Wb->LoadCharts->SecondsShown() >= 2; }, 15000))
      << L()->Totals->text().toStdString();
  EXPECT_TRUE(L()->Totals->text().startsWith("Sent ")) << L()->Totals->text().toStdString();
  EXPECT_TRUE(Wb->SampledNote->isVisible());
  ASSERT_TRUE(QTest::qWaitFor([&] { return RowOf("submit_sm") >= 0; }, 5000));
  // A sample, not a row per PDU.
  EXPECT_LT(Wb->Table->model()->rowCount(), 400);
  if (const char* Picture = std::getenv("SMPP_LOAD_SCREENSHOT")) {
    ASSERT_TRUE(QTest::qWaitFor([&] { return Wb->LoadCharts->SecondsShown() >= 12; }, 30000));
    EXPECT_TRUE(Wb->grab().save(Picture, "PNG")) << Picture;
  }

  QTest::keyClick(L()->TextTemplate, Qt::Key_Period, Qt::ControlModifier);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !L()->Running(); }, 20000))
      << L()->Totals->text().toStdString();
  EXPECT_TRUE(QTest::qWaitFor([&] { return !Wb->SampledNote->isVisible(); }, 1000));
  EXPECT_EQ(Wb->DrainIntervalMs(), TWorkbench::kDrainIntervalMs);
  const std::string Summary = L()->SummaryText->toPlainText().toStdString();
  EXPECT_NE(Summary.find("smppcli: "), std::string::npos) << Summary;
  // A stopped run never reads as passed.
  EXPECT_NE(Summary.find("failed: stopped by the user after "), std::string::npos) << Summary;

  const QString Path = QDir::temp().filePath("load-panel-test.json");
  QFile::remove(Path);
  QTimer::singleShot(0, [&] {
    (void)QTest::qWaitFor([] { return QApplication::activeModalWidget() != nullptr; }, 5000);
    if (auto* Dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
      Dialog->selectFile(Path);
      static_cast<QDialog*>(Dialog)->accept();
    }
  });
  QTest::mouseClick(L()->SaveButton, Qt::LeftButton);
  std::ifstream In(Path.toStdString());
  ASSERT_TRUE(In.good());
  const nlohmann::json J = nlohmann::json::parse(In);
  const auto& C = J["counts"];
  // Stopped early: fewer than a minute's messages, each answered (within the 2 s the stop waits)
  // and its receipt counted; the summary says it was stopped, and failed.
  EXPECT_GT(C["submits"].get<long>(), 0);
  EXPECT_LT(C["submits"].get<long>(), 60 * 400);
  EXPECT_EQ(C["answered"], C["submits"]);
  EXPECT_EQ(C["receipts"], C["submits"]);
  EXPECT_EQ(J["binds"].size(), 2u);
  EXPECT_EQ(J["options"]["tps"], 400);
  EXPECT_GE(J["per_second"].size(), 2u);
  EXPECT_EQ(J["exit_status"], 1);
  EXPECT_EQ(J["stopped"], true);
  EXPECT_GT(J["stopped_after_s"].get<double>(), 0);
  QFile::remove(Path);
}

TEST_F(LoadPanelTest, RefusesWhatCannotRunAndSaysWhy) {
  Prepare(RefusedPort());
  const struct {
    int Kind;
    const char* Destinations;
    const char* Text;
    int Window;
    const char* Said;
  } Cases[] = {
      {1, "49151-4915", "", 1000, "--destination-range"},
      {2, "/nonexistent/numbers", "", 1000, "/nonexistent/numbers"},
      {0, "", "load {n", 1000, "is not closed"},
      {0, "", "{rand:200}{rand:200}", 1, "does not fit a window of 1"},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Said);
    L()->DestinationKind->setCurrentIndex(Case.Kind);
    L()->DestinationValue->setText(Case.Destinations);
    L()->TextTemplate->setText(Case.Text);
    L()->Window->setValue(Case.Window);
    QTest::keyClick(L()->TextTemplate, Qt::Key_R, Qt::ControlModifier);
    EXPECT_FALSE(L()->Running());
    const std::string Said = Wb->statusBar()->currentMessage().toStdString();
    EXPECT_EQ(Said.rfind("Load run not started: ", 0), 0u) << Said;
    EXPECT_NE(Said.find(Case.Said), std::string::npos) << Said;
  }
  // What starts but cannot bind ends as a failed run, with the reason.
  L()->DestinationKind->setCurrentIndex(0);
  L()->TextTemplate->clear();
  L()->Window->setValue(1000);
  QTest::keyClick(L()->TextTemplate, Qt::Key_R, Qt::ControlModifier);
  ASSERT_TRUE(L()->Running());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !L()->Running(); }, 40000));
  const std::string Summary = L()->SummaryText->toPlainText().toStdString();
  EXPECT_NE(Summary.find("failed: "), std::string::npos) << Summary;
  EXPECT_EQ(L()->SummaryJson()["exit_status"], 1);
}

}  // namespace

namespace {

// The charts as the panel feeds them: a second without answers draws no latency point, the time
// axis follows the seconds (a gap included) and scrolls, and the totals' bars follow new states.
TEST(LoadCharts, DrawEachSecondAsItEndsAndTheTotalsByName) {
  TLoadCharts Charts;
  std::vector<load::TSecond> Seconds(3);
  for (int I = 0; I < 3; ++I) {
    Seconds[I].UnixSecond = 1000 + I + (I == 2);  // the third second comes after a gap
    Seconds[I].Submits = Seconds[I].Answers = 100 * (I + 1);
    if (I != 1)
      for (int N = 1; N <= 100; ++N) Seconds[I].ResponseLatency.Record(N * 1000);  // 1..100 ms
  }
  Charts.AddSeconds(Seconds);
  EXPECT_EQ(Charts.SecondsShown(), 4);
  const auto Series = [&](QChartView* View, int I) {
    return static_cast<QLineSeries*>(View->chart()->series()[I])->points();
  };
  EXPECT_EQ(Series(Charts.Rates, 0),
            (QList<QPointF>{{1, 100}, {2, 200}, {4, 300}}));  // submits at their seconds
  const QList<QPointF> P50 = Series(Charts.Latency, 0), P99 = Series(Charts.Latency, 1);
  ASSERT_EQ(P50.size(), 2);
  EXPECT_EQ(P50[1].x(), 4);
  EXPECT_NEAR(P50[1].y(), 50, 2);
  EXPECT_NEAR(P99[1].y(), 99, 4);

  Charts.SetTotals({{0, 500}, {0x58, 100}}, {{"DELIVRD", 450}});
  Charts.SetTotals({{0, 600}, {0x58, 100}}, {{"DELIVRD", 500}, {"UNDELIV", 3}});
  auto* Bars = static_cast<QAbstractBarSeries*>(Charts.Totals->chart()->series()[0]);
  EXPECT_EQ(Bars->barSets()[0]->count(), 4);
  EXPECT_EQ(Bars->barSets()[0]->at(0), 600);
  EXPECT_EQ(Bars->barSets()[0]->at(3), 3);

  Charts.Clear();
  EXPECT_EQ(Charts.SecondsShown(), 0);
  EXPECT_TRUE(Series(Charts.Rates, 0).isEmpty());
  EXPECT_EQ(Bars->barSets()[0]->count(), 0);
}

}  // namespace
