// The socket component on loopback: connect event and state order, failures, peer close,
// property rules, error routing, close from handlers and from the main thread, and pool reuse.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>

#include "base/MainThreadQueue.h"
#include "base/Thread.h"
#include "net/IcsSocket.h"
#include "net/IcsWorkerPool.h"
#include "tests/net/SocketTestSupport.h"

using namespace sockettest;

namespace {

std::string StatePair(TIcsSocketState A, TIcsSocketState B) {
  return std::string(IcsSocketStateName(A)) + "->" + IcsSocketStateName(B);
}

// A socket whose every event is written to Log, each tagged with whether it ran on the thread
// that created the fixture ("caller") or elsewhere ("worker").
struct TRecordedSocket {
  explicit TRecordedSocket(const std::string& Name = "") {
    if (!Name.empty()) Socket.SetName(Name);
    const auto Tid = GetCurrentThreadId();
    auto Where = [Tid] { return GetCurrentThreadId() == Tid ? "@caller" : "@worker"; };
    Socket.OnChangeState = [this, Where](TComponent*, TIcsSocketState O, TIcsSocketState N) {
      Log.Add(StatePair(O, N) + Where());
    };
    Socket.OnSessionConnected = [this](TComponent*, uint16_t Code) {
      Log.Add("connected " + std::to_string(Code));
    };
    Socket.OnSessionClosed = [this](TComponent*, uint16_t Code) {
      Log.Add("closed " + std::to_string(Code));
    };
    Socket.OnDataSent = [this](TComponent*, uint16_t Code) {
      Log.Add("sent " + std::to_string(Code));
    };
  }
  void Target(const std::string& Addr, const std::string& Port, const std::string& Proto = "tcp") {
    Socket.SetProto(Proto);
    Socket.SetAddr(Addr);
    Socket.SetPort(Port);
  }
  TEventLog Log;
  TIcsSocket Socket;
};

}  // namespace

TEST(SocketComponent, ConnectAndCloseFireStatesAndEventsInOrder) {
  TPlainListener Server;
  TRecordedSocket R;
  R.Target("127.0.0.1", Server.PortText());
  R.Socket.Connect();
  // The first change happens on the caller's thread, before Connect returns.
  ASSERT_FALSE(R.Log.Snapshot().empty());
  ASSERT_EQ(R.Log.Snapshot().front(), "wsClosed->wsConnecting@caller");
  ASSERT_TRUE(R.Log.WaitFor("connected 0"));
  EXPECT_EQ(R.Socket.State(), wsConnected);
  const int Peer = Server.Accept();
  ASSERT_GE(Peer, 0);
  EXPECT_EQ(R.Socket.GetPeerAddr(), "127.0.0.1");
  EXPECT_EQ(R.Socket.GetPeerPort(), Server.PortText());

  R.Socket.Close();
  // Close on this thread returns once the close has been handled.
  EXPECT_EQ(R.Socket.State(), wsClosed);
  EXPECT_EQ(
      R.Log.Snapshot(),
      (std::vector<std::string>{"wsClosed->wsConnecting@caller", "wsConnecting->wsOpened@worker",
                                "wsOpened->wsConnecting@worker", "wsConnecting->wsConnected@worker",
                                "connected 0", "closed 0", "wsConnected->wsClosed@worker"}));
  EXPECT_EQ(R.Socket.GetPeerAddr(), "error");
  ::close(Peer);
}

