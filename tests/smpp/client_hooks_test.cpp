// The client's load hooks: answers to submits and delivery receipts handed over as values in
// place of their report lines, while every other read is reported as always.
#include <condition_variable>
#include <mutex>

#include "smpp/smppclient.h"
#include "tests/smpp/RawSmsc.h"

namespace {

// What the hooks were handed, as text: "resp 0x80000004 0 5 12ab" or "receipt 9 77 DELIVRD 000".
class HookLog {
 public:
  void Add(std::string Text, int64_t ReadNs) {
    std::lock_guard<std::mutex> Guard(FLock);
    FCalls.push_back(std::move(Text));
    FAllTimed = FAllTimed && ReadNs > 0;
    FChanged.notify_all();
  }
  // Waits for call N (counting from 1) and gives it; empty when it does not come.
  std::string WaitFor(size_t N) {
    std::unique_lock<std::mutex> Guard(FLock);
    FChanged.wait_for(Guard, 5s, [&] { return FCalls.size() >= N; });
    return FCalls.size() >= N ? FCalls[N - 1] : std::string();
  }
  size_t Count() {
    std::lock_guard<std::mutex> Guard(FLock);
    return FCalls.size();
  }
  bool AllTimed() {
    std::lock_guard<std::mutex> Guard(FLock);
    return FAllTimed;
  }

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<std::string> FCalls;  // FLock
  bool FAllTimed = true;            // FLock
};

}  // namespace

TEST_F(RawSmsc, LoadHooksTakeAnswersAndReceiptsInsteadOfTheirLines) {
  HookLog Hooks;
  client->SetOnSubmitResponse([&](TSmppClient*, const TSmppClient::TSubmitResponse& R) {
    char Text[64];
    std::snprintf(Text, sizeof Text, "resp 0x%08X %u %u ", R.CommandId, R.Status, R.Sequence);
    Hooks.Add(Text + std::string(R.MessageId), R.ReadNs);
  });
  client->SetOnReceipt([&](TSmppClient*, const TSmppClient::TReceipt& R) {
    Hooks.Add("receipt " + std::to_string(R.Sequence) + " " + std::string(R.MessageId) + " " +
                  std::string(R.State) + " " + std::string(R.Error),
              R.ReadNs);
  });
  bindBoth();
  // The bytes of a raw submit_sm; its answer keeps its own line.
  const int32_t RawSeq = client->SendRaw(PduOf(kSubmitSm, 0, 0, Bytes(17, 0)), true);
  ASSERT_GT(RawSeq, 0);
  Bytes Id12ab, IdBroken, IdRaw;
  Cstr(Id12ab, "12ab");
  IdBroken = {'a', 0x01, 'b', '\n', 0};
  Cstr(IdRaw, "r1");
  const std::string Receipt =
      "id:77 sub:001 dlvrd:001 submit date:2401011200 done date:2401011201 stat:DELIVRD err:000 "
      "text:";
  struct Case {
    const char* Name;
    bool OnRcx;
    Bytes Pdu;
    std::string Hook;  // the hook's call, or empty when the PDU is reported
    std::string Line;  // the line reported instead (a prefix), when there is no call
  };
  const Case Cases[] = {
      {"accepted", false, PduOf(kSubmitSmResp, 0, 5, Id12ab), "resp 0x80000004 0 5 12ab", ""},
      {"throttled, no id", false, PduOf(kSubmitSmResp, 0x58, 6), "resp 0x80000004 88 6 ", ""},
      {"multi, id printable only", false, PduOf(kSubmitMultiResp, 0, 7, IdBroken),
       "resp 0x80000021 0 7 ab", ""},
      {"receipt, answered", true, PduOf(kDeliverSm, 0, 9, DeliverBody("1", "2", 0x04, Receipt)),
       "receipt 9 77 DELIVRD 000", ""},
      {"message, reported", true, PduOf(kDeliverSm, 0, 10, DeliverBody("1", "2", 0, "hi")), "",
       "+DELIVER "},
      {"raw PDU's answer, reported", false,
       PduOf(kSubmitSmResp, 0, static_cast<uint32_t>(RawSeq), IdRaw), "",
       "Tcx submit_sm_resp seq " + std::to_string(RawSeq) + " ESME_ROK id r1 (raw PDU)"},
  };
  size_t Calls = 0;
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    const size_t From = reports->mark();
    (C.OnRcx ? rcx : tcx)->write(C.Pdu);
    if (C.Hook.empty()) {
      EXPECT_TRUE(reports->waitFor(C.OnRcx ? On::Rcx : On::Tcx, C.Line, From)) << reports->dump();
      EXPECT_EQ(Hooks.Count(), Calls);
    } else {
      EXPECT_EQ(Hooks.WaitFor(++Calls), C.Hook);
      // The hook is called where the line would have been set: no line came before it.
      EXPECT_EQ(reports->lines().size(), From) << reports->dump();
      const TSMPPConnection& Conn =
          C.OnRcx ? static_cast<TSMPPConnection&>(client->Rcx()) : client->Tcx();
      EXPECT_EQ(Conn.cmd_seq(), static_cast<int32_t>(GetU32(&C.Pdu[12])));
    }
    if (C.OnRcx) {
      // Deliveries are answered either way.
      auto Resp = rcx->readUntil(kDeliverSmResp);
      ASSERT_TRUE(Resp);
      EXPECT_EQ(GetU32(&(*Resp)[12]), GetU32(&C.Pdu[12]));
    }
  }
  EXPECT_TRUE(Hooks.AllTimed());
  // Turned off, the answers are reported again.
  client->SetOnSubmitResponse(nullptr);
  const size_t From = reports->mark();
  tcx->write(PduOf(kSubmitSmResp, 0, 11, Id12ab));
  EXPECT_TRUE(reports->waitFor(On::Tcx, "+IN_QUEUE ID=12ab", From));
}

