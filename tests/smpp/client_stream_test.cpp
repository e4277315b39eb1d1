// The client component against a raw-socket SMSC written in the test: the byte stream of each
// connection (PDUs one byte at a time, many PDUs in one write, broken lengths, an HTTP answer, PDUs
// too long to take), the answers SMPP requires, recovery after each fault, the watchdog, a worker
// thread refused on connect, and Send of a message that cannot be built.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/ClientReports.h"
#include "tests/smpp/PduTestUtil.h"
#include "tests/smpp/RawSmsc.h"

using namespace std::chrono_literals;

namespace {

TEST_F(RawSmsc, PdusArrivingOneByteAtATimeAreHandledOnce) {
  client->Connect();
  rcx = acceptBind(kBindReceiver);
  ASSERT_TRUE(rcx);
  rcx->writeSlowly(PduOf(kBindReceiverResp, 0, rcx->bindSeq));
  rcx->writeSlowly(PduOf(kDeliverSm, 0, 77, DeliverBody("1111", "2222", 0, "hi")));
  auto resp = rcx->readUntil(kDeliverSmResp);
  ASSERT_TRUE(resp);
  EXPECT_EQ(GetU32(&(*resp)[12]), 77u);
  ASSERT_TRUE(reports->waitFor(On::Rcx, "+DELIVER "));
  std::this_thread::sleep_for(100ms);  // a second report would arrive meanwhile
  EXPECT_EQ(reports->count(On::Rcx, "bind Rcx OK"), 1u);
  EXPECT_EQ(reports->count(On::Rcx, "+DELIVER "), 1u);
  EXPECT_EQ(reports->count(On::Rcx, "Rcx invalid"), 0u) << reports->dump();
  // Each read is reported with the hex dump of its own PDU.
  for (const auto& l : reports->lines())
    if (l.text == "bind Rcx OK") {
      EXPECT_EQ(l.hex.size(), 16u * 3);
    }
}

TEST_F(RawSmsc, ManyPdusInOneWriteAreHandledInOrder) {
  bindBoth();
  Bytes burst;
  for (uint32_t i = 0; i < 50; ++i) {
    Bytes p =
        PduOf(kDeliverSm, 0, 100 + i, DeliverBody("1111", "2222", 0, "m" + std::to_string(i)));
    burst.insert(burst.end(), p.begin(), p.end());
  }
  const size_t from = reports->mark();
  rcx->write(burst);
  for (uint32_t i = 0; i < 50; ++i) {
    auto resp = rcx->readUntil(kDeliverSmResp);
    ASSERT_TRUE(resp) << i;
    EXPECT_EQ(GetU32(&(*resp)[12]), 100 + i);
  }
  ASSERT_TRUE(reports->waitCount(On::Rcx, "+DELIVER ", 50));
  std::vector<std::string> texts;
  const auto lines = reports->lines();
  for (size_t i = from; i < lines.size(); ++i) {
    const auto& l = lines[i];
    if (l.rcx && l.text.rfind("+DELIVER ", 0) == 0)
      texts.push_back(l.text.substr(l.text.rfind(':') + 1));
  }
  ASSERT_EQ(texts.size(), 50u);
  for (size_t i = 0; i < 50; ++i) EXPECT_EQ(texts[i], "m" + std::to_string(i));
}

TEST_F(RawSmsc, BrokenLengthsAreReportedNackedAndTheConnectionComesBack) {
  struct Case {
    const char* name;
    On on;
    Bytes bytes;
    std::string line;
  };
  const std::string http = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
  const Case cases[] = {
      {"length 5", On::Rcx, Header(5, kDeliverSm, 0, 9), "Rcx invalid PDU length 5"},
      {"length 65537", On::Rcx, Header(65537, kDeliverSm, 0, 9), "Rcx invalid PDU length 65537"},
      {"http answer", On::Tcx, Bytes(http.begin(), http.end()),
       "Tcx invalid PDU length 1213486160"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    newClient();
    FRcxParked.reset(), FTcxParked.reset();
    client->Connect();
    auto peer = acceptBind(c.on == On::Rcx ? kBindReceiver : kBindTransmitter);
    ASSERT_TRUE(peer);
    peer->write(c.bytes);
    ASSERT_TRUE(reports->waitFor(c.on, c.line)) << reports->dump();
    auto nack = peer->readUntil(kGenericNack);
    ASSERT_TRUE(nack);
    EXPECT_EQ(GetU32(&(*nack)[8]), 2u);  // ESME_RINVCMDLEN
    EXPECT_TRUE(peer->closedByClient());
    // The connection comes back by itself and binds again.
    auto again = acceptBind(c.on == On::Rcx ? kBindReceiver : kBindTransmitter);
    EXPECT_TRUE(again) << reports->dump();
    client.reset();
  }
}

TEST_F(RawSmsc, TransmitterReportsEachAnswerOfTheSmsc) {
  bindBoth();
  struct Case {
    Bytes answer;
    std::string line;  // empty: no text of its own
  };
  Bytes id12ab;
  Cstr(id12ab, "12ab");
  const Case cases[] = {
      {PduOf(kSubmitSmResp, 0, 5, id12ab), "+IN_QUEUE ID=12ab"},
      {PduOf(kSubmitSmResp, 0x58, 6), "MAILBOX FULL"},
      {PduOf(kSubmitSmResp, 0x45, 7), ""},
      {PduOf(kEnquireLinkResp, 0, 8), ""},
  };
  for (const Case& c : cases) {
    const size_t from = reports->mark();
    tcx->write(c.answer);
    size_t index = 0;
    ASSERT_TRUE(reports->waitFor(On::Tcx, c.line, from, 5s, &index));
    const auto lines = reports->lines();
    EXPECT_EQ(lines[index].text, c.line);
    EXPECT_EQ(lines[index].hex.size(), c.answer.size() * 3);
  }
  EXPECT_EQ(client->TcxLastEnquireRespSeq(), 8u);
}

TEST_F(RawSmsc, RequestsOfTheSmscAreAnsweredOnBothConnections) {
  bindBoth();
  for (RawPeer* peer : {rcx.get(), tcx.get()}) {
    peer->write(PduOf(kEnquireLink, 0, 4242));
    auto resp = peer->readUntil(kEnquireLinkResp);
    ASSERT_TRUE(resp);
    EXPECT_EQ(GetU32(&(*resp)[12]), 4242u);
  }
  // An unbind from the SMSC is answered, the connection closes and comes back.
  tcx->write(PduOf(kUnbind, 0, 99));
  auto resp = tcx->readUntil(kUnbindResp);
  ASSERT_TRUE(resp);
  EXPECT_EQ(GetU32(&(*resp)[12]), 99u);
  EXPECT_TRUE(tcx->closedByClient());
  EXPECT_TRUE(acceptBind(kBindTransmitter)) << reports->dump();
}

TEST_F(RawSmsc, LargestPduAndReadBinDataKeepEveryByte) {
  bindBoth();
  // A deliver_sm of exactly 10000 bytes: its optional-parameter bytes run into the text.
  Bytes body = DeliverBody("1111", "2222", 0, std::string(200, 'z'));
  body.resize(10000 - 16, 'q');
  Bytes big = PduOf(kDeliverSm, 0, 31, body);
  ASSERT_EQ(big.size(), 10000u);
  std::vector<uint8_t> seen;
  std::promise<void> done;
  client->SetRcxOnData([&](TSmppClient* c) {
    if (c->Rcx().rcxData().rfind("+DELIVER ", 0) != 0) return;
    seen.resize(TSMPPConnection::BinBufferSize + 8, 0xEE);
    int32_t n = 0;
    c->Rcx().ReadBinData(n, seen.data(), static_cast<int32_t>(seen.size()));
    seen.resize(static_cast<size_t>(n));
    done.set_value();
  });
  rcx->write(big);
  auto resp = rcx->readUntil(kDeliverSmResp);
  ASSERT_TRUE(resp);
  EXPECT_EQ(GetU32(&(*resp)[12]), 31u);
  ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
  EXPECT_EQ(seen, big);
}

}  // namespace

namespace {

TEST_F(RawSmsc, SmscHangingUpAfterTheBindComesBackAndReconnects) {
  struct Case {
    const char* name;
    uint32_t answer;   // what answers the bind before the SMSC hangs up; 0: nothing
    std::string line;  // the line of the hang-up itself
  } cases[] = {
      {"refused bind", kBindReceiverResp, ""},
      {"generic_nack", kGenericNack, ""},
      {"no answer", 0, "Rcx closed by the SMSC before the bind answer (does the SMSC want TLS?)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    newClient();
    FRcxParked.reset(), FTcxParked.reset();
    client->Connect();
    auto peer = acceptBind(kBindReceiver);
    ASSERT_TRUE(peer);
    // The bind may arrive before its connection's line is reported.
    size_t index = 0;
    ASSERT_TRUE(reports->waitFor(On::Rcx, "Rcx Connected.", 0, 5s, &index));
    if (c.answer) peer->write(PduOf(c.answer, 0x0E, peer->bindSeq));  // invalid password
    peer.reset();  // and the SMSC hangs up at once
    // An answer with a refusal has no text of its own: the read is reported with the text still
    // held. No answer: the hang-up is reported.
    ASSERT_TRUE(reports->waitFor(On::Rcx, "", index + 1, 5s, &index));
    EXPECT_EQ(reports->lines()[index].text, c.answer ? "Rcx Connected." : c.line);
    EXPECT_EQ(reports->lines()[index].hex.size(), c.answer ? 16u * 3 : 0u);
    // The lost connection is noticed and made again; the hang-up had a line only when the bind
    // went unanswered.
    auto again = acceptBind(kBindReceiver);
    EXPECT_TRUE(again) << reports->dump();
    EXPECT_EQ(reports->count(On::Rcx, "Rcx closed by"), c.answer ? 0u : 1u) << reports->dump();
  }
}

TEST_F(RawSmsc, ConnectOnABoundClientChangesNothing) {
  bindBoth();
  const size_t from = reports->mark();
  client->Connect();
  std::this_thread::sleep_for(300ms);  // several reconnect periods of the short timers
  EXPECT_EQ(reports->count(On::Rcx, "Rcx try"), 0u) << reports->dump();
  EXPECT_EQ(reports->count(On::Tcx, "Tcx try"), 0u) << reports->dump();
  EXPECT_EQ(reports->mark(), from);
  EXPECT_EQ(client->Rcx().Socket()->State(), wsConnected);
  pollfd p{FListener, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0);  // no new connection
}

TEST_F(RawSmsc, StreamsLongerThanOneReadAndMixedWithFaults) {
  bindBoth();
  auto deliver = [](uint32_t seq, const std::string& text, size_t total) {
    Bytes body = DeliverBody("1111", "2222", 0, text);
    body.resize(total - 16, 'p');  // trailing bytes run into the text
    return PduOf(kDeliverSm, 0, seq, body);
  };
  struct Case {
    const char* name;
    std::vector<Bytes> pdus;
    size_t delivers;   // "+DELIVER " lines and deliver_sm_resp answers
    std::string last;  // the last line expected, when not a delivery
    bool unbindFirst;  // the stream starts with an unbind
  };
  Bytes bad = Header(7, kDeliverSm, 0, 1);
  const Case cases[] = {
      // Three PDUs of 4000 bytes: the second straddles the end of the 10000-byte receive buffer.
      {"straddling",
       {deliver(201, "a", 4000), deliver(202, "b", 4000), deliver(203, "c", 4000)},
       3,
       "",
       false},
      {"fault after good PDUs",
       {deliver(211, "d", 60), deliver(212, "e", 60), bad},
       2,
       "Rcx invalid PDU length 7",
       false},
      {"unbind then more", {PduOf(kUnbind, 0, 221), deliver(222, "f", 60)}, 0, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!rcx) {
      rcx = acceptBind(kBindReceiver);
      ASSERT_TRUE(rcx) << reports->dump();
      rcx->write(PduOf(kBindReceiverResp, 0, rcx->bindSeq));
    }
    const size_t from = reports->mark();
    const size_t before = reports->count(On::Rcx, "+DELIVER ");
    Bytes stream;
    for (const Bytes& p : c.pdus) stream.insert(stream.end(), p.begin(), p.end());
    rcx->write(stream);
    for (size_t i = 0; i < c.delivers; ++i) {
      auto resp = rcx->readUntil(kDeliverSmResp);
      ASSERT_TRUE(resp);
      EXPECT_EQ(GetU32(&(*resp)[12]), GetU32(&c.pdus[i][12]));
    }
    if (!c.last.empty()) {
      ASSERT_TRUE(reports->waitFor(On::Rcx, c.last, from)) << reports->dump();
    }
    if (c.unbindFirst) {
      auto resp = rcx->readUntil(kUnbindResp);
      ASSERT_TRUE(resp);
      EXPECT_EQ(GetU32(&(*resp)[12]), 221u);
      EXPECT_TRUE(rcx->closedByClient());  // and the deliver_sm behind it got no answer
    }
    EXPECT_TRUE(reports->waitCount(On::Rcx, "+DELIVER ", before + c.delivers));
    size_t delivered = 0;
    const auto lines = reports->lines();
    for (size_t i = from; i < lines.size(); ++i)
      if (lines[i].rcx && lines[i].text.rfind("+DELIVER ", 0) == 0) ++delivered;
    EXPECT_EQ(delivered, c.delivers);
    if (!c.last.empty() || c.unbindFirst) rcx.reset();  // closed by the client: bind again
  }
}

TEST_F(RawSmsc, SendCutsTheSourceAndStoresSplitPartsRoundTheStore) {
  bindBoth();
  ASSERT_GT(client->Send(std::string(25, '7'), "5551234", "", "hi"), 0);
  auto submit = tcx->readUntil(kSubmitSm);
  ASSERT_TRUE(submit);
  // service_type (empty), then source ton, npi and the source address.
  const std::string source(reinterpret_cast<const char*>(&(*submit)[16 + 1 + 2]));
  EXPECT_EQ(source, std::string(20, '7'));

  // 501 messages of two parts each: the 1001st part goes into the first slot again.
  int32_t last = 0;
  for (int i = 0; i < 501; ++i) last = client->Send("1234", "5551234", "", std::string(150, 'x'));
  ASSERT_GT(last, 0);
  EXPECT_EQ(client->SentPartIndex(), 2);
  EXPECT_EQ(GetU32(client->SentPartStore(1) + 12), static_cast<uint32_t>(last - 1));
  EXPECT_EQ(GetU32(client->SentPartStore(2) + 12), static_cast<uint32_t>(last));
  EXPECT_EQ(GetU32(client->SentPartStore(2) + 4), kSubmitSm);
}

// Another request (the keep-alive's enquire_link) takes a number between two parts: Send and
// SendMany make every part's number known, as it went on the wire, in the plain and in the coded
// way.
TEST_F(RawSmsc, SendGivesTheSequenceNumberOfEveryPartAsSent) {
  bindBoth();
  client->TestHooks.AfterPartEncoded = [this] { client->SequenceCounter().Next(); };
  for (const bool coded : {false, true}) {
    SCOPED_TRACE(coded ? "gsm, user data header" : "bytes, split");
    client->ClientInfo().Set_submit_coding(coded ? TTextCoding::tcGsm : TTextCoding::tcBytes);
    client->ClientInfo().Set_submit_long_mode(coded ? TLongMessageMode::lmUdh
                                                    : TLongMessageMode::lmSplit);
    std::vector<uint32_t> parts = {99};
    const int32_t last = client->Send("1234", "5551234", "", std::string(300, 'x'), &parts);
    std::vector<uint32_t> wire;
    while (wire.size() < parts.size())
      if (auto submit = tcx->readUntil(kSubmitSm))
        wire.push_back(GetU32(&(*submit)[12]));
      else
        break;
    ASSERT_EQ(parts.size(), coded ? 3u : 2u);
    EXPECT_EQ(parts, wire);
    EXPECT_EQ(parts.back(), static_cast<uint32_t>(last));
    EXPECT_EQ(parts[1], parts[0] + 2);  // one number went to the other request

    // SendMany: each message as Send sends it, and none from one that cannot be built on.
    std::string many = "1";
    for (int i = 0; i < 255; ++i) many += ",1";
    const std::string dest = "5551234", text = std::string(300, 'x'), hi = "hi";
    const std::string* dests[] = {&dest, &dest, &many, &dest};
    const std::string* texts[] = {&text, &hi, &hi, &hi};
    std::vector<size_t> ends;
    std::vector<int64_t> at;
    EXPECT_EQ(client->SendMany("1234", "", 4, dests, texts, parts, ends, at), 2u);
    EXPECT_EQ(ends, (std::vector<size_t>{coded ? 3u : 2u, coded ? 4u : 3u}));
    ASSERT_EQ(at.size(), 2u);
    // Plain texts go in one write, stamped once; coded ones each as it goes.
    EXPECT_EQ(at[1] == at[0], !coded);
    const int32_t next = client->Send("1234", "5551234", "", "hi");
    parts.push_back(static_cast<uint32_t>(next));
    wire.clear();
    while (wire.size() < parts.size())
      if (auto submit = tcx->readUntil(kSubmitSm))
        wire.push_back(GetU32(&(*submit)[12]));
      else
        break;
    EXPECT_EQ(parts, wire);
  }
}

TEST_F(RawSmsc, UnassignedNotificationsChangeNothingElse) {
  client->SetRcxOnData(nullptr);
  client->SetTcxOnData(nullptr);
  client->Connect();
  rcx = acceptBind(kBindReceiver);
  ASSERT_TRUE(rcx);
  rcx->write(PduOf(kBindReceiverResp, 0, rcx->bindSeq));
  rcx->write(PduOf(kDeliverSm, 0, 55, DeliverBody("1", "2", 0, "x")));
  auto resp = rcx->readUntil(kDeliverSmResp);
  ASSERT_TRUE(resp);
  EXPECT_EQ(GetU32(&(*resp)[12]), 55u);
  EXPECT_EQ(reports->mark(), 0u);
}

}  // namespace

namespace {

TEST_F(RawSmsc, ASocketThatDiedOnAFailedWriteIsClosedAndConnectedAgain) {
  bindBoth();
  // Shutting the transmitter's own side makes its next write fail with EPIPE: the socket then
  // holds no OS connection while it still reads as connected.
  TWorkerThread* W = client->Tcx().Socket()->WorkerThread();
  ASSERT_NE(W, nullptr);
  ASSERT_EQ(::shutdown(W->HSocket(), SHUT_WR), 0);
  client->Send("1234", "5551234", "", "into the void");
  // The keep-alive count finds it and the transmitter binds again.
  EXPECT_TRUE(acceptBind(kBindTransmitter)) << reports->dump();
}

}  // namespace

namespace {

// A report line with the time of a +DELIVER line left out, so that lines compare exactly.
std::string WithoutTime(const std::string& line) {
  if (line.rfind("+DELIVER ", 0) != 0 || line.size() < 25) return line;
  return "+DELIVER " + line.substr(25);
}

// Reads until a PDU with this id and sequence number and gives the ids and statuses of the PDUs
// before it, leaving out the client's own enquire_links.
using IdStatus = std::pair<uint32_t, uint32_t>;
std::vector<IdStatus> ReadUpTo(RawPeer& peer, uint32_t id, uint32_t seq, bool& found) {
  std::vector<IdStatus> before;
  found = false;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < deadline) {
    auto p = peer.read();
    if (!p) break;
    const uint32_t got = GetU32(&(*p)[4]);
    if (got == id && GetU32(&(*p)[12]) == seq) {
      found = true;
      break;
    }
    if (got != kEnquireLink) before.emplace_back(got, GetU32(&(*p)[8]));
  }
  return before;
}

TEST_F(RawSmsc, PdusTooLongToTakeAreAnsweredDroppedAndTheConnectionStays) {
  bindBoth();
  // A valid data_sm with a 20000-byte message_payload, and others of the kind.
  auto big = [](uint32_t id, uint32_t seq, size_t length) {
    Bytes body = Wire("00 01 01 '1111' 00 01 01 '2222' 00 00 00 00 04 24");
    const size_t payload = length - 16 - body.size() - 2;
    body.push_back(static_cast<uint8_t>(payload >> 8));
    body.push_back(static_cast<uint8_t>(payload));
    body.resize(length - 16, 'p');
    return PduOf(id, 0, seq, body);
  };
  struct Case {
    const char* what;
    Bytes pdu;
    uint32_t answer;  // 0: none
  };
  const Case cases[] = {
      {"data_sm with a large payload", big(kDataSm, 71, 20000), kDataSmResp},
      {"deliver_sm of 65536 bytes", big(kDeliverSm, 72, 65536), kDeliverSmResp},
      {"a request this client has no response for", big(0x00000102, 73, 10001), kGenericNack},
      {"a response", big(kSubmitSmResp, 74, 12000), 0},
  };
  uint32_t next = 80;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t from = reports->mark();
    rcx->write(c.pdu);
    // A deliver_sm behind it is taken as usual: the connection stayed up and in step.
    rcx->write(PduOf(kDeliverSm, 0, next, DeliverBody("1111", "2222", 0, "after")));
    bool found = false;
    const std::vector<IdStatus> before = ReadUpTo(*rcx, kDeliverSmResp, next++, found);
    EXPECT_TRUE(found) << reports->dump();
    // The answer, if any, carries "invalid message length".
    const std::vector<IdStatus> expected =
        c.answer ? std::vector<IdStatus>{{c.answer, 1}} : std::vector<IdStatus>{};
    EXPECT_EQ(before, expected);
    ASSERT_TRUE(reports->waitFor(On::Rcx, "+DELIVER ", from)) << reports->dump();
    const auto lines = reports->lines();
    std::vector<std::string> texts;
    for (size_t i = from; i < lines.size(); ++i)
      if (lines[i].rcx) texts.push_back(WithoutTime(lines[i].text));
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "Rcx PDU length " + std::to_string(c.pdu.size()) + " too long, dropped",
                         "+DELIVER 1111:2222:after"}));
  }
  EXPECT_EQ(reports->count(On::Rcx, "Rcx invalid"), 0u);
  pollfd p{FListener, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0);  // no new connection
}

