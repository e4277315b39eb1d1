// TConnectionStates: each connection's state and reason, from the report lines and trace events a
// session produces, including the ones that share a text between connections.
#include "inspect/ConnectionStates.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "smpp/smpppdu.h"
#include "tests/smpp/PduTestUtil.h"

namespace {

constexpr auto Rcx = TPduConnection::pcRcx;
constexpr auto Tcx = TPduConnection::pcTcx;
constexpr auto Trx = TPduConnection::pcTrx;

// One step of a session: a report line on a channel, a trace event, or a button's effect.
struct TStep {
  enum { Report, Opened, Closed, PduIn, Unbind, UnbindDone } What;
  TPduConnection Connection = Rcx;
  std::string Line = {};  // Report
  TReportChannel Channel = TReportChannel::rcRcx;
  uint32_t Command = 0, Status = 0;  // PduIn
};

TStep Line(std::string L, TReportChannel C = TReportChannel::rcRcx) {
  return {TStep::Report, Rcx, std::move(L), C};
}
TStep Trace(decltype(TStep::What) W, TPduConnection C, uint32_t Command = 0, uint32_t Status = 0) {
  return {W, C, {}, TReportChannel::rcRcx, Command, Status};
}

TEST(ConnectionStates, FollowsReportsAndTrace) {
  const auto T = TReportChannel::rcTcx;
  const struct {
    const char* Name;
    TBindMode Mode;
    std::vector<TStep> Steps;
    TPduConnection Connection;
    std::string Expected;  // LinkStatusText at time 0
    bool CanBind, CanUnbind;
  } Cases[] = {
      {"asked", TBindMode::bmPair, {}, Tcx, "connecting", false, true},
      {"transceiver leaves the pair closed",
       TBindMode::bmTransceiver,
       {},
       Rcx,
       "closed",
       false,
       true},
      {"opened", TBindMode::bmPair, {Trace(TStep::Opened, Rcx)}, Rcx, "binding", false, true},
      {"bound",
       TBindMode::bmPair,
       {Trace(TStep::Opened, Tcx), Trace(TStep::PduIn, Tcx, kBindTransmitterResp, 0)},
       Tcx,
       "bound",
       false,
       true},
      {"bind refused, then closed",
       TBindMode::bmTransceiver,
       {Trace(TStep::Opened, Trx), Trace(TStep::PduIn, Trx, kBindTransceiverResp, 0x0E),
        Trace(TStep::Closed, Trx)},
       Trx,
       "reconnecting (bind refused: ESME_RINVPASWD)",
       false,
       true},
      {"generic_nack to the bind",
       TBindMode::bmPair,
       {Trace(TStep::Opened, Rcx), Trace(TStep::PduIn, Rcx, kGenericNack, 3)},
       Rcx,
       "binding (bind refused: ESME_RINVCMDID)",
       false,
       true},
      {"refused connect",
       TBindMode::bmPair,
       {Line("Rcx try Connect in 5 sec")},
       Rcx,
       "reconnecting in 5 s (connect failed)",
       false,
       true},
      {"TLS failure",
       TBindMode::bmPair,
       {Line("Tcx TLS handshake failed: certificate verify failed", T),
        Line("Tcx try Connect in 5 sec", T)},
       Tcx,
       "reconnecting in 5 s (TLS handshake failed: certificate verify failed)",
       false,
       true},
      {"dropped before the bind answer",
       TBindMode::bmPair,
       {Trace(TStep::Opened, Rcx),
        Line("Rcx closed by the SMSC before the bind answer (does the SMSC want TLS?)"),
        Trace(TStep::Closed, Rcx)},
       Rcx,
       "reconnecting (closed by the SMSC before the bind answer (does the SMSC want TLS?))",
       false,
       true},
      {"lost while bound",
       TBindMode::bmPair,
       {Trace(TStep::Opened, Rcx), Trace(TStep::PduIn, Rcx, kBindReceiverResp, 0),
        Trace(TStep::Closed, Rcx)},
       Rcx,
       "reconnecting (connection lost)",
       false,
       true},
      {"the receiver's watchdog says tcx reconnect on its own notification",
       TBindMode::bmPair,
       {Trace(TStep::Opened, Rcx), Trace(TStep::PduIn, Rcx, kBindReceiverResp, 0),
        Line("tcx reconnect")},
       Rcx,
       "reconnecting (no answer to enquire_link)",
       false,
       true},
      {"the transceiver's lines name it",
       TBindMode::bmTransceiver,
       {Trace(TStep::Opened, Trx), Line("trx reconnect", T)},
       Trx,
       "reconnecting (no answer to enquire_link)",
       false,
       true},
      {"unbinding",
       TBindMode::bmPair,
       {Trace(TStep::Opened, Rcx), Trace(TStep::PduIn, Rcx, kBindReceiverResp, 0),
        Trace(TStep::Unbind, Rcx), Trace(TStep::Closed, Rcx)},
       Rcx,
       "closed",
       false,
       false},
      {"unbound",
       TBindMode::bmPair,
       {Trace(TStep::Unbind, Rcx), Line("rcx disconnected"), Line("tcx disconnected", T),
        Trace(TStep::UnbindDone, Rcx)},
       Tcx,
       "closed",
       true,
       false},
      {"a refusal stays readable after Unbind",
       TBindMode::bmPair,
       {Trace(TStep::Opened, Tcx), Trace(TStep::PduIn, Tcx, kBindTransmitterResp, 0x0F),
        Trace(TStep::Unbind, Tcx), Trace(TStep::UnbindDone, Tcx)},
       Tcx,
       "closed (bind refused: ESME_RINVSYSID)",
       true,
       false},
      {"an answer after the bind changes nothing",
       TBindMode::bmPair,
       {Trace(TStep::Opened, Tcx), Trace(TStep::PduIn, Tcx, kBindTransmitterResp, 0),
        Trace(TStep::PduIn, Tcx, kSubmitSmResp, 0x58)},
       Tcx,
       "bound",
       false,
       true},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TConnectionStates S;
    S.BindAsked(C.Mode);
    for (const TStep& Step : C.Steps) {
      TPduTraceRecord R;
      R.Connection = Step.Connection;
      switch (Step.What) {
        case TStep::Report:
          S.OnReport(Step.Channel, Step.Line, 0);
          continue;
        case TStep::Unbind:
          S.UnbindAsked();
          continue;
        case TStep::UnbindDone:
          S.UnbindDone();
          continue;
        case TStep::Opened:
          R.Kind = TPduTraceKind::tkOpened;
          break;
        case TStep::Closed:
          R.Kind = TPduTraceKind::tkClosed;
          break;
        case TStep::PduIn:
          R.Bytes = PduOf(Step.Command, Step.Status, 1);
          break;
      }
      S.OnTrace(R);
    }
    EXPECT_EQ(LinkStatusText(S.Status(C.Connection), 0), C.Expected);
    EXPECT_EQ(S.CanBind(), C.CanBind);
    EXPECT_EQ(S.CanUnbind(), C.CanUnbind);
  }
}

}  // namespace
