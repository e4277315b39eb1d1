// TConnectionStates: each connection's state and reason, from the report lines and trace events a
// session produces, including the ones that share a text between connections.
#include "inspect/ConnectionStates.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/smpp/PduTestUtil.h"

namespace {

TPduConnection ConnectionNamed(const std::string& Name) {
  return Name == "Rcx"   ? TPduConnection::pcRcx
         : Name == "Tcx" ? TPduConnection::pcTcx
                         : TPduConnection::pcTrx;
}

// Plays one step: "open Rcx", "close Trx", "fail Rcx REASON" (a failed connect), "in Tcx COMMAND_ID
// STATUS" (hex), "unbind", "unbound", or a report line as "rcx: LINE" / "tcx: LINE" (the
// notification that carried it).
void Play(TConnectionStates& S, const std::string& Step) {
  if (Step.rfind("rcx: ", 0) == 0 || Step.rfind("tcx: ", 0) == 0) {
    S.OnReport(Step[0] == 'r' ? TReportChannel::rcRcx : TReportChannel::rcTcx, Step.substr(5), 0);
    return;
  }
  if (Step == "unbind") return S.UnbindAsked();
  if (Step == "unbound") return S.UnbindDone();
  std::istringstream In(Step);
  std::string What, Name;
  uint32_t Command = 0, Status = 0;
  In >> What >> Name >> std::hex >> Command >> Status;
  TPduTraceRecord R;
  R.Connection = ConnectionNamed(Name);
  R.Kind = What == "open"    ? TPduTraceKind::tkOpened
           : What == "close" ? TPduTraceKind::tkClosed
           : What == "fail"  ? TPduTraceKind::tkFailed
                             : TPduTraceKind::tkPdu;
  if (R.Kind == TPduTraceKind::tkPdu) R.Bytes = PduOf(Command, Status, 1);
  if (R.Kind == TPduTraceKind::tkFailed) R.Bytes = Text(Step.substr(9));
  S.OnTrace(R);
}

TEST(ConnectionStates, FollowsReportsAndTrace) {
  const auto Pair = TBindMode::bmPair, Trx = TBindMode::bmTransceiver;
  const struct {
    TBindMode Mode;
    std::vector<std::string> Steps;
    const char* Connection;
    std::string Expected;  // LinkStatusText at time 0
    bool CanBind, CanUnbind;
  } Cases[] = {
      {Pair, {}, "Tcx", "connecting", false, true},
      {Trx, {}, "Rcx", "closed", false, true},
      {Pair, {"open Rcx"}, "Rcx", "binding", false, true},
      {Pair, {"open Tcx", "in Tcx 80000002 0"}, "Tcx", "bound", false, true},
      {Pair, {"open Tcx", "in Tcx 80000002 0", "in Tcx 80000004 58"}, "Tcx", "bound", false, true},
      {Trx,
       {"open Trx", "in Trx 80000009 e", "close Trx"},
       "Trx",
       "reconnecting (bind refused: ESME_RINVPASWD)",
       false,
       true},
      {Pair,
       {"open Rcx", "in Rcx 80000000 3"},
       "Rcx",
       "binding (bind refused: ESME_RINVCMDID)",
       false,
       true},
      {Pair,
       {"rcx: Rcx try Connect in 5 sec"},
       "Rcx",
       "reconnecting in 5 s (connect failed)",
       false,
       true},
      // The trace tells why a connect failed; the retry line keeps that reason.
      {Pair,
       {"fail Rcx connection refused"},
       "Rcx",
       "reconnecting in 5 s (connection refused)",
       false,
       true},
      {Pair,
       {"fail Tcx host not found", "tcx: Tcx try Connect in 5 sec"},
       "Tcx",
       "reconnecting in 5 s (host not found)",
       false,
       true},
      // A lost connection whose reconnect fails: the countdown only from the failure on.
      {Trx,
       {"open Trx", "in Trx 80000009 0", "close Trx", "fail Trx connection timed out",
        "tcx: Trx try Connect in 5 sec"},
       "Trx",
       "reconnecting in 5 s (connection timed out)",
       false,
       true},
      // The TLS line that the retry line follows is no reason left over for the next attempt.
      {Pair,
       {"fail Tcx TLS handshake failed: certificate verify failed",
        "tcx: Tcx TLS handshake failed: certificate verify failed", "tcx: Tcx try Connect in 5 sec",
        "open Tcx", "close Tcx"},
       "Tcx",
       "reconnecting (connection lost)",
       false,
       true},
      {Pair,
       {"tcx: Tcx TLS handshake failed: certificate verify failed",
        "tcx: Tcx try Connect in 5 sec"},
       "Tcx",
       "reconnecting in 5 s (TLS handshake failed: certificate verify failed)",
       false,
       true},
      {Pair,
       {"open Rcx", "rcx: Rcx closed by the SMSC before the bind answer (does the SMSC want TLS?)",
        "close Rcx"},
       "Rcx",
       "reconnecting (closed by the SMSC before the bind answer (does the SMSC want TLS?))",
       false,
       true},
      {Pair,
       {"open Rcx", "in Rcx 80000001 0", "close Rcx"},
       "Rcx",
       "reconnecting (connection lost)",
       false,
       true},
      // The receiver's watchdog reports "tcx reconnect", on its own notification.
      {Pair,
       {"open Rcx", "in Rcx 80000001 0", "rcx: tcx reconnect"},
       "Rcx",
       "reconnecting (no answer to enquire_link)",
       false,
       true},
      {Trx,
       {"open Trx", "tcx: trx reconnect"},
       "Trx",
       "reconnecting (no answer to enquire_link)",
       false,
       true},
      {Pair,
       {"open Rcx", "in Rcx 80000001 0", "unbind", "close Rcx"},
       "Rcx",
       "closed",
       false,
       false},
      {Pair,
       {"unbind", "rcx: rcx disconnected", "tcx: tcx disconnected", "unbound"},
       "Tcx",
       "closed",
       true,
       false},
      // A refusal stays readable after the Unbind that followed it.
      {Pair,
       {"open Tcx", "in Tcx 80000002 f", "unbind", "unbound"},
       "Tcx",
       "closed (bind refused: ESME_RINVSYSID)",
       true,
       false},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Steps.empty() ? "bind asked" : C.Steps.back());
    TConnectionStates S;
    S.BindAsked(C.Mode);
    for (const std::string& Step : C.Steps) Play(S, Step);
    EXPECT_EQ(LinkStatusText(S.Status(ConnectionNamed(C.Connection)), 0), C.Expected);
    EXPECT_EQ(S.CanBind(), C.CanBind);
    EXPECT_EQ(S.CanUnbind(), C.CanUnbind);
  }
}

}  // namespace
