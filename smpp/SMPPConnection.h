// TSMPPConnectionRcx and TSMPPConnectionTcx: the objects behind the client's Rcx and Tcx
// properties. Each holds one connection's keep-alive settings, its socket, its current report
// line with the hex dump of the last read, and the raw bytes of that read.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "base/Published.h"
#include "net/IcsSocket.h"

// What the receiver and the transmitter object share. The client component's handlers write it
// on the connection's worker thread and on the timer threads; the application reads it inside the
// notification, on the thread that called it.
class TSMPPConnection : public TPersistent {
 public:
  // Capacity of the raw-byte store of the last read.
  static constexpr int32_t BinBufferSize = 10004;

  TSMPPConnection();
  ~TSMPPConnection() override;

  // Copies the raw bytes of the last read into Buffer: at most Capacity bytes (none when Capacity
  // is not positive); Length becomes the number of bytes copied. Any thread.
  void ReadBinData(int32_t& Length, void* Buffer, int32_t Capacity) const;
  // Keeps Length bytes of Buffer as the raw bytes of the last read (at most BinBufferSize; a
  // negative length keeps none). Capacity is the size of Buffer as the caller knows it; no more
  // than that is read from it. Any thread.
  void WriteBinData(int32_t Length, const void* Buffer, int32_t Capacity);
  int32_t BinLength() const;
  // The read being reported: its hex dump (the rcxBinData / tcxBinData text) and its raw bytes
  // (at most BinBufferSize), set together. Any thread.
  void SetRead(const uint8_t* Bytes, size_t Length);
  // Sets the report text (rcxData / tcxData) to Prefix followed by Rest, reusing its storage.
  // Any thread.
  void SetReportText(std::string_view Prefix, std::string_view Rest);
  // Sets the report text (rcxData / tcxData) to Line, reusing its storage. Any thread.
  void SetReportLine(std::string_view Line);
  // Inside a notification: copies the raw bytes of the read being reported into Buffer (at most
  // Capacity) and returns their count; 0 when the report is not that of a read (its hex dump is
  // empty). Any thread.
  int32_t ReadReportedBytes(void* Buffer, int32_t Capacity) const;
  // Empties the report text and the hex dump after a read has been reported. Any thread.
  void ClearReport();
  // Inside a notification that reports a read: when the socket read that brought the PDU was
  // taken, on the PDU trace's clock (PduTraceNowNs); 0 for any other report. The PDUs of one read
  // share it, so a load run that times its answers by it reads the clock once per read, and the
  // trace and the latencies agree. Any thread.
  int64_t ReadTimeNs() const { return FReadTimeNs.load(std::memory_order_relaxed); }
  void SetReadTimeNs(int64_t Ns) { FReadTimeNs.store(Ns, std::memory_order_relaxed); }

  // The connection's socket, created with no owner; freed by the client component (FreeSocket),
  // before the object itself.
  TIcsSocket* Socket() const { return FSocket.get(); }
  void FreeSocket() { FSocket.reset(); }

  // The running idle count behind rcxIdle / tcxIdle, for the keep-alive tick's update.
  std::atomic<int32_t>& IdleCount() { return FIdle; }
  // rcxTimerInterval / tcxTimerInterval, for the keep-alive tick of either connection.
  int32_t TimerInterval() const { return FTimerInterval.load(); }
  // The sequence_number of the last PDU read, under the same name on both objects.
  int32_t cmd_seq() const { return Fcmd_seq.load(); }
  void Set_cmd_seq(int32_t Value) { Fcmd_seq.store(Value); }

  // Held by the client from setting a report text through the notification to emptying the
  // text again, so that one connection's reports never interleave (a keep-alive tick, the worker
  // and Disconnect each take it). Recursive, so that a notification handler may call Send.
  mutable std::recursive_mutex ReportLock;
  // Serialises the operations on the connection's socket (Send, Connect, the setters) across the
  // client's owner thread, the worker and the timers. Taken after ReportLock where both are held.
  std::mutex SocketLock;
  // Counts the connects of the socket: raised under SocketLock before each one, so that bytes
  // meant for one session (a delayed answer) are never sent in a later one. Any thread.
  std::atomic<uint32_t> SessionCount{0};