TEST(SocketComponent, FailedConnectsEndClosedWithTheirErrorText) {
  TRefusingPort Refusing;
  TPlainListener Taken;
  struct TCase {
    const char* Name;
    std::string Addr, Port, Proto;
    int32_t Code;
    std::string MsgPrefix;
    bool Opened;  // the OS socket was made before the failure
    std::string LocalPort = "";
  } Cases[] = {
      {"refused port", "127.0.0.1", std::to_string(Refusing.Port), "tcp", ECONNREFUSED,
       "connect failed", true},
      {"local port in use", "127.0.0.1", std::to_string(Refusing.Port), "tcp", EADDRINUSE,
       "bind failed, error #" + std::to_string(EADDRINUSE), true, Taken.PortText()},
      {"unresolvable host", "no-such-host.invalid", "2775", "tcp", EHOSTUNREACH,
       "connect failed. ESocketException: IcsSocketResolveHost: Cannot convert host address "
       "'no-such-host.invalid', Error #",
       false},
      {"unknown service", "127.0.0.1", "no-such-service", "tcp", EINVAL,
       "connect failed. ESocketException: IcsSocketResolvePort: Cannot convert port "
       "'no-such-service', Error #",
       false},
      {"unknown protocol", "127.0.0.1", "2775", "no-such-proto", EPROTONOSUPPORT,
       "connect failed. ESocketException: IcsSocketResolveProto: Cannot convert protocol "
       "'no-such-proto', Error #",
       false},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TRecordedSocket R;
    R.Target(C.Addr, C.Port, C.Proto);
    R.Socket.SetLocalPort(C.LocalPort);
    R.Socket.Connect();
    ASSERT_TRUE(R.Log.WaitFor("connected " + std::to_string(C.Code)));
    EXPECT_EQ(R.Socket.State(), wsClosed);
    TWorkerThread* W = R.Socket.WorkerThread();
    EXPECT_EQ(W->LastError(), C.Code);
    EXPECT_EQ(W->LastErrorMsg().rfind(C.MsgPrefix, 0), 0u) << W->LastErrorMsg();
    EXPECT_EQ(W->HSocket(), -1);
    std::vector<std::string> Expected{"wsClosed->wsConnecting@caller"};
    if (C.Opened && C.LocalPort.empty()) {
      Expected.insert(Expected.end(),
                      {"wsConnecting->wsOpened@worker", "wsOpened->wsConnecting@worker",
                       "wsConnecting->wsClosed@worker"});
    } else if (C.Opened) {
      // The local address is taken before the connect begins.
      Expected.insert(Expected.end(),
                      {"wsConnecting->wsOpened@worker", "wsOpened->wsClosed@worker"});
    } else {
      Expected.push_back("wsConnecting->wsClosed@worker");
    }
    Expected.push_back("connected " + std::to_string(C.Code));
    EXPECT_EQ(R.Log.Snapshot(), Expected);
  }
}

TEST(SocketComponent, PeerCloseIsReportedBeforeTheStateChange) {
  TPlainListener Server;
  TRecordedSocket R;
  TIcsSocketState StateInHandler = wsInvalidState;
  std::string PortRefusal;
  R.Socket.OnSessionClosed = [&](TComponent*, uint16_t Code) {
    StateInHandler = R.Socket.State();
    try {
      R.Socket.SetPort("1");
    } catch (const ESocketException& E) {
      PortRefusal = E.what();
    }
    R.Log.Add("closed " + std::to_string(Code));
  };
  R.Target("127.0.0.1", Server.PortText());
  R.Socket.Connect();
  ASSERT_TRUE(R.Log.WaitFor("connected 0"));
  ::close(Server.Accept());
  ASSERT_TRUE(R.Log.WaitFor("wsConnected->wsClosed@worker"));
  EXPECT_TRUE(TraceHas("ClosedByRemote"));
  auto Events = R.Log.Snapshot();
  EXPECT_EQ(Events[Events.size() - 2], "closed 0");
  EXPECT_EQ(StateInHandler, wsConnected);
  EXPECT_EQ(PortRefusal, "Cannot change Port if not closed");
  EXPECT_EQ(R.Socket.Port(), Server.PortText());
  // Once closed the settings may change again.
  R.Socket.SetPort("1");
  EXPECT_EQ(R.Socket.Port(), "1");
}

TEST(SocketComponent, ANewSocketHasNoWorkerAndAnswersNeutrally) {
  TRecordedSocket R;
  TIcsSocket& S = R.Socket;
  EXPECT_EQ(S.State(), wsClosed);
  EXPECT_EQ(S.RcvdCount(), 0);
  char B[4];
  EXPECT_EQ(S.Receive(B, sizeof(B)), 0);
  EXPECT_EQ(S.ReceiveStr(), "");
  EXPECT_EQ(S.Accept(), -1);
  EXPECT_FALSE(S.PostMessage(WM_ICS_USER, 0, 0));
  EXPECT_EQ(S.GetPeerAddr(), "error");
  EXPECT_EQ(S.GetPeerPort(), "error");
  S.Close();
  EXPECT_EQ(S.Send("x", 1), -1);
  EXPECT_EQ(S.LastError(), IcsNotConnectedError);
  S.SetLocalAddr("127.0.0.2");
  EXPECT_EQ(S.LocalAddr(), "");
  EXPECT_EQ(S.PortNum(), 0);
  EXPECT_EQ(S.WorkerThread(), nullptr);
  EXPECT_TRUE(R.Log.Snapshot().empty());

  TIcsSocket Fresh;
  EXPECT_EQ(Fresh.SendStr(""), 0);
  EXPECT_EQ(Fresh.LastError(), 0);
}

