// The client's PDU trace against the raw SMSC: one event per PDU on each connection, in the
// direction it went, with the bytes the SMSC wrote or read (as far as read, for PDUs that cannot be
// taken), and none once the handler is removed; each connection framed by its start, with its
// endpoints, and its end.
#include <algorithm>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "tests/smpp/PduTestUtil.h"
#include "tests/smpp/RawSmsc.h"

namespace {

struct TracedPdu {
  TPduDirection direction;
  int64_t ns;
  Bytes bytes;
};

class ClientTrace : public RawSmsc {
 protected:
  void SetUp() override {
    RawSmsc::SetUp();
    // No keep-alive enquire_link of the client's own among the PDUs the test drives.
    client->Rcx().Set_rcxTimerInterval(100000);
    client->Tcx().Set_tcxTimerInterval(100000);
    client->SetPduTrace([this](const TPduTraceEvent& e) {
      std::lock_guard<std::mutex> g(lock);
      if (e.Kind != TPduTraceKind::tkPdu) {
        boundaries[static_cast<size_t>(e.Connection)].push_back(
            {e.Kind, e.Endpoints, std::string(e.Bytes, e.Bytes + e.Length), reports->mark()});
        return;
      }
      traced[static_cast<size_t>(e.Connection)].push_back(
          {e.Direction, e.MonotonicNs, Bytes(e.Bytes, e.Bytes + e.Length)});
    });
  }
  RawPeer& peer(On on) { return on == On::Rcx ? *rcx : *tcx; }
  // The SMSC writes a PDU, or reads the next one: either is what the client traces.
  void peerWrites(On on, const Bytes& pdu) {
    peer(on).write(pdu);
    expected[static_cast<size_t>(on)].push_back({TPduDirection::pdIn, 0, pdu});
  }
  void peerReads(On on, uint32_t commandId) {
    auto pdu = peer(on).read();
    ASSERT_TRUE(pdu);
    ASSERT_EQ(GetU32(&(*pdu)[4]), commandId);
    expected[static_cast<size_t>(on)].push_back({TPduDirection::pdOut, 0, *pdu});
  }
  // Binds both connections; the bind and its answer are the first PDUs of each.
  void bindBothTraced() {
    bindBoth();
    for (On on : {On::Rcx, On::Tcx}) {
      expected[static_cast<size_t>(on)].push_back({TPduDirection::pdOut, 0, peer(on).bindPdu});
      const uint32_t respId = on == On::Rcx ? kBindReceiverResp : kBindTransmitterResp;
      expected[static_cast<size_t>(on)].push_back(
          {TPduDirection::pdIn, 0, PduOf(respId, 0, peer(on).bindSeq)});
    }
  }
  // Each connection traced what the SMSC wrote and read on it, in that order, at times that
  // never go back (unless an answer went while its read was handled: the next PDU of that read
  // keeps the read's time).
  void expectTracedAsExchanged(bool timesInOrder = true) {
    // A PDU sent is traced just after it went out, so the SMSC may read it first.
    const size_t total = expected[0].size() + expected[1].size();
    for (int i = 0; i < 500 && tracedCount() < total; ++i) std::this_thread::sleep_for(10ms);
    std::lock_guard<std::mutex> g(lock);
    for (size_t c = 0; c < 2; ++c) {
      ASSERT_EQ(traced[c].size(), expected[c].size()) << "connection " << c;
      for (size_t i = 0; i < traced[c].size(); ++i) {
        EXPECT_EQ(traced[c][i].direction, expected[c][i].direction) << c << ":" << i;
        EXPECT_EQ(traced[c][i].bytes, expected[c][i].bytes) << c << ":" << i;
        if (i && timesInOrder) {
          EXPECT_GE(traced[c][i].ns, traced[c][i - 1].ns) << c << ":" << i;
        }
      }
    }
  }
  size_t tracedCount() {
    std::lock_guard<std::mutex> g(lock);
    return traced[0].size() + traced[1].size();
  }

