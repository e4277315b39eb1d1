// What the workbench benchmarks measure of the GUI thread: the event loop run until a condition
// holds, and the longest stall of the loop meanwhile.
#pragma once

#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

namespace benchgui {

constexpr int kProbeMs = 5;

// Runs the event loop (a real one, as the program's, not a test's polling) until Done holds or
// TimeoutMs has passed, asking every CheckMs. Returns Done().
bool RunUntil(const std::function<bool()>& Done, int TimeoutMs, int CheckMs = 20) {
  QEventLoop Loop;
  QTimer Check;
  QObject::connect(&Check, &QTimer::timeout, [&] {
    if (Done()) Loop.quit();
  });
  Check.start(CheckMs);
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

// The stall watch: a thread of its own that looks every IntervalMs at what the thread that made it
// (the GUI thread) is doing, and keeps the longest stretch it was anywhere but in its event loop's
// wait (poll or ppoll): running, runnable or blocked on anything else. Unlike the probe it never
// wakes the GUI thread, so a benchmark of the whole process's CPU does not count its cost.
class TStallWatch {
 public:
  explicit TStallWatch(int IntervalMs = 10) : FIntervalNs(IntervalMs * 1000000LL) {
    const std::string Path = "/proc/self/task/" + std::to_string(gettid()) + "/syscall";
    FFd = open(Path.c_str(), O_RDONLY | O_CLOEXEC);
    FThread = std::thread([this] { Watch(); });
  }
  ~TStallWatch() {
    FStop = true;
    FThread.join();
    if (FFd >= 0) close(FFd);
  }
  TStallWatch(const TStallWatch&) = delete;
  TStallWatch& operator=(const TStallWatch&) = delete;

  // The longest stall seen, to within the interval; -1 when the thread could not be watched.
  double LongestStallMs() const {
    return FFd < 0 ? -1 : static_cast<double>(FLongestNs.load()) / 1e6;
  }
  // The CPU time the watch itself has taken (each look costs the kernel some 30 us), for a
  // benchmark to take off the process's.
  double CpuSeconds() const { return static_cast<double>(FCpuNs.load()) / 1e9; }

 private:
  static int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  void Watch() {
    int64_t BusySince = -1;
    while (!FStop && FFd >= 0) {
      char Text[32] = {};
      const bool Read = pread(FFd, Text, sizeof Text - 1, 0) > 0;
      // "running", or the number of the system call the thread is blocked in.
      const long Call = Read && Text[0] >= '0' && Text[0] <= '9' ? std::atol(Text) : -1;
      const int64_t Now = NowNs();
      if (Call == SYS_poll || Call == SYS_ppoll) {
        BusySince = -1;
      } else {
        if (BusySince < 0) BusySince = Now;
        // Seen busy from BusySince to now, and perhaps up to an interval before.
        FLongestNs = std::max(FLongestNs.load(), Now - BusySince + FIntervalNs);
      }
      timespec Cpu{};
      clock_gettime(CLOCK_THREAD_CPUTIME_ID, &Cpu);
      FCpuNs = Cpu.tv_sec * 1000000000LL + Cpu.tv_nsec;
      std::this_thread::sleep_for(std::chrono::nanoseconds(FIntervalNs));
    }
  }

  const int64_t FIntervalNs;
  int FFd = -1;
  std::atomic<bool> FStop{false};
  std::atomic<int64_t> FLongestNs{0}, FCpuNs{0};
  std::thread FThread;
};

}  // namespace benchgui