TEST(SocketComponent, AddressSettersTrimAndTrackTheirFlags) {
  TIcsSocket S;
  struct TStep {
    const char* Write;
    const char* Stored;
    bool Assigned;
  } Steps[] = {
      {"  smsc.example  ", "smsc.example", true},
      {"smsc.example", "smsc.example", true},
      {"\tother.example\r\n", "other.example", true},
      {"   ", "", false},
      {"", "", false},
  };
  for (const auto& Step : Steps) {
    SCOPED_TRACE(Step.Write);
    S.SetAddr(Step.Write);
    EXPECT_EQ(S.Addr(), Step.Stored);
    EXPECT_EQ(S.AddrAssigned(), Step.Assigned);
    EXPECT_FALSE(S.AddrResolved());
  }
  // LocalPort is stored as written.
  S.SetLocalPort(" 0 ");
  EXPECT_EQ(S.LocalPort(), " 0 ");
}

TEST(SocketComponent, SettersAreRefusedWhileOpen) {
  TPlainListener Server;
  struct TCase {
    const char* Property;
    std::function<void(TIcsSocket&)> Write;
    std::function<std::string(TIcsSocket&)> Read;
  } Cases[] = {
      {"Addr", [](TIcsSocket& S) { S.SetAddr("127.0.0.2"); },
       [](TIcsSocket& S) { return S.Addr(); }},
      {"Port", [](TIcsSocket& S) { S.SetPort("1"); }, [](TIcsSocket& S) { return S.Port(); }},
      {"Proto", [](TIcsSocket& S) { S.SetProto("udp"); }, [](TIcsSocket& S) { return S.Proto(); }},
      {"LocalPort", [](TIcsSocket& S) { S.SetLocalPort("5"); },
       [](TIcsSocket& S) { return S.LocalPort(); }},
  };
  TRecordedSocket R;
  R.Target("127.0.0.1", Server.PortText());
  R.Socket.Connect();
  ASSERT_TRUE(R.Log.WaitFor("connected 0"));
  const int Peer = Server.Accept();
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Property);
    const std::string Before = C.Read(R.Socket);
    // Without OnError: an exception with the fixed text.
    try {
      C.Write(R.Socket);
      ADD_FAILURE() << "no exception";
    } catch (const ESocketException& E) {
      EXPECT_EQ(std::string(E.what()),
                std::string("Cannot change ") + C.Property + " if not closed");
    }
    // With OnError: the event, once, and no exception.
    int Errors = 0;
    R.Socket.OnError = [&](TComponent* Sender) {
      EXPECT_EQ(Sender, &R.Socket);
      ++Errors;
    };
    C.Write(R.Socket);
    EXPECT_EQ(Errors, 1);
    EXPECT_EQ(C.Read(R.Socket), Before);
    R.Socket.OnError = nullptr;
  }
  R.Socket.Close();
  ::close(Peer);
}

TEST(SocketComponent, RefusedRequestsReachOnErrorOrRaise) {
  TPlainListener Server;
  TRecordedSocket R;
  R.Target("127.0.0.1", Server.PortText());
  R.Socket.Connect();
  ASSERT_TRUE(R.Log.WaitFor("connected 0"));
  const int Peer = Server.Accept();
  TWorkerThread* W = R.Socket.WorkerThread();

  // A second Connect while connected is refused by the worker's in-use check.
  int Errors = 0;
  R.Socket.OnError = [&](TComponent*) { ++Errors; };
  R.Socket.Connect();
  EXPECT_EQ(Errors, 1);
  EXPECT_EQ(R.Socket.LastError(), W->LastError());
  EXPECT_EQ(R.Socket.LastErrorMsg(), W->LastErrorMsg());

  R.Socket.OnError = nullptr;
  try {
    R.Socket.Connect();
    ADD_FAILURE() << "no exception";
  } catch (const ESocketException& E) {
    EXPECT_EQ(std::string(E.what()),
              W->LastErrorMsg() + " Error #" + std::to_string(W->LastError()));
  }
  EXPECT_THROW(R.Socket.Listen(), std::runtime_error);
  R.Socket.Close();
  ::close(Peer);

  // Missing settings are refused before anything is posted, in the order port, address,
  // protocol.
  struct TCase {
    const char* Addr;
    const char* Port;
    const char* Proto;
  } Missing[] = {{"127.0.0.1", "", "tcp"}, {"", "1", "tcp"}, {"127.0.0.1", "1", ""}};
  for (const auto& C : Missing) {
    SCOPED_TRACE(std::string(C.Addr) + "|" + C.Port + "|" + C.Proto);
    TIcsSocket S;
    S.SetAddr(C.Addr);
    S.SetPort(C.Port);
    S.SetProto(C.Proto);
    int N = 0;
    S.OnError = [&](TComponent*) { ++N; };
    S.Connect();
    EXPECT_EQ(N, 1);
    EXPECT_EQ(S.State(), wsClosed);
  }
}

