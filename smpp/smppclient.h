// TSmppClient: the SMPP client component. It binds a receiver connection (Rcx, bind_receiver) and
// a transmitter connection (Tcx, bind_transmitter) to one SMSC, submits messages (Send), answers
// what the SMSC delivers, keeps both links alive with enquire_link, reconnects each by itself, and
// reports every event as one line of text through RcxOnData and TcxOnData.
//
// Threads. The client is driven from one thread, its owner's: it is created, connected,
// disconnected and destroyed there, never from inside a notification. That thread need not be the
// GUI's: Form1 drives its client from the GUI thread, the workbench from a thread of its own, so
// that Disconnect's wait never holds up the window. Send and the other requests may be called from
// any thread (see Send). The receiver's socket handlers run on the receiver socket's worker thread,
// the transmitter's (or the transceiver's) on the transmitter's; the timer ticks run on their own
// timer threads, and delayed answers go out on the answer thread, which never notifies.
// Notifications are therefore called on the worker and timer threads (only the reports of
// Disconnect come on the caller's thread). While a notification runs, that connection's report
// lock is held: the handler reads Rcx.rcxData / Tcx.tcxData (and rcxBinData, ReadBinData) during
// the call and must not block waiting for another thread that reports on the same connection.
//
// Byte stream. Each connection keeps the bytes it has read but not yet handled. Every complete PDU
// is handled in order as one read: decoded, answered, reported with its own text, hex dump and raw
// bytes, notified, emptied. A command_length below 16 or above 10000 cannot be resynchronised: the
// connection reports "Rcx invalid PDU length N" (or "Tcx ..."), answers generic_nack with status
// 0x00000002, closes, and reconnects as after any lost connection. A PDU longer than 10000 bytes
// but at most 65536 is no fault: it is answered with "invalid message length" (0x00000001) in its
// own response, or generic_nack when there is none, reported as "Rcx PDU length N too long,
// dropped" (or "Tcx ..."), and its bytes are read through and dropped; the connection stays up.
//
// Watchdog. Each keep-alive enquire_link starts that connection's watchdog, and the answer to it
// stops it. A watchdog tick that finds the last enquire_link unanswered one full period after it
// was sent unbinds, closes, waits DisconnectWaitMs, connects again and reports "tcx reconnect".
//
// Lost before the bind answer. A connection that the SMSC closes after "Rcx Connected." (or
// "Tcx Connected.") and before the answer to its bind came is reported as "Rcx closed by the
// SMSC before the bind answer" (or "Tcx ..."), with " (does the SMSC want TLS?)" appended when
// the connection ran without TLS: a TLS-only SMSC drops a plain bind without a word. It is then
// made again as after any lost connection.
//
// Transceiver. With ClientInfo.bind_mode bmTransceiver, Connect makes one connection instead of
// the pair, bound with bind_transceiver, that submits and receives, with the keep-alive, watchdog
// and reconnect of either connection of the pair. It uses the transmitter object's socket and
// tcxTimerInterval, and reports with "Trx" where the pair says "Rcx" or "Tcx" ("Trx Connected.",
// "bind Trx OK", "trx disconnected", "trx reconnect"). Deliveries and receipts (the lines of
// RcxDeliverLine) are reported through RcxOnData with their text in Rcx.rcxData and their bytes
// in Rcx's hex dump and raw-byte store, as the receiver reports them; every other line through
// TcxOnData. Connect reads bind_mode only while no connection of the client is open: change it
// while disconnected. The transceiver's handlers run on the transmitter socket's worker thread and
// its ticks on its own three timer threads.
//
// Our answers. Each deliver_sm and data_sm that a receiving connection reads is answered by
// ClientInfo.DeliverAnswer: with its command_status, at once or deliver_resp_delay_ms later, or
// not at all (deliver_no_answer); it is reported either way. A delayed answer waits in its
// connection's queue and is sent by the client's answer thread (started with the first one, ended
// by the destructor) when due; the connection reads and answers everything else meanwhile.
// Answers still waiting when their connection closes are dropped: they belong to that session.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/Component.h"
#include "base/Published.h"
#include "smpp/PduTrace.h"
#include "smpp/SMPPClientInfo.h"
#include "smpp/SMPPConnection.h"
#include "smpp/SimpleTimer.h"
#include "smpp/smpppdu.h"

class TSmppClient;

// The receiver's report line for a deliver_sm or data_sm (status 0): "+QUERY_RES " + receipt_ref +
// ":" + state digit + ":" + receipt_err for a delivery receipt or intermediate notification;
// otherwise "+DELIVER " + Timestamp + ":" + source + ":" + destination + ":" + text, with two
// colons after the time for a data_sm, which has a line only with the default message type. Empty
// for anything else. Timestamp is the report time, "mmddyyyy hhmmss". Pure; any thread.
std::string RcxDeliverLine(const TPDU& Pdu, const std::string& Timestamp);

// A notification taking the sender (always the client component). Unassigned: skipped.
using TSmppNotifyEvent = std::function<void(TSmppClient* Sender)>;

class TSmppClient : public TComponent, public TPersistent {
 public:
  // Sizes of the store of sent parts of split messages.
  static constexpr int32_t SentPartSlots = 1000;
  static constexpr int32_t SentPartSlotSize = 10001;
  // The text appended to every message: two spaces and a 21-character signature.
  static constexpr const char* SignatureTrailer = "  SMPP test client v1.0";

