// TSmppClient: the handlers of the receiver, the transmitter and the transceiver connection
// (connected, data, closed, error), the byte stream of each connection, and our answers to
// deliveries.
#include <algorithm>
#include <cstring>
#include <system_error>

#include "base/DateTimeFormat.h"
#include "net/IcsSocketIntf.h"
#include "smpp/smppclient.h"

std::string RcxDeliverLine(const TPDU& Pdu, const std::string& Timestamp) {
  const TDeliver& D = Pdu.deliver;
  if (Pdu.command_id != kDeliverSm && Pdu.command_id != kDataSm) return {};
  if (IsReceipt(D.esm_class))
    return "+QUERY_RES " + D.receipt_ref + ":" + std::string(1, ReceiptStateCode(D.receipt_stat)) +
           ":" + D.receipt_err;
  if (Pdu.command_id == kDeliverSm)
    return "+DELIVER " + Timestamp + ":" + D.source_addr + ":" + D.destination_addr + ":" + D.text;
  // A data_sm is reported with two colons after the time, and only with the default type.
  if ((D.esm_class & kEsmMessageTypeMask) != 0) return {};
  return "+DELIVER " + Timestamp + "::" + D.source_addr + ":" + D.destination_addr + ":" + D.text;
}

void TSmppClient::SessionConnected(TSideState& Side, uint16_t ErrorCode) {
  TActiveCall Call(*this);
  if (!Call.Entered()) return;
  if (ErrorCode != 0) {
    Side.BindUnanswered.store(false);
    // The worker's own number and text are those of this failure ("connect failed" for a plain
    // one); the trace tells the reason in words before anything is reported.
    TWorkerThread* W = Side.Connection.Socket()->WorkerThread();
    const std::string Why = W ? W->LastErrorMsg() : std::string();
    TraceFailed(Side, W ? W->LastError() : ErrorCode, Why);
    std::lock_guard<std::recursive_mutex> Guard(Side.Connection.ReportLock);
    // A failed TLS handshake names its reason first; the retry is reported as for any failed
    // connect. A connection whose error report shows the text it holds first only sets this one,
    // for that report to show.
    if (Why.rfind("TLS handshake failed: ", 0) == 0) {
      const std::string Text = std::string(Side.Prefix) + " " + Why;
      if (Side.ReportsHeldTextFirst)
        Side.Connection.SetReportLine(Text);
      else
        Report(Side, &Text, false);
    }
    Error(Side);
    return;
  }
  // A new connection starts a new byte stream.
  Side.Stream->Have = 0;
  Side.Stream->Skip = 0;
  Side.CloseAsked.store(false);
  Side.BindUnanswered.store(true);
  Side.Bound.store(false);
  Side.KeepAliveTimer->Resume();
  TraceBoundary(Side, TPduTraceKind::tkOpened);
  std::lock_guard<std::recursive_mutex> Guard(Side.Connection.ReportLock);
  Side.Connection.SetReportText(Side.Prefix, " Connected.");
  uint8_t Buffer[kPduBufferSize];
  size_t Length = 0;
  TPDU Pdu;
  Pdu.command_id = Side.BindId;
  Pdu.command_status = 0;
  EncodePdu(Buffer, sizeof Buffer, Length, Pdu, 0);
  SocketSend(Side, Buffer, Length);
  Report(Side, nullptr, false);
}

void TSmppClient::SessionClosed(TSideState& Side) {
  TActiveCall Call(*this);
  if (!Call.Entered()) return;
  TraceBoundary(Side, TPduTraceKind::tkClosed);
  // A connection the SMSC ends before it answered the bind never gets a line of its own
  // otherwise; a TLS-only SMSC ends a plain one that way, silently, and each retry looks
  // like the first.
  const bool Unanswered = Side.BindUnanswered.exchange(false);
  Side.Bound.store(false);
  // Answers still waiting belong to the session that ended.
  DropPendingAnswers(Side);
  if (Unanswered && !FClosing.load() && !Side.CloseAsked.load()) {
    // This connection's settings: Connect hands new ones over only once it is closed.
    TWorkerThread* W = Side.Connection.Socket()->WorkerThread();
    std::string Text = std::string(Side.Prefix) + " closed by the SMSC before the bind answer";
    if (!W || !W->TlsSettings().UseTLS) Text += " (does the SMSC want TLS?)";
    Report(Side, &Text, false);
  }
  // A close that was asked for ends the keep-alive; any other lets the keep-alive count notice
  // the lost connection and start the reconnect.
  if (FClosing.load()) {
    Side.KeepAliveTimer->Suspend();
  } else {
    Side.KeepAliveTimer->Resume();
    // A close the socket saw and nobody asked for may start the retry at once.
    if (ReconnectWhenClosed.load() && !Side.CloseAsked.load()) Side.ReconnectTimer->Resume();
  }
  if (const TSessionClosedEvent* Hook = FOnSessionClosed.load(std::memory_order_acquire))
    (*Hook)(this, Side.Transmits);
}

