// The SMSC side without sockets: the connections' sessions (framing, binds, answers), the message
// ids, the routing of receipts to the receiver bound last with the transmitter's system_id, and the
// timed actions (late receipts, held batches, mobile-originated traffic), with every fault of
// TSmscFaults. It takes the bytes read from a connection and gives the bytes to write to each
// connection and the connections to close; a front end owns the sockets and the clock.
//
// Threads: the core has no lock of its own. The front end calls it from one thread at a time
// (under its own lock) and hands it the monotonic time of each call.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "smsc/SmscFaults.h"
#include "smsc/SmscPdus.h"

namespace smsc {

class TPduLog;

// What one call of the core leaves to do: bytes to write to connections (one buffer per
// connection, in the order they were first written to), then connections to close once their
// bytes have gone. Reused from call to call: Clear keeps the buffers' capacity.
class TActions {
 public:
  // The buffer of bytes to write to Conn; the reference holds until the next call of To.
  std::string& To(uint32_t Conn);
  void Close(uint32_t Conn) { FCloses.push_back(Conn); }
  void Clear() {
    FUsed = 0;
    FCloses.clear();
  }
  size_t WriteCount() const { return FUsed; }
  uint32_t WriteConn(size_t I) const { return FWrites[I].first; }
  const std::string& WriteBytes(size_t I) const { return FWrites[I].second; }
  const std::vector<uint32_t>& Closes() const { return FCloses; }
  // The bytes for Conn, empty when there are none.
  std::string BytesFor(uint32_t Conn) const;

 private:
  std::vector<std::pair<uint32_t, std::string>> FWrites;
  size_t FUsed = 0;
  std::vector<uint32_t> FCloses;
};

class TSmscCore {
 public:
  // WallClock gives the time of the receipts' dates (time(nullptr) when empty).
  explicit TSmscCore(TSmscFaults Faults, std::function<time_t()> WallClock = {});
  ~TSmscCore();

  // The log of the PDUs read (those written are the front end's to log as it writes them); null
  // for none. It must outlive the core's use.
  void SetLog(TPduLog* Log) { FLog = Log; }

  // A new connection: its number (1, 2, ...).
  uint32_t Open();
  // The Size bytes read from Conn at NowNs: frames them (a PDU may come in pieces, several in
  // one read) and answers every complete PDU.
  void Feed(uint32_t Conn, const uint8_t* Bytes, size_t Size, int64_t NowNs, TActions& Out);
  // Conn has closed: it is forgotten, with whatever was held for it.
  void Closed(uint32_t Conn);
  // Runs the timed actions due at NowNs. The first call (or Feed) starts the MO traffic's clock.
  void Tick(int64_t NowNs, TActions& Out);
  // The time of the next timed action, or INT64_MAX when none is waiting.
  int64_t NextDeadline() const;

  const TSmscFaults& Faults() const { return FFaults; }

 private:
  struct TSession;
  struct TReceiptPlan;
  struct TResponse;
  struct TTimed {
    int64_t At;
    uint64_t Order;
    std::function<void(int64_t, TActions&)> Run;
    bool operator>(const TTimed& O) const { return At != O.At ? At > O.At : Order > O.Order; }
  };

  TSession* Find(uint32_t Conn);
  void Schedule(int64_t At, std::function<void(int64_t, TActions&)> Run);
  void Handle(TSession& S, const uint8_t* Pdu, size_t Size, int64_t NowNs, TActions& Out);
  void Bind(TSession& S, const uint8_t* Pdu, size_t Size, int64_t NowNs, TActions& Out);
  void Submit(TSession& S, const uint8_t* Pdu, size_t Size, int64_t NowNs, TActions& Out);
  // A response is ready: sent now, or held for a reversed batch.
  // R may be left empty (moved into a batch).
  void Respond(TSession& S, TResponse& R, int64_t NowNs, TActions& Out);
  // A response goes out, its receipts with it or after it.
  void Release(uint32_t Conn, TResponse& R, int64_t NowNs, TActions& Out);
  void FlushBatch(TSession& S, int64_t NowNs, TActions& Out);
  void SendReceipt(const TReceiptPlan& P, bool Final, int64_t NowNs, TActions& Out);
  // The receiver or transceiver bound last with this system_id, or null.
  TSession* ReceiverOf(const std::string& SystemId);
  void Unroute(TSession& S);
  void StartMo(int64_t NowNs);
  void ScheduleMo(int64_t NowNs);
  void MoTick(int64_t NowNs, TActions& Out);
  std::string IdText(uint64_t Number, bool ForReceipt) const;
  std::string DateText(time_t T);
  const std::string& DrawState();

  TSmscFaults FFaults;
  std::function<time_t()> FWallClock;
  TPduLog* FLog = nullptr;
  uint32_t FNextConn = 1;
  std::unordered_map<uint32_t, std::unique_ptr<TSession>> FSessions;
  // Receivers and transceivers by system_id, the one bound last at the back.
  std::unordered_map<std::string, std::vector<uint32_t>> FReceivers;
  uint64_t FNextNumber;
  uint64_t FNextStray = kFirstStrayId;
  std::mt19937_64 FRng;
  uint64_t FStateTotal = 0;
  // The timed actions as a heap, the earliest (then the first scheduled) at the front.
  std::vector<TTimed> FTimed;
  uint64_t FTimedOrder = 0;
  // Mobile-originated traffic: when it began, how many ticks' worth were due so far, and the
  // number of the last message sent.
  bool FMoStarted = false;
  int64_t FMoStartNs = 0;
  uint64_t FMoDue = 0;
  uint64_t FMoNumber = 0;
  // The last wall-clock second turned into a date, and its text.
  time_t FDateOf = -1;
  std::string FDate;
  TSubmitFields FFields;                // reused by every submit
  std::unique_ptr<TResponse> FScratch;  // likewise
};

}  // namespace smsc