  // Builds the settings and connection objects, their sockets and the six stopped timers. The
  // component holds SentPartStore (about 10 MB) inside itself: create it on the heap.
  // The owner's thread.
  explicit TSmppClient(TComponent* AOwner = nullptr);
  // Ends every timer and frees both sockets; after it returns no timer callback runs and no
  // socket event reaches the component, even when one was running at the time. The owner's
  // thread (never from inside a notification).
  ~TSmppClient() override;

  // ---- Published properties.
  TSMPPClientInfo& ClientInfo() { return *FClientInfo; }
  TSMPPConnectionRcx& Rcx() { return *FRcx; }
  TSMPPConnectionTcx& Tcx() { return *FTcx; }
  // Assign before Connect or from inside a notification of the same connection (the running
  // handler is a copy, so replacing it there is safe).
  void SetRcxOnData(TSmppNotifyEvent Event);
  void SetTcxOnData(TSmppNotifyEvent Event);
  // Turns the PDU trace on with Handler, or off with an empty one. The owner's thread, at any
  // time, also while connected. The handler is called once for every PDU a connection hands to its
  // connected socket (on the thread that sends: the owner's, a worker, a timer or the
  // answer thread, while that connection's SocketLock is held, so a connection's sent PDUs reach
  // it in the order they went out), the transceiver's as pcTrx, and for every PDU read (on that
  // connection's worker thread, before the PDU is answered; for a PDU too long to take and for a
  // broken length, the bytes read so far). Each connection made is framed by a tkOpened event
  // with its endpoints, on its worker thread before its bind is sent, and a tkClosed event once it
  // has closed. A connect that fails is told by a tkFailed event with the reason in words
  // ("connection refused", "host not found", "TLS handshake failed: " + OpenSSL's reason), on the
  // worker thread (or the thread whose connect request was refused) before "... try Connect in 5
  // sec" is reported. It must not send, connect or close through this client, and must be quick:
  // the connection waits for it. A call that had begun when the handler is replaced or removed
  // still runs with the old one. With a Gate, a PDU stamped before the time it holds (the PDU
  // trace's clock) is not handed over at all: a handler that samples skips the rest at the cost of
  // one load. Events that are not PDUs always are. The Gate must live as long as the handler does
  // (the handler may own it).
  void SetPduTrace(TPduTraceHandler Handler, const std::atomic<int64_t>* Gate = nullptr);
  // ClientInfo, Rcx, Tcx, nested.
  void PublishProperties(TPublishedProperties& Props) override;

  // ---- Load hooks: the answers to submits and the delivery receipts of a load run, handed over
  // as values, without a report line. Each is off until assigned, and with none assigned the
  // client reports exactly as described above.
  //
  // An answer to a submit: a submit_sm_resp or submit_multi_resp read on the connection that
  // submits. MessageId is the id as the report line would give it (its printable characters,
  // at most kMaxMessageIdLength; for any status); ReadNs is what ReadTimeNs would give.
  struct TSubmitResponse {
    uint32_t CommandId = 0;
    uint32_t Status = 0;
    uint32_t Sequence = 0;
    std::string_view MessageId;
    int64_t ReadNs = 0;
    // The whole PDU as read (its header among them; a submit_multi_resp's unsuccess_sme follow
    // the id), valid during the call only.
    const uint8_t* Bytes = nullptr;
    size_t Length = 0;
  };
  // A delivery receipt or intermediate notification (a deliver_sm or data_sm with status 0 whose
  // esm_class says so) read on the connection that receives: MessageId, State and Error are the
  // decoded receipt_ref, receipt_stat and receipt_err of the PDU (see TDeliver), Sequence its
  // sequence_number, ReadNs what ReadTimeNs would give; Source its source_addr (the destination
  // the receipt reports on) and EsmClass its esm_class (0x04 a receipt, 0x20 an intermediate
  // notification, in kEsmMessageTypeMask).
  struct TReceipt {
    uint32_t Sequence = 0;
    std::string_view MessageId;
    std::string_view State;
    std::string_view Error;
    int64_t ReadNs = 0;
    std::string_view Source;
    uint8_t EsmClass = kEsmDeliveryReceipt;
  };
  using TSubmitResponseEvent = std::function<void(TSmppClient* Sender, const TSubmitResponse&)>;
  using TReceiptEvent = std::function<void(TSmppClient* Sender, const TReceipt&)>;
  // With a handler assigned, every answer to a submit is handed to it instead of being reported:
  // no line ("+IN_QUEUE ID=", "MAILBOX FULL" or the empty one of another status), no hex dump, no
  // TcxOnData call; the PDU trace, cmd_seq and the idle count see it as always. Only the answer
  // to a raw PDU that SendRaw sent keeps its "(raw PDU)" line. The handler runs on the submitting
  // connection's worker thread, one answer at a time in the order read, with no lock of the client
  // held; it may call Send and the other requests (that is what it is for: a load run refills its
  // window from it without a thread hand-over), but must not connect, disconnect or destroy the
  // client. The views are valid during the call only.
  //
  // Assign before Connect, or at any time from the owner's thread: a call that had begun still
  // runs with the handler it loaded, and every handler assigned is kept until the client is
  // destroyed (a few bytes each; assign a handful per session, not one per message). An empty
  // Event turns the hook off.
  void SetOnSubmitResponse(TSubmitResponseEvent Event);
  // Likewise for receipts: each is answered as always (ClientInfo.DeliverAnswer) and then handed
  // to the handler instead of being reported (no "+QUERY_RES" line, hex dump or RcxOnData call).
  // The handler runs on the receiving connection's worker thread (the transceiver's, bound as
  // one) with the receiver's report lock held, as a notification is: it may call Send, with the
  // same limits as above.
  void SetOnReceipt(TReceiptEvent Event);
  // After the PDUs of one socket read were handled (every answer and receipt of it handed to the
  // hooks above), on that connection's worker thread with no lock of the client held; Transmits
  // is true on the connection that submits (the transmitter or the transceiver). A load run
  // records a read's answers together there, under one hold of its own lock. Called on every
  // read that handled a PDU, also when the read ended the stream or the session. Same limits and
  // assignment rules as SetOnSubmitResponse.
  using TReadDoneEvent = std::function<void(TSmppClient* Sender, bool Transmits)>;
  void SetOnReadDone(TReadDoneEvent Event);
  // After a session of a connection ended (its socket closed, whether asked for or not), on that
  // connection's worker thread with no lock of the client held; Transmits as for the read-done
  // hook. A load run counts the submits in flight on it unanswered there, at once, rather than
  // when the connection is made again. Same limits and assignment rules as SetOnSubmitResponse.
  using TSessionClosedEvent = std::function<void(TSmppClient* Sender, bool Transmits)>;
  void SetOnSessionClosed(TSessionClosedEvent Event);

