// The client bound as one transceiver against the raw SMSC (its bind, submits and deliveries on
// the one connection, each line on its notification, reconnect, unbind), our answers to
// deliveries (status, delay, none, dropped with their session), and the settings behind both.
#include <poll.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/FormText.h"
#include "tests/ClientReports.h"
#include "tests/smpp/PduTestUtil.h"
#include "tests/smpp/RawSmsc.h"

using namespace std::chrono_literals;

namespace {

TEST(SMPPClientInfo, AnswerAndBindSettingsAreStoredByNameAndRefusedOutOfRange) {
  TSMPPClientInfo info;
  info.Set_bind_mode(TBindMode::bmTransceiver);
  info.Set_deliver_resp_status(0x58);
  info.Set_deliver_resp_delay_ms(1500);
  info.Set_deliver_no_answer(true);
  const std::string text = WriteFormText(info);
  EXPECT_EQ(text.substr(text.find("bind_mode")),
            "bind_mode = bmTransceiver\n"
            "deliver_resp_status = 88\n"
            "deliver_resp_delay_ms = 1500\n"
            "deliver_no_answer = true\n");

  const struct {
    const char* Text;
    const char* Error;
  } cases[] = {
      {"bind_mode = trx", "line 2: bind_mode cannot be trx"},
      {"deliver_resp_delay_ms = -1", "line 2: deliver_resp_delay_ms must be 0 to 600000, not -1"},
      {"deliver_resp_delay_ms = 600001",
       "line 2: deliver_resp_delay_ms must be 0 to 600000, not 600001"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text);
    try {
      ReadFormText(info, std::string("Port = 1\n") + c.Text);
      ADD_FAILURE() << "accepted";
    } catch (const EFormTextError& e) {
      EXPECT_STREQ(e.what(), c.Error);
    }
  }
  EXPECT_EQ(info.deliver_resp_delay_ms(), 1500);
}

class TrxSmsc : public RawSmsc {
 protected:
  // Connects the client as a transceiver (or lets it reconnect) and answers its one bind.
  void bindTrx(bool connect = true) {
    client->ClientInfo().Set_bind_mode(TBindMode::bmTransceiver);
    if (connect) client->Connect();
    pollfd p{FListener, POLLIN, 0};
    ASSERT_GT(poll(&p, 1, 10000), 0);
    trx = std::make_unique<RawPeer>(accept(FListener, nullptr, nullptr));
    auto bind = trx->read();
    ASSERT_TRUE(bind && GetU32(&(*bind)[4]) == kBindTransceiver);
    trx->bindSeq = GetU32(&(*bind)[12]);
    trx->bindPdu = *bind;
    trx->write(PduOf(kBindTransceiverResp, 0, trx->bindSeq));
    ASSERT_TRUE(reports->waitFor(On::Tcx, "bind Trx OK", from));
    from = reports->mark();
  }
  // True when no further connection comes within the wait.
  bool noOtherConnection(std::chrono::milliseconds wait = 300ms) {
    pollfd p{FListener, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(wait.count())) == 0;
  }
  std::unique_ptr<RawPeer> trx;
  size_t from = 0;
};

// What the client sends within the wait, up to n PDUs, leaving out its keep-alive enquire_links.
std::vector<Bytes> Answers(RawPeer& peer, size_t n, std::chrono::milliseconds wait) {
  std::vector<Bytes> got;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (got.size() < n) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    auto p = peer.read(left);
    if (!p) break;
    if (GetU32(&(*p)[4]) != kEnquireLink) got.push_back(*p);
  }
  return got;
}

// A data_sm body with a short destination and nothing optional.
Bytes DataSmBody() {
  Bytes b = {0, 1, 1, '2', 0, 1, 1, '1', 0};
  b.insert(b.end(), {0, 0, 0});  // esm_class, registered_delivery, data_coding
  return b;
}

