// Workbench load benchmark: the real TWorkbench runs a load from its load panel to the sink
// (tools/smsc_sink) at 200 000 submits a second with the charts live, and smppcli runs the same
// load in the same process's turn, three times each (or --turns N), alternately. Medians of:
//   gui_busy_pct      the GUI thread's CPU time over the run's wall time
//   stall_ms          the longest the GUI thread was out of its event loop's wait, looked at
//                     every 10 ms from a thread of the benchmark's own (never waking it)
//   panel_us_per_msg  the workbench's whole-process CPU per message, as its summary says, less
//                     what the stall watch's thread took
//   engine_us_per_msg the same less the GUI thread's CPU: what the run's own threads took
//   cli_us_per_msg    smppcli's, as its --json says
//   ratio             panel_us_per_msg / cli_us_per_msg
// The window runs in an Xvfb of its own (or offscreen, with QT_QPA_PLATFORM=offscreen).
// Run: build/bench/workbench_load [--count N] [--turns N]   (2 000 000 messages: ten seconds)
#include <time.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QSpinBox>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/XvfbProcess.h"
#include "app/workbench/ComposerPanel.h"
#include "app/workbench/LoadPanel.h"
#include "app/workbench/Workbench.h"
#include "interop/SmscProcess.h"
#include "workbench/GuiProbe.h"

namespace {

constexpr int kRate = 200000;

double ThreadCpuSeconds() {
  timespec T{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &T);
  return static_cast<double>(T.tv_sec) + static_cast<double>(T.tv_nsec) / 1e9;
}

double Median(std::vector<double> V) {
  std::sort(V.begin(), V.end());
  return V[V.size() / 2];
}

// CPU seconds per message of a summary, less Foreign seconds of it, in microseconds; 0 when it is
// not a whole run.
double MicrosPerMessage(const nlohmann::json& J, long Count, double Foreign = 0) {
  if (!J.is_object() || J["counts"]["answered"].get<long>() != Count) return 0;
  return (J["cpu_s"].get<double>() - Foreign) * 1e6 / static_cast<double>(Count);
}

struct TPanelRun {
  double BusyPct = 0, StallMs = 0, MicrosPerMessage = 0, EngineMicros = 0;
};

TPanelRun RunPanel(TWorkbench& Wb, long Count) {
  TLoadPanel& L = *Wb.Load;
  L.Amount->setValue(static_cast<int>(Count));
  L.AmountUnit->setCurrentIndex(0);
  L.Rate->setValue(kRate);
  L.Window->setValue(1000);
  L.Binds->setValue(1);
  L.WaitReceipts->setChecked(false);
  TPanelRun R;
  QElapsedTimer Wall;
  Wall.start();
  const double Cpu0 = ThreadCpuSeconds();
  double WatchCpu = 0;
  {
    // Nothing of the benchmark's own wakes the GUI thread more than twice a second: what it costs
    // is the window's.
    benchgui::TStallWatch Watch;
    Wb.StartLoad();
    if (!L.Running()) return R;
    benchgui::RunUntil([&] { return !L.Running(); }, 600000, 500);
    R.StallMs = Watch.LongestStallMs();
    WatchCpu = Watch.CpuSeconds();
  }
  const double WallSeconds = static_cast<double>(Wall.nsecsElapsed()) / 1e9;
  const double GuiCpu = ThreadCpuSeconds() - Cpu0;
  R.BusyPct = GuiCpu * 100.0 / WallSeconds;
  // The watch and the GUI thread went on while the binds were made and closed: only their share
  // of the run counts.
  const nlohmann::json J = L.SummaryJson();
  const double Share = std::min(1.0, (J.is_object() ? J.value("seconds", 0.0) : 0.0) / WallSeconds);
  R.MicrosPerMessage = MicrosPerMessage(J, Count, WatchCpu * Share);
  R.EngineMicros = MicrosPerMessage(J, Count, (WatchCpu + GuiCpu) * Share);
  return R;
}

double RunCli(uint16_t Port, long Count) {
  const std::string Json = "/tmp/workbench_load_bench.json";
  const std::string Command =
      std::string(SMPPCLI) + " --port " + std::to_string(Port) + " --count " +
      std::to_string(Count) + " --tps " + std::to_string(kRate) +
      " --window 1000 --no-receipts --quiet --json " + Json + " 2>/dev/null";
  if (std::system(Command.c_str()) != 0) return 0;
  std::ifstream In(Json);
  const nlohmann::json J = nlohmann::json::parse(In, nullptr, false);
  std::remove(Json.c_str());
  return MicrosPerMessage(J, Count);
}

}  // namespace

