// The client component against the local SMSC (the npm package smpp) on loopback: binds, submits,
// receipts, MO messages and receipts as other SMSCs build them, enquire_link both ways, Disconnect,
// refused ports and an SMSC restart.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ctime>
#include <memory>
#include <regex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "tests/ClientReports.h"
#include "tests/interop/SmscProcess.h"

using namespace std::chrono_literals;
using smpptest::SmscProcess;

namespace {

class ClientAgainstSmsc : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(smsc.start()) << smsc.error();
    client = std::make_unique<TSmppClient>(nullptr);
    reports = std::make_unique<ClientReports>(*client);
    UseShortTimers(*client);
    client->ClientInfo().SetHost("127.0.0.1");
    client->ClientInfo().SetPort(smsc.port());
    client->ClientInfo().SetUserID("tester");
    client->ClientInfo().SetPassword("pw");
  }
  void TearDown() override {
    client.reset();
    reports.reset();
  }
  void ConnectAndBind() {
    client->Connect();
    ASSERT_TRUE(reports->waitFor(On::Rcx, "bind Rcx OK")) << reports->dump();
    ASSERT_TRUE(reports->waitFor(On::Tcx, "bind Tcx OK")) << reports->dump();
  }

  SmscProcess smsc;
  std::unique_ptr<TSmppClient> client;
  std::unique_ptr<ClientReports> reports;
};

TEST_F(ClientAgainstSmsc, BindsBothConnectionsAndReportsEachStep) {
  ConnectAndBind();
  EXPECT_EQ(reports->count(On::Rcx, "Rcx Connected."), 1u);
  EXPECT_EQ(reports->count(On::Tcx, "Tcx Connected."), 1u);
  auto rb = smsc.waitFor("bind_receiver", {"system_id=tester", "status=0"});
  auto tb = smsc.waitFor("bind_transmitter", {"system_id=tester", "status=0"});
  ASSERT_TRUE(rb && tb) << smsc.joinedLines();
  // Both binds drew their numbers from the one counter: 1 and 2 in some order.
  std::set<std::string> seqs = {SmscProcess::field(*rb, "seq"), SmscProcess::field(*tb, "seq")};
  EXPECT_EQ(seqs, (std::set<std::string>{"1", "2"}));
}