 protected:
  // The fields behind the rcx/tcx-named properties of the two derived classes.
  std::atomic<int32_t> FTimerInterval{0};  // idle ticks tolerated before an enquire_link
  std::atomic<int32_t> FIdle{0};           // running idle count; the read handler and the tick
  std::atomic<int32_t> Fcmd_seq{0};        // sequence_number of the last PDU read
  std::atomic<int64_t> FReadTimeNs{0};     // see ReadTimeNs
  // TextLock guards the texts and the raw-byte store. It is never held while anything else is
  // taken, so a notification of one connection may read the other connection's texts.
  mutable std::mutex TextLock;
  std::string FData;  // TextLock
  // The hex dump of the read being reported, made on demand: while FHexDumpOwed is set it is that
  // of the raw-byte store, not yet written into FBinData. Both TextLock.
  mutable std::string FBinData;
  mutable bool FHexDumpOwed = false;
  // Writes the owed hex dump into FBinData. Under TextLock.
  void MakeHexDump() const;

  std::string GetText(const std::string& Field) const;
  void SetText(std::string& Field, const std::string& Value);

 private:
  std::unique_ptr<TIcsSocket> FSocket;
  uint8_t FBinBuffer[BinBufferSize] = {};  // TextLock
  int32_t FBinLength = 0;                  // TextLock
};

// The receiver connection's object. Creating it also sets the application-wide date and time
// formats that the receiver's report timestamps use ("mmddyyyy", "hhmmss", no separators).
class TSMPPConnectionRcx : public TSMPPConnection {
 public:
  TSMPPConnectionRcx();

  int32_t rcxTimerInterval() const { return FTimerInterval.load(); }
  void Set_rcxTimerInterval(int32_t Value) { FTimerInterval.store(Value); }
  int32_t rcxIdle() const { return FIdle.load(); }
  void Set_rcxIdle(int32_t Value) { FIdle.store(Value); }
  std::string rcxData() const { return GetText(FData); }
  void Set_rcxData(const std::string& Value) { SetText(FData, Value); }
  std::string rcxBinData() const { return GetText(FBinData); }
  void Set_rcxBinData(const std::string& Value) { SetText(FBinData, Value); }

  // rcxTimerInterval (default 10), rcxIdle (10), cmd_seq (-1), rcxData, rcxBinData.
  void PublishProperties(TPublishedProperties& Props) override;
};

// The transmitter connection's object.
class TSMPPConnectionTcx : public TSMPPConnection {
 public:
  int32_t tcxTimerInterval() const { return FTimerInterval.load(); }
  void Set_tcxTimerInterval(int32_t Value) { FTimerInterval.store(Value); }
  int32_t tcxIdle() const { return FIdle.load(); }
  void Set_tcxIdle(int32_t Value) { FIdle.store(Value); }
  std::string tcxData() const { return GetText(FData); }
  void Set_tcxData(const std::string& Value) { SetText(FData, Value); }
  std::string tcxBinData() const { return GetText(FBinData); }
  void Set_tcxBinData(const std::string& Value) { SetText(FBinData, Value); }

  // tcxIdle (default 10), cmd_seq (-1), tcxTimerInterval (10), tcxData, tcxBinData.
  void PublishProperties(TPublishedProperties& Props) override;
};

// The hex dump of a read: for each of the first 150 bytes (or all when fewer), two uppercase
// hexadecimal digits and a space.
std::string HexDump(const uint8_t* Bytes, size_t Count);
// HexDump into Out, reusing its storage.
void HexDumpInto(std::string& Out, const uint8_t* Bytes, size_t Count);
