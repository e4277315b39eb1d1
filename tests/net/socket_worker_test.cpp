// The worker's send buffer and write cycle, EPIPE, its setters and resolution cache, listening,
// accepting and adopting handles, and the datagram path.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <numeric>
#include <stdexcept>

#include "base/Thread.h"
#include "net/IcsSocket.h"
#include "net/IcsWorkerPool.h"
#include "tests/net/SocketTestSupport.h"

using namespace sockettest;

namespace {

// A connected client socket and the server end of its connection, with the events of the
// socket and the byte counts of its worker's send calls recorded.
struct TConnectedPair {
  // Setup, when given, assigns more events before the socket connects.
  explicit TConnectedPair(const std::function<void(TConnectedPair&)>& Setup = {}) {
    if (Setup) Setup(*this);
    Socket.OnSessionConnected = [this](TComponent*, uint16_t C) {
      Log.Add("connected " + std::to_string(C));
    };
    Socket.OnSessionClosed = [this](TComponent*, uint16_t C) {
      Log.Add("closed " + std::to_string(C));
    };
    Socket.OnDataSent = [this](TComponent*, uint16_t C) { Log.Add("sent " + std::to_string(C)); };
    Socket.SetAddr("127.0.0.1");
    Socket.SetPort(Server.PortText());
    Socket.SetProto("tcp");
    Socket.Connect();
    Ok = Log.WaitFor("connected 0");
    Peer = Server.Accept();
    if (Ok) {
      Socket.WorkerThread()->SetOnSendData([this](int32_t N) {
        std::lock_guard<std::mutex> G(Lock);
        SendCalls.push_back(N);
      });
    }
  }
  ~TConnectedPair() {
    if (Peer >= 0) ::close(Peer);
  }
  std::vector<int32_t> Calls() {
    std::lock_guard<std::mutex> G(Lock);
    return SendCalls;
  }
  TPlainListener Server;
  TEventLog Log;
  TIcsSocket Socket;
  bool Ok = false;
  int Peer = -1;
  std::mutex Lock;  // guards SendCalls
  std::vector<int32_t> SendCalls;
};

std::string Pattern(size_t N, size_t Seed = 0) {
  std::string S(N, '\0');
  for (size_t I = 0; I < N; ++I) S[I] = static_cast<char>('A' + (I + Seed) % 26);
  return S;
}

}  // namespace

TEST(WorkerSend, QueuedChunksGoOutWholeWithOneDataSent) {
  struct TCase {
    const char* Name;
    bool Gather;
    size_t Length;
    std::vector<int32_t> Calls;  // the send calls, when they are certain
  } Cases[] = {{"chunk by chunk", false, 3000, {1514, 1486}},
               {"gathered", true, 3000, {3000}},
               {"gathered, more than one call takes", true, 300000, {}}};
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    TConnectedPair P([&](TConnectedPair& Pair) { Pair.Socket.SendGather = C.Gather; });
    ASSERT_TRUE(P.Ok);
    const std::string Data = Pattern(C.Length);
    EXPECT_EQ(P.Socket.Send(Data.data(), static_cast<int32_t>(C.Length)),
              static_cast<int32_t>(C.Length));
    EXPECT_EQ(ReadExactly(P.Peer, C.Length), Data);
    ASSERT_TRUE(P.Log.WaitFor("sent 0"));
    const std::vector<int32_t> Calls = P.Calls();
    if (!C.Calls.empty()) {
      EXPECT_EQ(Calls, C.Calls);
    }
    EXPECT_EQ(std::accumulate(Calls.begin(), Calls.end(), size_t{0}), C.Length);
    for (const int32_t N : Calls) EXPECT_LE(N, 64 * 1024 + 1514);
    // The chunks sent were released; the emptied last one stays for later sends.
    TWorkerThread* W = P.Socket.WorkerThread();
    EXPECT_EQ(W->BufferChunkCount(), 1);
    EXPECT_EQ(W->BufferedBytes(), 0);
    EXPECT_TRUE(W->AllSent());
    // One more small send must not fire a second event for the first one.
    EXPECT_EQ(P.Socket.SendStr("x"), 1);
    ASSERT_TRUE(P.Log.WaitFor("sent 0", 2));
    EXPECT_EQ(P.Log.Count("sent 0"), 2u);
    EXPECT_EQ(ReadExactly(P.Peer, 1), "x");
  }
}

