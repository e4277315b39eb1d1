// Program end with sockets in every condition: the process must end promptly and cleanly
// whatever order its objects go in. Each case runs in a child process that ends through exit().
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>

#include "net/IcsSocket.h"
#include "net/IcsWorkerPool.h"
#include "tests/net/SocketTestSupport.h"

using namespace sockettest;

namespace {

// A socket connected to Server, with the connection established.
std::unique_ptr<TIcsSocket> Connected(TPlainListener& Server,
                                      const std::function<void(TIcsSocket*)>& Setup = nullptr) {
  auto S = std::make_unique<TIcsSocket>();
  if (Setup) Setup(S.get());
  auto Done = std::make_shared<std::atomic<bool>>(false);
  S->OnSessionConnected = [Done](TComponent*, uint16_t) { *Done = true; };
  S->SetAddr("127.0.0.1");
  S->SetPort(Server.PortText());
  S->SetProto("tcp");
  S->Connect();
  if (!WaitUntil([&] { return Done->load(); })) std::_Exit(3);
  return S;
}

}  // namespace

TEST(SocketExit, TheProgramEndsWhateverStateItsSocketsAreIn) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct TCase {
    const char* Name;
    std::function<void()> Scene;
  } Cases[] = {
      {"a socket left open and an idle worker",
       [] {
         static TPlainListener Server;
         (void)Connected(Server).release();  // outlives everything
         Connected(Server).reset();          // its worker goes idle
       }},
      {"a socket destroyed after the pool has shut down",
       [] {
         static TPlainListener Server;
         auto S = Connected(Server);
         TIcsWorkerPool::Instance().Shutdown();
         S.reset();
       }},
      {"a socket destroyed in its own handler after the pool has shut down",
       [] {
         static TPlainListener Server;
         auto Done = std::make_shared<std::atomic<bool>>(false);
         (void)Connected(Server, [Done](TIcsSocket* Self) {
           Self->OnSessionClosed = [Self, Done](TComponent*, uint16_t) {
             delete Self;
             *Done = true;
           };
         }).release();
         TIcsWorkerPool::Instance().Shutdown();
         ::close(Server.Accept());
         if (!WaitUntil([&] { return Done->load(); })) std::_Exit(4);
       }},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    EXPECT_EXIT(
        {
          C.Scene();
          std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
  }
}
