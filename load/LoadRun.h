// A load run: messages submitted over one or more binds to one SMSC at a rate and within a window
// per bind, every response paired with its submit and every delivery receipt with its message id,
// the latencies kept in histograms, the figures of every second published, and a summary and a
// verdict at the end. Front ends (smppcli, the workbench) only give the options, show the lines
// and print the summary: the run itself is here, the same for all of them.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "load/Matcher.h"
#include "load/RateLimiter.h"
#include "load/Summary.h"

#include "smpp/smppclient.h"

namespace load {

struct TLoadOptions {
  long Binds = 1;  // bind pairs (or transceivers), each with its own window and share of Tps
  bool Transceiver = false;
  long Count = 1;              // messages to send, unless Duration is given
  double Duration = 0;         // seconds of sending; 0 sends Count messages
  double Tps = 0;              // submits per second of the whole run, split evenly; 0 unlimited
  long Window = 1000;          // most submits unanswered at once, per bind
  double WaitSeconds = 30;     // for the binds, and the longest silence before the run gives up
  long Parts = 1;              // the most submits one message takes; its parts go together
  long ReceiptsPerSubmit = 1;  // receipts awaited per accepted submit; 0 awaits none
  TReceiptIds ReceiptIds = TReceiptIds::riAuto;
  std::vector<std::string> ExpectStat = {"DELIVRD"};  // receipt states that pass
  std::string Host;                                   // for the texts of errors
  int Port = 0;
  std::string Source, Destination, Validity, Text;
  // When given, the destination and text of message N (1-based), written into the strings given
  // (whose storage is reused); called under the run's lock, once per message.
  std::function<void(uint64_t N, std::string& Destination, std::string& Text)> Vary;
  // Keep the answers to requests other than submits (query_sm, cancel_sm, raw PDUs) of bind 0,
  // for WaitAnswer.
  bool KeepAnswers = false;
};

// What the run shows while it goes: the counts so far. Any thread.
struct TLiveFigures {
  long Sent = 0, Answered = 0, Receipts = 0, InFlight = 0, Dropped = 0;
};

// The answers by command_status and the receipts by state so far. Any thread.
struct TLiveStates {
  std::map<uint32_t, long> Statuses;
  std::map<std::string, long> ReceiptStates;
};

class TLoadRun {
 public:
  // Makes one configured client (host, port, credentials, submit settings); called once per
  // bind by the constructor. The run sets the client's notifications itself.
  using TClientFactory = std::function<std::unique_ptr<TSmppClient>()>;
  // Every report line of every bind, as it comes, for a front end that shows them: on the
  // client's worker and timer threads with the connection's report lock held. It must not call
  // into the run.
  // Receiver tells the receiver's lines (a transceiver's deliveries among them) from the
  // transmitter's.
  using TLineObserver =
      std::function<void(int Bind, bool Receiver, TSMPPConnection& Conn, const std::string& Line)>;

  TLoadRun(TLoadOptions Options, const TClientFactory& Make, TLineObserver Observer = {});
  // Closes the binds still open.
  ~TLoadRun();
  TLoadRun(const TLoadRun&) = delete;
  TLoadRun& operator=(const TLoadRun&) = delete;

  // Connects every bind and waits until all are bound, one fails, the run is stopped or the wait
  // passes. Gives the error, empty when all are bound. The thread that calls Run.
  std::string Bind();
  TSmppClient& Client(int Bind = 0);
  // After Bind, with KeepAnswers: waits for the answer to the request Sequence sent on bind 0
  // and gives its status. Gives false when none came within the wait (Failure empty) or the run
  // failed (Failure says why).
  bool WaitAnswer(uint32_t Sequence, uint32_t& Status, std::string& Failure);
  // Sends the messages and waits for their answers and receipts. Gives the verdict: empty when
  // every submit was accepted and every receipt came in an expected state, else the reason.
  // The thread that called Bind.
  std::string Run();
  // Stops the run as its user asked: nothing more is sent, the answers to what was sent are
  // waited for at most kStopWait, and the run fails ("stopped by the user after 3.2 s"); its
  // summary says so (Stopped, StoppedAfterS). Any thread, at any time (also while binding).
  void Stop();
  static constexpr std::chrono::seconds kStopWait{2};
  // Unbinds and closes every bind; blocks for the unbind's wait. The thread that called Run.
  void Close();

  TLiveFigures Live() const;   // any thread
  TLiveStates States() const;  // any thread; copies two small maps, for a view a few times a second
  // The seconds completed so far, from the From-th on; each is published once it has ended.
  // Any thread.
  std::vector<TSecond> Seconds(size_t From = 0) const;
  // The counts, histograms, binds and seconds of the run, with Seconds, CpuSeconds and StartUnix
  // of Run. After Run (and preferably Close, so that no answer changes it meanwhile).
  TSummary Summary() const;

 private:
  using TClock = std::chrono::steady_clock;
  struct TBindState;
  enum class TWaiting { Nothing, Binds, Room, End };