TEST_F(ClientAgainstSmsc, SendSplitsAndReportsQueueIdsAndReceipts) {
  ConnectAndBind();
  struct Case {
    size_t chars;
    std::vector<std::string> lengths;  // short_message length of each submit_sm
  };
  const Case cases[] = {{10, {"33"}}, {150, {"160", "13"}}, {300, {"160", "23"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.chars);
    const size_t smscFrom = smsc.mark();
    const size_t from = reports->mark();
    const int32_t seq = client->Send("1234", "5551234", "", std::string(c.chars, 'x'));
    ASSERT_GT(seq, 0);
    size_t at = smscFrom;
    for (const std::string& len : c.lengths) {
      size_t index = 0;
      auto line = smsc.waitFor(
          [&](const std::string& l) {
            return l.rfind("submit_sm ", 0) == 0 && SmscProcess::field(l, "length") == len;
          },
          10s, at, &index);
      ASSERT_TRUE(line) << "no submit of length " << len << "\n" << smsc.joinedLines();
      at = index + 1;
      if (&len == &c.lengths.back()) {
        EXPECT_EQ(SmscProcess::field(*line, "seq"), std::to_string(seq));
      }
    }
    // One "+IN_QUEUE ID=" line for each part, each with an id.
    size_t next = from;
    for (size_t i = 0; i < c.lengths.size(); ++i) {
      size_t index = 0;
      auto q = reports->waitFor(On::Tcx, "+IN_QUEUE ID=", next, 10s, &index);
      ASSERT_TRUE(q) << reports->dump();
      EXPECT_GT(q->size(), std::string("+IN_QUEUE ID=").size());
      next = index + 1;
    }
    // The receipt of the first submit names the id that submit was given.
    const std::string id = reports->waitFor(On::Tcx, "+IN_QUEUE ID=", from)->substr(13);
    auto receipt = reports->waitFor(On::Rcx, "+QUERY_RES " + id + ":", from);
    ASSERT_TRUE(receipt) << reports->dump();
    EXPECT_EQ(*receipt, "+QUERY_RES " + id + ":2:000");
  }
  // Two split messages: four parts stored.
  EXPECT_EQ(client->SentPartIndex(), 4);
}

TEST_F(ClientAgainstSmsc, SubmitMultiAndValidityReachTheSmsc) {
  ConnectAndBind();
  ASSERT_GT(client->Send("1234", "111,222", "", "multi"), 0);
  auto multi = smsc.waitFor("submit_multi");
  ASSERT_TRUE(multi) << smsc.joinedLines();
  EXPECT_NE(multi->find("111"), std::string::npos);
  EXPECT_NE(multi->find("222"), std::string::npos);

  ASSERT_GT(client->Send("1234", "5551234", "10000", "valid"), 0);
  auto valid = smsc.waitFor("submit_sm", {"validity=000001000000000R"});
  EXPECT_TRUE(valid) << smsc.joinedLines();
  ASSERT_GT(client->Send("1234", "5551234", "   ", "blank validity"), 0);
  EXPECT_TRUE(smsc.waitFor("submit_sm", {"validity= "})) << smsc.joinedLines();
}

TEST_F(ClientAgainstSmsc, MoMessagesAreAnsweredAndReportedWithATimestamp) {
  ConnectAndBind();
  const std::regex deliver(R"(\+DELIVER (\d{8}) (\d{6}):1111:2222:hi)");
  const std::regex data(R"(\+DELIVER (\d{8}) (\d{6})::1111:2222:hi)");
  struct Case {
    const char* command;
    const std::regex* shape;
    const char* sent;
    const char* answer;  // each request has its own response
  };
  const Case cases[] = {{"deliver 1111 2222 hi", &deliver, "sent deliver_sm", "deliver_sm_resp"},
                        {"datasm 1111 2222 hi", &data, "sent data_sm", "data_sm_resp"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    const size_t from = reports->mark();
    const size_t smscFrom = smsc.mark();
    const std::time_t before = std::time(nullptr);
    ASSERT_TRUE(smsc.send(c.command));
    auto line = reports->waitFor(On::Rcx, "+DELIVER ", from);
    ASSERT_TRUE(line) << reports->dump();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(*line, m, *c.shape)) << *line;
    // The timestamp is the local time of the report: month, day, year, then hour, minute, second.
    std::tm t{};
    ASSERT_TRUE(strptime((m[1].str() + m[2].str()).c_str(), "%m%d%Y%H%M%S", &t));
    t.tm_isdst = -1;
    const std::time_t stamp = std::mktime(&t);
    EXPECT_LE(std::abs(std::difftime(stamp, before)), 5.0);
    // The answer carries the sequence number of the request.
    auto sent = smsc.waitFor(c.sent, {}, smscFrom);
    ASSERT_TRUE(sent);
    auto resp = smsc.waitFor(
        c.answer, {"seq=" + SmscProcess::field(*sent, "seq") + " ", "status=0"}, smscFrom);
    EXPECT_TRUE(resp) << smsc.joinedLines();
  }
}

// What the local SMSC sends as other SMSCs do (UCS-2, concatenated parts, data_sm with ports
// before its payload, raw GSM bytes, receipts in every style) reaches the report lines whole, and
// every request is answered with its own response.
TEST_F(ClientAgainstSmsc, MessagesAndReceiptsAsSmscsSendThem) {
  ConnectAndBind();
  // A +DELIVER line without its time.
  auto withoutTime = [](const std::string& l) {
    return l.rfind("+DELIVER ", 0) == 0 && l.size() > 25 ? "+DELIVER " + l.substr(25) : l;
  };
  struct Case {
    std::string command;
    std::vector<std::string> lines;
    const char* answer;
  };
  const Case cases[] = {
      {"ucs2 1111 2222 Привет, мир", {"+DELIVER 1111:2222:Привет, мир"}, "deliver_sm_resp"},
      {"parts 1111 2222 5 HelloWorld",
       {"+DELIVER 1111:2222:Hello", "+DELIVER 1111:2222:World"},
       "deliver_sm_resp"},
      {"parts 1111 2222 2 你好吗",
       {"+DELIVER 1111:2222:你好", "+DELIVER 1111:2222:吗"},
       "deliver_sm_resp"},
      {"datasmport 1111 2222 hi there", {"+DELIVER :1111:2222:hi there"}, "data_sm_resp"},
      {"deliverhex 1111 2222 00 0a 48",
       {std::string("+DELIVER 1111:2222:\0\nH", 22)},
       "deliver_sm_resp"},
      {"receipt standard 1111 2222 ABC-1", {"+QUERY_RES ABC-1:2:000"}, "deliver_sm_resp"},
      {"receipt upper 1111 2222 ABC-2 UNDELIV", {"+QUERY_RES ABC-2:5:000"}, "deliver_sm_resp"},
      {"receipt tlvs 1111 2222 ABC-3 EXPIRED", {"+QUERY_RES ABC-3:3:"}, "deliver_sm_resp"},
      {"receipt mixed 1111 2222 ABC-4", {"+QUERY_RES ABC-4:2:000"}, "deliver_sm_resp"},
      {"receipt datasm 1111 2222 ABC-5 REJECTD", {"+QUERY_RES ABC-5:8:000"}, "data_sm_resp"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    const size_t from = reports->mark();
    size_t at = smsc.mark();
    const size_t before = reports->count(On::Rcx, "+");
    ASSERT_TRUE(smsc.send(c.command));
    ASSERT_TRUE(reports->waitCount(On::Rcx, "+", before + c.lines.size()))
        << reports->dump() << smsc.joinedLines();
    std::vector<std::string> got;
    const auto lines = reports->lines();
    for (size_t i = from; i < lines.size(); ++i)
      if (lines[i].rcx && !lines[i].text.empty()) got.push_back(withoutTime(lines[i].text));
    EXPECT_EQ(got, c.lines);
    for (size_t i = 0; i < c.lines.size(); ++i) {
      size_t index = 0;
      EXPECT_TRUE(smsc.waitFor(
          [&](const std::string& l) {
            return l.rfind(c.answer, 0) == 0 && SmscProcess::field(l, "status") == "0";
          },
          10s, at, &index))
          << smsc.joinedLines();
      at = index + 1;
    }
  }
}

TEST_F(ClientAgainstSmsc, EnquireLinkWorksInBothDirections) {
  ConnectAndBind();
  // From the SMSC: both sessions answer with the request's sequence number.
  const size_t from = smsc.mark();
  ASSERT_TRUE(smsc.send("enquire"));
  EXPECT_TRUE(smsc.waitFor(
      [](const std::string& l) { return l.rfind("enquire_link_resp", 0) == 0; }, 10s, from));
  size_t first = 0;
  ASSERT_TRUE(
      smsc.waitFor([](const std::string& l) { return l.rfind("enquire_link_resp", 0) == 0; }, 10s,
                   from, &first));
  EXPECT_TRUE(smsc.waitFor(
      [](const std::string& l) { return l.rfind("enquire_link_resp", 0) == 0; }, 10s, first + 1))
      << smsc.joinedLines();

  // From the client: quiet connections send enquire_link after their idle count runs out, and
  // both record the answer.
  client->Rcx().Set_rcxTimerInterval(2);
  client->Tcx().Set_tcxTimerInterval(2);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline &&
         (client->RcxLastEnquireRespSeq() == 0 || client->TcxLastEnquireRespSeq() == 0 ||
          client->RcxLastEnquireRespSeq() != client->RcxLastEnquireSeq() ||
          client->TcxLastEnquireRespSeq() != client->TcxLastEnquireSeq()))
    std::this_thread::sleep_for(10ms);
  EXPECT_NE(client->RcxLastEnquireRespSeq(), 0u);
  EXPECT_NE(client->TcxLastEnquireRespSeq(), 0u);
  EXPECT_TRUE(smsc.waitFor("enquire_link ", {}, from)) << smsc.joinedLines();
}

TEST_F(ClientAgainstSmsc, DisconnectUnbindsBothAndStaysDown) {
  ConnectAndBind();
  const size_t from = reports->mark();
  client->Disconnect();
  EXPECT_TRUE(reports->waitFor(On::Rcx, "rcx disconnected", from));
  EXPECT_TRUE(reports->waitFor(On::Tcx, "tcx disconnected", from));
  EXPECT_TRUE(smsc.waitFor("unbind ", {"seq=467"}));
  // The SMSC answers, each connection closes and no reconnect follows.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (
      std::chrono::steady_clock::now() < deadline &&
      (client->Rcx().Socket()->State() != wsClosed || client->Tcx().Socket()->State() != wsClosed))
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(client->Rcx().Socket()->State(), wsClosed);
  EXPECT_EQ(client->Tcx().Socket()->State(), wsClosed);
  const size_t binds = reports->count(On::Rcx, "Rcx Connected.");
  std::this_thread::sleep_for(500ms);  // several reconnect periods: nothing may happen
  EXPECT_EQ(reports->count(On::Rcx, "Rcx Connected."), binds);
  EXPECT_EQ(client->Send("1234", "5551234", "", "late"), -1);
}

