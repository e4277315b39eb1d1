// The thread timer, the connection objects and the life of the client component without an SMSC.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "base/DateTimeFormat.h"
#include "base/FormText.h"
#include "tests/ClientReports.h"

using namespace std::chrono_literals;

namespace {

// Counts the calls of a timer and lets the callback run an extra action.
struct TimerProbe {
  std::atomic<int> calls{0};
  std::atomic<bool> inside{false};
  std::function<void()> action;
  static void Tick(void* data) {
    auto* p = static_cast<TimerProbe*>(data);
    p->inside = true;
    p->calls++;
    if (p->action) p->action();
    p->inside = false;
  }
};

bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (cond()) return true;
    std::this_thread::sleep_for(1ms);
  }
  return cond();
}

TEST(SimpleTimer, NeverCallsBeforeTheFirstResumeNorAfterTerminate) {
  TimerProbe probe;
  auto* timer = new TSimpleTimer(5, &TimerProbe::Tick, &probe);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(probe.calls, 0);
  timer->Terminate();  // stopped at the time: frees itself without ever calling
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(probe.calls, 0);

  TimerProbe running;
  auto* t2 = new TSimpleTimer(5, &TimerProbe::Tick, &running);
  t2->Resume();
  ASSERT_TRUE(WaitUntil([&] { return running.calls >= 2; }));
  t2->Terminate();
  const int after = running.calls;
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(running.calls, after);
}

TEST(SimpleTimer, ResumeTwiceGivesOneStreamOfCalls) {
  TimerProbe probe;
  auto* timer = new TSimpleTimer(40, &TimerProbe::Tick, &probe);
  timer->Resume();
  timer->Resume();
  std::this_thread::sleep_for(230ms);
  timer->Terminate();
  // One stream gives about 5 calls; two would give about 10.
  EXPECT_GE(probe.calls, 2);
  EXPECT_LE(probe.calls, 6);
}

TEST(SimpleTimer, CallbackThatSuspendsItsTimerFinishesAndWaitsForTheNextResume) {
  TimerProbe probe;
  TSimpleTimer* timer = nullptr;
  std::atomic<bool> workDone{false};
  probe.action = [&] {
    timer->Suspend();
    std::this_thread::sleep_for(20ms);  // further work after suspending
    workDone = true;
  };
  timer = new TSimpleTimer(10, &TimerProbe::Tick, &probe);
  timer->Resume();
  ASSERT_TRUE(WaitUntil([&] { return workDone.load(); }));
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(probe.calls, 1);
  const auto resumed = std::chrono::steady_clock::now();
  timer->Resume();
  ASSERT_TRUE(WaitUntil([&] { return probe.calls == 2; }));
  EXPECT_GE(std::chrono::steady_clock::now() - resumed, 9ms);
  timer->Terminate();
}

TEST(SimpleTimer, TerminateWaitsForARunningCallback) {
  TimerProbe probe;
  std::atomic<int> finished{0};
  probe.action = [&] {
    std::this_thread::sleep_for(100ms);
    finished++;
  };
  auto* timer = new TSimpleTimer(1, &TimerProbe::Tick, &probe);
  timer->Resume();
  ASSERT_TRUE(WaitUntil([&] { return probe.inside.load(); }));
  timer->Terminate();
  // The call running at that moment (or, on a slow machine, the one after it) had ended before
  // Terminate returned, and none starts afterwards.
  EXPECT_FALSE(probe.inside);
  const int calls = probe.calls;
  EXPECT_EQ(finished, calls);
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(probe.calls, calls);
}

TEST(ConnectionObjects, ReadBinDataGivesExactlyTheBytesWithinItsCapacity) {
  TSMPPConnectionTcx tcx;
  uint8_t in[16];
  for (int i = 0; i < 16; ++i) in[i] = static_cast<uint8_t>(0xA0 + i);
  tcx.WriteBinData(16, in, 10000);
  uint8_t out[32];
  std::memset(out, 0x55, sizeof out);
  int32_t n = -1;
  tcx.ReadBinData(n, out, sizeof out);
  EXPECT_EQ(n, 16);
  EXPECT_EQ(std::memcmp(out, in, 16), 0);
  for (int i = 16; i < 32; ++i) EXPECT_EQ(out[i], 0x55) << i;  // nothing past the bytes
  // A smaller capacity cuts, and the length says what was copied.
  std::memset(out, 0x55, sizeof out);
  tcx.ReadBinData(n, out, 4);
  EXPECT_EQ(n, 4);
  EXPECT_EQ(out[4], 0x55);
  tcx.ReadBinData(n, out, 0);
  EXPECT_EQ(n, 0);
  // Negative or over-long writes keep what fits.
  tcx.WriteBinData(-3, in, 16);
  EXPECT_EQ(tcx.BinLength(), 0);
  std::vector<uint8_t> big(20000, 1);
  tcx.WriteBinData(20000, big.data(), 20000);
  EXPECT_EQ(tcx.BinLength(), TSMPPConnection::BinBufferSize);
}

