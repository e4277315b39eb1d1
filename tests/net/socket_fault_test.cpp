// Races and faults of the socket component, each reproduced on loopback (some with a test hook
// of the worker that holds a race window open): a Send racing the end of a write cycle, a second
// Connect, session events crossing a close, a worker handed on while its old handler unwinds,
// a recycled descriptor, callbacks and look-ups under locks, and a connect that hangs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include "net/IcsSocket.h"
#include "net/IcsWorkerPool.h"
#include "tests/net/SocketTestSupport.h"

using namespace sockettest;

namespace {

constexpr auto Window = std::chrono::milliseconds(2000);  // how long a hook holds a window open

// A socket with its events logged, connected to a plain listener, and the accepted peer.
struct TLinked {
  explicit TLinked(bool DoConnect = true) {
    Socket.OnSessionConnected = [this](TComponent*, uint16_t C) {
      Log.Add("connected " + std::to_string(C));
    };
    Socket.OnSessionClosed = [this](TComponent*, uint16_t C) {
      Log.Add("closed " + std::to_string(C));
    };
    Socket.SetAddr("127.0.0.1");
    Socket.SetPort(Server.PortText());
    Socket.SetProto("tcp");
    if (DoConnect) Link();
  }
  // Connects (events are assigned before, while the socket is closed) and accepts the peer.
  void Link() {
    Socket.Connect();
    Ok = Log.WaitFor("connected 0");
    Peer = Server.Accept();
  }
  ~TLinked() {
    if (Peer >= 0) ::close(Peer);
  }
  TPlainListener Server;
  TEventLog Log;
  TIcsSocket Socket;
  bool Ok = false;
  int Peer = -1;
};

}  // namespace

TEST(SocketFaults, ASendRacingTheEndOfAWriteCycleIsStillWritten) {
  TLinked L;
  ASSERT_TRUE(L.Ok);
  TWorkerThread* W = L.Socket.WorkerThread();
  // The first write cycle waits inside its send until the second Send has begun; that Send then
  // waits until the cycle has emptied the buffer, and only then queues its bytes.
  std::atomic<bool> InCycle{false}, InSend{false};
  W->SetOnSendData([&](int32_t) {
    if (!InCycle.exchange(true)) WaitUntil([&] { return InSend.load(); }, Window);
  });
  ASSERT_EQ(L.Socket.SendStr("first "), 6);
  ASSERT_TRUE(WaitUntil([&] { return InCycle.load(); }));
  W->TestHooks.SendBeforeBufferLock = [&] {
    InSend = true;
    WaitUntil([&] { return W->AllSent(); }, Window);
  };
  ASSERT_EQ(L.Socket.SendStr("second"), 6);
  W->TestHooks.SendBeforeBufferLock = nullptr;
  EXPECT_EQ(ReadExactly(L.Peer, 12, std::chrono::seconds(5)), "first second");
  W->SetOnSendData(nullptr);
}

TEST(SocketFaults, ASendWhileTheWriteCycleSendsNeitherWaitsNorIsLost) {
  TLinked L;
  ASSERT_TRUE(L.Ok);
  TWorkerThread* W = L.Socket.WorkerThread();
  // Inside the cycle's first send, another thread sends: it must not wait for the cycle, and its
  // bytes must follow without a wake-up of their own being needed.
  std::atomic<bool> Returned{false}, ReturnedInCycle{false}, Done{false};
  std::thread Other;
  W->SetOnSendData([&](int32_t) {
    if (Done.exchange(true)) return;
    Other = std::thread([&] {
      L.Socket.SendStr("second");
      Returned = true;
    });
    ReturnedInCycle = WaitUntil([&] { return Returned.load(); }, Window);
  });
  ASSERT_EQ(L.Socket.SendStr("first "), 6);
  EXPECT_EQ(ReadExactly(L.Peer, 12, std::chrono::seconds(5)), "first second");
  ASSERT_TRUE(WaitUntil([&] { return Done.load(); }));
  if (Other.joinable()) Other.join();
  EXPECT_TRUE(ReturnedInCycle.load());
  W->SetOnSendData(nullptr);
}