TEST(SocketComponent, CloseFromAHandlerReturnsAtOnceAndTheCloseFollows) {
  TPlainListener Server;
  TRecordedSocket R;
  R.Socket.OnSessionConnected = [&](TComponent*, uint16_t Code) {
    R.Socket.Close();
    // Still connected: the close is handled after this handler.
    R.Log.Add("connected " + std::to_string(Code) + " " + IcsSocketStateName(R.Socket.State()));
  };
  R.Target("127.0.0.1", Server.PortText());
  R.Socket.Connect();
  ASSERT_TRUE(R.Log.WaitFor("wsConnected->wsClosed@worker"));
  const auto Events = R.Log.Snapshot();
  ASSERT_GE(Events.size(), 3u);
  EXPECT_EQ(Events[Events.size() - 3], "connected 0 wsConnected");
  EXPECT_EQ(Events[Events.size() - 2], "closed 0");
  const int Peer = Server.Accept();
  if (Peer >= 0) ::close(Peer);
}

TEST(SocketComponent, CloseOnTheMainThreadRunsQueuedMainThreadCalls) {
  ASSERT_TRUE(IsMainThread());
  TPlainListener Server;
  TRecordedSocket R;
  std::atomic<bool> RanOnMain{false};
  // The handler blocks until a call it hands to the main thread has run: the main thread's
  // Close must keep serving its queue or both threads would wait for ever.
  R.Socket.OnSessionClosed = [&](TComponent*, uint16_t) {
    std::mutex M;
    std::condition_variable Cv;
    bool Done = false;
    QueueMainThreadCall([&] {
      RanOnMain = IsMainThread();
      std::lock_guard<std::mutex> G(M);
      Done = true;
      Cv.notify_all();
    });
    std::unique_lock<std::mutex> G(M);
    Cv.wait_for(G, Timeout, [&] { return Done; });
  };
  R.Target("127.0.0.1", Server.PortText());
  R.Socket.Connect();
  ASSERT_TRUE(R.Log.WaitFor("connected 0"));
  const int Peer = Server.Accept();
  R.Socket.Close();
  EXPECT_TRUE(RanOnMain);
  EXPECT_EQ(R.Socket.State(), wsClosed);
  ::close(Peer);
}

TEST(SocketComponent, AnExceptionInAHandlerIsDroppedAndTheWorkerGoesOn) {
  TPlainListener Server;
  TRecordedSocket R;
  std::atomic<int> Calls{0};
  R.Socket.OnDataAvailable = [&](TComponent*, uint16_t) {
    ++Calls;
    R.Socket.ReceiveStr();
    throw std::runtime_error("handler failure");
  };
  R.Target("127.0.0.1", Server.PortText());
  R.Socket.Connect();
  ASSERT_TRUE(R.Log.WaitFor("connected 0"));
  const int Peer = Server.Accept();
  ASSERT_EQ(::send(Peer, "a", 1, 0), 1);
  ASSERT_TRUE(WaitUntil([&] { return Calls == 1; }));
  ASSERT_EQ(::send(Peer, "b", 1, 0), 1);
  ASSERT_TRUE(WaitUntil([&] { return Calls == 2; }));
  // The loop is still alive and handles the close as usual.
  R.Socket.Close();
  EXPECT_EQ(R.Log.Count("closed 0"), 1u);
  ::close(Peer);
}

