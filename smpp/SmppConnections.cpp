// TSmppClient: the handlers of the receiver and the transmitter connection (connected, data,
// closed, error) and the byte stream of each connection.
#include <algorithm>
#include <cstring>

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

void TSmppClient::SessionConnected(TSide Side, uint16_t ErrorCode) {
  TActiveCall Call(*this);
  if (!Call.Entered()) return;
  if (ErrorCode != 0) {
    FBindUnanswered[static_cast<int>(Side)].store(false);
    std::lock_guard<std::recursive_mutex> Guard(Conn(Side).ReportLock);
    // A failed TLS handshake names its reason first; the retry is reported as for any failed
    // connect (the transmitter's error report shows the text it holds first, which is this one).
    // The worker's own text is that of this failure ("connect failed" for a plain one).
    TWorkerThread* W = Conn(Side).Socket()->WorkerThread();
    const std::string Why = W ? W->LastErrorMsg() : std::string();
    if (Why.rfind("TLS handshake failed: ", 0) == 0) {
      const std::string Text = (Side == TSide::Rcx ? "Rcx " : "Tcx ") + Why;
      if (Side == TSide::Rcx)
        Report(Side, &Text, false);
      else
        FTcx->Set_tcxData(Text);
    }
    Error(Side);
    return;
  }
  // A new connection starts a new byte stream.
  FStream[static_cast<int>(Side)]->Have = 0;
  FStream[static_cast<int>(Side)]->Skip = 0;
  FCloseAsked[static_cast<int>(Side)].store(false);
  FBindUnanswered[static_cast<int>(Side)].store(true);
  KeepAliveTimer(Side)->Resume();
  std::lock_guard<std::recursive_mutex> Guard(Conn(Side).ReportLock);
  const std::string Text = Side == TSide::Rcx ? "Rcx Connected." : "Tcx Connected.";
  if (Side == TSide::Rcx)
    FRcx->Set_rcxData(Text);
  else
    FTcx->Set_tcxData(Text);
  uint8_t Buffer[kPduBufferSize];
  size_t Length = 0;
  TPDU Pdu;
  Pdu.command_id = Side == TSide::Rcx ? kBindReceiver : kBindTransmitter;
  Pdu.command_status = 0;
  EncodePdu(Buffer, sizeof Buffer, Length, Pdu, 0);
  SocketSend(Side, Buffer, Length);
  Report(Side, nullptr, false);
}

void TSmppClient::SessionClosed(TSide Side) {
  TActiveCall Call(*this);
  if (!Call.Entered()) return;
  // A connection the SMSC ends before it answered the bind never gets a line of its own
  // otherwise; a TLS-only SMSC ends a plain one that way, silently, and each retry looks
  // like the first.
  const bool Unanswered = FBindUnanswered[static_cast<int>(Side)].exchange(false);
  if (Unanswered && !FClosing.load() && !FCloseAsked[static_cast<int>(Side)].load()) {
    // This connection's settings: Connect hands new ones over only once it is closed.
    TWorkerThread* W = Conn(Side).Socket()->WorkerThread();
    std::string Text = std::string(Prefix(Side)) + " closed by the SMSC before the bind answer";
    if (!W || !W->TlsSettings().UseTLS) Text += " (does the SMSC want TLS?)";
    Report(Side, &Text, false);
  }
  // A close that was asked for ends the keep-alive; any other lets the keep-alive count notice
  // the lost connection and start the reconnect.
  if (FClosing.load())
    KeepAliveTimer(Side)->Suspend();
  else
    KeepAliveTimer(Side)->Resume();
}

void TSmppClient::Error(TSide Side) {
  TActiveCall Call(*this);
  if (!Call.Entered()) return;
  std::lock_guard<std::recursive_mutex> Guard(Conn(Side).ReportLock);
  if (Side == TSide::Rcx) {
    ReconnectTimer(Side)->Resume();
    const std::string Text = "Rcx try Connect in 5 sec";
    Report(Side, &Text, false);
  } else {
    // The transmitter first reports the text it still holds, then the retry.
    Report(Side, nullptr, false);
    ReconnectTimer(Side)->Resume();
    const std::string Text = "Tcx try Connect in 5 sec";
    Report(Side, &Text, false);
  }
}