void TSmppClient::Error(TSideState& Side) {
  TActiveCall Call(*this);
  if (!Call.Entered()) return;
  std::lock_guard<std::recursive_mutex> Guard(Side.Connection.ReportLock);
  // The transmitter first reports the text it still holds, then the retry.
  if (Side.ReportsHeldTextFirst) Report(Side, nullptr, false);
  Side.ReconnectTimer->Resume();
  const std::string Text = std::string(Side.Prefix) + " try Connect in 5 sec";
  Report(Side, &Text, false);
}

void TSmppClient::DataAvailable(TSideState& Side) {
  TActiveCall Call(*this);
  if (!Call.Entered()) return;
  TStream& St = *Side.Stream;
  TIcsSocket* S = Side.Connection.Socket();
  // One read per data event, never more than the receive buffer holds: the rest comes with the
  // next event. (Asking for the count again after the read would let the socket find the end
  // of the stream itself, outside the worker's own handling of it.)
  const int32_t Pending = S->RcvdCount();
  if (Pending <= 0) return;
  const size_t Space = kPduBufferSize - St.Have;
  const int32_t Got =
      S->Receive(St.Bytes + St.Have, static_cast<int32_t>(std::min<size_t>(Pending, Space)));
  if (Got <= 0) return;
  St.Have += static_cast<size_t>(Got);
  const int64_t ReadNs = PduTraceNowNs();
  if (St.Skip) {
    // The rest of a PDU that was too long to take: read through and dropped.
    const size_t Drop = std::min(St.Skip, St.Have);
    std::memmove(St.Bytes, St.Bytes + Drop, St.Have - Drop);
    St.Have -= Drop;
    St.Skip -= Drop;
  }

  // The keep-alive stays still while the PDUs of this read are handled, and starts counting
  // again after the last of them.
  struct TKeepAliveHold {
    TSimpleTimer* Timer;
    bool Held = false;
    void Hold() {
      if (!Held) Timer->Suspend(), Held = true;
    }
    ~TKeepAliveHold() {
      if (Held) Timer->Resume();
    }
  } KeepAlive{Side.KeepAliveTimer};
  // The read-done hook, once the PDUs of this read were handled, on every way out.
  struct TReadDone {
    TSmppClient& Client;
    bool Transmits;
    bool Handled = false;
    ~TReadDone() {
      if (!Handled) return;
      if (const TReadDoneEvent* Hook = Client.FOnReadDone.load(std::memory_order_acquire))
        (*Hook)(&Client, Transmits);
    }
  } ReadDone{*this, Side.Transmits};
  // The answers to the receipts of this read go together once its PDUs are handled, before the
  // read-done hook, on every way out.
  struct TAnswers {
    TSmppClient& Client;
    TSideState& Side;
    ~TAnswers() { Client.FlushAnswers(Side); }
  } Answers{*this, Side};
  size_t Offset = 0;
  for (;;) {
    const TPduFrame Frame = FramePdu(St.Bytes + Offset, St.Have - Offset);
    if (Frame.Result == TFrameResult::frNeedMore) break;
    if (Frame.Result == TFrameResult::frInvalidLength) {
      StreamFault(Side, Frame.Length, St.Bytes + Offset, St.Have - Offset);
      St.Have = 0;
      return;
    }
    if (Frame.Result == TFrameResult::frTooLong) {
      // Longer than the buffer, so never whole in it: what is here is its start.
      DropLongPdu(Side, Frame.Length, St.Bytes + Offset, St.Have - Offset);
      St.Skip = Frame.Length - (St.Have - Offset);
      St.Have = 0;
      return;
    }
    KeepAlive.Hold();
    ReadDone.Handled = true;
    HandleRead(Side, St.Bytes + Offset, Frame.Length, ReadNs);
    Offset += Frame.Length;
    if (FDying.load() || Side.CloseAsked.load()) {
      // The PDU closed the connection (unbind_resp, unbind): what follows it is not ours.
      St.Have = 0;
      return;
    }
  }
  if (Offset) {
    std::memmove(St.Bytes, St.Bytes + Offset, St.Have - Offset);
    St.Have -= Offset;
  }
}

