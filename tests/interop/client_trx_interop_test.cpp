// The client bound as one transceiver against the local SMSC (the npm package smpp) on loopback:
// one bind_transceiver, a submit whose receipt comes back on the same connection, the unbind.
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tests/ClientReports.h"
#include "tests/interop/SmscProcess.h"

using namespace std::chrono_literals;
using smpptest::SmscProcess;

namespace {

TEST(TransceiverAgainstSmsc, BindsOnceSubmitsGetsTheReceiptAndUnbinds) {
  SmscProcess smsc;
  ASSERT_TRUE(smsc.start()) << smsc.error();
  auto client = std::make_unique<TSmppClient>(nullptr);
  ClientReports reports(*client);
  UseShortTimers(*client);
  client->ClientInfo().SetHost("127.0.0.1");
  client->ClientInfo().SetPort(smsc.port());
  client->ClientInfo().SetUserID("tester");
  client->ClientInfo().Set_bind_mode(TBindMode::bmTransceiver);
  client->Connect();
  ASSERT_TRUE(reports.waitFor(On::Tcx, "bind Trx OK")) << reports.dump();
  ASSERT_TRUE(smsc.waitFor("bind_transceiver", {"system_id=tester", "status=0"}))
      << smsc.joinedLines();

  ASSERT_GT(client->Send("1234", "5551234", "", "hello"), 0);
  const auto queued = reports.waitFor(On::Tcx, "+IN_QUEUE ID=");
  ASSERT_TRUE(queued) << reports.dump();
  const auto receipt = reports.waitFor(On::Rcx, "+QUERY_RES " + queued->substr(13) + ":");
  ASSERT_TRUE(receipt) << reports.dump() << smsc.joinedLines();
  EXPECT_EQ(receipt->substr(receipt->size() - 6), ":2:000");
  // The receipt came over the one session the SMSC has.
  EXPECT_TRUE(smsc.waitFor("deliver_sm_resp", {"session=1", "status=0"})) << smsc.joinedLines();

  client->Disconnect();
  EXPECT_TRUE(reports.waitFor(On::Tcx, "trx disconnected"));
  EXPECT_TRUE(smsc.waitFor("unbind ", {"session=1"})) << smsc.joinedLines();
  EXPECT_EQ(reports.count(On::Rcx, "Rcx"), 0u) << reports.dump();
  EXPECT_FALSE(smsc.waitFor("bind_receiver", {}, 0, 100ms));
}

}  // namespace
