// What the workbench benchmarks measure of the GUI thread: the event loop run until a condition
// holds, and the longest stall of the loop meanwhile.
#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <functional>

namespace benchgui {

constexpr int kProbeMs = 5;

// Runs the event loop (a real one, as the program's, not a test's polling) until Done holds or
// TimeoutMs has passed. Returns Done().
bool RunUntil(const std::function<bool()>& Done, int TimeoutMs) {
  QEventLoop Loop;
  QTimer Check;
  QObject::connect(&Check, &QTimer::timeout, [&] {
    if (Done()) Loop.quit();
  });
  Check.start(20);
  QTimer::singleShot(TimeoutMs, &Loop, &QEventLoop::quit);
  if (!Done()) Loop.exec();
  return Done();
}

// The stall probe: a precise timer (5 ms unless told) whose ticks are recorded while the object
// lives; a gap between two ticks beyond the interval is time the event loop could not turn.
class TStallProbe {
 public:
  explicit TStallProbe(int IntervalMs = kProbeMs) : FIntervalMs(IntervalMs) {
    Clock.start();
    Timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&Timer, &QTimer::timeout, [this] {
      const qint64 Now = Clock.nsecsElapsed();
      LongestGapNs = std::max(LongestGapNs, Now - LastTickNs);
      LastTickNs = Now;
    });
    Timer.start(FIntervalMs);
  }
  double LongestStallMs() const {
    return std::max(0.0, static_cast<double>(LongestGapNs) / 1e6 - FIntervalMs);
  }

 private:
  const int FIntervalMs;
  QElapsedTimer Clock;
  QTimer Timer;
  qint64 LastTickNs = 0, LongestGapNs = 0;
};

}  // namespace benchgui
