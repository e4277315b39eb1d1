// Bounded stress runs of the socket component: a long burst of small sends arriving whole and in
// order, hundreds of connections at once (descriptors past 1024 included), many connect/close
// cycles leaving the descriptor and thread counts where they were, and two threads of
// connections whose every byte must reach the peer however the connection is ended.
#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <sys/resource.h>

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <thread>

#include "net/IcsSocket.h"
#include "net/IcsWorkerPool.h"
#include "tests/net/SocketTestSupport.h"

using namespace sockettest;

TEST(SocketStress, OneHundredThousandSmallSendsArriveInOrder) {
  constexpr int Sends = 100000;
  constexpr int Size = 100;
  TPlainListener Server;
  TEventLog Log;
  TIcsSocket S;
  S.OnSessionConnected = [&](TComponent*, uint16_t C) {
    Log.Add("connected " + std::to_string(C));
  };
  S.SetAddr("127.0.0.1");
  S.SetPort(Server.PortText());
  S.SetProto("tcp");
  S.Connect();
  ASSERT_TRUE(Log.WaitFor("connected 0"));
  const int Peer = Server.Accept();
  ASSERT_GE(Peer, 0);

  // The reader checks every byte against the sequence the sender writes: message i holds i in
  // its first four bytes, followed by a filler derived from i.
  std::atomic<int64_t> Good{0};
  std::atomic<bool> Bad{false};
  std::thread Reader([&] {
    const std::string All =
        ReadExactly(Peer, static_cast<size_t>(Sends) * Size, std::chrono::seconds(240));
    for (int I = 0; I < Sends && !Bad; ++I) {
      const char* M = All.data() + static_cast<size_t>(I) * Size;
      if (All.size() < static_cast<size_t>(I + 1) * Size) {
        Bad = true;
        break;
      }
      int32_t N;
      std::memcpy(&N, M, 4);
      bool Ok = N == I;
      for (int K = 4; K < Size && Ok; ++K) Ok = M[K] == static_cast<char>(I + K);
      if (!Ok)
        Bad = true;
      else
        ++Good;
    }
  });
  char Msg[Size];
  for (int I = 0; I < Sends; ++I) {
    std::memcpy(Msg, &I, 4);
    for (int K = 4; K < Size; ++K) Msg[K] = static_cast<char>(I + K);
    ASSERT_EQ(S.Send(Msg, Size), Size);
  }
  Reader.join();
  EXPECT_FALSE(Bad);
  EXPECT_EQ(Good.load(), Sends);
  S.Close();
  ::close(Peer);
}

