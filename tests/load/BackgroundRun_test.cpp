// The background run against our minimal SMSC: it runs to the end by itself with its figures
// readable meanwhile, and its owner, gone at any moment (binding, sending, or after Stop), never
// waits for the network; JoinFinished then ends its thread.
#include "load/BackgroundRun.h"

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "smpp/smppclient.h"
#include "tests/interop/SmscProcess.h"

namespace {

using Clock = std::chrono::steady_clock;
using load::TBackgroundRun;

TEST(BackgroundRun, RunsByItselfAndItsOwnerNeverWaits) {
  smpptest::SmscProcess Sink;
  Sink.useSink();
  ASSERT_TRUE(Sink.start()) << Sink.error();
  load::TLoadOptions O;
  O.Port = Sink.port();
  O.Source = "1234";
  O.Destination = "5551234";
  O.Text = "load";
  O.ReceiptsPerSubmit = 0;
  const auto Make = [&] {
    auto C = std::make_unique<TSmppClient>(nullptr);
    C->ClientInfo().SetHost("127.0.0.1");
    C->ClientInfo().SetPort(O.Port);
    return C;
  };
  const auto WaitFor = [](const std::function<bool()>& Done) {
    for (auto Until = Clock::now() + std::chrono::seconds(20); !Done() && Clock::now() < Until;)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return Done();
  };

  {
    SCOPED_TRACE("to the end");
    O.Count = 20000;
    TBackgroundRun Run(O, Make);
    ASSERT_TRUE(WaitFor([&] { return Run.Phase() == TBackgroundRun::TPhase::Done; }));
    EXPECT_EQ(Run.Error(), "");
    EXPECT_EQ(Run.Summary().Counts.Answered, 20000);
    EXPECT_EQ(Run.Live().Answered, 20000);
    EXPECT_EQ(Run.States().Statuses.at(0), 20000);
  }
  // The owner goes while binding, while sending at a rate, and after asking to stop: each time
  // at once, and the thread still ends.
  O.Count = 1000000;
  O.Tps = 1000;
  for (int Moment = 0; Moment < 3; ++Moment) {
    SCOPED_TRACE(Moment);
    auto Run = std::make_unique<TBackgroundRun>(O, Make);
    if (Moment > 0) ASSERT_TRUE(WaitFor([&] { return Run->Live().Answered > 0; }));
    if (Moment == 2) Run->Stop();
    const auto Start = Clock::now();
    Run.reset();
    EXPECT_LT(Clock::now() - Start, std::chrono::milliseconds(100));
  }
  {
    // Stopped by its owner (the load panel's Stop) while sending: it ends soon, failed, and its
    // summary says so.
    SCOPED_TRACE("stopped");
    TBackgroundRun Run(O, Make);
    ASSERT_TRUE(WaitFor([&] { return Run.Live().Answered > 0; }));
    Run.Stop();
    ASSERT_TRUE(WaitFor([&] { return Run.Phase() == TBackgroundRun::TPhase::Done; }));
    EXPECT_EQ(Run.Error().rfind("stopped by the user after ", 0), 0u) << Run.Error();
    EXPECT_TRUE(Run.Summary().Stopped);
    EXPECT_LT(Run.Summary().Counts.Submits, O.Count);
  }
  const auto Start = Clock::now();
  TBackgroundRun::JoinFinished();
  EXPECT_LT(Clock::now() - Start, std::chrono::seconds(10));
}

}  // namespace