  void OnTcxLine(TBindState& B, TSmppClient& C);
  // The answers of a read wait in their bind until the read is done, and are then recorded under
  // one hold of FLock; its receipts wait in the bind's ring for whoever holds FLock next.
  void OnResponse(TBindState& B, const TSmppClient::TSubmitResponse& R);
  void OnReceipt(TBindState& B, const TSmppClient::TReceipt& R);
  void OnReadDone(TBindState& B, bool Transmits);
  // A session of one of B's connections ended. On its worker thread, with no lock held.
  void OnSessionClosed(TBindState& B, bool Transmits);
  // The receipts in every bind's ring, counted. With AwaitedOnly, each ring only up to a receipt
  // whose answer is not recorded yet (it stays for a later drain instead of being held by the
  // matcher; the Run thread drains them all at least once a second). FLock held.
  void DrainReceipts(bool AwaitedOnly = false);
  // A response to a submit of B, and a delivery receipt, read at ReadNs. FLock held.
  // Unsuccess: the destinations a submit_multi_resp refused (see TMatcher::Responded).
  void Responded(TBindState& B, uint32_t Sequence, uint32_t Status, const std::string& MessageId,
                 int64_t ReadNs, std::string_view Unsuccess = {});
  // With AwaitedOnly, gives false (counting nothing) for a receipt that the matcher would hold.
  // Source and Notification as TMatcher::Receipt takes them.
  bool ReceiptCame(const std::string& MessageId, std::string_view Stat, std::string_view Err,
                   int64_t ReadNs, bool AwaitedOnly = false, std::string_view Source = {},
                   bool Notification = false);
  void OnRcxLine(TBindState& B, TSmppClient& C);
  // Sends while some bind is up with room, the rate allows and something is left to send.
  // Preferred is the bind whose response made room, or -1. G holds FLock, released around each
  // Send. Gives how long until a bind with room may send by its rate, or 0 when none has room.
  TMicros Pump(std::unique_lock<std::mutex>& G, int Preferred);
  // B is up, with room for a message in its window. FLock held.
  bool HasRoom(const TBindState& B) const;
  // A bind may take a message and awaits no response: no response's thread will send on it, the
  // Run thread must. FLock held.
  bool IdleBindWaits() const;
  // A session of B's transmitter ended: its submits in flight are never answered. One that was
  // bound is counted lost while the run goes, and the time without it starts. FLock held.
  void SessionEnded(TBindState& B);
  // The binds made again, the sessions lost and the seconds without a bound transmitter, over
  // every bind. FLock held.
  void Losses(long& Reconnects, long& Lost, double& UnboundSeconds) const;
  // The counts of the second under way, into S. FLock held.
  void Tally(TSecond& S) const;
  // Publishes the seconds that ended before Now. FLock held.
  void Roll(TMicros Now);
  // Waits on G until Done holds, a failure is seen or nothing was answered for the wait;
  // publishes each second meanwhile. Gives Done().
  bool WaitForAnswers(std::unique_lock<std::mutex>& G, const std::function<bool()>& Done);
  void WakeIfDue();
  bool Finished() const;
  bool SendingDone() const;
  bool AllBound() const;
  TMicros Now() const;
  TMicros MicrosOf(int64_t Ns) const;
  void Fail(const std::string& Why);  // the first fatal condition; FLock held
  std::string Verdict(bool Done) const;
  // When the wait for answers of a stopped run ends. FLock held, FStopped set.
  TClock::time_point StopDeadline() const { return FStopTime + kStopWait; }

  const TLoadOptions FOptions;
  // Options.Destination lists several: every message is a submit_multi (unless Vary is given).
  const bool FMultiDestination = FOptions.Destination.find(',') != std::string::npos;
  const TClock::duration FWait;
  TLineObserver FObserver;
  std::vector<std::unique_ptr<TBindState>> FBinds;

  // Everything below is guarded by FLock, which the clients' notifications take with their
  // connection's report lock held (report lock, then FLock; never the other way: Send and the
  // other client calls are made with FLock released).
  mutable std::mutex FLock;
  std::condition_variable FChanged;
  TWaiting FWaiting = TWaiting::Nothing;  // what the Run thread waits for, so that it is woken
                                          // only when that may have come
  std::string FFailure;
  bool FBinding = true;  // before every bind was up once: a failed bind ends the run
  bool FStopped = false, FAllSent = false;
  TClock::time_point FStopTime;  // when Stop came, with FStopped
  // Set once the run's end was reached (the verdict given) or its binds are closing: losses,
  // reconnects and the time without a transmitter count no more, so that the summary's figures
  // are those of the verdict.
  bool FEnded = false;
  TClock::time_point FT0 = TClock::now(), FSendUntil;
  long FClaimed = 0, FMessages = 0;
  size_t FNextBind = 0;
  TMicros FLastAnswer = 0;  // the last answer, or submit into an empty window: the wait counts
                            // from here
  TMatcher FMatcher;
  std::map<uint32_t, uint32_t> FAnswers;  // request sequence -> status, with KeepAnswers
  // The second being counted, and the counts at its start; seconds end on the wall clock's.
  TSecond FSecond;
  TMicros FSecondEnd = INT64_MAX;  // until Run starts the first second
  long FSentAt0 = 0, FAnsweredAt0 = 0, FReceiptsAt0 = 0;
  std::map<uint32_t, long> FStatusesAt0;
  std::vector<TSecond> FSeries;
  // Set while the Run thread waits for the end, when a receipt may be the last thing awaited: a
  // receiving thread that pushed receipts then drains the rings itself and wakes it, and the
  // transmitters drain every receipt, awaited or not. Written by the Run thread with FLock held.
  // Between the ring's tail and this flag each side writes one and reads the other with a full
  // fence between, so that a receipt is either seen by the Run thread's drain or drained by its
  // own thread.
  std::atomic<bool> FEndAwaited{false};
  double FStartUnix = 0, FSeconds = 0, FCpuSeconds = 0;
  const std::string FRunId;  // random, made with the run; every summary of it carries it
};

}  // namespace load