TEST(WorkerSend, ZeroByteSendsFireOnlyAfterAnEarlierSend) {
  struct TCase {
    const char* Name;
    bool SendBefore;  // an earlier send left its emptied chunk in the buffer
    int32_t Length;   // 0 or negative
  } Cases[] = {{"no chunk, 0", false, 0},
               {"no chunk, negative", false, -5},
               {"emptied chunk, 0", true, 0},
               {"emptied chunk, negative", true, -5}};
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TConnectedPair P;
    ASSERT_TRUE(P.Ok);
    size_t Sent = 0;
    if (C.SendBefore) {
      ASSERT_EQ(P.Socket.SendStr("hello"), 5);
      ASSERT_TRUE(P.Log.WaitFor("sent 0", ++Sent));
      ASSERT_EQ(ReadExactly(P.Peer, 5), "hello");
    }
    // Only this worker's lines count: another test's worker may still be tracing.
    const std::string Nothing =
        "(" + std::to_string(P.Socket.WorkerThread()->LoopThreadId()) + ") OpWrite nothing to send";
    const int64_t Mark = TraceLineCount();
    EXPECT_EQ(P.Socket.Send("ignored", C.Length), 0);
    // The write cycle still runs: with a chunk left it fires the event, without one it only
    // traces that there is nothing to send (twice when the worker, between two waits, finds the
    // socket writable before the wake-up is queued: both cycles find nothing).
    if (C.SendBefore) {
      ASSERT_TRUE(P.Log.WaitFor("sent 0", ++Sent));
    } else {
      ASSERT_TRUE(WaitUntil([&] { return CountTraceSince(Mark, Nothing) >= 1; }));
    }
    // A later send fires exactly one more event, and its byte is the only one on the wire.
    ASSERT_EQ(P.Socket.SendStr("!"), 1);
    ASSERT_TRUE(P.Log.WaitFor("sent 0", ++Sent));
    EXPECT_EQ(ReadExactly(P.Peer, 1), "!");
    EXPECT_EQ(P.Log.Count("sent 0"), Sent);
    // Nothing was left watching the always-writable socket, which would spin the write cycle.
    EXPECT_LE(CountTraceSince(Mark, Nothing), C.SendBefore ? 0 : 2);
  }
}

TEST(WorkerSend, AFailedWriteOrAnEndSeenInsideAHandlerEndsTheSessionOnce) {
  const std::string Reset = "closed " + std::to_string(ECONNRESET);
  struct TCase {
    const char* Name;
    std::string Closed;  // the one session-closed event expected
  } Cases[] = {{"EPIPE", Reset}, {"reset by the peer", Reset}, {"end seen by a read", "closed 0"}};
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    const bool ByRead = C.Closed == "closed 0";
    TConnectedPair P([&](TConnectedPair& Q) {
      if (!ByRead) return;
      // The handler reads the byte and asks for more, which finds the end of the stream.
      Q.Socket.OnDataAvailable = [&Q](TComponent*, uint16_t) {
        Q.Socket.ReceiveStr();
        Q.Socket.RcvdCount();
      };
    });
    ASSERT_TRUE(P.Ok);
    TWorkerThread* W = P.Socket.WorkerThread();
    if (ByRead) {
      ASSERT_EQ(::send(P.Peer, "x", 1, 0), 1);
      ::close(P.Peer);
      P.Peer = -1;
    } else if (C.Closed == Reset && std::string(C.Name) == "EPIPE") {
      // Shutting our own side for writing makes the next send fail with EPIPE.
      ASSERT_EQ(::shutdown(W->HSocket(), SHUT_WR), 0);
      EXPECT_EQ(P.Socket.SendStr("doomed"), 6);
    } else {
      // Input is not watched, so that the reset is found by a send rather than by a read.
      W->SetDontRead(true);
      linger L{1, 0};
      ::setsockopt(P.Peer, SOL_SOCKET, SO_LINGER, &L, sizeof(L));
      ::close(P.Peer);
      P.Peer = -1;
      // The first send may still be accepted by the OS; the reset then fails a later one.
      ASSERT_TRUE(WaitUntil([&] { return P.Socket.SendStr("ping") == -1; }));
    }
    ASSERT_TRUE(P.Log.WaitFor(C.Closed));
    ASSERT_TRUE(WaitUntil([&] { return P.Socket.State() == wsClosed; }));
    EXPECT_EQ(W->HSocket(), -1);
    // Nothing is accepted for a connection that is gone, and a later close adds no event.
    EXPECT_EQ(P.Socket.SendStr("lost"), -1);
    EXPECT_EQ(P.Socket.LastError(), IcsNotConnectedError);
    P.Socket.Close();
    EXPECT_EQ(P.Log.Count(C.Closed), 1u);
    // The failed bytes were never reported sent (pings before the reset may have been).
    if (std::string(C.Name) == "EPIPE") {
      EXPECT_EQ(P.Log.Count("sent 0"), 0u);
    }
  }
}