void TSmppClient::HandleRead(TSideState& Side, const uint8_t* Bytes, size_t Length,
                             int64_t ReadNs) {
  const uint32_t CommandId = GetU32(Bytes + 4);
  // A receipt goes to its load hook, when one is assigned, as values once it has been answered:
  // read where it lies, no record, no report lock, and its answer goes with the read's others.
  if (Side.Receives && (CommandId == kDeliverSm || CommandId == kDataSm) &&
      GetU32(Bytes + 8) == 0) {
    if (const TReceiptEvent* Hook = FOnReceipt.load(std::memory_order_acquire)) {
      TReceiptFields F;
      if (DecodeReceiptFields(Bytes, Length, F)) {
        Trace(Side, TPduDirection::pdIn, Bytes, Length, ReadNs);
        const uint32_t Sequence = GetU32(Bytes + 12);
        ReportSideOf(Side, CommandId).Connection.Set_cmd_seq(static_cast<int32_t>(Sequence));
        AnswerDelivery(Side, CommandId, Sequence, true);
        (*Hook)(this, TReceipt{Sequence, F.Id, F.Stat, F.Err, ReadNs, F.Source, F.EsmClass});
        Side.Connection.IdleCount().store(0);
        return;
      }
    }
  }
  // Whatever else was read is answered, and traced, after the receipts before it.
  FlushAnswers(Side);
  // Traced before it is answered, so that the trace shows a request ahead of its response.
  Trace(Side, TPduDirection::pdIn, Bytes, Length, ReadNs);
  // An answer to a submit goes to the load hook, when one is assigned, as values: no record,
  // no lock, no line (an answer to a raw PDU keeps its own line).
  if (Side.Transmits && (CommandId == kSubmitSmResp || CommandId == kSubmitMultiResp)) {
    if (const TSubmitResponseEvent* Hook = FOnSubmitResponse.load(std::memory_order_acquire)) {
      const uint32_t Sequence = GetU32(Bytes + 12);
      if (!AwaitsRequestAnswer(Sequence, CommandId)) {
        char Id[kMaxMessageIdLength];
        TSubmitResponse Response{CommandId, GetU32(Bytes + 8), Sequence,
                                 SubmitResponseId(Bytes, Length, Id), ReadNs};
        Response.Bytes = Bytes, Response.Length = Length;
        Side.Connection.Set_cmd_seq(static_cast<int32_t>(Sequence));
        (*Hook)(this, Response);
        Side.Connection.IdleCount().store(0);
        return;
      }
    }
  }
  // The transceiver reports a delivery on the receiver's object, under that object's report lock
  // alone (see the lock order).
  TSideState& On = ReportSideOf(Side, CommandId);
  TSMPPConnection& C = On.Connection;
  std::lock_guard<std::recursive_mutex> Guard(C.ReportLock);
  TPDU Pdu;
  DecodePdu(Bytes, Length, Length, Pdu);
  if (Pdu.command_id == kGenericNack || Pdu.command_id == Side.BindRespId)
    Side.BindUnanswered.store(false);
  C.Set_cmd_seq(static_cast<int32_t>(Pdu.sequence_number));
  // A receipt goes to its load hook, when one is assigned, once it has been answered.
  if (Side.Receives && (CommandId == kDeliverSm || CommandId == kDataSm) &&
      Pdu.command_status == 0 && IsReceipt(Pdu.deliver.esm_class)) {
    if (const TReceiptEvent* Hook = FOnReceipt.load(std::memory_order_acquire)) {
      AnswerDelivery(Side, Pdu);
      const TDeliver& D = Pdu.deliver;
      (*Hook)(this, TReceipt{Pdu.sequence_number, D.receipt_ref, D.receipt_stat, D.receipt_err,
                             ReadNs, D.source_addr, D.esm_class});
      Side.Connection.IdleCount().store(0);
      return;
    }
  }
  C.SetRead(Bytes, Length);
  C.SetReadTimeNs(ReadNs);
  ActOnPdu(Side, Pdu);
  Report(On, nullptr, true);
  Side.Connection.IdleCount().store(0);
}