void TSmppClient::DataAvailable(TSide Side) {
  TActiveCall Call(*this);
  if (!Call.Entered()) return;
  TStream& St = *FStream[static_cast<int>(Side)];
  TIcsSocket* S = Conn(Side).Socket();
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
  } KeepAlive{KeepAliveTimer(Side)};
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
    HandleRead(Side, St.Bytes + Offset, Frame.Length);
    Offset += Frame.Length;
    if (FDying.load() || FCloseAsked[static_cast<int>(Side)].load()) {
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

void TSmppClient::HandleRead(TSide Side, const uint8_t* Bytes, size_t Length) {
  {
    TSMPPConnection& C = Conn(Side);
    std::lock_guard<std::recursive_mutex> Guard(C.ReportLock);
    C.SetRead(Bytes, Length);
    TPDU Pdu;
    DecodePdu(Bytes, Length, Length, Pdu);
    if (Pdu.command_id == kGenericNack ||
        Pdu.command_id == (Side == TSide::Rcx ? kBindReceiverResp : kBindTransmitterResp))
      FBindUnanswered[static_cast<int>(Side)].store(false);
    if (Side == TSide::Rcx) {
      FRcx->Set_cmd_seq(static_cast<int32_t>(Pdu.sequence_number));
      ActOnRcxPdu(Pdu);
    } else {
      FTcx->Set_cmd_seq(static_cast<int32_t>(Pdu.sequence_number));
      ActOnTcxPdu(Pdu);
    }
    Report(Side, nullptr, true);
    if (Side == TSide::Rcx)
      FRcx->Set_rcxIdle(0);
    else
      FTcx->Set_tcxIdle(0);
  }
}

void TSmppClient::ActOnRcxPdu(const TPDU& Pdu) {
  // Requests of the SMSC that SMPP requires an answer to are answered whatever else happens.
  if (Pdu.command_id == kEnquireLink) {
    SendResponse(TSide::Rcx, kEnquireLinkResp, 0, Pdu.sequence_number);
    return;
  }
  if (Pdu.command_id == kUnbind) {
    SendResponse(TSide::Rcx, kUnbindResp, 0, Pdu.sequence_number);
    SocketClose(TSide::Rcx);
    return;
  }
  if (Pdu.command_id == kEnquireLinkResp) EnquireLinkAnswered(TSide::Rcx, Pdu.sequence_number);
  if (Pdu.command_status != 0) return;
  switch (Pdu.command_id) {
    case kBindReceiverResp:
      FRcx->Set_rcxData("bind Rcx OK");
      break;
    case kDataSm:
    case kDeliverSm: {
      // Answered before anything else, each with its own response.
      SendResponse(TSide::Rcx, Pdu.command_id == kDataSm ? kDataSmResp : kDeliverSmResp, 0,
                   Pdu.sequence_number);
      // A receipt's line carries no time: the clock is read only for other messages.
      const std::string Line =
          RcxDeliverLine(Pdu, IsReceipt(Pdu.deliver.esm_class) ? std::string() : NowToStr());
      if (!Line.empty()) FRcx->Set_rcxData(Line);
      break;
    }
    case kUnbindResp:
      FRcx->Set_rcxData("rcx disconnected");
      SocketClose(TSide::Rcx);
      break;
    default:
      break;
  }
}

void TSmppClient::ActOnTcxPdu(const TPDU& Pdu) {
  if (Pdu.command_id == kEnquireLink) {
    SendResponse(TSide::Tcx, kEnquireLinkResp, 0, Pdu.sequence_number);
    return;
  }
  if (Pdu.command_id == kUnbind) {
    SendResponse(TSide::Tcx, kUnbindResp, 0, Pdu.sequence_number);
    SocketClose(TSide::Tcx);
    return;
  }
  if (Pdu.command_id == kEnquireLinkResp) EnquireLinkAnswered(TSide::Tcx, Pdu.sequence_number);
  if (Pdu.command_status == kThrottled) {
    FTcx->Set_tcxData("MAILBOX FULL");
    return;
  }
  if (Pdu.command_status != 0) return;
  switch (Pdu.command_id) {
    case kBindTransmitterResp:
      FTcx->Set_tcxData("bind Tcx OK");
      break;
    case kSubmitSmResp:
      FTcx->SetReportText("+IN_QUEUE ID=", Pdu.message_id);
      break;
    case kUnbindResp:
      FTcx->Set_tcxData("tcx disconnected");
      SocketClose(TSide::Tcx);
      break;
    default:
      break;
  }
}

void TSmppClient::SendResponse(TSide Side, uint32_t CommandId, uint32_t Status, uint32_t Sequence) {
  uint8_t Buffer[kPduHeaderLength * 2];
  size_t Length = 0;
  TPDU Response;
  Response.command_id = CommandId;
  Response.command_status = Status;
  Response.sequence_number = Sequence;
  EncodePdu(Buffer, sizeof Buffer, Length, Response, 0);
  if (Length) SocketSend(Side, Buffer, Length);
}

void TSmppClient::DropLongPdu(TSide Side, uint32_t Length, const uint8_t* Bytes, size_t Have) {
  KeepAliveTimer(Side)->Suspend();
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
    TSMPPConnection& C = Conn(Side);
    std::lock_guard<std::recursive_mutex> Guard(C.ReportLock);
    C.SetRead(Bytes, Have);
    const std::string Text =
        std::string(Prefix(Side)) + " PDU length " + std::to_string(Length) + " too long, dropped";
    Report(Side, &Text, true);
    C.IdleCount().store(0);
  }
  KeepAliveTimer(Side)->Resume();
}

void TSmppClient::EnquireLinkAnswered(TSide Side, uint32_t Sequence) {
  const bool Rcx = Side == TSide::Rcx;
  (Rcx ? FRcxLastEnquireRespSeq : FTcxLastEnquireRespSeq).store(Sequence);
  if (Sequence == (Rcx ? FRcxLastEnquireSeq : FTcxLastEnquireSeq).load())
    WatchdogTimer(Side)->Suspend();
}

void TSmppClient::StreamFault(TSide Side, uint32_t Length, const uint8_t* Bytes, size_t Have) {
  {
    TSMPPConnection& C = Conn(Side);
    std::lock_guard<std::recursive_mutex> Guard(C.ReportLock);
    C.SetRead(Bytes, Have);
    const std::string Text =
        std::string(Prefix(Side)) + " invalid PDU length " + std::to_string(Length);
    Report(Side, &Text, true);
  }
  const uint32_t Sequence = Have >= kPduHeaderLength ? GetU32(Bytes + 12) : 0;
  SendResponse(Side, kGenericNack, kInvalidCommandLength, Sequence);
  // The stream cannot be resynchronised: the connection is closed and comes back as after any
  // lost connection (Closing is false, so the keep-alive count starts the reconnect).
  SocketClose(Side);
}