TEST(ConnectionObjects, TheHexDumpOfARead) {
  // Made from the stored bytes when asked for; whatever comes between keeps it that of the read.
  const uint8_t Read[] = {0x00, 0x1F, 0xA0};
  const uint8_t Other[] = {0x42};
  struct Case {
    const char* Name;
    std::function<void(TSMPPConnectionTcx&)> Between;
    std::string Dump;
    int32_t Reported;  // ReadReportedBytes
  } Cases[] = {
      {"asked at once", [](TSMPPConnectionTcx&) {}, "00 1F A0 ", 3},
      {"raw bytes replaced", [&](TSMPPConnectionTcx& C) { C.WriteBinData(1, Other, 1); },
       "00 1F A0 ", 1},
      {"dump set", [](TSMPPConnectionTcx& C) { C.Set_tcxBinData("set"); }, "set", 3},
      {"report emptied", [](TSMPPConnectionTcx& C) { C.ClearReport(); }, "", 0},
      {"empty read", [](TSMPPConnectionTcx& C) { C.SetRead(nullptr, 0); }, "", 0},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    TSMPPConnectionTcx Tcx;
    Tcx.SetRead(Read, sizeof Read);
    C.Between(Tcx);
    uint8_t Out[8];
    EXPECT_EQ(Tcx.ReadReportedBytes(Out, sizeof Out), C.Reported);
    EXPECT_EQ(Tcx.tcxBinData(), C.Dump);
  }
}

TEST(ConnectionObjects, HexDumpAndTimestampForms) {
  std::vector<uint8_t> bytes(200, 0xAB);
  const std::string dump = HexDump(bytes.data(), bytes.size());
  EXPECT_EQ(dump.size(), 450u);
  EXPECT_EQ(dump.substr(0, 6), "AB AB ");
  EXPECT_EQ(dump.back(), ' ');
  const uint8_t three[] = {0x00, 0x0f, 0xf0};
  EXPECT_EQ(HexDump(three, 3), "00 0F F0 ");

  TSMPPConnectionRcx rcx;  // sets the application-wide formats
  std::tm t{};
  t.tm_year = 2027 - 1900, t.tm_mon = 2, t.tm_mday = 1, t.tm_hour = 9, t.tm_min = 5, t.tm_sec = 7;
  EXPECT_EQ(DateTimeToStr(t), "03012027 090507");
  t.tm_year = 2026 - 1900, t.tm_mon = 11, t.tm_mday = 6, t.tm_hour = 14, t.tm_min = 30,
  t.tm_sec = 5;
  EXPECT_EQ(DateTimeToStr(t), "12062026 143005");
}

TEST(ClientLifecycle, NewClientStartsQuietWithItsDocumentedValues) {
  auto client = std::make_unique<TSmppClient>(nullptr);
  EXPECT_EQ(client->Rcx().rcxIdle(), 5);
  EXPECT_EQ(client->Tcx().tcxIdle(), 5);
  EXPECT_EQ(client->Rcx().rcxTimerInterval(), 15);
  EXPECT_EQ(client->Tcx().tcxTimerInterval(), 15);
  EXPECT_EQ(client->Rcx().cmd_seq(), 0);
  for (TSimpleTimer* t :
       {client->RcxKeepAliveTimer(), client->TcxKeepAliveTimer(), client->RcxWatchdogTimer(),
        client->TcxWatchdogTimer(), client->RcxReconnectTimer(), client->TcxReconnectTimer()})
    EXPECT_TRUE(t->Suspended());
  EXPECT_EQ(client->RcxKeepAliveTimer()->Interval(), 1000);
  EXPECT_EQ(client->RcxWatchdogTimer()->Interval(), 2000);
  EXPECT_EQ(client->TcxReconnectTimer()->Interval(), 5000);
  EXPECT_EQ(client->Rcx().Socket()->State(), wsClosed);
  EXPECT_EQ(client->Send("1234", "5551234", "", "hi"), -1);  // not connected: nothing at all
  EXPECT_EQ(client->SentPartIndex(), 0);

  uint8_t buf[kEnquireLinkBufferSize];
  size_t len = 0;
  TPDU pdu;
  pdu.command_id = kEnquireLink;
  client->EncodePdu(buf, sizeof buf, len, pdu, 0);
  EXPECT_EQ(pdu.sequence_number, 1u);

  // The idle counts and intervals differ from their declared defaults, so a form stores them.
  const std::string form = WriteFormText(*client);
  for (const char* name : {"rcxIdle", "tcxIdle", "rcxTimerInterval", "tcxTimerInterval"})
    EXPECT_NE(form.find(name), std::string::npos) << form;
}