TEST_F(RawSmsc, WatchdogRebuildsAConnectionWhoseEnquireLinkGoesUnanswered) {
  for (On on : {On::Rcx, On::Tcx}) {
    const bool onRcx = on == On::Rcx;
    SCOPED_TRACE(onRcx ? "rcx" : "tcx");
    // A fresh client each time: the other connection's enquire_links go unanswered too.
    newClient();
    FRcxParked.reset(), FTcxParked.reset();
    client->RcxWatchdogTimer()->SetInterval(100);
    client->TcxWatchdogTimer()->SetInterval(100);
    bindBoth();
    auto& peer = onRcx ? rcx : tcx;
    // An answered enquire_link stops the watchdog: the next PDU is the next enquire_link.
    auto enquire = peer->readUntil(kEnquireLink);
    ASSERT_TRUE(enquire);
    peer->write(PduOf(kEnquireLinkResp, 0, GetU32(&(*enquire)[12])));
    auto next = peer->read();
    ASSERT_TRUE(next);
    EXPECT_EQ(GetU32(&(*next)[4]), kEnquireLink);
    // Unanswered: unbind, close, and the connection is made and bound again.
    const size_t from = reports->mark();
    auto unbind = peer->read();
    ASSERT_TRUE(unbind);
    EXPECT_EQ(ToHex(*unbind), ToHex(UnbindPdu.data(), UnbindPdu.size()));
    EXPECT_TRUE(peer->closedByClient());
    peer = acceptBind(onRcx ? kBindReceiver : kBindTransmitter);
    ASSERT_TRUE(peer) << reports->dump();
    peer->write(PduOf(onRcx ? kBindReceiverResp : kBindTransmitterResp, 0, peer->bindSeq));
    EXPECT_TRUE(reports->waitFor(on, "tcx reconnect", from)) << reports->dump();
    EXPECT_TRUE(reports->waitFor(on, onRcx ? "bind Rcx OK" : "bind Tcx OK", from));
  }
}