TEST(SocketStress, ThreeHundredConnectionsAtOnce) {
  constexpr int Count = 300;
  // Four descriptors per connection here (socket and wake-up pipe on our side, the accepted
  // socket on the server side, with room to spare): lift the soft limit as far as allowed.
  rlimit Limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &Limit), 0);
  const rlimit Saved = Limit;
  Limit.rlim_cur = std::min<rlim_t>(Limit.rlim_max, 8192);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &Limit), 0);
  if (Limit.rlim_cur < 2048) GTEST_SKIP() << "descriptor limit too low: " << Limit.rlim_cur;

  // Fill the descriptors below 1024 so that the sockets of this test lie above it.
  std::vector<int> Fillers;
  while (true) {
    const int Fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (Fd < 0) break;
    if (Fd >= 1000) {
      ::close(Fd);
      break;
    }
    Fillers.push_back(Fd);
  }

  TPlainListener Server;
  std::vector<int> Accepted;
  std::thread Acceptor([&] {
    for (int I = 0; I < Count; ++I) {
      const int Fd = Server.Accept();
      if (Fd < 0) break;
      Accepted.push_back(Fd);
    }
  });
  std::atomic<int> Connected{0};
  std::atomic<int> DataSeen{0};
  std::vector<std::unique_ptr<TIcsSocket>> Sockets;
  for (int I = 0; I < Count; ++I) {
    auto S = std::make_unique<TIcsSocket>();
    S->SetName("Many" + std::to_string(I));
    TIcsSocket* Raw = S.get();
    S->OnSessionConnected = [&](TComponent*, uint16_t C) {
      if (C == 0) ++Connected;
    };
    S->OnDataAvailable = [&, Raw](TComponent*, uint16_t) {
      if (Raw->ReceiveStr() == "x") ++DataSeen;
    };
    S->SetAddr("127.0.0.1");
    S->SetPort(Server.PortText());
    S->SetProto("tcp");
    S->Connect();
    Sockets.push_back(std::move(S));
  }
  Acceptor.join();
  ASSERT_TRUE(WaitUntil([&] { return Connected == Count; }));
  ASSERT_EQ(Accepted.size(), static_cast<size_t>(Count));
  int Above = 0;
  for (const auto& S : Sockets) Above += S->WorkerThread()->HSocket() >= 1024;
  EXPECT_GT(Above, 0);
  // Every connection carries data both ways.
  for (int Fd : Accepted) ASSERT_EQ(::send(Fd, "x", 1, 0), 1);
  ASSERT_TRUE(WaitUntil([&] { return DataSeen == Count; }));
  for (const auto& S : Sockets) EXPECT_EQ(S->SendStr("y"), 1);
  for (int Fd : Accepted) EXPECT_EQ(ReadExactly(Fd, 1), "y");

  Sockets.clear();
  for (int Fd : Accepted) ::close(Fd);
  for (int Fd : Fillers) ::close(Fd);
  // The idle workers keep descriptors above 1024; later tests in this process do not mind.
  ::setrlimit(RLIMIT_NOFILE, &Saved);
}