  // ---- Operations: Connect and Disconnect on the owner's thread; Send on any thread.
  // Starts both connections (or the transceiver, by ClientInfo.bind_mode): Proto "tcp", Addr
  // ClientInfo.Host, Port the decimal text of ClientInfo.Port and ClientInfo's TLS settings on each
  // socket, then connects the receiver and the transmitter. Reports nothing itself. With UseTLS on,
  // a handshake that fails is reported as "Rcx TLS handshake failed: " + the reason (or "Tcx ...",
  // before the usual "... try Connect in 5 sec") and retried like a refused connect.
  void Connect();
  // Sends unbind on both connections, waits DisconnectWaitMs (2000), reports "rcx disconnected"
  // and "tcx disconnected" on this thread and stops every timer. The connections close when the
  // SMSC's unbind_resp arrives. A transceiver unbinds its one connection and reports
  // "trx disconnected" through TcxOnData.
  void Disconnect();
  // Submits Text (cut to 160 characters, then the trailer appended) from Source to Destination
  // (a comma makes it a submit_multi); Validity empty or blank for none, otherwise five digits
  // d hh mm of a relative validity period, or a whole SMPP time of 16 characters (absolute
  // "YYMMDDhhmmsstnn+" or "-", relative "YYMMDDhhmmss000R"), sent as it stands. A text longer than
  // 160 characters with its trailer goes as two submit_sm. Returns the sequence number of the last
  // PDU encoded, or -1 when the transmitter (the transceiver, when bound as one) is not connected
  // or the PDU cannot be built (a destination list too long for one PDU). Any thread, including
  // from inside a notification; calls are serialised.
  //
  // That is Send with the declared defaults of ClientInfo.submit_coding (tcBytes) and
  // submit_long_mode (lmSplit). With any other value the text is read as UTF-8, the trailer
  // appended (with lmSplit after the cut to 160 characters), coded by submit_coding and, when it
  // does not fit one short message, sent by submit_long_mode: concatenated parts with a user data
  // header or SAR values, whose reference rotates per destination, or one message_payload; with
  // lmSplit as independent messages. Every part is built before any is sent, and a message goes
  // whole or not at all: a text the coding cannot carry, or too long for its mode, is refused
  // with -1 and the report "Tcx send refused: " followed by the reason (on the calling thread).
  //
  // PartSequences, when given, is cleared and receives the sequence number of every part sent, in
  // order: other requests (the keep-alive's enquire_link) take numbers from the same counter
  // meanwhile, so the parts' numbers need not be consecutive.
  //
  // SentAtNs, when given, receives when the first part went to the socket, on the PDU trace's
  // clock (PduTraceNowNs): the same time the trace gives it, so a load run that times its
  // submits by it reads the clock once per message, and the trace and the latencies agree.
  int32_t Send(const std::string& Source, const std::string& Destination,
               const std::string& Validity, const std::string& Text,
               std::vector<uint32_t>* PartSequences = nullptr, int64_t* SentAtNs = nullptr);
  // Count messages from Source, message I to Destinations[I] with Texts[I], each exactly as Send
  // would send it, one after the other, with the settings read and the send lock taken once for
  // them all: what a load run's burst of submits costs per message is the message itself. Plain
  // texts go in one write of the socket, stamped with one time as they go; coded texts each as
  // Send sends them. Gives how many went, the first ones: fewer than Count when one could not go
  // (-1 of Send), with nothing of it or of those after it sent; none when the connection was lost
  // before they went. Parts receives the sequence numbers of the
  // parts of all those sent, in order, PartsEnd[I] the end of message I's in it and SentAtNs[I]
  // when its first part went (as Send's PartSequences and SentAtNs). Any thread, like Send.
  size_t SendMany(const std::string& Source, const std::string& Validity, size_t Count,
                  const std::string* const* Destinations, const std::string* const* Texts,
                  std::vector<uint32_t>& Parts, std::vector<size_t>& PartsEnd,
                  std::vector<int64_t>& SentAtNs);