TEST(SocketFaults, ASecondConnectIsRefusedAndLeavesNothingBehind) {
  TPlainListener Server;
  std::atomic<int> Accepted{0};
  std::atomic<bool> Stop{false};
  std::vector<int> Peers;  // kept open, so that no session ends by the peer's close
  std::thread Acceptor([&] {
    while (!Stop) {
      pollfd P{Server.Fd, POLLIN, 0};
      if (::poll(&P, 1, 20) != 1) continue;
      const int Fd = ::accept4(Server.Fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (Fd >= 0) {
        Peers.push_back(Fd);
        ++Accepted;
      }
    }
  });
  TEventLog Log;
  TIcsSocket S;
  std::atomic<int> Refused{0};
  S.OnSessionConnected = [&](TComponent*, uint16_t C) {
    Log.Add("connected " + std::to_string(C));
  };
  S.OnError = [&](TComponent*) { ++Refused; };
  S.SetAddr("127.0.0.1");
  S.SetPort(Server.PortText());
  S.SetProto("tcp");
  S.Dup(-1);  // gives the socket its worker, so that the descriptor count includes it
  Refused = 0;
  const int Fds = OpenDescriptors();
  constexpr int Rounds = 50;
  for (int I = 1; I <= Rounds; ++I) {
    S.Connect();
    S.Connect();  // before the worker has made the OS socket of the first
    ASSERT_TRUE(Log.WaitFor("connected 0", I)) << "round " << I;
    S.Close();
  }
  EXPECT_EQ(Refused.load(), Rounds);
  EXPECT_EQ(Log.Count("connected 0"), static_cast<size_t>(Rounds));
  EXPECT_TRUE(WaitUntil([&] { return Accepted.load() >= Rounds; }));
  Stop = true;
  Acceptor.join();
  EXPECT_EQ(Accepted.load(), Rounds);
  for (int Fd : Peers) ::close(Fd);
  EXPECT_EQ(OpenDescriptors(), Fds);
}

TEST(SocketFaults, APeerCloseCrossingCloseReportsTheSessionClosedOnce) {
  TLinked L(false);
  // The handler of the peer's close holds the worker until the application's Close (made while
  // the state still reads wsConnected) has been posted.
  std::atomic<int64_t> Mark{0};
  L.Socket.OnSessionClosed = [&](TComponent*, uint16_t C) {
    L.Log.Add("closed " + std::to_string(C));
    WaitUntil([&] { return CountTraceSince(Mark, "PostMessage WM_ICS_CLOSE") > 0; }, Window);
  };
  L.Link();
  ASSERT_TRUE(L.Ok);
  Mark = TraceLineCount();
  std::thread Closer([&] {
    L.Log.WaitFor("closed 0");
    L.Socket.Close();
  });
  ::close(L.Peer);
  L.Peer = -1;
  Closer.join();
  EXPECT_EQ(L.Socket.State(), wsClosed);
  EXPECT_EQ(L.Log.Count("closed 0"), 1u);
}

TEST(SocketFaults, AnExceptionFromSessionConnectedFiresItOnceAndTheSocketIsWatched) {
  TLinked L(false);
  std::atomic<bool> Thrown{false};
  L.Socket.OnSessionConnected = [&](TComponent*, uint16_t C) {
    L.Log.Add("connected " + std::to_string(C));
    if (!Thrown.exchange(true)) throw std::runtime_error("handler failed");
  };
  L.Socket.OnDataAvailable = [&](TComponent*, uint16_t) {
    L.Log.Add("data " + L.Socket.ReceiveStr());
  };
  L.Socket.Connect();
  const int Peer = L.Server.Accept();
  ASSERT_GE(Peer, 0);
  ASSERT_EQ(::send(Peer, "hi", 2, 0), 2);
  EXPECT_TRUE(L.Log.WaitFor("data hi"));
  EXPECT_EQ(L.Log.Count("connected 0"), 1u);
  EXPECT_EQ(L.Socket.State(), wsConnected);
  L.Socket.Close();
  ::close(Peer);
}

TEST(SocketFaults, AWorkerReleasedInsideItsOwnHandlerWaitsForTheHandlerToEnd) {
  auto Holders = HoldIdleWorkers();
  TPlainListener Server;
  auto* Old = new TIcsSocket;
  TEventLog OldLog;
  Old->OnSessionConnected = [&](TComponent*, uint16_t C) {
    OldLog.Add("connected " + std::to_string(C));
  };
  // The old socket is destroyed inside its OnSessionClosed; its handler then waits until a new
  // socket has started to connect, and only returns after that.
  std::atomic<bool> Destroyed{false}, NewConnecting{false}, Noted{false};
  Old->OnSessionClosed = [&](TComponent*, uint16_t) {
    WaitUntil([&] { return Noted.load(); });  // the test has read what it needs of Old
    delete Old;
    Destroyed = true;
    WaitUntil([&] { return NewConnecting.load(); }, Window);
  };
  Old->SetAddr("127.0.0.1");
  Old->SetPort(Server.PortText());
  Old->SetProto("tcp");
  Old->Connect();
  ASSERT_TRUE(OldLog.WaitFor("connected 0"));
  const int Peer = Server.Accept();
  ASSERT_GE(Peer, 0);
  TWorkerThread* OldWorker = Old->WorkerThread();
  Noted = true;
  ::close(Peer);
  ASSERT_TRUE(WaitUntil([&] { return Destroyed.load(); }));

  TEventLog Log;
  TIcsSocket New;
  New.OnChangeState = [&](TComponent*, TIcsSocketState O, TIcsSocketState N) {
    Log.Add(std::string(IcsSocketStateName(O)) + "->" + IcsSocketStateName(N));
  };
  New.OnSessionConnected = [&](TComponent*, uint16_t C) {
    Log.Add("connected " + std::to_string(C));
  };
  New.SetAddr("127.0.0.1");
  New.SetPort(Server.PortText());
  New.SetProto("tcp");
  New.Connect();
  NewConnecting = true;
  ASSERT_TRUE(Log.WaitFor("connected 0"));
  EXPECT_EQ(Log.Count("wsConnecting->wsClosed"), 0u);
  EXPECT_EQ(New.State(), wsConnected);
  // The old worker goes back to the pool once its handler has returned.
  EXPECT_TRUE(WaitUntil([&] { return TIcsWorkerPool::Instance().IsIdle(OldWorker); }));
  const int NewPeer = Server.Accept();
  New.Close();
  if (NewPeer >= 0) ::close(NewPeer);
}

TEST(SocketFaults, AClosedHandleIsForgottenBeforeItsNumberCanBeReused) {
  TLinked L;
  ASSERT_TRUE(L.Ok);
  TWorkerThread* W = L.Socket.WorkerThread();
  const int Fd = W->HSocket();
  // Right after the OS close, a new descriptor takes the lowest free number, which is the one
  // just closed; a Receive of the closed socket must not read from it.
  int Got = -2;
  W->TestHooks.AfterCloseSocket = [&] {
    int Sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, Sv) != 0) return;
    if (Sv[0] == Fd || Sv[1] == Fd) {
      ::send(Sv[0] == Fd ? Sv[1] : Sv[0], "stolen", 6, 0);
      char B[16];
      Got = L.Socket.Receive(B, sizeof(B));
    }
    ::close(Sv[0]);
    ::close(Sv[1]);
  };
  L.Socket.Close();
  W->TestHooks.AfterCloseSocket = nullptr;
  if (Got == -2) GTEST_SKIP() << "another thread took the descriptor number first";
  EXPECT_EQ(Got, -1);
}

