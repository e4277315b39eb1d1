// TConnectionStates: the transitions of each connection, driven by report lines and trace events.
#include "inspect/ConnectionStates.h"

#include "inspect/PduSummary.h"
#include "smpp/PduNames.h"
#include "smpp/smpppdu.h"

namespace {

bool StartsWith(std::string_view S, std::string_view Prefix) {
  return S.substr(0, Prefix.size()) == Prefix;
}

uint32_t Be32(const std::vector<uint8_t>& B, size_t At) {
  return (uint32_t(B[At]) << 24) | (uint32_t(B[At + 1]) << 16) | (uint32_t(B[At + 2]) << 8) |
         uint32_t(B[At + 3]);
}

}  // namespace

const char* LinkStateName(TLinkState State) {
  switch (State) {
    case TLinkState::lsClosed:
      return "closed";
    case TLinkState::lsConnecting:
      return "connecting";
    case TLinkState::lsBinding:
      return "binding";
    case TLinkState::lsBound:
      return "bound";
    case TLinkState::lsReconnecting:
      return "reconnecting";
  }
  return "?";
}

std::string LinkStatusText(const TLinkStatus& Status, int64_t NowNs) {
  std::string Text = LinkStateName(Status.State);
  if (Status.State == TLinkState::lsReconnecting && Status.RetryAtNs > 0) {
    // Rounded up, so that the label never says "in 0 s" before the connect has begun.
    const int64_t Left = Status.RetryAtNs - NowNs;
    if (Left > 0) Text += " in " + std::to_string((Left + 999'999'999) / 1'000'000'000) + " s";
  }
  if (!Status.Reason.empty()) Text += " (" + Status.Reason + ")";
  return Text;
}

void TConnectionStates::BindAsked(TBindMode Mode) {
  FMode = Mode;
  FUnbinding = false;
  for (TLink& L : FLinks) L = TLink{};
  for (TPduConnection C : {TPduConnection::pcRcx, TPduConnection::pcTcx, TPduConnection::pcTrx})
    if (InUse(C)) Link(C).State = TLinkState::lsConnecting;
}

void TConnectionStates::UnbindAsked() {
  FUnbinding = true;
}

void TConnectionStates::UnbindDone() {
  FUnbinding = false;
  for (TLink& L : FLinks) {
    // A refusal stays readable after the Unbind that followed it.
    const std::string Reason = L.State == TLinkState::lsBound ? std::string() : L.Reason;
    L = TLink{};
    L.Reason = Reason;
  }
}

bool TConnectionStates::InUse(TPduConnection C) const {
  return (C == TPduConnection::pcTrx) == (FMode == TBindMode::bmTransceiver);
}

bool TConnectionStates::CanBind() const {
  if (FUnbinding) return false;
  for (const TLink& L : FLinks)
    if (L.State != TLinkState::lsClosed) return false;
  return true;
}

bool TConnectionStates::CanUnbind() const {
  return !FUnbinding && !CanBind();
}

void TConnectionStates::Failed(TLink& L, TLinkState Next, const char* Default, int64_t RetryAtNs) {
  L.State = Next;
  L.Reason = L.Pending.empty() ? Default : L.Pending;
  L.Pending.clear();
  L.RetryAtNs = RetryAtNs;
}

void TConnectionStates::OnReport(TReportChannel Channel, std::string_view Line, int64_t NowNs) {
  // The connection a line is about: its prefix, or for the watchdog's "tcx reconnect" (which
  // the receiver reports too) the notification that carried it.
  TPduConnection C;
  std::string_view Rest;
  if (StartsWith(Line, "Rcx ") || StartsWith(Line, "rcx ")) {
    C = TPduConnection::pcRcx;
  } else if (StartsWith(Line, "Trx ") || StartsWith(Line, "trx ")) {
    C = TPduConnection::pcTrx;
  } else if (StartsWith(Line, "Tcx ") || StartsWith(Line, "tcx ")) {
    C = Line == "tcx reconnect" && Channel == TReportChannel::rcRcx ? TPduConnection::pcRcx
        : FMode == TBindMode::bmTransceiver                         ? TPduConnection::pcTrx
                                                                    : TPduConnection::pcTcx;
  } else {
    return;
  }
  Rest = Line.substr(4);
  TLink& L = Link(C);
  if (Rest == "disconnected") {
    // Unbind's own lines, or an unbind the SMSC asked for; the client connects again only
    // after the latter, and the trace then shows it.
    L.State = TLinkState::lsClosed;
    L.Pending.clear();
    L.RetryAtNs = 0;
  } else if (Rest == "reconnect") {
    L.Pending = "no answer to enquire_link";
    Failed(L, TLinkState::lsReconnecting, "", 0);
  } else if (Rest == "try Connect in 5 sec") {
    if (L.RetryLineDue) {
      // The retry of the failed connect the trace told of: the wait starts now, and the trace's
      // reason stands (a TLS line held for this report says the same).
      L.RetryLineDue = false;
      L.Pending.clear();
      L.RetryAtNs = NowNs + kRetryWaitNs;
      return;
    }
    Failed(L, TLinkState::lsReconnecting, "connect failed", NowNs + kRetryWaitNs);
  } else if (StartsWith(Rest, "TLS handshake failed: ")) {
    L.Pending = std::string(Rest);
  } else if (StartsWith(Rest, "closed by the SMSC before the bind answer")) {
    L.Pending = std::string(Rest);
  }
}

void TConnectionStates::OnTrace(const TPduTraceRecord& R) {
  TLink& L = Link(R.Connection);
  switch (R.Kind) {
    case TPduTraceKind::tkOpened:
      L.RetryLineDue = false;
      if (FUnbinding) return;
      L.State = TLinkState::lsBinding;
      L.RetryAtNs = 0;
      return;
    case TPduTraceKind::tkFailed:
      // The client retries in kRetryWaitNs and says so in the line that follows.
      L.Pending = FailureReason(R.Bytes);
      Failed(L, TLinkState::lsReconnecting, "", R.MonotonicNs + kRetryWaitNs);
      L.RetryLineDue = true;
      return;
    case TPduTraceKind::tkClosed:
      if (FUnbinding || L.State == TLinkState::lsClosed) {
        L.State = TLinkState::lsClosed;
        return;
      }
      L.RetryLineDue = false;
      Failed(L, TLinkState::lsReconnecting, "connection lost", 0);
      return;
    case TPduTraceKind::tkPdu:
      break;
  }
  if (R.Direction != TPduDirection::pdIn || R.Bytes.size() < kPduHeaderLength) return;
  const uint32_t Command = Be32(R.Bytes, 4);
  const uint32_t Status = Be32(R.Bytes, 8);
  const bool BindAnswer = Command == kBindReceiverResp || Command == kBindTransmitterResp ||
                          Command == kBindTransceiverResp ||
                          (Command == kGenericNack && L.State == TLinkState::lsBinding);
  if (!BindAnswer || L.State != TLinkState::lsBinding) return;
  if (Status == 0 && Command != kGenericNack) {
    L.State = TLinkState::lsBound;
    L.Reason.clear();
    L.Pending.clear();
  } else {
    L.Pending = "bind refused: " + CommandStatusName(Status);
    // Shown at once; the close that follows keeps it.
    L.Reason = L.Pending;
  }
}
