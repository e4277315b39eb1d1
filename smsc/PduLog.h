// The SMSC side's log of every PDU it reads and writes: one line per PDU, formatted from the raw
// bytes (the header fields by byte arithmetic, the whole PDU as hex), never through the decoder,
// so that a codec fault cannot hide in it. The ground truth that tests compare a client's figures
// with. Lines are gathered in one large buffer and written by a thread of their own in large
// chunks, so that logging does not slow the answers down.
//
// Line: <monotonic_ns> <conn> <in|out> 0x<command_id> 0x<command_status> <sequence> <hex>
// with command_id and command_status as 8 lowercase hex digits and the sequence in decimal.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace smsc {

// Appends one line per PDU of the Size bytes at Bytes: each PDU is command_length bytes long (cut
// to what is there, and at least 16 bytes, or what is left). A piece shorter than a header gets
// its missing fields as 0. Pure; any thread.
void AppendLogLines(std::string& Out, int64_t Ns, uint32_t Conn, bool In, const uint8_t* Bytes,
                    size_t Size);

// The monotonic clock in nanoseconds, the log's time.
int64_t MonotonicNs();

class TPduLog {
 public:
  TPduLog() = default;
  TPduLog(const TPduLog&) = delete;
  TPduLog& operator=(const TPduLog&) = delete;
  // Closes (and so flushes) the log.
  ~TPduLog() { Close(); }

  // Creates (truncates) the file and starts the writing thread. False with the reason in Error.
  // Once, before any Write.
  bool Open(const std::string& Path, std::string& Error);
  bool IsOpen() const { return FFd >= 0; }
  // Appends the lines of these PDUs (see AppendLogLines). Any thread; waits only when the writing
  // thread has fallen far behind.
  void Write(int64_t Ns, uint32_t Conn, bool In, const uint8_t* Bytes, size_t Size);
  // Writes out everything appended so far, ends the writing thread and closes the file; later
  // writes are dropped. Any thread; the second call does nothing.
  void Close();

 private:
  void WriterLoop();
  bool WriteOut(const std::string& Chunk);

  // The buffer filled by Write, the one the writing thread is writing, and the flags. Guarded by
  // LogLock, a leaf lock (callers may hold their own lock around Write).
  std::mutex LogLock;
  std::condition_variable Changed;
  std::string FFill;
  std::string FOut;   // handed to the writing thread; empty when it has nothing to do
  bool FStop = false;
  bool FClosed = false;
  int FFd = -1;       // written by Open and Close only; the writing thread owns the writes
  std::thread FWriter;
};

}  // namespace smsc