void TSmppClient::ActOnPdu(TSideState& Side, const TPDU& Pdu) {
  // Requests of the SMSC that SMPP requires an answer to are answered whatever else happens.
  if (Pdu.command_id == kEnquireLink) {
    SendResponse(Side, kEnquireLinkResp, 0, Pdu.sequence_number);
    return;
  }
  if (Pdu.command_id == kUnbind) {
    SendResponse(Side, kUnbindResp, 0, Pdu.sequence_number);
    SocketClose(Side);
    return;
  }
  if (Pdu.command_id == kEnquireLinkResp) EnquireLinkAnswered(Side, Pdu.sequence_number);
  // The answers to QuerySm, CancelSm, ReplaceSm and SendRaw have their own lines, whatever the
  // status.
  if (ReportRequestAnswer(Side, Pdu)) return;
  // A connection that submits is told that the SMSC throttles it, whatever the answer was to.
  if (Side.Transmits && Pdu.command_status == kThrottled) {
    Side.Connection.SetReportLine("MAILBOX FULL");
    return;
  }
  if (Pdu.command_status != 0) return;
  if (Pdu.command_id == Side.BindRespId) {
    Side.Bound.store(true);
    Side.Connection.SetReportLine(Side.BindOkText);
    return;
  }
  switch (Pdu.command_id) {
    case kDataSm:
    case kDeliverSm: {
      if (!Side.Receives) break;
      // Answered (or queued) before anything else, each with its own response.
      AnswerDelivery(Side, Pdu);
      // A receipt's line carries no time: the clock is read only for other messages.
      const std::string Line =
          RcxDeliverLine(Pdu, IsReceipt(Pdu.deliver.esm_class) ? std::string() : NowToStr());
      if (!Line.empty()) ReportSideOf(Side, Pdu.command_id).Connection.SetReportLine(Line);
      break;
    }
    case kSubmitSmResp:
      if (Side.Transmits) Side.Connection.SetReportText("+IN_QUEUE ID=", Pdu.message_id);
      break;
    case kUnbindResp:
      Side.Connection.SetReportLine(Side.DisconnectedText);
      SocketClose(Side);
      break;
    default:
      break;
  }
}

void TSmppClient::SendResponse(TSideState& Side, uint32_t CommandId, uint32_t Status,
                               uint32_t Sequence) {
  uint8_t Buffer[kPduHeaderLength * 2];
  size_t Length = 0;
  // One record per thread, of which only the header is ever set: a response per delivery then
  // costs no record made and destroyed.
  static thread_local TPDU Response;
  Response.command_id = CommandId;
  Response.command_status = Status;
  Response.sequence_number = Sequence;
  EncodePdu(Buffer, sizeof Buffer, Length, Response, 0);
  if (Length) SocketSend(Side, Buffer, Length);
}

void TSmppClient::FlushAnswers(TSideState& Side) {
  std::vector<uint8_t>& Answers = Side.Stream->Answers;
  if (Answers.empty()) return;
  SocketSendPdus(Side, Answers.data(), Answers.size());
  Answers.clear();
}

void TSmppClient::AnswerDelivery(TSideState& Side, const TPDU& Pdu) {
  AnswerDelivery(Side, Pdu.command_id, Pdu.sequence_number, false);
}