  // ---- Other requests. Any thread, including from inside a notification; serialised with Send
  // and with each other. Each goes out on the transmitter (the transceiver with bmTransceiver,
  // whose lines then start with "Trx") and returns its sequence number, or -1 when it is not
  // connected or the request is refused. A refusal is reported as "Tcx query_sm refused: "
  // (cancel_sm, replace_sm, raw PDU) followed by the reason, on the calling thread; one not
  // connected returns -1 without a line, as Send does.
  //
  // The answers are reported on the transmitter's worker thread, one TcxOnData line each, with
  // the status by name (or its number and "reserved" / "vendor specific"):
  //   "Tcx query_sm_resp seq 5 ESME_ROK id 1a2b state DELIVERED (2)", then " final_date " and
  //     the time when the SMSC gave one, and " error_code N" when it is not 0; with another
  //     status only the status: "Tcx query_sm_resp seq 5 ESME_RQUERYFAIL";
  //   "Tcx cancel_sm_resp seq 6 ESME_ROK", "Tcx replace_sm_resp seq 7 ESME_RREPLACEFAIL";
  //   the answer to a raw PDU, whatever its command: "Tcx generic_nack seq 8 ESME_RINVCMDID
  //     (raw PDU)", "Tcx submit_sm_resp seq 9 ESME_ROK id 77 (raw PDU)", an unknown command as
  //     "command 0x80000099";
  //   a generic_nack that answers one of the three requests: "Tcx generic_nack seq 5
  //     ESME_RINVCMDID (query_sm)".
  // Such a line replaces, for its PDU, the line the transmitter would otherwise show
  // ("+IN_QUEUE ID=", "MAILBOX FULL", "bind Tcx OK"); only an unbind_resp is handled as always
  // and ends the session. The last kPendingRequests requests are remembered for it.
  //
  // QuerySm: query_sm of MessageId (at most 64 characters) from Source (with
  // submit_source_addr_ton/npi, cut to 20 characters).
  int32_t QuerySm(const std::string& MessageId, const std::string& Source);
  // CancelSm: cancel_sm of MessageId (may be empty: then every message from Source to
  // Destination of the service type), with ClientInfo.submit_service_type; Destination with
  // submit_dest_addr_ton/npi.
  int32_t CancelSm(const std::string& MessageId, const std::string& Source,
                   const std::string& Destination);
  // ReplaceSm: replace_sm of MessageId from Source, its new short message Text's octets as they
  // are (no coding and no signature; at most 254), with ClientInfo's schedule, registered
  // delivery and default message id, and no validity period.
  int32_t ReplaceSm(const std::string& MessageId, const std::string& Source,
                    const std::string& Text);
  // SendRaw: Bytes sent exactly as given, unchecked (deliberately broken PDUs too), at most
  // kMaxRawLength. With PatchSequence the next sequence number of the counter is written into
  // octets 12..15 first (refused when there are fewer than 16). Returns the sequence number the
  // bytes carry at 12..15 (read as a signed number), or 0 for fewer than 16 bytes.
  static constexpr size_t kMaxRawLength = 1 << 20;
  static constexpr size_t kPendingRequests = 64;
  int32_t SendRaw(const std::vector<uint8_t>& Bytes, bool PatchSequence);

  // The codec of this component, over ClientInfo and SequenceCounter (DecodePdu reads data_coding
  // 0 by ClientInfo.deliver_default_alphabet). Any thread.
  void EncodePdu(uint8_t* Buffer, size_t Capacity, size_t& Length, TPDU& Pdu, int DataCoding) const;
  void DecodePdu(const uint8_t* Buffer, size_t Capacity, size_t Received, TPDU& Pdu) const;
  TSequenceCounter& SequenceCounter() { return FSequenceCounter; }

  // The copies of the encoded parts of split messages; slot I (1-based) is SentPartStore(I).
  const uint8_t* SentPartStore(int32_t Slot) const { return FSentPartStore[Slot - 1]; }
  int32_t SentPartIndex() const { return FSentPartIndex.load(); }

  // Test seams; empty in production. Called on the thread that calls Send.
  struct TTestHooks {
    std::function<void()> AfterPartEncoded;  // Send, after each part took its sequence number
  } TestHooks;

  // ---- Internal state, readable for tests and tools.
  bool Closing() const { return FClosing.load(); }
  uint32_t RcxLastEnquireSeq() const { return Conn(TSide::Rcx).LastEnquireSeq.load(); }
  uint32_t TcxLastEnquireSeq() const { return Conn(TSide::Tcx).LastEnquireSeq.load(); }
  uint32_t RcxLastEnquireRespSeq() const { return Conn(TSide::Rcx).LastEnquireRespSeq.load(); }
  uint32_t TcxLastEnquireRespSeq() const { return Conn(TSide::Tcx).LastEnquireRespSeq.load(); }
  // The six timers, in creation order (never null while the component lives).
  TSimpleTimer* RcxKeepAliveTimer() const { return Conn(TSide::Rcx).KeepAliveTimer; }
  TSimpleTimer* TcxKeepAliveTimer() const { return Conn(TSide::Tcx).KeepAliveTimer; }
  TSimpleTimer* RcxWatchdogTimer() const { return Conn(TSide::Rcx).WatchdogTimer; }
  TSimpleTimer* TcxWatchdogTimer() const { return Conn(TSide::Tcx).WatchdogTimer; }
  TSimpleTimer* RcxReconnectTimer() const { return Conn(TSide::Rcx).ReconnectTimer; }
  TSimpleTimer* TcxReconnectTimer() const { return Conn(TSide::Tcx).ReconnectTimer; }
  // The transceiver's three timers, made after the pair's six.
  TSimpleTimer* TrxKeepAliveTimer() const { return Conn(TSide::Trx).KeepAliveTimer; }
  TSimpleTimer* TrxWatchdogTimer() const { return Conn(TSide::Trx).WatchdogTimer; }
  TSimpleTimer* TrxReconnectTimer() const { return Conn(TSide::Trx).ReconnectTimer; }

