// The SMSC side's log of every PDU it reads and writes: one line per PDU, formatted from the raw
// bytes (the header fields by byte arithmetic, the whole PDU as hex), never through the decoder,
// so that a codec fault cannot hide in it. The ground truth that tests compare a client's figures
// with. The bytes are copied into large chunks with their time and connection; a thread of its
// own formats them and writes the lines in large writes when the traffic calms down (see
// WriterLoop), so that logging costs the answers little more than a copy.
//
// Line: <monotonic_ns> <conn> <in|out> 0x<command_id> 0x<command_status> <sequence> <hex>
// with command_id and command_status as 8 lowercase hex digits and the sequence in decimal.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
  // FFill := an empty chunk, a spare one when there is one (its pages are there already).
  // LogLock held.
  void NextChunk();
  // Formats the records of Records and writes the lines. Writing thread (or Close's, after it).
  bool WriteOut(const std::string& Records);

  // The buffer filled by Write, the one the writing thread is writing, and the flags. Guarded by
  // LogLock, a leaf lock (callers may hold their own lock around Write).
  std::mutex LogLock;
  std::condition_variable Changed;
  std::string FFill;                // the chunk being filled
  std::vector<std::string> FFull;   // full chunks, oldest first, waiting to be written
  std::vector<std::string> FSpare;  // written chunks kept for reuse
  size_t FHeld = 0;                 // bytes in FFill and FFull
  uint64_t FAdded = 0;              // bytes ever appended
  bool FStop = false;
  bool FClosed = false;
  int FFd = -1;  // written by Open and Close only; the writing thread owns the writes
  // The lines of one chunk, and the buffer's size; writing thread only.
  std::unique_ptr<char[]> FText;
  size_t FTextSize = 0;
  std::thread FWriter;
};

}  // namespace smsc
