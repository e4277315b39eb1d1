// Tests of the SMSC core, bytes in and bytes out: the answers to binds and submits under each
// fault option, message ids, receipts and their routing, framing, and the timed actions.
#include "smsc/SmscCore.h"

#include <gtest/gtest.h>

#include <functional>

#include "SmscTestUtil.h"
#include "smsc/SmscPdus.h"

namespace {

using namespace smsctest;
using smsc::TSmscFaults;

constexpr uint32_t kSubmitResp = 0x80000004, kNack = 0x80000000, kDeliver = 0x00000005;

// The (command id, status, sequence) of each PDU, without the bodies.
struct THead {
  uint32_t Id, Status, Seq;
  bool operator==(const THead&) const = default;
};
std::vector<THead> Heads(const std::vector<TOut>& Pdus) {
  std::vector<THead> H;
  for (const auto& P : Pdus) H.push_back({P.Id, P.Status, P.Seq});
  return H;
}
std::ostream& operator<<(std::ostream& O, const THead& H) {
  return O << std::hex << "{0x" << H.Id << ", 0x" << H.Status << ", " << std::dec << H.Seq << "}";
}

THead Ok(uint32_t Seq) {
  return {kSubmitResp, 0, Seq};
}

TEST(SmscCore, ResponsesToSixSubmitsUnderEachFault) {
  const struct {
    const char* Name;
    std::function<void(TSmscFaults&)> Set;
    std::vector<THead> Expected;  // to the transmitter, after its bind
    bool Closed = false;
  } Cases[] = {
      {"well behaved", [](TSmscFaults&) {}, {Ok(1), Ok(2), Ok(3), Ok(4), Ok(5), Ok(6)}},
      {"unanswered every 3",
       [](TSmscFaults& F) { F.UnansweredEvery = 3; },
       {Ok(1), Ok(2), Ok(4), Ok(5)}},
      {"answer twice",
       [](TSmscFaults& F) { F.AnswerTwice = true; },
       {Ok(1), Ok(1), Ok(2), Ok(2), Ok(3), Ok(3), Ok(4), Ok(4), Ok(5), Ok(5), Ok(6), Ok(6)}},
      {"wrong sequence",
       [](TSmscFaults& F) { F.WrongSequence = true; },
       {Ok(1000001), Ok(1000002), Ok(1000003), Ok(1000004), Ok(1000005), Ok(1000006)}},
      {"nack every 2",
       [](TSmscFaults& F) {
         F.NackSubmitEvery = 2;
         F.NackSubmitStatus = 0x58;
       },
       {Ok(1), {kNack, 0x58, 2}, Ok(3), {kNack, 0x58, 4}, Ok(5), {kNack, 0x58, 6}}},
      {"reject every 3",
       [](TSmscFaults& F) {
         F.RejectEvery = 3;
         F.RejectStatus = 0x45;
       },
       {Ok(1), Ok(2), {kSubmitResp, 0x45, 3}, Ok(4), Ok(5), {kSubmitResp, 0x45, 6}}},
      {"silent after 4", [](TSmscFaults& F) { F.SilentAfter = 4; }, {Ok(1), Ok(2), Ok(3)}},
      {"close after 3", [](TSmscFaults& F) { F.CloseAfter = 3; }, {Ok(1), Ok(2)}, true},
      {"reversed batches of 3",
       [](TSmscFaults& F) { F.ReverseBatches = 3; },
       {Ok(3), Ok(2), Ok(1), Ok(6), Ok(5), Ok(4)}},
      {"reversed batches of 4, twice",
       [](TSmscFaults& F) {
         F.ReverseBatches = 4;
         F.AnswerTwice = true;
       },
       {Ok(4), Ok(4), Ok(3), Ok(3), Ok(2), Ok(2), Ok(1), Ok(1)}},
      {"phantom 2-3 (answered at the bind)",
       [](TSmscFaults& F) {
         F.Phantom = true;
         F.PhantomFirst = 2;
         F.PhantomLast = 3;
       },
       {Ok(1), Ok(4), Ok(5), Ok(6)}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TSmscFaults F;
    F.NoReceipts = true;
    C.Set(F);
    TCoreFixture X(F);
    std::string Six;
    for (uint32_t Seq = 1; Seq <= 6; ++Seq) Six += SubmitPdu(Seq);
    X.Feed(X.Tx, Six);
    EXPECT_EQ(Heads(X.ToTx()), C.Expected);
    EXPECT_EQ(X.A.Closes(), C.Closed ? std::vector<uint32_t>{X.Tx} : std::vector<uint32_t>{});
  }
}

TEST(SmscCore, PhantomAnswersComeRightAfterTheBindAndAreNotRepeated) {
  TSmscFaults F;
  F.NoReceipts = true;
  F.Phantom = true;
  F.PhantomFirst = 7;
  F.PhantomLast = 9;
  TCoreFixture X(F, true);
  X.Feed(X.Tx, BindPdu(0x00000002, 5, "acct"));
  const auto Out = X.ToTx();
  ASSERT_EQ(Out.size(), 4u);
  EXPECT_EQ(Heads(Out), (std::vector<THead>{{0x80000002, 0, 5}, Ok(7), Ok(8), Ok(9)}));
  // Fresh ids, each its own.
  EXPECT_NE(Out[1].Body, Out[2].Body);
  // The number met twice is answered the second time.
  X.Feed(X.Tx, SubmitPdu(8) + SubmitPdu(8));
  EXPECT_EQ(Heads(X.ToTx()), std::vector<THead>{Ok(8)});
}

TEST(SmscCore, BindsEnquireLinkUnbindAndUnknownCommands) {
  const struct {
    const char* Name;
    std::function<void(TSmscFaults&)> Set;
    std::string In;
    std::vector<THead> Expected;
    bool Closed;
  } Cases[] = {
      {"bind accepted",
       [](TSmscFaults&) {},
       BindPdu(0x00000009, 3, "a"),
       {{0x80000009, 0, 3}},
       false},
      {"bind refused",
       [](TSmscFaults& F) {
         F.RefuseBind = true;
         F.RefuseBindStatus = 0x0F;
       },
       BindPdu(0x00000002, 3, "a"),
       {{0x80000002, 0x0F, 3}},
       false},
      {"bind nacked",
       [](TSmscFaults& F) {
         F.NackBind = true;
         F.NackBindStatus = 0x0D;
       },
       BindPdu(0x00000001, 3, "a"),
       {{kNack, 0x0D, 3}},
       false},
      {"enquire_link", [](TSmscFaults&) {}, Pdu(0x00000015, 9), {{0x80000015, 0, 9}}, false},
      {"unbind", [](TSmscFaults&) {}, Pdu(0x00000006, 9), {{0x80000006, 0, 9}}, true},
      {"query_sm",
       [](TSmscFaults&) {},
       Pdu(0x00000003, 4, Z("1") + "\0\0" + Z("")),
       {{kNack, 3, 4}},
       false},
      {"a response needs no answer", [](TSmscFaults&) {}, Pdu(0x80000005, 4, Z("")), {}, false},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TSmscFaults F;
    C.Set(F);
    smsc::TSmscCore Core(F);
    smsc::TActions A;
    const uint32_t Conn = Core.Open();
    Core.Feed(Conn, reinterpret_cast<const uint8_t*>(C.In.data()), C.In.size(), 0, A);
    const auto Out = Split(A.BytesFor(Conn));
    EXPECT_EQ(Heads(Out), C.Expected);
    // A bind response, accepted or refused, carries the SMSC's system_id and nothing else.
    const uint32_t First = Out.empty() ? 0 : Out[0].Id;
    if (First == 0x80000001 || First == 0x80000002 || First == 0x80000009) {
      EXPECT_EQ(Out[0].Body, Z("adversary"));
    }
    EXPECT_EQ(A.Closes(), C.Closed ? std::vector<uint32_t>{Conn} : std::vector<uint32_t>{});
  }
}

TEST(SmscCore, MessageIdsInResponseAndReceipt) {
  const struct {
    smsc::TIdStyle Style;
    uint64_t Start;
    const char* Response;
    const char* Receipt;
  } Cases[] = {
      {smsc::TIdStyle::isDec, 1, "0000000001", "0000000001"},
      {smsc::TIdStyle::isDec, 12345678901ull, "12345678901", "12345678901"},
      {smsc::TIdStyle::isHex, 255, "ff", "ff"},
      {smsc::TIdStyle::isConstant, 7, "42", "42"},
      {smsc::TIdStyle::isHexDec, 26, "1a", "0000000026"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Response);
    TSmscFaults F;
    F.Ids = C.Style;
    F.IdStart = C.Start;
    TCoreFixture X(F);
    X.Feed(X.Tx, SubmitPdu(1));
    const auto Resp = X.ToTx();
    const auto Rcpt = X.ToRx();
    ASSERT_EQ(Resp.size(), 1u);
    ASSERT_EQ(Rcpt.size(), 1u);
    EXPECT_EQ(Resp[0].Body, Z(C.Response));
    EXPECT_EQ(ReceiptField(DeliverText(Rcpt[0]), "id"), C.Receipt);
  }
}

TEST(SmscCore, ReceiptTextAddressesAndRouting) {
  TSmscFaults F;
  TCoreFixture X(F);
  X.Feed(X.Tx, SubmitPdu(1, 1, "Hello\x01world, a long text"));
  const auto Rcpt = X.ToRx();
  ASSERT_EQ(Rcpt.size(), 1u);
  EXPECT_EQ(Rcpt[0].Id, kDeliver);
  EXPECT_EQ(Rcpt[0].Seq, 1u);
  EXPECT_EQ(DeliverEsm(Rcpt[0]), 0x04);
  // The receipt comes from the submit's destination (ton/npi kept) to its source.
  const std::string Addresses = Z("") + "\x01\x01" + Z("5551234") + "\x01\x01" + Z("1234");
  EXPECT_EQ(Rcpt[0].Body.substr(0, Addresses.size()), Addresses);
  EXPECT_EQ(DeliverText(Rcpt[0]),
            "id:0000000001 sub:001 dlvrd:001 submit date:2601011200 done date:2601011200 "
            "stat:DELIVRD err:000 text:Hello.world, a long ");

  // A second receiver of the same account takes the receipts; another account's gets none; when
  // the later one goes, the earlier one takes them again.
  const uint32_t Rx2 = X.Core.Open();
  const uint32_t Other = X.Core.Open();
  X.Feed(Rx2, BindPdu(0x00000001, 1, "acct"));
  X.Feed(Other, BindPdu(0x00000001, 1, "other"));
  X.Feed(X.Tx, SubmitPdu(2));
  EXPECT_EQ(Split(X.A.BytesFor(Rx2)).size(), 1u);
  EXPECT_TRUE(X.A.BytesFor(X.Rx).empty());
  EXPECT_TRUE(X.A.BytesFor(Other).empty());
  X.Core.Closed(Rx2);
  X.Feed(X.Tx, SubmitPdu(3));
  EXPECT_EQ(X.ToRx().size(), 1u);
  // Nobody of the account bound: the receipt is lost, the response still goes.
  X.Core.Closed(X.Rx);
  X.Feed(X.Tx, SubmitPdu(4));
  EXPECT_EQ(X.A.WriteCount(), 1u);
}

TEST(SmscCore, ReceiptFaults) {
  // What the receiver gets for submits 1..4, as (esm_class, stat) per deliver_sm.
  struct TRcpt {
    uint8_t Esm;
    std::string Stat;
    uint32_t Of;  // the submit whose id it carries
    bool operator==(const TRcpt&) const = default;
  };
  const struct {
    const char* Name;
    std::function<void(TSmscFaults&)> Set;
    uint8_t Registered;
    std::vector<TRcpt> Expected;
  } Cases[] = {
      {"none asked", [](TSmscFaults&) {}, 0, {}},
      {"no receipts", [](TSmscFaults& F) { F.NoReceipts = true; }, 1, {}},
      {"drop every 2",
       [](TSmscFaults& F) { F.ReceiptDropEvery = 2; },
       1,
       {{4, "DELIVRD", 1}, {4, "DELIVRD", 3}}},
      {"twice every 3",
       [](TSmscFaults& F) { F.ReceiptTwiceEvery = 3; },
       1,
       {{4, "DELIVRD", 1},
        {4, "DELIVRD", 2},
        {4, "DELIVRD", 3},
        {4, "DELIVRD", 3},
        {4, "DELIVRD", 4}}},
      {"enroute 1 as notification",
       [](TSmscFaults& F) { F.Enroute = 1; },
       1,
       {{0x20, "ENROUTE", 1},
        {4, "DELIVRD", 1},
        {0x20, "ENROUTE", 2},
        {4, "DELIVRD", 2},
        {0x20, "ENROUTE", 3},
        {4, "DELIVRD", 3},
        {0x20, "ENROUTE", 4},
        {4, "DELIVRD", 4}}},
      {"enroute 2 as receipt",
       [](TSmscFaults& F) {
         F.Enroute = 2;
         F.EnrouteAs = smsc::TEnrouteAs::eaReceipt;
       },
       1,
       {{4, "ENROUTE", 1},
        {4, "ENROUTE", 1},
        {4, "DELIVRD", 1},
        {4, "ENROUTE", 2},
        {4, "ENROUTE", 2},
        {4, "DELIVRD", 2},
        {4, "ENROUTE", 3},
        {4, "ENROUTE", 3},
        {4, "DELIVRD", 3},
        {4, "ENROUTE", 4},
        {4, "ENROUTE", 4},
        {4, "DELIVRD", 4}}},
      {"failures only, all delivered", [](TSmscFaults&) {}, 2, {}},
      {"failures only, all undelivered",
       [](TSmscFaults& F) {
         F.States = {{"UNDELIV", 1}};
       },
       2,
       {{4, "UNDELIV", 1}, {4, "UNDELIV", 2}, {4, "UNDELIV", 3}, {4, "UNDELIV", 4}}},
      {"a mix, none weighted",
       [](TSmscFaults& F) {
         F.States = {{"EXPIRED", 1}, {"DELIVRD", 0}};
       },
       1,
       {{4, "EXPIRED", 1}, {4, "EXPIRED", 2}, {4, "EXPIRED", 3}, {4, "EXPIRED", 4}}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TSmscFaults F;
    C.Set(F);
    TCoreFixture X(F);
    std::string In;
    for (uint32_t Seq = 1; Seq <= 4; ++Seq) In += SubmitPdu(Seq, C.Registered);
    X.Feed(X.Tx, In);
    std::vector<TRcpt> Got;
    for (const auto& P : X.ToRx()) {
      const std::string T = DeliverText(P);
      Got.push_back({DeliverEsm(P), ReceiptField(T, "stat"),
                     static_cast<uint32_t>(std::stoul(ReceiptField(T, "id")))});
    }
    EXPECT_EQ(Got.size(), C.Expected.size());
    EXPECT_TRUE(Got == C.Expected);
  }
}

TEST(SmscCore, StateMixFollowsItsWeightsAndTheSeed) {
  auto Draw = [](uint64_t Seed) {
    TSmscFaults F;
    F.States = {{"DELIVRD", 3}, {"UNDELIV", 1}};
    F.Seed = Seed;
    TCoreFixture X(F);
    std::string In;
    for (uint32_t Seq = 1; Seq <= 400; ++Seq) In += SubmitPdu(Seq);
    X.Feed(X.Tx, In);
    std::string States;
    for (const auto& P : X.ToRx()) States += ReceiptField(DeliverText(P), "stat")[0];
    return States;
  };
  const std::string A = Draw(7);
  EXPECT_EQ(A, Draw(7));
  EXPECT_NE(A, Draw(8));
  const auto Undelivered = std::count(A.begin(), A.end(), 'U');
  EXPECT_GT(Undelivered, 60);
  EXPECT_LT(Undelivered, 140);
}

TEST(SmscCore, ReceiptsOfSubmitMulti) {
  for (auto Mode :
       {smsc::TMultiReceipts::mrPerDestination, smsc::TMultiReceipts::mrOneDestination}) {
    SCOPED_TRACE(static_cast<int>(Mode));
    TSmscFaults F;
    F.MultiReceipts = Mode;
    TCoreFixture X(F);
    X.Feed(X.Tx, SubmitMultiPdu(1, {"111", "222", "333"}));
    const auto Resp = X.ToTx();
    ASSERT_EQ(Resp.size(), 1u);
    EXPECT_EQ(Resp[0].Id, 0x80000021u);
    EXPECT_EQ(Resp[0].Body, Z("0000000001") + std::string(1, '\0'));  // no_unsuccess 0
    std::vector<std::string> Sources;
    for (const auto& P : X.ToRx()) {
      Sources.push_back(DeliverSource(P));
      EXPECT_EQ(ReceiptField(DeliverText(P), "id"), "0000000001");
    }
    EXPECT_EQ(Sources, Mode == smsc::TMultiReceipts::mrPerDestination
                           ? (std::vector<std::string>{"111", "222", "333"})
                           : (std::vector<std::string>{"111", "111", "111"}));
  }
}

TEST(SmscCore, ReceiptOrderAgainstTheResponseOnATransceiver) {
  for (bool First : {false, true}) {
    SCOPED_TRACE(First);
    TSmscFaults F;
    F.ReceiptsFirst = First;
    TCoreFixture X(F, true);
    X.Feed(X.Tx, SubmitPdu(1) + SubmitPdu(2));
    const std::vector<uint32_t> Ids =
        First ? std::vector<uint32_t>{kDeliver, kSubmitResp, kDeliver, kSubmitResp}
              : std::vector<uint32_t>{kSubmitResp, kDeliver, kSubmitResp, kDeliver};
    std::vector<uint32_t> Got;
    for (const auto& P : X.ToTx()) Got.push_back(P.Id);
    EXPECT_EQ(Got, Ids);
  }
}

TEST(SmscCore, TimedReceiptsBatchesAndMoTraffic) {
  {
    SCOPED_TRACE("delay");
    TSmscFaults F;
    F.ReceiptDelayMs = 250;
    TCoreFixture X(F);
    X.Feed(X.Tx, SubmitPdu(1), 1000);
    EXPECT_EQ(X.ToTx().size(), 1u);
    EXPECT_TRUE(X.ToRx().empty());
    EXPECT_EQ(X.Core.NextDeadline(), 1250 * 1000000);
    X.Tick(1249);
    EXPECT_TRUE(X.ToRx().empty());
    X.Tick(1250);
    EXPECT_EQ(X.ToRx().size(), 1u);
    EXPECT_EQ(X.Core.NextDeadline(), INT64_MAX);
  }
  {
    SCOPED_TRACE("spread, and receipts first: the response waits for them");
    TSmscFaults F;
    F.ReceiptDelayMs = 100;
    F.ReceiptSpreadMs = 50;
    F.ReceiptsFirst = true;
    TCoreFixture X(F);
    X.Feed(X.Tx, SubmitPdu(1));
    EXPECT_TRUE(X.ToTx().empty());
    const int64_t Due = X.Core.NextDeadline();
    EXPECT_GE(Due, 100 * 1000000);
    EXPECT_LE(Due, 150 * 1000000);
    X.Tick(150);
    EXPECT_EQ(X.A.WriteConn(0), X.Rx);
    EXPECT_EQ(X.ToTx().size(), 1u);
  }
  {
    SCOPED_TRACE("a partial reversed batch goes after 100 ms");
    TSmscFaults F;
    F.ReverseBatches = 5;
    F.NoReceipts = true;
    TCoreFixture X(F);
    X.Feed(X.Tx, SubmitPdu(1) + SubmitPdu(2), 10);
    EXPECT_TRUE(X.ToTx().empty());
    X.Tick(109);
    EXPECT_TRUE(X.ToTx().empty());
    X.Tick(110);
    EXPECT_EQ(Heads(X.ToTx()), (std::vector<THead>{Ok(2), Ok(1)}));
    // A batch that fills flushes at once; its timer then finds nothing.
    X.Feed(X.Tx, SubmitPdu(3), 200);
    X.Feed(X.Tx, SubmitPdu(4) + SubmitPdu(5) + SubmitPdu(6) + SubmitPdu(7), 250);
    EXPECT_EQ(Heads(X.ToTx()), (std::vector<THead>{Ok(7), Ok(6), Ok(5), Ok(4), Ok(3)}));
    X.Tick(300);
    EXPECT_TRUE(X.ToTx().empty());
  }
  {
    SCOPED_TRACE("MO traffic at 10 a second to each receiver");
    TSmscFaults F;
    F.MoRate = 10;
    TCoreFixture X(F, true);  // the transceiver, bound at 0
    const uint32_t Rx = X.Core.Open();
    X.Feed(Rx, BindPdu(0x00000001, 1, "other"));
    size_t ToTrx = 0, ToRx = 0;
    std::vector<std::string> Texts;
    for (int64_t Ms = 0; Ms <= 1000; Ms += 10) {
      X.Tick(Ms);
      for (const auto& P : X.ToTx()) {
        ++ToTrx;
        EXPECT_EQ(DeliverEsm(P), 0);
        Texts.push_back(DeliverText(P));
      }
      ToRx += Split(X.A.BytesFor(Rx)).size();
    }
    EXPECT_EQ(ToTrx, 10u);
    EXPECT_EQ(ToRx, 10u);
    EXPECT_EQ(Texts.front(), "mo 1");
    EXPECT_EQ(Texts[1], "mo 3");  // the numbers count every MO message, both receivers'
  }
}

TEST(SmscCore, WhatAReceiverGetsWhenItBinds) {
  const struct {
    const char* Name;
    std::function<void(TSmscFaults&)> Set;
    std::vector<std::string> Hex;  // of the PDUs after the bind response
  } Cases[] = {
      {"nothing", [](TSmscFaults&) {}, {}},
      {"sm_length past the end",
       [](TSmscFaults& F) { F.BadDeliver = smsc::TBadDeliver::bdOverrun; },
       {"0000003300000005000000000000000100010135353530313030000001313233340000000000000000"
        "0000c86f76657272756e"}},
      {"source_addr without its terminator",
       [](TSmscFaults& F) { F.BadDeliver = smsc::TBadDeliver::bdUnterminated; },
       {"000000270000000500000000000000010001013535353031303035353530313030353535303130"}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TSmscFaults F;
    C.Set(F);
    smsc::TSmscCore Core(F);
    smsc::TActions A;
    const uint32_t Conn = Core.Open();
    const std::string Bind = BindPdu(0x00000001, 1, "r");
    Core.Feed(Conn, reinterpret_cast<const uint8_t*>(Bind.data()), Bind.size(), 0, A);
    const std::string Out = A.BytesFor(Conn);
    std::vector<std::string> Hex;
    for (size_t At = 26; At < Out.size();) {  // past the 26-byte bind_receiver_resp
      const uint32_t Len = Get32(Out, At);
      std::string H;
      for (size_t I = 0; I < Len; ++I) {
        char B[3];
        std::snprintf(B, sizeof B, "%02x", static_cast<uint8_t>(Out[At + I]));
        H += B;
      }
      Hex.push_back(H);
      At += Len;
    }
    EXPECT_EQ(Hex, C.Hex);
  }
  // Stray receipts: ids never given, from 9999999000 up, across binds.
  TSmscFaults F;
  F.StrayReceipts = 2;
  smsc::TSmscCore Core(F);
  smsc::TActions A;
  std::vector<std::string> Ids;
  for (int I = 0; I < 2; ++I) {
    const uint32_t Conn = Core.Open();
    const std::string Bind = BindPdu(0x00000009, 1, "r");
    A.Clear();
    Core.Feed(Conn, reinterpret_cast<const uint8_t*>(Bind.data()), Bind.size(), 0, A);
    const auto Out = Split(A.BytesFor(Conn));
    ASSERT_EQ(Out.size(), 3u);
    for (size_t K = 1; K < Out.size(); ++K) Ids.push_back(ReceiptField(DeliverText(Out[K]), "id"));
  }
  EXPECT_EQ(Ids,
            (std::vector<std::string>{"9999999000", "9999999001", "9999999002", "9999999003"}));
}

TEST(SmscCore, FramingAcrossReads) {
  // The same stream fed whole, a byte at a time and in odd pieces answers alike.
  const std::string Stream =
      BindPdu(0x00000009, 1, "acct") + SubmitPdu(2) + Pdu(0x00000015, 3) + SubmitPdu(4, 0);
  auto Run = [&](size_t Piece) {
    smsc::TSmscCore Core(TSmscFaults{}, [] { return time_t{0}; });
    smsc::TActions A;
    const uint32_t Conn = Core.Open();
    std::string Out;
    for (size_t At = 0; At < Stream.size(); At += Piece) {
      A.Clear();
      const size_t N = std::min(Piece, Stream.size() - At);
      Core.Feed(Conn, reinterpret_cast<const uint8_t*>(Stream.data() + At), N, 0, A);
      Out += A.BytesFor(Conn);
    }
    return Out;
  };
  const std::string Whole = Run(Stream.size());
  EXPECT_EQ(
      Heads(Split(Whole)),
      (std::vector<THead>{{0x80000009, 0, 1}, Ok(2), {kDeliver, 0, 1}, {0x80000015, 0, 3}, Ok(4)}));
  for (size_t Piece : {1, 7, 16, 17, 33}) {
    SCOPED_TRACE(Piece);
    EXPECT_EQ(Run(Piece), Whole);
  }
}

TEST(SmscCore, AStreamThatCannotBeFramedClosesTheConnection) {
  for (uint32_t Length : {0u, 15u, 70000u}) {
    SCOPED_TRACE(Length);
    smsc::TSmscCore Core(TSmscFaults{});
    smsc::TActions A;
    const uint32_t Conn = Core.Open();
    std::string In = Pdu(0x00000015, 1);
    std::string Bad;
    Put32(Bad, Length);
    Put32(Bad, 0x00000004);
    In += Bad;
    Core.Feed(Conn, reinterpret_cast<const uint8_t*>(In.data()), In.size(), 0, A);
    EXPECT_EQ(Heads(Split(A.BytesFor(Conn))), (std::vector<THead>{{0x80000015, 0, 1}}));
    EXPECT_EQ(A.Closes(), std::vector<uint32_t>{Conn});
    // Whatever comes after is dropped.
    A.Clear();
    Core.Feed(Conn, reinterpret_cast<const uint8_t*>(In.data()), 16, 0, A);
    EXPECT_EQ(A.WriteCount(), 0u);
  }
}

TEST(SmscPdus, ReadSubmitStopsAtTheEndOfTheBytes) {
  const std::string Whole = SubmitPdu(1, 0x11, "abc");
  smsc::TSubmitFields F;
  smsc::ReadSubmit(reinterpret_cast<const uint8_t*>(Whole.data()), Whole.size(), F);
  EXPECT_TRUE(F.Complete);
  EXPECT_EQ(F.RegisteredDelivery, 0x11);
  EXPECT_EQ(F.ShortMessage, "abc");
  ASSERT_EQ(F.Destinations.size(), 1u);
  EXPECT_EQ(F.Destinations[0].Addr, "5551234");
  // Cut anywhere before registered_delivery: incomplete, and no receipt asked for.
  for (size_t Cut = 16; Cut < Whole.size() - 7; ++Cut) {
    SCOPED_TRACE(Cut);
    std::string Part = Whole.substr(0, Cut);
    Part[3] = static_cast<char>(Cut);  // command_length says so too
    smsc::ReadSubmit(reinterpret_cast<const uint8_t*>(Part.data()), Part.size(), F);
    EXPECT_FALSE(F.Complete);
    EXPECT_EQ(F.RegisteredDelivery, 0);
  }
}

}  // namespace