void TSmppClient::AnswerDelivery(TSideState& Side, uint32_t CommandId, uint32_t Sequence,
                                 bool Batched) {
  const TSMPPClientInfo::TDeliverAnswer How = FClientInfo->DeliverAnswer();
  if (How.no_answer) return;
  const uint32_t Id = CommandId == kDataSm ? kDataSmResp : kDeliverSmResp;
  if (How.delay_ms <= 0 && Batched) {
    uint8_t Header[kPduHeaderLength];
    PutU32(Header, kPduHeaderLength);
    PutU32(Header + 4, Id);
    PutU32(Header + 8, How.status);
    PutU32(Header + 12, Sequence);
    Side.Stream->Answers.insert(Side.Stream->Answers.end(), Header, Header + kPduHeaderLength);
    return;
  }
  if (How.delay_ms <= 0) {
    SendResponse(Side, Id, How.status, Sequence);
    return;
  }
  TPendingAnswer Answer;
  Answer.Due = std::chrono::steady_clock::now() + std::chrono::milliseconds(How.delay_ms);
  // The session this PDU was read in: the worker reads only the session its socket is in.
  Answer.Session = Side.Connection.SessionCount.load();
  TPDU Response;
  Response.command_id = Id;
  Response.command_status = How.status;
  Response.sequence_number = Sequence;
  size_t Length = 0;
  EncodePdu(Answer.Bytes, sizeof Answer.Bytes, Length, Response, 0);
  if (Length == 0) return;
  Answer.Length = static_cast<uint8_t>(Length);
  std::unique_lock<std::mutex> Guard(FAnswerLock);
  // Queued by due time, after those due at the same time: with one delay, in the order read. So
  // many waiting answers means the delay far outlasts the SMSC's window; the oldest goes then,
  // so that the queue stays bounded.
  std::deque<TPendingAnswer>& Queue = Side.PendingAnswers;
  if (Queue.size() >= kMaxPendingAnswers) Queue.front().Due = std::chrono::steady_clock::now();
  Queue.insert(std::upper_bound(
                   Queue.begin(), Queue.end(), Answer,
                   [](const TPendingAnswer& A, const TPendingAnswer& B) { return A.Due < B.Due; }),
               Answer);
  if (!FAnswerThread.joinable()) {
    try {
      FAnswerThread = std::thread(&TSmppClient::AnswerLoop, this);
    } catch (const std::system_error&) {
      // No thread could be had: the answer goes now rather than never.
      Queue.clear();
      Guard.unlock();
      SocketSend(Side, Answer.Bytes, Answer.Length);
      return;
    }
  }
  FAnswerWake.notify_one();
}

void TSmppClient::DropLongPdu(TSideState& Side, uint32_t Length, const uint8_t* Bytes,
                              size_t Have) {
  // Only the start read so far is traced; the rest is dropped unseen as it comes.
  Trace(Side, TPduDirection::pdIn, Bytes, Have);
  Side.KeepAliveTimer->Suspend();
  // A request is answered with its own response, or generic_nack when this client has none for
  // it, carrying "invalid message length"; a response is not answered.
  const uint32_t Id = GetU32(Bytes + 4);
  if ((Id & kGenericNack) == 0) {
    uint32_t Response = kGenericNack;
    if (Id == kDeliverSm || Id == kDataSm || Id == kEnquireLink || Id == kUnbind)
      Response = Id | kGenericNack;
    SendResponse(Side, Response, kInvalidMessageLength, GetU32(Bytes + 12));
  }
  {
    TSMPPConnection& C = Side.Connection;
    std::lock_guard<std::recursive_mutex> Guard(C.ReportLock);
    C.SetRead(Bytes, Have);
    const std::string Text =
        std::string(Side.Prefix) + " PDU length " + std::to_string(Length) + " too long, dropped";
    Report(Side, &Text, true);
    C.IdleCount().store(0);
  }
  Side.KeepAliveTimer->Resume();
}

void TSmppClient::EnquireLinkAnswered(TSideState& Side, uint32_t Sequence) {
  Side.LastEnquireRespSeq.store(Sequence);
  if (Sequence == Side.LastEnquireSeq.load()) Side.WatchdogTimer->Suspend();
}

void TSmppClient::StreamFault(TSideState& Side, uint32_t Length, const uint8_t* Bytes,
                              size_t Have) {
  // What was read from the broken length on, as it came.
  Trace(Side, TPduDirection::pdIn, Bytes, Have);
  {
    TSMPPConnection& C = Side.Connection;
    std::lock_guard<std::recursive_mutex> Guard(C.ReportLock);
    C.SetRead(Bytes, Have);
    const std::string Text =
        std::string(Side.Prefix) + " invalid PDU length " + std::to_string(Length);
    Report(Side, &Text, true);
  }
  const uint32_t Sequence = Have >= kPduHeaderLength ? GetU32(Bytes + 12) : 0;
  SendResponse(Side, kGenericNack, kInvalidCommandLength, Sequence);
  // The stream cannot be resynchronised: the connection is closed and comes back as after any
  // lost connection (Closing is false, so the keep-alive count starts the reconnect).
  SocketClose(Side);
}
