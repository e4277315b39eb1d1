// Window burst benchmark: the local SMSC sends four bursts of 100 000 MO messages, one after the
// other, to a bound window. Measures the time until the last line of the last burst shows in the
// memo, the longest stall of the GUI event loop meanwhile (a 1 ms timer probe: the largest gap
// between its ticks), the process's resident memory after each burst and its peak. A memo that
// keeps a bounded number of lines levels off after the first bursts; one that keeps them all grows
// by the same amount with every burst. The window runs in an Xvfb of its own.
// Run: build/bench/window_burst [--benchmark_...]
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "app/Form1.h"
#include "app/XvfbProcess.h"
#include "benchmark/benchmark.h"
#include "interop/SmscProcess.h"

namespace {

constexpr int BurstLines = 100000;
constexpr int Bursts = 4;

// The process's resident memory now, in MB.
double ResidentMB() {
  long Pages = 0, Resident = 0;
  std::ifstream("/proc/self/statm") >> Pages >> Resident;
  return static_cast<double>(Resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1 << 20);
}

void BM_WindowMoBurst(benchmark::State& State) {
  for (auto _ : State) {
    smpptest::SmscProcess Smsc({"--quiet"});
    if (!Smsc.start()) {
      State.SkipWithError(Smsc.error().c_str());
      return;
    }
    TForm1 Form;
    Form.show();
    Form.Edit4->setText("127.0.0.1");
    Form.Edit5->setText(QString::number(Smsc.port()));
    Form.Button1->click();
    const auto Lines = [&] { return Form.Memo1->document()->blockCount() - 1; };
    if (!QTest::qWaitFor([&] { return Lines() >= 4; }, 10000)) {
      State.SkipWithError("the window did not bind");
      return;
    }
    State.counters["rss_bound_MB"] = ResidentMB();

    // The probe: a precise 1 ms timer; any gap between its ticks beyond that is time the event
    // loop could not turn.
    QElapsedTimer Clock;
    qint64 LastTick = 0, LongestGap = 0;
    QTimer Probe;
    Probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&Probe, &QTimer::timeout, [&] {
      const qint64 Now = Clock.nsecsElapsed();
      LongestGap = std::max(LongestGap, Now - LastTick);
      LastTick = Now;
    });
    Clock.start();
    Probe.start(1);
    // Each burst has its own source address, so that its last line cannot be mistaken for the
    // previous burst's.
    for (int B = 1; B <= Bursts; ++B) {
      const std::string Source = "77" + std::to_string(B);
      const QString LastLine =
          QString(":%1:1234:burst %2").arg(QString::fromStdString(Source)).arg(BurstLines);
      Smsc.send("burst " + std::to_string(BurstLines) + " " + Source + " 1234");
      const bool All = QTest::qWaitFor(
          [&] {
            return Form.MemoFeed().Pending() == 0 &&
                   Form.Memo1->document()->lastBlock().previous().text().endsWith(LastLine);
          },
          300000);
      if (!All) {
        State.SkipWithError("not every line reached the memo");
        return;
      }
      State.counters["rss_after_burst" + std::to_string(B) + "_MB"] = ResidentMB();
    }
    const double Seconds = static_cast<double>(Clock.nsecsElapsed()) / 1e9;
    Probe.stop();
    State.SetIterationTime(Seconds);

    rusage Usage{};
    getrusage(RUSAGE_SELF, &Usage);
    State.counters["memo_lines"] = Lines();
    State.counters["longest_stall_ms"] = static_cast<double>(LongestGap) / 1e6;
    State.counters["peak_rss_MB"] = static_cast<double>(Usage.ru_maxrss) / 1024.0;
  }
}
BENCHMARK(BM_WindowMoBurst)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int Argc, char** Argv) {
  benchmark::Initialize(&Argc, Argv);
  smpptest::XvfbProcess Xvfb;
  std::string Error;
  const std::string Display = Xvfb.Start(Error);
  if (Display.empty()) {
    std::fprintf(stderr, "window_burst: %s\n", Error.c_str());
    return 1;
  }
  setenv("DISPLAY", Display.c_str(), 1);
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  int QtArgc = 1;
  QApplication App(QtArgc, Argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