  // The wait of Disconnect and of the watchdogs' reconnect, in milliseconds (2000). Tests may set
  // it shorter before connecting.
  std::atomic<int32_t> DisconnectWaitMs{2000};
  // When set, a connection that closes without having been asked to (the SMSC ended it, or the
  // network did) starts its reconnect timer at once, as a reported error does: it is connected
  // again 5 s after the close instead of once the keep-alive count notices the loss (up to
  // tcxTimerInterval + 1 idle seconds first). Nothing more is reported. Off by default, and off
  // in the small window; a load run sets it. Set before Connect.
  std::atomic<bool> ReconnectWhenClosed{false};
  // When set, Disconnect sends unbind only on a connection whose bind the SMSC accepted in the
  // session it is in: a connection that was refused, or never answered, gets no unbind (its
  // lines are reported as always; the socket closes when the client is destroyed). Off by
  // default; a load run sets it. Set before Disconnect.
  std::atomic<bool> UnbindBoundOnly{false};
  // How long each connection's TLS handshake may take (ClientInfo.UseTLS on) before it fails
  // and is retried. Set before Connect.
  std::atomic<int32_t> TLSHandshakeTimeoutMs{IcsTlsHandshakeTimeoutMs};

 private:
  // Which connection: the index of its record in FSides.
  enum class TSide { Rcx, Tcx, Trx };

  // The bytes a connection has read but not yet handled: at most one read's worth.
  struct TStream {
    uint8_t Bytes[kPduBufferSize];
    size_t Have = 0;
    // Bytes of a PDU too long to take that are still to come and to be dropped.
    size_t Skip = 0;
    // The answers to the receipts of this read that a load hook took, sent together once the
    // read's PDUs are handled (see FlushAnswers).
    std::vector<uint8_t> Answers;
  };

  // At most this many answers wait on one connection; past it the oldest goes at once.
  static constexpr size_t kMaxPendingAnswers = 10000;
  // A response to a delivery, encoded, waiting to be sent at Due on the session it belongs to
  // (the connection's SessionCount when it was read).
  struct TPendingAnswer {
    std::chrono::steady_clock::time_point Due;
    uint32_t Session;
    uint8_t Length;
    uint8_t Bytes[kPduHeaderLength * 2];
  };

  // One connection: what tells its kind apart, fixed at creation, and its running state. The
  // handlers, the ticks and the report step all work on a record, so that each kind of connection
  // is one entry of FSides.
  struct TSideState {
    // The timers' callbacks get only the record.
    TSmppClient* const Client;
    TSMPPConnection& Connection;
    // Starts the connection's own report lines ("Rcx Connected.").
    const char* const Prefix;
    // The line of a session ended by unbind, of an accepted bind, and of the watchdog's reconnect.
    const char* const DisconnectedText;
    const char* const BindOkText;
    const char* const ReconnectText;
    // The bind sent on connecting, and the response that answers it.
    const uint32_t BindId;
    const uint32_t BindRespId;
    // The SMSC delivers on this connection: deliver_sm and data_sm are answered and reported.
    const bool Receives;
    // This connection submits: submit_sm_resp is reported with its message id, and any answer
    // that says the SMSC throttles as "MAILBOX FULL".
    const bool Transmits;
    // Deliveries and receipts are reported on the receiver's object and notification (the
    // transceiver, whose own object is the transmitter's).
    const bool ReportsDeliveriesOnRcx;
    // The error report first shows the text the connection holds, then the retry line, so a
    // failed TLS handshake only sets its text for that report to show. Otherwise each text is
    // reported as it is set.
    const bool ReportsHeldTextFirst;
    // The connection's PDUs are traced as this one.
    const TPduConnection TraceConnection;

    // Borrowed: each timer frees itself once terminated.
    TSimpleTimer* KeepAliveTimer = nullptr;
    TSimpleTimer* WatchdogTimer = nullptr;
    TSimpleTimer* ReconnectTimer = nullptr;
    std::atomic<uint32_t> LastEnquireSeq{0};
    std::atomic<uint32_t> LastEnquireRespSeq{0};
    // When the connection last sent an enquire_link (steady clock, milliseconds): the watchdog
    // gives the answer one full period from then. Keep-alive tick and watchdog tick.
    std::atomic<int64_t> EnquireSentAtMs{0};
    // Touched only by the connection's socket handlers, which all run on its worker thread.
    std::unique_ptr<TStream> Stream = std::make_unique<TStream>();
    // Set when the client has asked the worker to close the connection (unbind, stream fault);
    // the read handler then stops handling what follows in the stream. Cleared on each new
    // connection.
    std::atomic<bool> CloseAsked{false};
    // Set when the connection has sent its bind, cleared when the answer to it (the bind's
    // response or a generic_nack) is read: a connection the SMSC ends meanwhile is reported. The
    // connection's socket handlers (its worker thread).
    std::atomic<bool> BindUnanswered{false};
    // Set when the SMSC accepted the bind of the session the connection is in; cleared when a
    // session starts or ends. The connection's socket handlers (its worker thread); read by
    // Disconnect.
    std::atomic<bool> Bound{false};
    // Guarded by the connection's ReportLock; the transceiver's record leaves it empty and reports
    // through the transmitter's. Held shared, so that a report runs its own
    // reference of the handler (a handler may set a new one while it runs) without copying the
    // function.
    std::shared_ptr<const TSmppNotifyEvent> OnData = nullptr;
    // Answers to deliveries waiting for their time, earliest first. Guarded by FAnswerLock.
    std::deque<TPendingAnswer> PendingAnswers{};
  };