TEST_F(TrxSmsc, OneConnectionBindsSubmitsReceivesReconnectsAndUnbinds) {
  std::atomic<int> tracedElsewhere{0};
  client->SetPduTrace(
      [&](const TPduTraceEvent& e) { tracedElsewhere += e.Connection != TPduConnection::pcTrx; });
  client->ClientInfo().SetUserID("user");
  client->ClientInfo().SetPassword("pw");
  client->ClientInfo().SetSystemType("t");
  ASSERT_NO_FATAL_FAILURE(bindTrx());
  Bytes body;
  Cstr(body, "user"), Cstr(body, "pw"), Cstr(body, "t");
  body.insert(body.end(), {0x34, 0, 0, 0});
  EXPECT_EQ(trx->bindPdu, PduOf(kBindTransceiver, 0, trx->bindSeq, body));
  EXPECT_TRUE(reports->waitFor(On::Tcx, "Trx Connected."));
  EXPECT_TRUE(noOtherConnection());

  // A submit and its answer, a delivery and a receipt, all on the one connection.
  const int32_t seq = client->Send("1111", "2222", "", "hello");
  ASSERT_GT(seq, 0);
  auto submit = trx->readUntil(kSubmitSm);
  ASSERT_TRUE(submit);
  EXPECT_EQ(GetU32(&(*submit)[12]), uint32_t(seq));
  Bytes id;
  Cstr(id, "abc");
  trx->write(PduOf(kSubmitSmResp, 0, uint32_t(seq), id));
  EXPECT_TRUE(reports->waitFor(On::Tcx, "+IN_QUEUE ID=abc", from));
  const Bytes deliver = PduOf(kDeliverSm, 0, 41, DeliverBody("2222", "1111", 0, "back"));
  trx->write(deliver);
  trx->write(PduOf(kDeliverSm, 0, 42,
                   DeliverBody("2222", "1111", 0x04, "id:abc sub:001 stat:DELIVRD err:000")));
  for (uint32_t s : {41u, 42u}) {
    auto resp = trx->readUntil(kDeliverSmResp);
    ASSERT_TRUE(resp);
    EXPECT_EQ(GetU32(&(*resp)[12]), s);
  }
  size_t at = 0;
  ASSERT_TRUE(reports->waitFor(On::Rcx, "+DELIVER ", from, 10s, &at));
  EXPECT_EQ(reports->lines()[at].hex.size(), deliver.size() * 3);
  EXPECT_TRUE(reports->waitFor(On::Rcx, "+QUERY_RES abc:", from));
  for (const auto& l : reports->lines()) EXPECT_TRUE(!l.rcx || l.text[0] == '+') << reports->dump();

  // The SMSC drops it: the one connection comes back, bound again.
  trx.reset();
  ASSERT_NO_FATAL_FAILURE(bindTrx(false));
  EXPECT_TRUE(noOtherConnection());

  client->Disconnect();
  EXPECT_TRUE(reports->waitFor(On::Tcx, "trx disconnected", from));
  auto unbind = trx->readUntil(kUnbind);
  ASSERT_TRUE(unbind);
  trx->write(PduOf(kUnbindResp, 0, GetU32(&(*unbind)[12])));
  EXPECT_TRUE(trx->closedByClient());
  EXPECT_EQ(reports->count(On::Rcx, "rcx"), 0u) << reports->dump();
  EXPECT_EQ(tracedElsewhere, 0);
}

TEST_F(TrxSmsc, ModeChangedWhileDisconnectedTakesEffectOnTheNextConnect) {
  ASSERT_NO_FATAL_FAILURE(bindBoth());
  client->Disconnect();
  rcx.reset(), tcx.reset();
  // Connect changes the mode only once both sockets have closed.
  for (auto end = std::chrono::steady_clock::now() + 5s;
       std::chrono::steady_clock::now() < end && (client->Rcx().Socket()->State() != wsClosed ||
                                                  client->Tcx().Socket()->State() != wsClosed);)
    std::this_thread::sleep_for(5ms);
  from = reports->mark();
  ASSERT_NO_FATAL_FAILURE(bindTrx());
  EXPECT_TRUE(noOtherConnection());
}

TEST_F(TrxSmsc, DeliveriesAreAnsweredWithTheSetStatusLateOrNotAtAll) {
  const struct {
    const char* name;
    bool transceiver;
    int32_t status, delayMs;
    bool noAnswer;
  } cases[] = {
      {"error status at once", false, 0x58, 0, false},
      {"late", false, 0, 300, false},
      {"late with an error on a transceiver", true, 0x14, 300, false},
      {"never", false, 0, 0, true},
      {"never on a transceiver", true, 0, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    newClient();
    from = 0;
    client->ClientInfo().Set_deliver_resp_status(c.status);
    client->ClientInfo().Set_deliver_resp_delay_ms(c.delayMs);
    client->ClientInfo().Set_deliver_no_answer(c.noAnswer);
    RawPeer* peer = nullptr;
    if (c.transceiver) {
      ASSERT_NO_FATAL_FAILURE(bindTrx());
      peer = trx.get();
    } else {
      ASSERT_NO_FATAL_FAILURE(bindBoth());
      peer = rcx.get();
    }
    const auto start = std::chrono::steady_clock::now();
    peer->write(PduOf(kDataSm, 0, 7, DataSmBody()));
    peer->write(PduOf(kDeliverSm, 0, 8, DeliverBody("2222", "1111", 0, "hi")));
    peer->write(PduOf(kEnquireLink, 0, 9));
    const Bytes answers[] = {PduOf(kDataSmResp, c.status, 7, Bytes{0}),
                             PduOf(kDeliverSmResp, c.status, 8, Bytes{0})};
    const Bytes enquireResp = PduOf(kEnquireLinkResp, 0, 9);
    // The connection goes on reading while an answer waits: the enquire_link is answered first.
    std::vector<Bytes> expected;
    if (c.noAnswer)
      expected = {enquireResp};
    else if (c.delayMs)
      expected = {enquireResp, answers[0], answers[1]};
    else
      expected = {answers[0], answers[1], enquireResp};
    EXPECT_EQ(Answers(*peer, 3, c.noAnswer ? 1s : 5s), expected);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(c.delayMs));
    EXPECT_TRUE(reports->waitCount(On::Rcx, "+DELIVER ", 2));
    client->Disconnect();
  }
}

TEST_F(TrxSmsc, AnAnswerWaitingWhenTheConnectionDropsIsNotSentOnTheNextOne) {
  client->ClientInfo().Set_deliver_resp_delay_ms(200);
  ASSERT_NO_FATAL_FAILURE(bindTrx());
  trx->write(PduOf(kDeliverSm, 0, 5, DeliverBody("2222", "1111", 0, "hi")));
  ASSERT_TRUE(reports->waitFor(On::Rcx, "+DELIVER "));
  trx.reset();
  ASSERT_NO_FATAL_FAILURE(bindTrx(false));
  // Nothing but the new session's keep-alive comes within several times the delay.
  EXPECT_TRUE(Answers(*trx, 1, 1s).empty());
}

}  // namespace