// The read-done hook comes after the answers of each read, once per read that handled a PDU, on
// the side that read it: two answers in one write, a receipt, and an answer written a byte at a
// time (reads that handle no PDU call nothing).
TEST_F(RawSmsc, ReadDoneFollowsTheAnswersOfEachRead) {
  HookLog Hooks;
  client->SetOnSubmitResponse([&](TSmppClient*, const TSmppClient::TSubmitResponse& R) {
    Hooks.Add("resp " + std::to_string(R.Sequence), 1);
  });
  client->SetOnReceipt(
      [&](TSmppClient*, const TSmppClient::TReceipt& R) { Hooks.Add("receipt", R.ReadNs); });
  client->SetOnReadDone(
      [&](TSmppClient*, bool Transmits) { Hooks.Add(Transmits ? "done tcx" : "done rcx", 1); });
  bindBoth();
  // The reads of the two bind answers.
  EXPECT_NE(Hooks.WaitFor(1), Hooks.WaitFor(2));
  Bytes Two = PduOf(kSubmitSmResp, 0, 5, Text("a"));
  const Bytes Six = PduOf(kSubmitSmResp, 0, 6, Text("b"));
  Two.insert(Two.end(), Six.begin(), Six.end());
  tcx->write(Two);
  EXPECT_EQ(Hooks.WaitFor(3), "resp 5");
  // The two may come in one read or two.
  const size_t N = Hooks.WaitFor(4) == "resp 6" ? 5 : 6;
  EXPECT_EQ(Hooks.WaitFor(N - 1), "resp 6");
  EXPECT_EQ(Hooks.WaitFor(N), "done tcx");
  rcx->write(PduOf(kDeliverSm, 0, 9,
                   DeliverBody("1", "2", 0x04, "id:1 sub:001 dlvrd:001 stat:DELIVRD err:000")));
  EXPECT_EQ(Hooks.WaitFor(N + 1), "receipt");
  EXPECT_EQ(Hooks.WaitFor(N + 2), "done rcx");
  tcx->writeSlowly(PduOf(kSubmitSmResp, 0, 7, Text("c")));
  EXPECT_EQ(Hooks.WaitFor(N + 3), "resp 7");
  EXPECT_EQ(Hooks.WaitFor(N + 4), "done tcx");
  EXPECT_TRUE(rcx->readUntil(kDeliverSmResp));
  EXPECT_EQ(Hooks.Count(), N + 4);
}

namespace {

// What a load run sets: a close the SMSC makes is told to the session-closed hook at once and
// starts the retry at once (here the keep-alive would take a thousand ticks to notice); on
// Disconnect only the connection bound in its session is unbound, one whose bind went unanswered
// is not.
TEST_F(RawSmsc, LoadRunSettingsConnectAgainAtACloseAndUnbindOnlyBoundSessions) {
  client->Rcx().Set_rcxTimerInterval(1000);
  client->Tcx().Set_tcxTimerInterval(1000);
  client->ReconnectWhenClosed = true;
  client->UnbindBoundOnly = true;
  HookLog Log;
  client->SetOnSessionClosed(
      [&](TSmppClient*, bool Transmits) { Log.Add(Transmits ? "closed tcx" : "closed rcx", 1); });
  bindBoth();
  tcx.reset();
  EXPECT_EQ(Log.WaitFor(1), "closed tcx");
  auto Again = acceptBind(kBindTransmitter);
  ASSERT_TRUE(Again) << "connected again at the close";
  client->Disconnect();
  EXPECT_TRUE(rcx->readUntil(kUnbind, 2s));
  EXPECT_FALSE(Again->read(500ms)) << "no unbind on a session that never bound";
  EXPECT_EQ(Log.Count(), 1u);
}

}  // namespace
