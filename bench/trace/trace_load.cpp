// trace_load: what the PDU trace costs a load run. Sends --count submits at --window to an SMSC
// (build/tools/smsc_sink) through TSmppClient, the next submit sent from the transmitter's
// notification and each submit and answer timed for the latencies as smppcli does (by the
// client's own time stamps, which the trace shares), and prints the process's CPU time per
// message. With --trace every
// PDU is copied into a TPduTraceRing, drained 30 times a second as a live view drains it; with
// --empty the handler does nothing (what the trace's clock and call cost alone). Run it with and
// without to compare.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "inspect/PduTraceRing.h"
#include "load/Matcher.h"
#include "smpp/smppclient.h"

namespace {

double CpuSeconds() {
  rusage U{};
  getrusage(RUSAGE_SELF, &U);
  return U.ru_utime.tv_sec + U.ru_stime.tv_sec + (U.ru_utime.tv_usec + U.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int Argc, char** Argv) {
  int Port = 0;
  long Count = 100000, Window = 1000;
  bool Traced = false, Empty = false;
  for (int I = 1; I < Argc; ++I) {
    const std::string A = Argv[I];
    if (A == "--port" && I + 1 < Argc)
      Port = std::atoi(Argv[++I]);
    else if (A == "--count" && I + 1 < Argc)
      Count = std::atol(Argv[++I]);
    else if (A == "--window" && I + 1 < Argc)
      Window = std::atol(Argv[++I]);
    else if (A == "--trace")
      Traced = true;
    else if (A == "--empty")
      Traced = Empty = true;
    else {
      std::fprintf(stderr,
                   "usage: trace_load --port PORT [--count N] [--window N] [--trace | --empty]\n");
      return 2;
    }
  }
  std::mutex Lock;
  std::condition_variable Changed;
  bool RcxBound = false, TcxBound = false;
  long Sent = 0, Answered = 0;  // Lock
  load::TMatcher Matcher(0);    // Lock
  const int64_t T0 = PduTraceNowNs();

  auto Client = std::make_unique<TSmppClient>(nullptr);
  Client->ClientInfo().SetHost("127.0.0.1");
  Client->ClientInfo().SetPort(Port);
  Client->ClientInfo().SetUserID("bench");
  Client->ClientInfo().SetPassword("bench");
  TPduTraceRing Ring;
  std::atomic<bool> Stop{false};
  std::thread Drainer;
  if (Traced) {
    if (Empty)
      Client->SetPduTrace([](const TPduTraceEvent&) {});
    else
      Client->SetPduTrace([&Ring](const TPduTraceEvent& E) { Ring.Push(E); });
    Drainer = std::thread([&] {
      std::vector<TPduTraceRecord> Records;
      while (!Stop.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(33));
        Ring.Drain(Records);
      }
    });
  }
  // Sends while the window has room; P's lock is not held across Send.
  auto Pump = [&] {
    std::unique_lock<std::mutex> G(Lock);
    while (Sent < Count && Sent - Answered < Window) {
      ++Sent;
      G.unlock();
      static thread_local std::vector<uint32_t> Sequences;
      int64_t SentNs = 0;
      Client->Send("1234", "5551234", "", "Hello", &Sequences, &SentNs);
      G.lock();
      for (const uint32_t S : Sequences) Matcher.Submitted(S, (SentNs - T0) / 1000);
    }
  };
  Client->SetRcxOnData([&](TSmppClient* C) {
    if (C->Rcx().rcxData() != "bind Rcx OK") return;
    std::lock_guard<std::mutex> G(Lock);
    RcxBound = true;
    Changed.notify_all();
  });
  Client->SetTcxOnData([&](TSmppClient* C) {
    const std::string Line = C->Tcx().tcxData();
    if (Line.rfind("+IN_QUEUE", 0) == 0) {
      uint8_t Header[kPduHeaderLength];
      const uint32_t Sequence = C->Tcx().ReadReportedBytes(Header, sizeof Header) == sizeof Header
                                    ? GetU32(Header + 12)
                                    : 0;
      const int64_t ReadNs = C->Tcx().ReadTimeNs();
      {
        std::lock_guard<std::mutex> G(Lock);
        Matcher.Responded(Sequence, 0, Line.substr(13), (ReadNs - T0) / 1000);
        if (++Answered == Count) Changed.notify_all();
      }
      Pump();
    } else if (Line == "bind Tcx OK") {
      std::lock_guard<std::mutex> G(Lock);
      TcxBound = true;
      Changed.notify_all();
    }
  });
  Client->Connect();
  {
    std::unique_lock<std::mutex> G(Lock);
    if (!Changed.wait_for(G, std::chrono::seconds(10), [&] { return RcxBound && TcxBound; })) {
      std::fprintf(stderr, "trace_load: the SMSC did not accept both binds\n");
      return 1;
    }
  }
  const double Cpu0 = CpuSeconds();
  const auto Start = std::chrono::steady_clock::now();
  Pump();
  {
    std::unique_lock<std::mutex> G(Lock);
    if (!Changed.wait_for(G, std::chrono::seconds(120), [&] { return Answered == Count; })) {
      std::fprintf(stderr, "trace_load: only %ld of %ld answered\n", Answered, Count);
      return 1;
    }
  }
  const double Cpu = CpuSeconds() - Cpu0;
  const double Seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
  std::printf(
      "%s: %ld messages in %.3f s, CPU %.3f us per message, %llu PDUs traced, "
      "response latency p50 %lld us\n",
      Traced ? "traced" : "untraced", Count, Seconds, Cpu * 1e6 / Count,
      static_cast<unsigned long long>(Ring.Pushed()),
      static_cast<long long>(Matcher.ResponseLatency().Percentile(500)));
  Client->SetRcxOnData({});
  Client->SetTcxOnData({});
  Client.reset();
  Stop.store(true);
  if (Drainer.joinable()) Drainer.join();
  return 0;
}