  std::mutex lock;  // guards traced: the client's threads add, the test reads
  std::vector<TracedPdu> traced[2];
  struct Boundary {
    TPduTraceKind kind;
    TTcpEndpoints ends;
    std::string text;      // tkFailed: the reason
    size_t reportsBefore;  // report lines of both connections when it was traced
  };
  std::vector<Boundary> boundaries[2];  // guarded by lock
  std::vector<TracedPdu> expected[2];   // the test's thread only
};

TEST_F(ClientTrace, EveryPduOfAnExchangeIsTracedOnItsConnection) {
  bindBothTraced();
  ASSERT_GT(client->Send("1111", "2222", "", "hi"), 0);
  peerReads(On::Tcx, kSubmitSm);
  Bytes messageId;
  Cstr(messageId, "id7");
  peerWrites(On::Tcx, PduOf(kSubmitSmResp, 0, GetU32(&expected[1].back().bytes[12]), messageId));
  ASSERT_TRUE(reports->waitFor(On::Tcx, "+IN_QUEUE ID=id7"));
  // The SMSC's requests, each answered by the client.
  const struct {
    On on;
    Bytes request;
    uint32_t responseId;
  } requests[] = {
      {On::Rcx, PduOf(kDeliverSm, 0, 51, DeliverBody("1111", "2222", 0, "hello")), kDeliverSmResp},
      {On::Rcx, PduOf(kEnquireLink, 0, 52), kEnquireLinkResp},
      {On::Tcx, PduOf(kEnquireLink, 0, 53), kEnquireLinkResp},
  };
  for (const auto& r : requests) {
    peerWrites(r.on, r.request);
    peerReads(r.on, r.responseId);
  }
  // A load run's submits go in one write, and the answers to a read's receipts together: still
  // one event per PDU, and the answers on the wire and in the trace in the order of the
  // deliveries.
  client->SetOnReceipt([](TSmppClient*, const TSmppClient::TReceipt&) {});
  const std::string dest = "2222", text = "hi";
  const std::string* dests[] = {&dest, &dest};
  const std::string* texts[] = {&text, &text};
  std::vector<uint32_t> parts;
  std::vector<size_t> ends;
  std::vector<int64_t> at;
  ASSERT_EQ(client->SendMany("1111", "", 2, dests, texts, parts, ends, at), 2u);
  peerReads(On::Tcx, kSubmitSm);
  peerReads(On::Tcx, kSubmitSm);
  Bytes read;
  for (uint32_t seq : {61u, 62u, 63u}) {
    const Bytes pdu = PduOf(kDeliverSm, 0, seq,
                            DeliverBody("1111", "2222", seq == 62 ? 0 : 0x04, "id:7 stat:DELIVRD"));
    read.insert(read.end(), pdu.begin(), pdu.end());
  }
  rcx->write(read);
  for (uint32_t seq : {61u, 62u, 63u}) {
    expected[0].push_back(
        {TPduDirection::pdIn, 0, Bytes(read.begin(), read.begin() + GetU32(&read[0]))});
    read.erase(read.begin(), read.begin() + GetU32(&read[0]));
    peerReads(On::Rcx, kDeliverSmResp);
    EXPECT_EQ(GetU32(&expected[0].back().bytes[12]), seq);
  }
  expectTracedAsExchanged(false);
  // Each connection started once, between loopback addresses, the SMSC's port and its own.
  std::lock_guard<std::mutex> g(lock);
  for (const auto& b : boundaries) {
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(b[0].kind, TPduTraceKind::tkOpened);
    EXPECT_EQ(b[0].ends.LocalAddr, INADDR_LOOPBACK);
    EXPECT_EQ(b[0].ends.RemoteAddr, INADDR_LOOPBACK);
    EXPECT_EQ(b[0].ends.RemotePort, FPort);
  }
  EXPECT_NE(boundaries[0][0].ends.LocalPort, boundaries[1][0].ends.LocalPort);
  EXPECT_NE(boundaries[0][0].ends.LocalPort, 0);
}

// A connect that fails is traced on its connection with the reason in words, before its retry is
// reported.
TEST_F(ClientTrace, AFailedConnectIsTracedWithItsReasonBeforeItsRetry) {
  client->ClientInfo().SetPort(UnusedLoopbackPort());
  client->Connect();
  for (On on : {On::Rcx, On::Tcx}) {
    size_t retry = 0;
    ASSERT_TRUE(reports->waitFor(on, on == On::Rcx ? "Rcx try" : "Tcx try", 0, 10s, &retry))
        << reports->dump();
    std::lock_guard<std::mutex> g(lock);
    const std::vector<Boundary>& b = boundaries[static_cast<size_t>(on)];
    ASSERT_FALSE(b.empty());
    EXPECT_EQ(b[0].kind, TPduTraceKind::tkFailed);
    EXPECT_EQ(b[0].text, "connection refused");
    EXPECT_LE(b[0].reportsBefore, retry);
  }
}

TEST_F(ClientTrace, NothingIsTracedOnceTheHandlerIsRemoved) {
  bindBoth();
  client->SetPduTrace({});
  const size_t before = tracedCount();
  for (On on : {On::Rcx, On::Tcx}) {
    peer(on).write(PduOf(kEnquireLink, 0, 60));
    ASSERT_TRUE(peer(on).readUntil(kEnquireLinkResp));
  }
  std::this_thread::sleep_for(50ms);  // a late event would arrive meanwhile
  EXPECT_EQ(tracedCount(), before);
}

// A gate holds back the PDUs stamped before its time, and only those; the connection's events
// pass.
TEST_F(ClientTrace, AGateHoldsBackThePdusBeforeItsTime) {
  std::atomic<int64_t> gate{INT64_MAX};
  std::vector<TracedPdu> passed;
  std::vector<TPduTraceKind> kinds;
  client->SetPduTrace(
      [&](const TPduTraceEvent& e) {
        std::lock_guard<std::mutex> g(lock);
        kinds.push_back(e.Kind);
        if (e.Kind == TPduTraceKind::tkPdu)
          passed.push_back({e.Direction, e.MonotonicNs, Bytes(e.Bytes, e.Bytes + e.Length)});
      },
      &gate);
  bindBoth();
  peer(On::Tcx).write(PduOf(kEnquireLink, 0, 60));
  ASSERT_TRUE(peer(On::Tcx).readUntil(kEnquireLinkResp));
  gate = PduTraceNowNs();
  peer(On::Tcx).write(PduOf(kEnquireLink, 0, 61));
  ASSERT_TRUE(peer(On::Tcx).readUntil(kEnquireLinkResp));
  std::this_thread::sleep_for(50ms);  // a late event would arrive meanwhile
  std::lock_guard<std::mutex> g(lock);
  ASSERT_EQ(passed.size(), 2u);  // the second enquire_link and its answer
  EXPECT_EQ(GetU32(&passed[0].bytes[12]), 61u);
  EXPECT_EQ(GetU32(&passed[1].bytes[12]), 61u);
  EXPECT_EQ(std::count(kinds.begin(), kinds.end(), TPduTraceKind::tkOpened), 2);
}

}  // namespace

