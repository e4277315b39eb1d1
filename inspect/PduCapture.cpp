// TPduCapture: the ring drained by a thread of its own into the capture file and the trace lines.
#include "inspect/PduCapture.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "inspect/PduSummary.h"

namespace {

// How often the writing thread drains the ring. A full ring makes the client wait for it, so
// this also bounds that wait.
constexpr auto kDrainInterval = std::chrono::milliseconds(10);

int64_t WallUs(int64_t MonotonicNs) {
  return PduTraceWallNs(MonotonicNs) / 1000;
}

}  // namespace

TPduCapture::TPduCapture(const std::string& PcapPath, FILE* TraceOut) : FTraceOut(TraceOut) {
  if (!PcapPath.empty()) FPcap = std::make_unique<TPcapngWriter>(PcapPath);
  FThread = std::thread([this] { Run(); });
}

TPduCapture::~TPduCapture() {
  Finish();
}

TPduTraceHandler TPduCapture::Handler() {
  return [this](const TPduTraceEvent& Event) { FRing.Push(Event); };
}

uint64_t TPduCapture::Written() const {
  std::lock_guard<std::mutex> Guard(FLock);
  return FWritten;
}

void TPduCapture::Run() {
  std::vector<TPduTraceRecord> Records;
  for (;;) {
    bool Stop;
    {
      std::unique_lock<std::mutex> Guard(FLock);
      Stop = FStopChanged.wait_for(Guard, kDrainInterval, [this] { return FStop; });
    }
    // Drained once more after the stop is seen: what was pushed before Finish is written too.
    FRing.Drain(Records);
    Write(Records);
    if (Stop) break;
  }
  // The connections still open end at the capture's last time.
  const int64_t LastUs = FLastUs ? FLastUs : WallUs(PduTraceNowNs());
  std::string Error;
  try {
    if (FPcap) {
      for (int& Open : FOpen)
        if (Open >= 0) FPcap->CloseConnection(Open, LastUs), Open = -1;
      FPcap->Close();
    }
  } catch (const std::exception& E) {
    Error = E.what();
  }
  std::lock_guard<std::mutex> Guard(FLock);
  if (FError.empty()) FError = Error;
}

void TPduCapture::Write(const std::vector<TPduTraceRecord>& Records) {
  if (Records.empty()) return;
  if (FTraceOut) {
    FLines.clear();
    for (const TPduTraceRecord& R : Records) FLines += PduTraceLine(R) + '\n';
    std::fwrite(FLines.data(), 1, FLines.size(), FTraceOut);
    std::fflush(FTraceOut);
  }
  std::string Error;
  if (FPcap) {
    try {
      for (const TPduTraceRecord& R : Records) {
        const size_t C = static_cast<size_t>(R.Connection);
        if (C >= std::size(FOpen)) continue;
        // The PDUs of one read carry the read's time, which may lie before that of a PDU sent
        // while they were handled: the capture's times never go back.
        const int64_t Us = FLastUs = std::max(FLastUs, WallUs(R.MonotonicNs));
        switch (R.Kind) {
          case TPduTraceKind::tkOpened:
            if (FOpen[C] >= 0) FPcap->CloseConnection(FOpen[C], Us);
            FLast[C] = R.Endpoints;
            FOpen[C] = FPcap->AddConnection(R.Endpoints);
            break;
          case TPduTraceKind::tkClosed:
            if (FOpen[C] >= 0) FPcap->CloseConnection(FOpen[C], Us);
            FOpen[C] = -1;
            break;
          case TPduTraceKind::tkFailed:
            // No connection was made: nothing went over the wire. The trace line tells why.
            break;
          case TPduTraceKind::tkPdu:
            // A PDU sent in the instant between the socket's connect and the connection's start
            // being traced goes on a connection between the endpoints it had last.
            if (FOpen[C] < 0) FOpen[C] = FPcap->AddConnection(FLast[C]);
            FPcap->WritePdu(FOpen[C], R.Direction == TPduDirection::pdOut, Us, R.Bytes.data(),
                            R.Bytes.size());
            break;
        }
      }
    } catch (const std::exception& E) {
      // The file cannot take more; the trace lines still go on, and Finish tells.
      Error = E.what();
      FPcap.reset();
    }
  }
  std::lock_guard<std::mutex> Guard(FLock);
  FWritten += Records.size();
  if (FError.empty()) FError = Error;
}

std::string TPduCapture::Finish() {
  if (!FFinished) {
    FFinished = true;
    {
      std::lock_guard<std::mutex> Guard(FLock);
      FStop = true;
    }
    FStopChanged.notify_one();
    FThread.join();
  }
  std::lock_guard<std::mutex> Guard(FLock);
  return FError;
}
