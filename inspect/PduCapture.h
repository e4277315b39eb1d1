// TPduCapture: the client's PDU trace written out while a session runs, as a pcapng capture, as
// one trace line per PDU, or both. The client's threads push into a ring that waits rather than
// drops, so a capture holds every PDU; one thread of the capture's own drains it a few times a
// second and writes.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "inspect/PcapngWriter.h"
#include "inspect/PduTraceRing.h"

class TPduCapture {
 public:
  // Writes the capture to PcapPath (none when empty) and the trace lines to TraceOut (none when
  // null), and starts the writing thread. A file that cannot be created throws
  // std::runtime_error with the path and the reason. Application's thread.
  TPduCapture(const std::string& PcapPath, FILE* TraceOut);
  // Finish, when it was not called.
  ~TPduCapture();
  TPduCapture(const TPduCapture&) = delete;
  TPduCapture& operator=(const TPduCapture&) = delete;

  // The handler to give TSmppClient::SetPduTrace; it only copies the event into the ring. It
  // refers to this capture: remove it from the client before the capture goes.
  TPduTraceHandler Handler();

  // Writes what is left, ends the connections still open in the capture, closes the file and
  // stops the thread. Returns the first error met while writing (the file is then incomplete), or
  // an empty text. Call it once the client traces no more (the client gone, or its handler
  // removed). Application's thread; a second call returns the same result.
  std::string Finish();

  // Trace events written so far. Any thread.
  uint64_t Written() const;

 private:
  void Run();
  void Write(const std::vector<TPduTraceRecord>& Records);

  TPduTraceRing FRing{TPduTraceRing::kDefaultCapacity, TPduTraceRing::TWhenFull::wfWait};
  std::unique_ptr<TPcapngWriter> FPcap;
  FILE* const FTraceOut;
  // The writing thread's own: the capture's connection of each client connection (-1: none open)
  // and the last endpoints each had.
  int FOpen[3] = {-1, -1, -1};
  TTcpEndpoints FLast[3];
  int64_t FLastUs = 0;  // the latest time written to the capture
  std::string FLines;

  // Guards FStop, FError and FWritten.
  mutable std::mutex FLock;
  std::condition_variable FStopChanged;
  bool FStop = false;
  std::string FError;
  uint64_t FWritten = 0;
  bool FFinished = false;  // application's thread
  std::thread FThread;
};