TEST(WorkerSettings, SettersTrimAndResolutionIsCachedAcrossConnects) {
  TPlainListener Server;
  TIcsSocket S;
  TEventLog Log;
  S.OnSessionConnected = [&](TComponent*, uint16_t C) {
    Log.Add("connected " + std::to_string(C));
  };
  S.SetAddr(" 127.0.0.1 ");
  S.SetPort(Server.PortText());
  S.SetProto("tcp");
  S.Connect();
  ASSERT_TRUE(Log.WaitFor("connected 0"));
  TWorkerThread* W = S.WorkerThread();
  EXPECT_EQ(W->Addr(), "127.0.0.1");
  EXPECT_TRUE(W->AddrResolved());
  EXPECT_TRUE(W->PortResolved());
  EXPECT_TRUE(W->ProtoResolved());
  EXPECT_EQ(W->ProtoNumber(), 6);
  EXPECT_EQ(W->SockType(), SOCK_STREAM);
  EXPECT_EQ(W->PortNumber(), Server.Port);
  EXPECT_EQ(W->LocalPort(), "0");
  ::close(Server.Accept());
  S.Close();

  struct TStep {
    const char* Write;
    bool ResolvedAfter;
  } Steps[] = {{"127.0.0.1", true}, {" 127.0.0.1 ", false}};
  for (const auto& Step : Steps) {
    SCOPED_TRACE(Step.Write);
    W->SetAddr("127.0.0.1");  // as left by the connect above, or re-resolved below
    W->SetAddr(Step.Write);
    EXPECT_EQ(W->Addr(), "127.0.0.1");
    EXPECT_EQ(W->AddrResolved(), Step.ResolvedAfter);
  }
  // The component hands its (unchanged) texts over again; the worker connects anew.
  S.Connect();
  ASSERT_TRUE(Log.WaitFor("connected 0", 2));
  EXPECT_TRUE(W->AddrResolved());
  ::close(Server.Accept());
  S.Close();

  W->SetLocalPort("   ");
  EXPECT_EQ(W->LocalPort(), "0");
  W->SetPort("");
  EXPECT_FALSE(W->PortAssigned());
}

TEST(WorkerSettings, APooledWorkerForgetsTheLocalPortAnEarlierSocketWasGiven) {
  const auto Holders = HoldIdleWorkers();
  TWorkerThread* W;
  int UdpPort;
  {
    // A datagram socket always binds, and its worker keeps the port it was given.
    TIcsSocket U;
    TEventLog Log;
    U.OnSessionConnected = [&](TComponent*, uint16_t C) {
      Log.Add("connected " + std::to_string(C));
    };
    U.SetAddr("127.0.0.1");
    U.SetPort("9");
    U.SetProto("udp");
    U.Connect();
    ASSERT_TRUE(Log.WaitFor("connected 0"));
    W = U.WorkerThread();
    UdpPort = W->LocalPortNumber();
    ASSERT_NE(UdpPort, 0);
  }
  // The next stream socket on that worker, without a local port of its own, binds nothing.
  TConnectedPair P;
  ASSERT_TRUE(P.Ok);
  ASSERT_EQ(P.Socket.WorkerThread(), W);
  EXPECT_EQ(W->LocalPort(), "0");
  EXPECT_EQ(W->LocalPortNumber(), 0);
  EXPECT_NE(W->GetSockPort(), std::to_string(UdpPort));
}