TEST_F(ClientAgainstSmsc, ReconnectsAfterTheSmscRestarts) {
  ConnectAndBind();
  const uint16_t port = smsc.port();
  smsc.stop();
  SmscProcess again({"--port", std::to_string(port)});
  ASSERT_TRUE(again.start()) << again.error();
  ASSERT_EQ(again.port(), port);
  // Short keep-alive counts so that the lost connections are noticed quickly.
  client->Rcx().Set_rcxTimerInterval(2);
  client->Tcx().Set_tcxTimerInterval(2);
  EXPECT_TRUE(again.waitFor("bind_receiver", {"status=0"}, 0, 20s)) << again.joinedLines();
  EXPECT_TRUE(again.waitFor("bind_transmitter", {"status=0"}, 0, 20s)) << again.joinedLines();
  EXPECT_TRUE(reports->waitCount(On::Rcx, "bind Rcx OK", 2, 20s)) << reports->dump();
  EXPECT_TRUE(reports->waitCount(On::Tcx, "bind Tcx OK", 2, 20s)) << reports->dump();
  client.reset();
}

TEST(ClientRefusedPort, ReportsTheRetryAgainAndAgain) {
  const uint16_t port = UnusedLoopbackPort();
  ASSERT_NE(port, 0);
  auto client = std::make_unique<TSmppClient>(nullptr);
  ClientReports reports(*client);
  UseShortTimers(*client);
  client->ClientInfo().SetHost("127.0.0.1");
  client->ClientInfo().SetPort(port);
  client->Connect();
  EXPECT_TRUE(reports.waitCount(On::Rcx, "Rcx try Connect in 5 sec", 3)) << reports.dump();
  EXPECT_TRUE(reports.waitCount(On::Tcx, "Tcx try Connect in 5 sec", 3)) << reports.dump();
  // Each transmitter error is reported twice: first with the text it still holds, then the retry.
  const auto lines = reports.lines();
  std::vector<std::string> tcx;
  for (const auto& l : lines)
    if (!l.rcx) tcx.push_back(l.text);
  ASSERT_GE(tcx.size(), 4u);
  EXPECT_EQ(tcx[0], "");
  EXPECT_EQ(tcx[1], "Tcx try Connect in 5 sec");
  EXPECT_EQ(tcx[2], "Tcx try Connect in 5 sec");
  EXPECT_EQ(tcx[3], "Tcx try Connect in 5 sec");
  EXPECT_EQ(reports.count(On::Rcx, "Rcx Connected."), 0u);
  client.reset();
}

}  // namespace