  // Socket handlers (worker thread of that connection's socket).
  void SessionConnected(TSideState& Side, uint16_t ErrorCode);
  void DataAvailable(TSideState& Side);
  void SessionClosed(TSideState& Side);
  void Error(TSideState& Side);
  // Timer ticks (timer threads): one callback per kind of timer, whose argument is the record of
  // the connection the timer belongs to.
  static void OnKeepAliveTimer(void* Side);
  static void OnWatchdogTimer(void* Side);
  static void OnReconnectTimer(void* Side);
  void KeepAliveTick(TSideState& Side);
  void WatchdogTick(TSideState& Side);
  void ReconnectTick(TSideState& Side);

  // One complete PDU of the stream, handled as one read. ReadNs is when the socket read that
  // completed it was taken (0: none known): the PDUs of one read share it in the trace and in
  // ReadTimeNs, so that a load run's reads of many answers at once take the clock once.
  void HandleRead(TSideState& Side, const uint8_t* Bytes, size_t Length, int64_t ReadNs = 0);
  // The addressing, command and validity period of a submit of this message.
  static void StartSubmit(TPDU& Pdu, const std::string& Source, const std::string& Destination,
                          const std::string& Validity);
  // Answers and reports one PDU read on this connection. The SMSC's enquire_link and unbind and
  // the answers to the connection's own bind, enquire_link and unbind are handled alike on every
  // connection; deliveries and the answers to submits as the flags of its record say.
  void ActOnPdu(TSideState& Side, const TPDU& Pdu);
  void StreamFault(TSideState& Side, uint32_t Length, const uint8_t* Bytes, size_t Have);
  // A PDU of Length bytes too long to take, of which Have are at Bytes (its header among them):
  // answered with "invalid message length", reported, and its bytes left to be dropped.
  void DropLongPdu(TSideState& Side, uint32_t Length, const uint8_t* Bytes, size_t Have);
  // An enquire_link_resp with this sequence number came: recorded; when it answers the last
  // enquire_link sent, the watchdog stops.
  void EnquireLinkAnswered(TSideState& Side, uint32_t Sequence);
  // Send of a coded text or long message (submit_coding or submit_long_mode not at its default).
  int32_t SendCoded(std::vector<uint32_t>* PartSequences, int64_t* SentAtNs,
                    const std::string& Source, const std::string& Destination,
                    const std::string& Validity, const std::string& Text,
                    TSMPPClientInfo::TSubmitText Settings);
  // Send of a plain text (tcBytes, lmSplit) with FSendLock held and the transmitter seen
  // connected.
  // With Batch, the parts are appended to it instead of being sent (SentAtNs is not set).
  int32_t SendPlain(const std::string& Source, const std::string& Destination,
                    const std::string& Validity, const std::string& Text,
                    std::vector<uint32_t>* PartSequences, int64_t* SentAtNs,
                    std::vector<uint8_t>* Batch = nullptr);
  // The next concatenation reference for Destination. Under FSendLock.
  uint16_t NextConcatReference(const std::string& Destination);
  // Sends one encoded part of a submit on the transmitter. A part of a split message (Split) is
  // first copied into the next slot of the sent-part store. Under FSendLock.
  // AtNs: its trace time stamp (0: now).
  void SendPart(const uint8_t* Bytes, size_t Length, bool Split, int64_t AtNs = 0);
  // The sent-part store's copy of a part of a split message (Split); nothing otherwise.
  void StorePart(const uint8_t* Bytes, size_t Length, bool Split);
  // Encodes a response that carries Sequence and sends it on that connection.
  void SendResponse(TSideState& Side, uint32_t CommandId, uint32_t Status, uint32_t Sequence);
  // Answers a deliver_sm or data_sm as ClientInfo.DeliverAnswer says: at once, queued for the
  // answer thread, or not at all. The connection's worker thread.
  void AnswerDelivery(TSideState& Side, const TPDU& Pdu);
  // The same for a delivery known by its command id and sequence number; an answer due at once
  // joins the read's answers (TStream::Answers) instead of going alone.
  void AnswerDelivery(TSideState& Side, uint32_t CommandId, uint32_t Sequence, bool Batched);
  // Sends the read's answers that wait, in one write. The connection's worker thread.
  void FlushAnswers(TSideState& Side);
  // The answer thread: sends each queued answer when due, if its session is still the
  // connection's, until the destructor stops it.
  void AnswerLoop();
  // Drops the queued answers of a connection. Any thread.
  void DropPendingAnswers(TSideState& Side);