TEST(WorkerListen, ListenAcceptAndDupServeAnEchoConnection) {
  TIcsSocket Listener;
  TIcsSocket Served;
  TEventLog Log;
  Listener.OnChangeState = [&](TComponent*, TIcsSocketState, TIcsSocketState N) {
    Log.Add(std::string("listener ") + IcsSocketStateName(N));
  };
  Listener.OnSessionAvailable = [&](TComponent*, uint16_t Code) {
    const int H = Listener.Accept();
    Log.Add("available " + std::to_string(Code));
    Served.Dup(H);
    Log.Add(std::string("dup done ") + (Served.DupDone() ? "yes" : "no"));
  };
  Served.OnSessionConnected = [&](TComponent*, uint16_t Code) {
    Log.Add("served connected " + std::to_string(Code));
  };
  Served.OnDataAvailable = [&](TComponent*, uint16_t) {
    const std::string Got = Served.ReceiveStr();
    if (!Got.empty()) Served.SendStr("echo:" + Got);
  };
  Listener.SetAddr("127.0.0.1");
  Listener.SetPort("0");
  Listener.SetProto("tcp");
  Listener.Listen();
  ASSERT_TRUE(Log.WaitFor("listener wsListening"));
  EXPECT_EQ(Log.Snapshot(), (std::vector<std::string>{"listener wsBound", "listener wsListening"}));
  EXPECT_THROW(Listener.Listen(), std::runtime_error);

  // Nothing pending: the non-blocking accept fails with EAGAIN.
  EXPECT_EQ(Listener.Accept(), -1);
  EXPECT_EQ(Listener.LastError(), EAGAIN);
  EXPECT_EQ(Listener.LastErrorMsg(), "accept failed");

  const int Port = std::stoi(Listener.WorkerThread()->GetSockPort());
  const int Client = PlainConnect(static_cast<uint16_t>(Port));
  ASSERT_GE(Client, 0);
  ASSERT_TRUE(Log.WaitFor("dup done yes"));
  EXPECT_EQ(Log.Count("served connected 0"), 1u);
  EXPECT_EQ(Served.State(), wsConnected);
  ASSERT_EQ(::send(Client, "ping", 4, 0), 4);
  EXPECT_EQ(ReadExactly(Client, 9), "echo:ping");
  EXPECT_EQ(Served.GetPeerAddr(), "127.0.0.1");

  Served.Close();
  Listener.Close();
  EXPECT_EQ(Listener.State(), wsClosed);
  ::close(Client);
}

TEST(WorkerListen, RefusedDupHandlesAndTheSameHandleAgain) {
  for (int H : {0, -1}) {
    SCOPED_TRACE(H);
    TIcsSocket S;
    S.Dup(H);  // never throws
    EXPECT_TRUE(S.DupDone());
    EXPECT_EQ(S.State(), wsClosed);
    EXPECT_TRUE(TraceHas("TIcsCustomSocket.Dup() Exception"));
  }
  int Pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, Pair), 0);
  TIcsSocket S;
  TEventLog Log;
  S.OnSessionConnected = [&](TComponent*, uint16_t C) {
    Log.Add("connected " + std::to_string(C));
  };
  // A refused connect first leaves an error with the worker; the adopted connection that follows
  // is still reported as a success.
  TRefusingPort Refusing;
  S.SetAddr("127.0.0.1");
  S.SetPort(std::to_string(Refusing.Port));
  S.SetProto("tcp");
  S.Connect();
  ASSERT_TRUE(Log.WaitFor("connected " + std::to_string(ECONNREFUSED)));
  S.Dup(Pair[0]);
  EXPECT_EQ(S.State(), wsConnected);
  EXPECT_EQ(Log.Count("connected 0"), 1u);
  EXPECT_EQ(S.WorkerThread()->LastError(), 0);
  S.Dup(Pair[0]);
  EXPECT_TRUE(TraceHas("Dup: got same handle !"));
  EXPECT_EQ(S.State(), wsConnected);
  EXPECT_EQ(Log.Count("connected 0"), 2u);
  S.Close();  // closes Pair[0]: the worker owns an adopted handle
  ::close(Pair[1]);
}