TEST(ClientLifecycle, DisconnectWithoutConnectionReportsBothAndSendsNothing) {
  auto client = std::make_unique<TSmppClient>(nullptr);
  ClientReports reports(*client);
  client->DisconnectWaitMs = 50;
  client->Disconnect();
  const auto lines = reports.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].rcx);
  EXPECT_EQ(lines[0].text, "rcx disconnected");
  EXPECT_FALSE(lines[1].rcx);
  EXPECT_EQ(lines[1].text, "tcx disconnected");
  EXPECT_TRUE(client->RcxKeepAliveTimer()->Suspended());
  EXPECT_TRUE(client->TcxReconnectTimer()->Suspended());
  EXPECT_EQ(client->SequenceCounter().Value(), 0u);
}

TEST(ClientLifecycle, ConnectHandsHostAndPortToBothSockets) {
  auto client = std::make_unique<TSmppClient>(nullptr);
  const uint16_t port = UnusedLoopbackPort();
  client->ClientInfo().SetHost("127.0.0.1");
  client->ClientInfo().SetPort(port);
  client->Connect();
  for (TIcsSocket* s : {client->Rcx().Socket(), client->Tcx().Socket()}) {
    EXPECT_EQ(s->Port(), std::to_string(port));
    EXPECT_EQ(s->Proto(), "tcp");
    EXPECT_EQ(s->Addr(), "127.0.0.1");
  }
}

TEST(ClientLifecycle, DestroyingWhileTicksAndEventsRunIsSafe) {
  // A refused port keeps errors, reconnect ticks and keep-alive ticks coming; destroy the client
  // in the middle of them, many times (the sanitizer builds catch any use after destruction).
  const uint16_t port = UnusedLoopbackPort();
  ASSERT_NE(port, 0);
  for (int round = 0; round < 20; ++round) {
    auto client = std::make_unique<TSmppClient>(nullptr);
    std::atomic<int> reportsSeen{0};
    client->SetRcxOnData([&](TSmppClient*) { reportsSeen++; });
    UseShortTimers(*client, 1, 2, 1);
    client->Rcx().Set_rcxTimerInterval(0);
    client->Tcx().Set_tcxTimerInterval(0);
    client->ClientInfo().SetHost("127.0.0.1");
    client->ClientInfo().SetPort(port);
    client->Connect();
    client->RcxKeepAliveTimer()->Resume();
    client->TcxKeepAliveTimer()->Resume();
    std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));
    client.reset();
    const int after = reportsSeen;
    std::this_thread::sleep_for(5ms);
    EXPECT_EQ(reportsSeen, after);  // nothing reported once destroyed
  }
}

// A handler that replaces itself from inside its own call keeps running on what it captured.
std::weak_ptr<int> gCapturedToken;
bool gDestroyedWhileRunning = false;

TEST(ClientLifecycle, AHandlerMayReplaceItselfWhileItRuns) {
  auto client = std::make_unique<TSmppClient>(nullptr);
  client->DisconnectWaitMs = 0;
  auto token = std::make_shared<int>(1);
  gCapturedToken = token;
  TSmppClient* raw = client.get();
  client->SetRcxOnData([token = std::move(token), raw](TSmppClient*) {
    raw->SetRcxOnData(nullptr);
    // Only globals from here on: the captures belong to the handler that was just replaced.
    gDestroyedWhileRunning = gCapturedToken.expired();
  });
  client->Disconnect();  // reports "rcx disconnected" on this thread
  EXPECT_FALSE(gDestroyedWhileRunning);
  EXPECT_TRUE(gCapturedToken.expired());  // gone once the call is over
}

}  // namespace