TEST(SocketFaults, CallbacksAndLookUpsHoldNoLockAnotherThreadNeeds) {
  struct TCase {
    const char* Name;
  } Cases[] = {{"data sent"}, {"write failure"}, {"name look-up"}};
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    const std::string Name = C.Name;
    // Inside the callback (or the look-up) on the worker, another thread sends (or reads a
    // setting of the worker); that must not wait for the callback to return.
    std::atomic<bool> Entered{false}, OtherDone{false};
    std::atomic<int> Answered{-1};  // -1 until the probe has finished waiting
    std::thread Other;
    TLinked L(false);
    auto Probe = [&](const std::function<void()>& Work) {
      if (Entered.exchange(true)) return;
      Other = std::thread([&, Work] {
        Work();
        OtherDone = true;
      });
      Answered = WaitUntil([&] { return OtherDone.load(); }, Window) ? 1 : 0;
    };
    TIcsSocket& S = L.Socket;
    if (Name == "data sent") {
      S.OnDataSent = [&](TComponent*, uint16_t) { Probe([&] { S.SendStr("b"); }); };
    } else if (Name == "write failure") {
      S.OnSessionClosed = [&](TComponent*, uint16_t) { Probe([&] { S.SendStr("b"); }); };
    } else {
      S.Dup(-1);  // attaches a worker, whose hook is set before it connects
      TWorkerThread* W = S.WorkerThread();
      W->TestHooks.DuringResolve = [&, W] { Probe([W] { W->Port(); }); };
    }
    S.Connect();
    ASSERT_TRUE(L.Log.WaitFor("connected 0"));
    L.Peer = L.Server.Accept();
    if (Name == "data sent") {
      S.SendStr("a");
    } else if (Name == "write failure") {
      ASSERT_EQ(::shutdown(S.WorkerThread()->HSocket(), SHUT_WR), 0);
      S.SendStr("a");
    }
    ASSERT_TRUE(WaitUntil([&] { return Answered.load() != -1 && OtherDone.load(); }));
    Other.join();
    EXPECT_EQ(Answered.load(), 1);
    S.WorkerThread()->TestHooks.DuringResolve = nullptr;
    S.Close();
  }
}