int main(int Argc, char** Argv) {
  long Count = 2000000;
  int Turns = 3;
  for (int I = 1; I + 1 < Argc; ++I) {
    if (std::strcmp(Argv[I], "--count") == 0) Count = std::atol(Argv[I + 1]);
    if (std::strcmp(Argv[I], "--turns") == 0) Turns = std::max(1, std::atoi(Argv[I + 1]));
  }
  smpptest::XvfbProcess Xvfb;
  const char* Platform = std::getenv("QT_QPA_PLATFORM");
  if (!Platform || std::string(Platform) != "offscreen") {
    std::string Error;
    const std::string Display = Xvfb.Start(Error);
    if (Display.empty()) {
      std::fprintf(stderr, "workbench_load: %s\n", Error.c_str());
      return 1;
    }
    setenv("DISPLAY", Display.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
  }
  int QtArgc = 1;
  QApplication App(QtArgc, Argv);
  int Status = 0;
  {
    smpptest::SmscProcess Sink;
    Sink.useSink();
    if (!Sink.start()) {
      std::fprintf(stderr, "workbench_load: %s\n", Sink.error().c_str());
      return 1;
    }
    TWorkbench Wb;
    Wb.show();
    Wb.Port->setText(QString::number(Sink.port()));
    // The message smppcli sends by default: "Hello" as bytes, split when long, to 5551234.
    Wb.Composer->Coding->setCurrentText("bytes");
    Wb.Composer->LongMode->setCurrentIndex(0);
    Wb.Composer->Destinations->setText("5551234");
    Wb.LeftTabs->setCurrentIndex(Wb.LeftTabs->count() - 1);
    benchgui::RunUntil([] { return false; }, 500);
    std::vector<double> Busy, Stall, Panel, Engine, Cli, Ratio;
    for (int Turn = 0; Turn < Turns; ++Turn) {
      const double C = RunCli(Sink.port(), Count);
      const TPanelRun P = RunPanel(Wb, Count);
      if (C == 0 || P.MicrosPerMessage == 0) {
        std::fprintf(stderr, "workbench_load: a run did not complete (smppcli %g, panel %g)\n", C,
                     P.MicrosPerMessage);
        Status = 1;
        break;
      }
      std::printf(
          "turn %d: gui_busy_pct %.1f stall_ms %.1f panel_us_per_msg %.3f "
          "engine_us_per_msg %.3f cli_us_per_msg %.3f ratio %.3f\n",
          Turn + 1, P.BusyPct, P.StallMs, P.MicrosPerMessage, P.EngineMicros, C,
          P.MicrosPerMessage / C);
      Busy.push_back(P.BusyPct), Stall.push_back(P.StallMs), Panel.push_back(P.MicrosPerMessage);
      Engine.push_back(P.EngineMicros);
      Cli.push_back(C), Ratio.push_back(P.MicrosPerMessage / C);
    }
    if (Status == 0)
      std::printf(
          "median: gui_busy_pct %.1f stall_ms %.1f panel_us_per_msg %.3f "
          "engine_us_per_msg %.3f cli_us_per_msg %.3f ratio %.3f\n",
          Median(Busy), Median(Stall), Median(Panel), Median(Engine), Median(Cli), Median(Ratio));
  }
  TClientRunner::JoinFinished();
  return Status;
}