TEST_F(RawSmsc, SendOfAMessageThatCannotBeBuiltSendsNothing) {
  bindBoth();
  // 409 destinations of 20 characters: a first part of 160 characters could never fit one PDU,
  // a second of 23 would.
  std::string many;
  for (int i = 0; i < 409; ++i) many += std::string(20, '1') + ",";
  EXPECT_EQ(client->Send("1234", many, "", std::string(150, 'x')), -1);
  EXPECT_EQ(client->Send("1234", ",", "", "no destination"), -1);
  EXPECT_EQ(client->SentPartIndex(), 0);
  const int32_t seq = client->Send("1234", "5551234", "", "hi");
  ASSERT_GT(seq, 0);
  bool found = false;
  EXPECT_EQ(ReadUpTo(*tcx, kSubmitSm, static_cast<uint32_t>(seq), found), std::vector<IdStatus>{});
  EXPECT_TRUE(found);
}

TEST_F(RawSmsc, AWorkerRefusedOnTheFirstConnectIsReportedAndRetried) {
  // With idle workers in the pool the sockets would never ask for a new one: hold them.
  std::vector<std::unique_ptr<TIcsSocket>> holders;
  while (TIcsWorkerPool::Instance().IdleCount() > 0) {
    auto s = std::make_unique<TIcsSocket>(nullptr);
    s->SetProto("tcp");
    s->SetAddr("127.0.0.1");
    s->SetPort("0");
    s->Listen();
    holders.push_back(std::move(s));
  }
  for (TIcsSocket* s : {client->Rcx().Socket(), client->Tcx().Socket()}) {
    auto calls = std::make_shared<std::atomic<int>>(0);
    s->WorkerThreadClass = [calls]() -> std::unique_ptr<TWorkerThread> {
      if (calls->fetch_add(1) == 0) return nullptr;  // the first one cannot be had
      return DefaultWorkerThreadClass()();
    };
  }
  // Send reads the transmitter's state while the reconnect gives the socket its worker.
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    while (!stop) {
      client->Send("1234", "5551234", "", "early");
      std::this_thread::sleep_for(1ms);
    }
  });
  client->Connect();
  EXPECT_TRUE(reports->waitFor(On::Rcx, "Rcx try Connect in 5 sec")) << reports->dump();
  EXPECT_TRUE(reports->waitFor(On::Tcx, "Tcx try Connect in 5 sec")) << reports->dump();
  rcx = acceptBind(kBindReceiver);
  tcx = acceptBind(kBindTransmitter);
  stop = true;
  sender.join();
  EXPECT_TRUE(rcx && tcx) << reports->dump();
}

}  // namespace