TEST(SocketComponent, UnreadBytesAreDroppedWithoutAHandler) {
  TPlainListener Server;
  TRecordedSocket R;
  R.Target("127.0.0.1", Server.PortText());
  R.Socket.Connect();
  ASSERT_TRUE(R.Log.WaitFor("connected 0"));
  const int Peer = Server.Accept();
  const std::string Data(600, 'z');
  ASSERT_EQ(::send(Peer, Data.data(), Data.size(), 0), 600);
  // 257 bytes at a time: three reads empty the socket.
  ASSERT_TRUE(WaitUntil([&] { return R.Socket.RcvdCount() == 0; }));
  EXPECT_EQ(R.Socket.State(), wsConnected);
  R.Socket.Close();
  ::close(Peer);
}

TEST(SocketPool, ADestroyedSocketsWorkerServesTheNextSocket) {
  TIcsWorkerPool& Pool = TIcsWorkerPool::Instance();
  // Earlier tests may have left idle workers: hold them, so that the worker this test releases
  // is the only idle one.
  const auto Holders = HoldIdleWorkers();
  TPlainListener Server;
  TWorkerThread* First;
  {
    TRecordedSocket A("Alpha");
    A.Target("127.0.0.1", Server.PortText());
    A.Socket.Connect();
    ASSERT_TRUE(A.Log.WaitFor("connected 0"));
    First = A.Socket.WorkerThread();
    EXPECT_EQ(First->Name(), "AlphaWorkerThread");
    ::close(Server.Accept());
    // Destroyed while the connection is open: the worker closes it and forgets this socket.
  }
  EXPECT_TRUE(Pool.IsIdle(First));
  EXPECT_EQ(First->State(), wsClosed);
  EXPECT_EQ(First->HSocket(), -1);
  const int32_t Created = Pool.CreationCount();
  const uint32_t Tid = First->LoopThreadId();

  TRecordedSocket B("Beta");
  B.Target("127.0.0.1", Server.PortText());
  B.Socket.Connect();
  ASSERT_TRUE(B.Log.WaitFor("connected 0"));
  EXPECT_EQ(B.Socket.WorkerThread(), First);
  EXPECT_EQ(First->LoopThreadId(), Tid);
  EXPECT_EQ(First->Name(), "BetaWorkerThread");
  EXPECT_EQ(Pool.CreationCount(), Created);
  // Only the new owner hears from the worker.
  EXPECT_EQ(B.Log.Snapshot().front(), "wsClosed->wsConnecting@caller");
  B.Socket.Close();
  ::close(Server.Accept());
}

TEST(SocketPool, ANewWorkerIsNamedAfterTheCreationCounter) {
  TIcsWorkerPool& Pool = TIcsWorkerPool::Instance();
  const auto Holders = HoldIdleWorkers();
  const int32_t Before = Pool.CreationCount();
  TWorkerThread* W = Pool.AcquireThread(DefaultWorkerThreadClass());
  ASSERT_NE(W, nullptr);
  EXPECT_TRUE(W->Started());
  EXPECT_EQ(W->State(), wsClosed);
  EXPECT_EQ(Pool.CreationCount(), Before + 1);
  EXPECT_EQ(W->Name(), "SocketWorkerThread" + std::to_string(Before + 1));
  Pool.ReleaseThread(W);
  EXPECT_TRUE(Pool.IsIdle(W));
  try {
    Pool.ReleaseThread(W);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& E) {
    EXPECT_EQ(std::string(E.what()), "ReleaseThread: unknown thread");
  }
  EXPECT_EQ(Pool.AcquireThread(TWorkerThreadClass()), W);  // an idle one needs no factory
  Pool.ReleaseThread(W);
}

TEST(SocketPool, DestroyingASocketInsideItsOwnHandlerIsSafe) {
  TPlainListener Server;
  TEventLog Log;
  auto S = std::make_unique<TIcsSocket>();
  TIcsSocket* Raw = S.get();
  TWorkerThread* W = nullptr;
  Raw->OnSessionConnected = [&](TComponent*, uint16_t) {
    W = Raw->WorkerThread();
    S.reset();  // destroys the socket on its own worker thread
    Log.Add("destroyed");
  };
  Raw->SetAddr("127.0.0.1");
  Raw->SetPort(Server.PortText());
  Raw->SetProto("tcp");
  Raw->Connect();
  ASSERT_TRUE(Log.WaitFor("destroyed"));
  ASSERT_TRUE(WaitUntil([&] { return TIcsWorkerPool::Instance().IsIdle(W); }));
  EXPECT_EQ(W->HSocket(), -1);
  const int Peer = Server.Accept();
  if (Peer >= 0) ::close(Peer);
}