// A PDU too long to take is traced as far as it was read, its rest not at all; a broken length as
// the bytes that came.
TEST_F(ClientTrace, PdusThatCannotBeTakenAreTracedAsRead) {
  Bytes longStart(100, 'x');
  const Bytes longHeader = Header(20000, kDeliverSm, 0, 70);
  std::copy(longHeader.begin(), longHeader.end(), longStart.begin());
  const struct {
    On on;
    Bytes written;
    uint32_t responseId;
    size_t untracedRest;  // bytes that follow and are dropped unseen
  } cases[] = {
      {On::Rcx, longStart, kDeliverSmResp, 20000 - 100},
      {On::Tcx, Header(8, kEnquireLink, 0, 71), kGenericNack, 0},  // closes the connection
  };
  bindBothTraced();
  for (const auto& c : cases) {
    peerWrites(c.on, c.written);
    peerReads(c.on, c.responseId);
    if (c.untracedRest) {
      peer(c.on).write(Bytes(c.untracedRest, 'y'));
      peerWrites(c.on, PduOf(kEnquireLink, 0, 72));
      peerReads(c.on, kEnquireLinkResp);
    }
  }
  expectTracedAsExchanged();
  // The broken transmitter's end is traced once it has closed.
  for (int i = 0; i < 500; ++i) {
    {
      std::lock_guard<std::mutex> g(lock);
      if (boundaries[1].size() == 2) break;
    }
    std::this_thread::sleep_for(10ms);
  }
  std::lock_guard<std::mutex> g(lock);
  ASSERT_GE(boundaries[1].size(), 2u);
  EXPECT_EQ(boundaries[1][1].kind, TPduTraceKind::tkClosed);
}