TEST(WorkerListen, ListenFailuresAreReported) {
  TPlainListener Taken;
  struct TCase {
    const char* Name;
    std::string Port;
    bool ErrorEvent;  // reported through OnError (resolution), else through OnSessionClosed
    int32_t Code;
    std::string Msg;
  } Cases[] = {
      {"port in use", Taken.PortText(), false, EADDRINUSE, "bind failed"},
      {"unknown service", "no-such-service", true, EINVAL,
       "listen failed. ESocketException: IcsSocketResolvePort: Cannot convert port "
       "'no-such-service', Error #"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TIcsSocket L;
    TEventLog Log;
    L.OnError = [&](TComponent*) { Log.Add("error"); };
    L.OnSessionClosed = [&](TComponent*, uint16_t Code) {
      Log.Add("closed " + std::to_string(Code));
    };
    L.SetAddr("127.0.0.1");
    L.SetPort(C.Port);
    L.SetProto("tcp");
    L.Listen();
    ASSERT_TRUE(Log.WaitFor(C.ErrorEvent ? "error" : "closed " + std::to_string(C.Code)));
    EXPECT_EQ(L.State(), wsClosed);
    TWorkerThread* W = L.WorkerThread();
    EXPECT_EQ(W->LastError(), C.Code);
    EXPECT_EQ(W->LastErrorMsg().rfind(C.Msg, 0), 0u) << W->LastErrorMsg();
    if (C.ErrorEvent) {
      EXPECT_EQ(L.LastError(), C.Code);
      EXPECT_EQ(L.LastErrorMsg(), W->LastErrorMsg());
    }
  }
}

TEST(WorkerDatagram, UdpEndpointsSendAndReceive) {
  TIcsSocket Server;
  TEventLog Log;
  Server.OnChangeState = [&](TComponent*, TIcsSocketState, TIcsSocketState N) {
    Log.Add(std::string("server ") + IcsSocketStateName(N));
  };
  Server.SetAddr("127.0.0.1");
  Server.SetPort("0");
  Server.SetProto("udp");
  Server.Listen();
  ASSERT_TRUE(Log.WaitFor("server wsConnected"));
  EXPECT_EQ(Log.Snapshot(), (std::vector<std::string>{"server wsBound", "server wsListening",
                                                      "server wsConnected"}));
  EXPECT_EQ(Server.WorkerThread()->SockType(), SOCK_DGRAM);
  const std::string ServerPort = Server.WorkerThread()->GetSockPort();

  TIcsSocket Client;
  std::mutex M;  // guards Received
  std::string Received;
  Client.OnChangeState = [&](TComponent*, TIcsSocketState O, TIcsSocketState N) {
    Log.Add(std::string("client ") + IcsSocketStateName(O) + "->" + IcsSocketStateName(N));
  };
  Client.OnSessionConnected = [&](TComponent*, uint16_t C) {
    Log.Add("client connected " + std::to_string(C));
  };
  Client.OnDataAvailable = [&](TComponent*, uint16_t) {
    const std::string Got = Client.ReceiveStr();
    std::lock_guard<std::mutex> G(M);
    Received += Got;
  };
  Client.SetAddr("127.0.0.1");
  Client.SetPort(ServerPort);
  Client.SetProto("17");
  Client.Connect();
  ASSERT_TRUE(Log.WaitFor("client connected 0"));
  EXPECT_EQ(Log.Count("client wsConnecting->wsOpened"), 1u);
  EXPECT_EQ(Log.Count("client wsOpened->wsConnected"), 1u);
  EXPECT_EQ(Client.SendStr("hello"), 5);

  // The listening datagram socket is not watched: the application polls it.
  ASSERT_TRUE(WaitUntil([&] { return Server.RcvdCount() > 0; }));
  EXPECT_EQ(Server.ReceiveStr(), "hello");

  // A reply to the client's bound port is announced by its OnDataAvailable.
  const int Reply = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in To{};
  To.sin_family = AF_INET;
  To.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  To.sin_port = htons(static_cast<uint16_t>(std::stoi(Client.WorkerThread()->GetSockPort())));
  ASSERT_EQ(::sendto(Reply, "world", 5, 0, reinterpret_cast<sockaddr*>(&To), sizeof(To)), 5);
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> G(M);
    return Received == "world";
  }));
  ::close(Reply);
  Client.Close();
  Server.Close();
}

