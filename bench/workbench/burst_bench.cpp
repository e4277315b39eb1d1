// Workbench burst benchmark: the real TWorkbench, bound as a pair to the local SMSC, takes a
// burst of 100 000 MO deliver_sm (the SMSC's `burst` command). Measures whether every PDU reached
// the table (rows, the store's dropped rows and the PDUs the trace ring missed), the longest GUI
// stall meanwhile, the resident memory per row above the idle bound window, then the time to
// filter the full table by typing into the filter box (to the last row found) with the longest
// stall meanwhile, and to clear it with Ctrl+L.
//
// The stall is the largest gap between the ticks of a 5 ms timer beyond its interval: how long
// the event loop stayed blocked. The window runs in an Xvfb of its own (or offscreen, with
// QT_QPA_PLATFORM=offscreen).
// Run: build/bench/workbench_burst [--benchmark_...]
#include <malloc.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

#include "app/XvfbProcess.h"
#include "app/workbench/TrafficModel.h"
#include "app/workbench/Workbench.h"
#include "benchmark/benchmark.h"
#include "interop/SmscProcess.h"
#include "workbench/GuiProbe.h"

namespace {

using benchgui::RunUntil;
using benchgui::TStallProbe;

constexpr int kBurst = 100000;

// The process's resident memory now, in bytes.
double ResidentBytes() {
  long Pages = 0, Resident = 0;
  std::ifstream("/proc/self/statm") >> Pages >> Resident;
  return static_cast<double>(Resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

// The command_id of a row's PDU.
uint32_t CommandId(const TTrafficRow& Row) {
  if (Row.Kind != TPduTraceKind::tkPdu || Row.Length < 8) return 0;
  return uint32_t(Row.Bytes[4]) << 24 | uint32_t(Row.Bytes[5]) << 16 | uint32_t(Row.Bytes[6]) << 8 |
         Row.Bytes[7];
}

void BM_WorkbenchMoBurst(benchmark::State& State) {
  for (auto _ : State) {
    smpptest::SmscProcess Smsc({"--quiet"});
    if (!Smsc.start()) {
      State.SkipWithError(Smsc.error().c_str());
      return;
    }
    TWorkbench Wb;
    Wb.show();
    Wb.activateWindow();
    if (!QTest::qWaitForWindowActive(&Wb)) {
      State.SkipWithError("the workbench did not become active");
      return;
    }
    Wb.Port->setText(QString::number(Smsc.port()));
    Wb.Bind();
    const auto Bound = [&] {
      return Wb.StateLabels[0]->text() == "bound" && Wb.StateLabels[1]->text() == "bound";
    };
    if (!RunUntil(Bound, 10000)) {
      State.SkipWithError("the workbench did not bind");
      return;
    }
    // The idle bound window, once its first rows are in and painted.
    RunUntil([] { return false; }, 500);
    malloc_trim(0);
    const double IdleBytes = ResidentBytes();
    const TTrafficStore& Store = Wb.Traffic().Store();
    const size_t Before = Store.Size();

    double Seconds = 0, StallMs = 0;
    bool All = false;
    {
      TStallProbe Probe;
      QElapsedTimer Clock;
      Clock.start();
      Smsc.send("burst " + std::to_string(kBurst) + " 777 1234");
      // Each MO message is a deliver_sm in and its deliver_sm_resp out. A table that has begun
      // to grow and then stops for 3 s before has lost some.
      size_t Seen = Before;
      QElapsedTimer Quiet;
      Quiet.start();
      All = RunUntil(
          [&] {
            if (Store.Size() != Seen) Quiet.restart();
            Seen = Store.Size();
            return Seen >= Before + 2 * kBurst || (Seen > Before && Quiet.elapsed() > 3000);
          },
          300000);
      All = Store.Size() >= Before + 2 * kBurst;
      Seconds = static_cast<double>(Clock.nsecsElapsed()) / 1e9;
      // A little longer, so that a late batch or row beyond the expected is seen too.
      RunUntil([] { return false; }, 300);
      StallMs = Probe.LongestStallMs();
    }
    State.SetIterationTime(Seconds);
    size_t Delivers = 0, Answers = 0;
    for (size_t I = Before; I < Store.Size(); ++I) {
      const uint32_t Id = CommandId(Store.Row(I));
      Delivers += Id == 0x00000005;
      Answers += Id == 0x80000005;
    }
    const double Rows = static_cast<double>(Store.Size() - Before);
    malloc_trim(0);
    const double BurstBytes = ResidentBytes();
    State.counters["all_rows"] = All;
    State.counters["rows"] = Rows;
    State.counters["deliver_sm"] = static_cast<double>(Delivers);
    State.counters["deliver_sm_resp"] = static_cast<double>(Answers);
    State.counters["dropped"] = static_cast<double>(Store.Dropped());
    State.counters["status_says_dropped"] =
        Wb.Counts->text().contains("dropped") || Wb.Counts->text().contains("missed");
    State.counters["longest_stall_ms"] = StallMs;
    // The client's own pace: from the burst's first traced PDU to its last.
    if (Store.Size() > Before)
      State.counters["client_burst_ms"] =
          static_cast<double>(Store.Row(Store.Size() - 1).MonotonicNs -
                              Store.Row(Before).MonotonicNs) /
          1e6;
    State.counters["rss_idle_MB"] = IdleBytes / (1 << 20);
    State.counters["rss_burst_MB"] = BurstBytes / (1 << 20);
    State.counters["bytes_per_row"] = Rows > 0 ? (BurstBytes - IdleBytes) / Rows : 0;
    std::fprintf(stderr, "status bar: %s\n", Wb.Counts->text().toUtf8().constData());

    // Typing a filter over the full table: each key starts a new check (or narrows the last),
    // done in slices while the event loop turns. Timed from the first key to the last row found.
    QElapsedTimer Typing;
    qint64 LongestKeyNs = 0;
    double FilterStallMs = 0, AfterLastKeyMs = 0;
    TTrafficFilter& Filtered = Wb.Filtered();
    const auto TypeTimed = [&](const QString& Text) {
      Wb.Filter->setFocus();
      Wb.Filter->clear();
      QTest::qWait(0);
      TStallProbe Probe;
      Typing.start();
      for (QChar Ch : Text) {
        QElapsedTimer Key;
        Key.start();
        QTest::keyClick(Wb.Filter, Ch.toLatin1());
        LongestKeyNs = std::max(LongestKeyNs, Key.nsecsElapsed());
        // A tester's pace: a key every 50 ms, the check going on between them.
        RunUntil([&] { return Key.elapsed() >= 50; }, 50);
      }
      QElapsedTimer Rest;
      Rest.start();
      RunUntil([&] { return !Filtered.Checking(); }, 300000);
      // The view's update after the last row found, as the tester sees it.
      QTest::qWait(0);
      AfterLastKeyMs = static_cast<double>(Rest.nsecsElapsed()) / 1e6;
      FilterStallMs = std::max(FilterStallMs, Probe.LongestStallMs());
      return static_cast<double>(Typing.nsecsElapsed()) / 1e6;
    };
    State.counters["filter_text_ms"] = TypeTimed("burst 9999");
    State.counters["filter_text_rows"] = Wb.Table->model()->rowCount();
    State.counters["filter_text_after_keys_ms"] = AfterLastKeyMs;
    State.counters["filter_cmd_ms"] = TypeTimed("cmd:deliver_sm_resp");
    State.counters["filter_cmd_rows"] = Wb.Table->model()->rowCount();
    State.counters["filter_cmd_after_keys_ms"] = AfterLastKeyMs;
    State.counters["filter_longest_key_ms"] = static_cast<double>(LongestKeyNs) / 1e6;
    State.counters["filter_stall_ms"] = FilterStallMs;
    QElapsedTimer Clearing;
    Clearing.start();
    Wb.Filter->clear();
    State.counters["filter_clear_ms"] = static_cast<double>(Clearing.nsecsElapsed()) / 1e6;

    // Ctrl+L on the full table, pressed in the filter box.
    QElapsedTimer Clear;
    Clear.start();
    QTest::keyClick(Wb.Filter, Qt::Key_L, Qt::ControlModifier);
    QTest::qWait(0);
    State.counters["ctrl_l_ms"] = static_cast<double>(Clear.nsecsElapsed()) / 1e6;
    State.counters["rows_after_ctrl_l"] = Wb.Traffic().rowCount();
  }
}
BENCHMARK(BM_WorkbenchMoBurst)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int Argc, char** Argv) {
  benchmark::Initialize(&Argc, Argv);
  std::string Display;
  smpptest::XvfbProcess Xvfb;
  // QT_QPA_PLATFORM=offscreen runs without an X server; otherwise an Xvfb of our own.
  const char* Platform = std::getenv("QT_QPA_PLATFORM");
  if (!Platform || std::string(Platform) != "offscreen") {
    std::string Error;
    Display = Xvfb.Start(Error);
    if (Display.empty()) {
      std::fprintf(stderr, "workbench_burst: %s\n", Error.c_str());
      return 1;
    }
    setenv("DISPLAY", Display.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
  }
  int QtArgc = 1;
  QApplication App(QtArgc, Argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  TClientRunner::JoinFinished();
  return 0;
}