  // QuerySm, CancelSm, ReplaceSm: Pdu (command id, message id, request) encoded and sent on the
  // transmitter under FSendLock, or the refusal reported.
  int32_t SendRequest(TPDU& Pdu);
  // Remembers a request sent whose answer is to be reported: CommandId 0 for a raw PDU. Takes
  // FPendingLock.
  void AddPending(uint32_t Sequence, uint32_t CommandId);
  // When Pdu answers QuerySm, CancelSm, ReplaceSm or SendRaw, sets its line on the transmitter
  // and returns true. From ActOnPdu, under the connection's ReportLock.
  bool ReportRequestAnswer(TSideState& Side, const TPDU& Pdu);
  // The requests sent whose answers are awaited: sequence number and command id (0 for a raw
  // PDU), the oldest overwritten first. Guarded by FPendingLock, the last lock of all: held only
  // to look up or add, and no other lock is taken while it is held.
  struct TPendingRequest {
    uint32_t Sequence = 0;
    uint32_t CommandId = 0;
    bool Used = false;
  };
  std::mutex FPendingLock;
  TPendingRequest FPending[kPendingRequests];
  // The entries of FPending in use; changed under FPendingLock, read without it so that the
  // answers of a run that sent no such request take no lock.
  std::atomic<uint32_t> FPendingCount{0};
  size_t FPendingNext = 0;

  // Sets the report text, notifies and, when Empty, empties the texts again, as one step under
  // the connection's report lock.
  void Report(TSideState& Side, const std::string* Text, bool Empty);
  // Socket operations, serialised per connection under its SocketLock. Connect runs under the
  // connection's ReportLock too, because a refused request reports through OnError on the calling
  // thread. Close takes neither: off the worker thread it waits for the worker, whose handlers take
  // them. Lock order: ReportLock, then FSendLock, then SocketLock. Where two report locks nest
  // (a receiver's notification that calls Send, the transceiver reporting a delivery), the
  // receiver's comes first: the transceiver takes the receiver's report lock for a delivery
  // without holding the transmitter's, and then the transmitter's SocketLock to answer it.
  // With a Session, the bytes go only while the connection is still in that session.
  // AtNs: the trace's time stamp of the bytes (0: now).
  void SocketSend(TSideState& Side, const void* Data, size_t Length,
                  std::optional<uint32_t> Session = std::nullopt, int64_t AtNs = 0);
  // SocketSend of whole PDUs back to back, each traced on its own, in one write of the socket:
  // many small PDUs cost one pass through the socket's send. False when the socket was not
  // connected (nothing went).
  bool SocketSendPdus(TSideState& Side, const uint8_t* Data, size_t Length, int64_t AtNs = 0);
  void SocketConnect(TSideState& Side);
  void SocketClose(TSideState& Side);
  bool SocketConnected(TSideState& Side);
  // True when the socket reads as connected but its worker no longer holds an OS socket (a write
  // failed with EPIPE): the state then changes only with the next close request.
  bool SocketDead(TSideState& Side);

  void SetOnData(TSideState& Side, TSmppNotifyEvent Event);
  // Makes the transceiver's record live (or the pair's) when no socket is open; otherwise the
  // latched mode stays. The owner's thread (Connect).
  void LatchBindMode(bool Transceiver);
  // Hands one PDU of this connection to the trace handler, if one is assigned, stamped AtNs or,
  // when that is 0, now. Without a handler it costs one load of FTraceHandler.
  void Trace(TSideState& Side, TPduDirection Direction, const void* Bytes, size_t Length,
             int64_t AtNs = 0) {
    const TTraceHook* Hook = FTraceHandler.load(std::memory_order_acquire);
    if (!Hook) return;
    if (Hook->Gate) {
      if (AtNs == 0) AtNs = PduTraceNowNs();
      if (AtNs < Hook->Gate->load(std::memory_order_relaxed)) return;
    }
    TraceCall(Hook->Handler,
              {Side.TraceConnection, Direction, AtNs, static_cast<const uint8_t*>(Bytes), Length});
  }
  // Hands the start (tkOpened, with the socket's endpoints) or the end (tkClosed) of a
  // connection to the trace handler, if one is assigned. The connection's worker thread.
  void TraceBoundary(TSideState& Side, TPduTraceKind Kind);
  // Hands a failed connect (tkFailed) to the trace handler, if one is assigned, with its reason in
  // words from the error number and the worker's (or the refused request's) text. The thread that
  // learned of the failure, before the retry is reported.
  void TraceFailed(TSideState& Side, int32_t ErrorCode, const std::string& Text);
  // Stamps the event with the time, unless it has one, and calls Handler.
  static void TraceCall(const TPduTraceHandler& Handler, TPduTraceEvent Event);
  TSideState& Conn(TSide Side) { return FSides[static_cast<size_t>(Side)]; }
  const TSideState& Conn(TSide Side) const { return FSides[static_cast<size_t>(Side)]; }
  // The records of the connections the latched bind mode uses: the pair, or the transceiver.
  std::span<TSideState> LiveSides() {
    return FTransceiver.load() ? std::span<TSideState>(FSides).subspan(2, 1)
                               : std::span<TSideState>(FSides).subspan(0, 2);
  }
  // The record a socket's events belong to: the transmitter's socket serves the transceiver when
  // the latched mode is bmTransceiver.
  TSideState& SocketSide(TSideState& Side) {
    return &Side == &Conn(TSide::Tcx) && FTransceiver.load() ? Conn(TSide::Trx) : Side;
  }
  // The connection that submits.
  TSideState& Submitter() { return Conn(FTransceiver.load() ? TSide::Trx : TSide::Tcx); }
  // The record whose object and notification report a PDU with this command id read on Side.
  TSideState& ReportSideOf(TSideState& Side, uint32_t CommandId) {
    return Side.ReportsDeliveriesOnRcx && (CommandId == kDeliverSm || CommandId == kDataSm)
               ? Conn(TSide::Rcx)
               : Side;
  }