TEST(SocketStress, ThousandConnectCloseCyclesLeaveNoDescriptorsOrThreads) {
  constexpr int Cycles = 1000;
  TPlainListener Server;
  std::atomic<bool> Stop{false};
  std::thread Acceptor([&] {
    while (!Stop) {
      pollfd P{Server.Fd, POLLIN, 0};
      if (::poll(&P, 1, 50) != 1) continue;
      const int Fd = ::accept4(Server.Fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (Fd >= 0) ::close(Fd);
    }
  });
  auto Cycle = [&] {
    TEventLog Log;
    TIcsSocket S;
    S.OnSessionConnected = [&](TComponent*, uint16_t C) {
      Log.Add("connected " + std::to_string(C));
    };
    S.SetAddr("127.0.0.1");
    S.SetPort(Server.PortText());
    S.SetProto("tcp");
    S.Connect();
    if (!Log.WaitFor("connected 0")) return false;
    S.Close();
    return S.State() == wsClosed;
  };
  ASSERT_TRUE(Cycle());  // the worker this test uses exists from here on
  const int Fds = OpenDescriptors();
  const int Threads = ThreadCount();
  for (int I = 0; I < Cycles; ++I) ASSERT_TRUE(Cycle()) << "cycle " << I;
  EXPECT_EQ(OpenDescriptors(), Fds);
  EXPECT_EQ(ThreadCount(), Threads);
  Stop = true;
  Acceptor.join();
}

namespace {

// The byte at position Pos of connection Id's data (after its 8-byte header).
inline char StressByte(uint32_t Id, size_t Pos) {
  return static_cast<char>((Id * 131u + Pos) % 251u);
}

// A loopback listener that accepts every connection and reads each to its end on one thread,
// checking it: an 8-byte header (connection id, data length) and then the data, ending in order
// (a reset or a short or wrong byte is a fault). Port chosen by the OS.
class TCheckingListener {
 public:
  explicit TCheckingListener(int Expected) : Expected(Expected) {
    Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof(A));
    ::listen(Fd, 1024);
    socklen_t L = sizeof(A);
    ::getsockname(Fd, reinterpret_cast<sockaddr*>(&A), &L);
    Port = std::to_string(ntohs(A.sin_port));
    Epoll = ::epoll_create1(EPOLL_CLOEXEC);
    Watch(Fd);
    Reader = std::thread([this] { Run(); });
  }
  ~TCheckingListener() {
    Stop = true;
    Reader.join();
    for (auto& [ConnFd, C] : Conns) ::close(ConnFd);
    ::close(Epoll);
    ::close(Fd);
  }
  // Waits until every expected connection has ended.
  bool WaitDone() {
    return WaitUntil([&] { return Done.load() >= Expected; }, std::chrono::seconds(120));
  }
  std::vector<std::string> Faults() {
    std::lock_guard<std::mutex> G(Lock);
    return FaultList;
  }
  std::string Port;
  std::atomic<int> Done{0};
  std::atomic<int64_t> Bytes{0};  // read from every connection, headers included

 private:
  struct TConn {
    char Header[8];
    size_t Got = 0;  // bytes read, header included
    uint32_t Id = 0, Length = 0;
  };
  void Watch(int W) {
    epoll_event E{};
    E.events = EPOLLIN;
    E.data.fd = W;
    ::epoll_ctl(Epoll, EPOLL_CTL_ADD, W, &E);
  }
  void Fault(const TConn& C, const std::string& What) {
    std::lock_guard<std::mutex> G(Lock);
    FaultList.push_back("connection " + std::to_string(C.Id) + ": " + What);
  }
  void End(int ConnFd, const std::string& Problem) {
    TConn& C = Conns[ConnFd];
    if (!Problem.empty()) {
      Fault(C, Problem);
    } else if (C.Got < 8 || C.Got != 8 + static_cast<size_t>(C.Length)) {
      Fault(C, "ended after " + std::to_string(C.Got) + " bytes");
    }
    ::epoll_ctl(Epoll, EPOLL_CTL_DEL, ConnFd, nullptr);
    ::close(ConnFd);
    Conns.erase(ConnFd);
    ++Done;
  }
  void Run() {
    std::vector<char> Buf(1 << 16);
    epoll_event Events[64];
    while (!Stop && Done.load() < Expected) {
      const int N = ::epoll_wait(Epoll, Events, 64, 50);
      for (int I = 0; I < N; ++I) {
        const int W = Events[I].data.fd;
        if (W == Fd) {
          int New;
          while ((New = ::accept4(Fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0) {
            Conns[New] = TConn{};
            Watch(New);
          }
          continue;
        }
        for (;;) {
          const ssize_t R = ::recv(W, Buf.data(), Buf.size(), 0);
          if (R == 0) {
            End(W, "");
            break;
          }
          if (R < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            End(W, std::string("read failed: ") + std::strerror(errno));
            break;
          }
          Bytes += R;
          TConn& C = Conns[W];
          bool Wrong = false;
          for (ssize_t K = 0; K < R && !Wrong; ++K, ++C.Got) {
            if (C.Got < 8) {
              C.Header[C.Got] = Buf[K];
              if (C.Got == 7) {
                std::memcpy(&C.Id, C.Header, 4);
                std::memcpy(&C.Length, C.Header + 4, 4);
              }
            } else {
              Wrong = Buf[K] != StressByte(C.Id, C.Got - 8);
            }
          }
          if (Wrong) {
            End(W, "wrong byte at " + std::to_string(C.Got - 1));
            break;
          }
        }
      }
    }
  }
  const int Expected;
  int Fd = -1;
  int Epoll = -1;
  std::map<int, TConn> Conns;  // reader thread only (and the destructor, after the join)
  std::atomic<bool> Stop{false};
  std::thread Reader;
  std::mutex Lock;  // guards FaultList
  std::vector<std::string> FaultList;
};

}  // namespace

TEST(SocketStress, TwoThreadsOfConnectionsDeliverEveryByteHoweverTheyEnd) {
  // Under the sanitizers every byte costs many times more; the run is scaled down there so that
  // it stays well under a minute on two cores.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  constexpr int PerThread = 500;
#else
  constexpr int PerThread = 1000;
#endif
  constexpr int Threads = 2;
  // The workers the run needs exist before the counts are taken: a sending thread holds one
  // socket at a time, and its worker goes back to the pool when the socket is destroyed.
  {
    std::vector<std::unique_ptr<TIcsSocket>> Warm;
    for (int I = 0; I < 2 * Threads; ++I) {
      Warm.push_back(std::make_unique<TIcsSocket>());
      Warm.back()->Dup(-1);
    }
  }
  const int Fds = OpenDescriptors();
  const int ThreadsBefore = ThreadCount();
  auto Server = std::make_unique<TCheckingListener>(Threads * PerThread);
  std::atomic<int64_t> Expected{0};

  std::mutex FailLock;  // guards Failures
  std::vector<std::string> Failures;
  auto Fail = [&](const std::string& What) {
    std::lock_guard<std::mutex> G(FailLock);
    Failures.push_back(What);
  };
  auto Sender = [&](int T) {
    for (int I = 0; I < PerThread; ++I) {
      const uint32_t Id = static_cast<uint32_t>(T * PerThread + I);
      std::mt19937 Rng(Id);
      std::vector<size_t> Sizes(1 + Rng() % 8);
      size_t Length = 0;
      for (auto& Size : Sizes) Length += Size = 1 + Rng() % 40000;
      Expected += static_cast<int64_t>(8 + Length);
      std::string Data(8 + Length, '\0');
      const uint32_t Len32 = static_cast<uint32_t>(Length);
      std::memcpy(Data.data(), &Id, 4);
      std::memcpy(Data.data() + 4, &Len32, 4);
      for (size_t P = 0; P < Length; ++P) Data[8 + P] = StressByte(Id, P);
      Sizes.front() += 8;

      TEventLog Log;
      auto S = std::make_unique<TIcsSocket>();
      S->OnSessionConnected = [&](TComponent*, uint16_t C) {
        Log.Add("connected " + std::to_string(C));
      };
      S->SetAddr("127.0.0.1");
      S->SetPort(Server->Port);
      S->SetProto("tcp");
      S->Connect();
      if (!Log.WaitFor("connected 0")) {
        Fail("connection " + std::to_string(Id) + " did not connect");
        continue;
      }
      size_t Off = 0;
      for (size_t Size : Sizes) {
        if (S->Send(Data.data() + Off, static_cast<int32_t>(Size)) != static_cast<int32_t>(Size))
          Fail("connection " + std::to_string(Id) + ": Send refused");
        Off += Size;
      }
      switch (Id % 3) {
        case 0:  // Close once everything has been written
          if (!WaitUntil([&] { return S->WorkerThread()->AllSent(); }))
            Fail("connection " + std::to_string(Id) + ": not written");
          S->Close();
          break;
        case 1:  // Close right after the last Send
          S->Close();
          break;
        default:  // destruction without Close
          break;
      }
      S.reset();
    }
  };
  std::vector<std::thread> Senders;
  for (int T = 0; T < Threads; ++T) Senders.emplace_back(Sender, T);
  for (auto& T : Senders) T.join();
  EXPECT_TRUE(Server->WaitDone()) << Server->Done.load() << " connections ended";
  EXPECT_TRUE(Failures.empty()) << Failures.size() << " failures, the first: " << Failures[0];
  const auto Faults = Server->Faults();
  EXPECT_TRUE(Faults.empty()) << Faults.size() << " faults, the first: " << Faults[0];
  EXPECT_EQ(Server->Bytes.load(), Expected.load());
  Server.reset();
  EXPECT_EQ(OpenDescriptors(), Fds);
  EXPECT_EQ(ThreadCount(), ThreadsBefore);
}