TEST(WorkerLifecycle, WorkersEndCleanlyWhateverTheirStartAndLeaveNoDescriptors) {
  struct TCase {
    const char* Name;
    bool Resume;
    bool StarveDescriptors;  // no descriptor left for the wake-up pipe
  } Cases[] = {
      {"resumed", true, false}, {"never resumed", false, false}, {"no descriptors", false, true}};
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    const int Before = OpenDescriptors();
    rlimit Saved{};
    ::getrlimit(RLIMIT_NOFILE, &Saved);
    if (C.StarveDescriptors) {
      // Fill every free descriptor below a lowered limit: the pipe cannot be made.
      rlimit Low = Saved;
      Low.rlim_cur = static_cast<rlim_t>(Before + 8);
      ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &Low), 0);
      std::vector<int> Fill;
      for (int Fd; (Fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) Fill.push_back(Fd);
      std::exception_ptr Failure;
      try {
        TWorkerThread W;
      } catch (const std::runtime_error&) {
        Failure = std::current_exception();
      }
      // Descriptors back first: the sanitizers need some to inspect the exception object.
      for (int Fd : Fill) ::close(Fd);
      ::setrlimit(RLIMIT_NOFILE, &Saved);
      ASSERT_TRUE(Failure) << "constructed without a pipe";
      try {
        std::rethrow_exception(Failure);
      } catch (const std::runtime_error& E) {
        EXPECT_EQ(std::string(E.what()), "pipe() failed");
      }
    } else {
      auto W = std::make_unique<TWorkerThread>();
      EXPECT_EQ(W->State(), wsInvalidState);
      if (C.Resume) {
        W->Resume();
        ASSERT_TRUE(WaitUntil([&] { return W->Started(); }));
        EXPECT_EQ(W->State(), wsClosed);
        EXPECT_FALSE(W->Exited());
      }
      W.reset();  // returns: the loop (if any) has ended
    }
    EXPECT_EQ(OpenDescriptors(), Before);
  }
}

TEST(WorkerLifecycle, CloseFromAnotherThreadWaitsForTheClose) {
  TConnectedPair P;
  ASSERT_TRUE(P.Ok);
  TIcsSocketState After = wsInvalidState;
  std::thread Other([&] {
    P.Socket.Close();
    After = P.Socket.State();
  });
  Other.join();
  EXPECT_EQ(After, wsClosed);
  EXPECT_EQ(P.Log.Count("closed 0"), 1u);
}

TEST(WorkerLifecycle, AnErrorRaisedOnTheWorkerWithoutOnErrorIsDropped) {
  // A listen whose port cannot be resolved raises on the worker thread when no OnError is
  // assigned; the worker traces it, drops it and goes on serving the socket.
  TIcsSocket L;
  L.SetAddr("127.0.0.1");
  L.SetPort("no-such-service");
  L.SetProto("tcp");
  const int64_t Mark = TraceLineCount();
  L.Listen();
  TWorkerThread* W = L.WorkerThread();
  ASSERT_TRUE(WaitUntil([&] {
    for (const auto& Line : TraceSince(Mark))
      if (Line.find("exception in message handler") != std::string::npos) return true;
    return false;
  }));
  EXPECT_EQ(L.State(), wsClosed);
  L.SetPort("0");
  TEventLog Log;
  L.OnChangeState = [&](TComponent*, TIcsSocketState, TIcsSocketState N) {
    Log.Add(IcsSocketStateName(N));
  };
  L.Listen();
  ASSERT_TRUE(Log.WaitFor("wsListening"));
  EXPECT_EQ(L.WorkerThread(), W);
  L.Close();
}