TEST(SocketFaults, CloseAndDestructionEndAConnectThatHangsAtOnce) {
  // A listener with backlog 0 whose connections are never accepted: once its queue holds one
  // connection, the OS drops further SYNs, and a connect to it hangs until cancelled.
  const int Deaf = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(Deaf, reinterpret_cast<sockaddr*>(&A), sizeof(A)), 0);
  ASSERT_EQ(::listen(Deaf, 0), 0);
  socklen_t Len = sizeof(A);
  ::getsockname(Deaf, reinterpret_cast<sockaddr*>(&A), &Len);
  const std::string DeafPort = std::to_string(ntohs(A.sin_port));
  const int Filler = PlainConnect(ntohs(A.sin_port));
  ASSERT_GE(Filler, 0);
  TPlainListener Live;

  for (const bool Destroy : {false, true}) {
    SCOPED_TRACE(Destroy ? "destruction" : "Close");
    TEventLog Log;
    auto S = std::make_unique<TIcsSocket>();
    S->OnChangeState = [&](TComponent*, TIcsSocketState O, TIcsSocketState N) {
      Log.Add(std::string(IcsSocketStateName(O)) + "->" + IcsSocketStateName(N));
    };
    S->OnSessionConnected = [&](TComponent*, uint16_t C) {
      Log.Add("connected " + std::to_string(C));
    };
    S->SetAddr("127.0.0.1");
    S->SetPort(DeafPort);
    S->SetProto("tcp");
    S->Connect();
    ASSERT_TRUE(Log.WaitFor("wsOpened->wsConnecting"));
    const auto Start = std::chrono::steady_clock::now();
    if (Destroy)
      S.reset();
    else
      S->Close();
    const auto Took = std::chrono::steady_clock::now() - Start;
    // Well under the kernel's SYN time-out (about 127 s), with room for a loaded machine.
    EXPECT_LT(Took, std::chrono::seconds(1));
    if (Destroy) continue;
    EXPECT_EQ(S->State(), wsClosed);
    EXPECT_EQ(Log.Count("connected " + std::to_string(ECONNABORTED)), 1u);
    EXPECT_EQ(Log.Count("wsConnecting->wsClosed"), 1u);
    // The same socket connects to a live listener afterwards.
    S->SetPort(Live.PortText());
    S->Connect();
    EXPECT_TRUE(Log.WaitFor("connected 0"));
    const int Peer = Live.Accept();
    S->Close();
    if (Peer >= 0) ::close(Peer);
  }
  ::close(Filler);
  ::close(Deaf);
}