  // Counts the handlers and ticks running now; the destructor waits for it to fall to zero after
  // marking the component as being destroyed, and every entry checks that mark after counting
  // itself, so that nothing runs past the start of destruction.
  std::atomic<int32_t> FActiveCalls{0};
  // Set first by the destructor. Its own flag, not the component base's, because the handshake
  // above needs sequentially consistent operations on both sides.
  std::atomic<bool> FDying{false};

  // Counts a handler or tick as running for the length of its scope. Entered() is false once the
  // component is being destroyed: the caller then returns without touching anything else.
  class TActiveCall {
   public:
    explicit TActiveCall(TSmppClient& Client) : FClient(Client) {
      // Counting first and looking at the mark second (both sequentially consistent) pairs with
      // the destructor, which marks first and then waits for the count: either the destructor sees
      // this call counted and waits for it, or this call sees the mark and leaves.
      FClient.FActiveCalls.fetch_add(1);
      FEntered = !FClient.FDying.load();
    }
    ~TActiveCall() { FClient.FActiveCalls.fetch_sub(1); }
    bool Entered() const { return FEntered; }

   private:
    TSmppClient& FClient;
    bool FEntered;
  };

  std::unique_ptr<TSMPPClientInfo> FClientInfo;
  std::unique_ptr<TSMPPConnectionRcx> FRcx;
  std::unique_ptr<TSMPPConnectionTcx> FTcx;
  TSequenceCounter FSequenceCounter;  // atomic
  TPduCodec FCodec;
  // The receiver, the transmitter and the transceiver, indexed by TSide. The transceiver's record
  // shares the transmitter's object (socket, locks, texts).
  TSideState FSides[3];
  // The bind mode Connect latched: the transceiver's record is the live one. Read by every
  // handler and tick; written only by Connect while no socket is open.
  std::atomic<bool> FTransceiver{false};

  std::atomic<bool> FClosing{false};

  // The answer thread and its queues (PendingAnswers of each record). FAnswerLock is a leaf: it is
  // taken under a report lock to queue an answer and is never held while another lock is taken or
  // anything is sent. FAnswerThread is started under it by the first queued answer and joined by
  // the destructor once no handler runs. FAnswerStop is guarded by it.
  std::mutex FAnswerLock;
  std::condition_variable FAnswerWake;
  std::thread FAnswerThread;
  bool FAnswerStop = false;

  // The PDU trace. FTraceHandler points to the handler assigned now, or is null. Every handler
  // ever assigned is kept in FTraceHandlers until the client is destroyed, so that a call that
  // has loaded the pointer runs on a live handler however the trace is changed meanwhile: a
  // traced PDU then costs one load and a call, with no lock and no reference count. Handlers are
  // assigned a few times in a session, so keeping them costs next to nothing. FTraceLock guards
  // FTraceHandlers; SetPduTrace alone takes it, with no other lock held.
  struct TTraceHook {
    TPduTraceHandler Handler;
    const std::atomic<int64_t>* Gate;  // see SetPduTrace
  };
  std::atomic<const TTraceHook*> FTraceHandler{nullptr};
  std::mutex FTraceLock;
  std::vector<std::unique_ptr<const TTraceHook>> FTraceHandlers;
  // The load hooks, kept the same way: the handler assigned now (or null) and every one ever
  // assigned. FHookLock guards the two lists; their setters alone take it, with no other lock held.
  std::atomic<const TSubmitResponseEvent*> FOnSubmitResponse{nullptr};
  std::atomic<const TReceiptEvent*> FOnReceipt{nullptr};
  std::mutex FHookLock;
  std::vector<std::unique_ptr<const TSubmitResponseEvent>> FSubmitResponseHandlers;
  std::vector<std::unique_ptr<const TReceiptEvent>> FReceiptHandlers;
  std::atomic<const TReadDoneEvent*> FOnReadDone{nullptr};
  std::vector<std::unique_ptr<const TReadDoneEvent>> FReadDoneHandlers;  // FHookLock
  std::atomic<const TSessionClosedEvent*> FOnSessionClosed{nullptr};
  std::vector<std::unique_ptr<const TSessionClosedEvent>> FSessionClosedHandlers;  // FHookLock
  // True when an answer with this sequence number and command id is awaited by QuerySm,
  // CancelSm, ReplaceSm or SendRaw (ReportRequestAnswer would take it). Takes FPendingLock only
  // when such a request is outstanding.
  bool AwaitsRequestAnswer(uint32_t Sequence, uint32_t CommandId);

  // Serialises Send: the store and its index. Taken before the transmitter's SocketLock; never
  // held while a report lock is taken.
  std::mutex FSendLock;
  std::atomic<int32_t> FSentPartIndex{0};
  // The record Send of a plain text builds its submits in, kept so that a submit does not build
  // and free a whole record. Guarded by FSendLock.
  TPDU FSubmitPdu;
  // The next concatenation reference of each destination (as given to Send), and where a new
  // destination starts: anywhere, so that a restarted client does not repeat the references of
  // the last run. Guarded by FSendLock.
  std::unordered_map<std::string, uint16_t> FConcatReferences;
  std::minstd_rand FConcatReferenceStart{std::random_device{}()};
  uint8_t FSentPartStore[SentPartSlots][SentPartSlotSize];
};
