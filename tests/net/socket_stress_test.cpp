// Bounded stress runs of the socket component: a long burst of small sends arriving whole and in
// order, hundreds of connections at once (descriptors past 1024 included), and many
// connect/close cycles leaving the descriptor and thread counts where they were.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <cstring>
#include <memory>
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
