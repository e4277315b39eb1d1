// Throughput and latency of the socket component on loopback, each next to the plain blocking
// socket calls doing the same work in the same run:
//   - 100-byte sends through the worker to a reading peer (messages/s and bytes/s), against a
//     plain blocking send loop;
//   - the round trip of a 16-byte echo through two sockets (one connected by Connect, one
//     adopted with Dup), driven by their events, against a plain blocking ping-pong;
//   - Close on a socket whose TLS handshake the peer never answers.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "net/IcsSocket.h"

namespace {

constexpr int MsgSize = 100;
constexpr int EchoSize = 16;

// A blocking loopback listener with a port the OS chooses.
struct TListener {
  TListener() {
    Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof(A));
    ::listen(Fd, 16);
    socklen_t L = sizeof(A);
    ::getsockname(Fd, reinterpret_cast<sockaddr*>(&A), &L);
    Port = ntohs(A.sin_port);
  }
  ~TListener() { ::close(Fd); }
  int Accept() const { return ::accept4(Fd, nullptr, nullptr, SOCK_CLOEXEC); }
  int Fd;
  uint16_t Port;
};

int PlainConnect(uint16_t Port) {
  const int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  A.sin_port = htons(Port);
  ::connect(Fd, reinterpret_cast<sockaddr*>(&A), sizeof(A));
  return Fd;
}

void NoDelay(int Fd) {
  const int On = 1;
  ::setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &On, sizeof(On));
}

// Reads everything that arrives on Fd until it closes, counting the bytes.
struct TCountingReader {
  explicit TCountingReader(int AFd) : Fd(AFd), Thread([this] { Run(); }) {}
  ~TCountingReader() {
    Thread.join();
    ::close(Fd);
  }
  void Run() {
    static thread_local char Buf[1 << 16];
    for (;;) {
      const ssize_t R = ::recv(Fd, Buf, sizeof(Buf), 0);
      if (R <= 0) return;
      Received.fetch_add(R, std::memory_order_release);
    }
  }
  void WaitFor(int64_t Total) const {
    while (Received.load(std::memory_order_acquire) < Total) std::this_thread::yield();
  }
  int Fd;
  std::atomic<int64_t> Received{0};
  std::thread Thread;
};

// A TIcsSocket connected to 127.0.0.1:Port, with the connection established.
void ConnectSocket(TIcsSocket& S, uint16_t Port) {
  std::atomic<bool> Done{false};
  S.OnSessionConnected = [&](TComponent*, uint16_t) { Done = true; };
  S.SetAddr("127.0.0.1");
  S.SetPort(std::to_string(Port));
  S.SetProto("tcp");
  S.Connect();
  while (!Done) std::this_thread::yield();
  S.OnSessionConnected = nullptr;
}

void BM_WorkerSend100(benchmark::State& State) {
  TListener L;
  TIcsSocket S;
  ConnectSocket(S, L.Port);
  int64_t Sent = 0;
  {
    TCountingReader Reader(L.Accept());
    char Msg[MsgSize];
    std::memset(Msg, 'm', sizeof(Msg));
    for (auto _ : State) {
      S.Send(Msg, MsgSize);
      Sent += MsgSize;
    }
    // Every byte must have reached the peer before the clock is read.
    Reader.WaitFor(Sent);
    S.Close();
  }
  State.SetItemsProcessed(State.iterations());
  State.SetBytesProcessed(Sent);
}
BENCHMARK(BM_WorkerSend100)->UseRealTime();

void BM_PlainSend100(benchmark::State& State) {
  TListener L;
  const int Fd = PlainConnect(L.Port);
  int64_t Sent = 0;
  {
    TCountingReader Reader(L.Accept());
    char Msg[MsgSize];
    std::memset(Msg, 'm', sizeof(Msg));
    for (auto _ : State) {
      ::send(Fd, Msg, MsgSize, MSG_NOSIGNAL);
      Sent += MsgSize;
    }
    Reader.WaitFor(Sent);
    ::shutdown(Fd, SHUT_WR);
  }
  ::close(Fd);
  State.SetItemsProcessed(State.iterations());
  State.SetBytesProcessed(Sent);
}
BENCHMARK(BM_PlainSend100)->UseRealTime();

// Client and server TIcsSocket: the server echoes what it reads; the client, on each complete
// echo, sends the next request until the batch is done. Everything after the first send runs on
// the two worker threads, as an event-driven application would.
void BM_WorkerEcho16(benchmark::State& State) {
  TListener L;
  TIcsSocket Client;
  TIcsSocket Server;
  ConnectSocket(Client, L.Port);
  const int Accepted = L.Accept();
  NoDelay(Accepted);
  Server.Dup(Accepted);
  NoDelay(Client.WorkerThread()->HSocket());

  char Req[EchoSize];
  std::memset(Req, 'e', sizeof(Req));
  Server.OnDataAvailable = [&](TComponent*, uint16_t) {
    char Buf[256];
    const int32_t N = Server.Receive(Buf, sizeof(Buf));
    if (N > 0) Server.Send(Buf, N);
  };
  std::atomic<int64_t> Left{0};
  int32_t Pending = 0;  // echo bytes still expected for the current request (client worker)
  Client.OnDataAvailable = [&](TComponent*, uint16_t) {
    char Buf[256];
    const int32_t N = Client.Receive(Buf, sizeof(Buf));
    if (N <= 0) return;
    Pending -= N;
    if (Pending > 0) return;
    if (Left.fetch_sub(1, std::memory_order_acq_rel) > 1) {
      Pending = EchoSize;
      Client.Send(Req, EchoSize);
    } else {
      Left.notify_all();
    }
  };
  constexpr int64_t Batch = 1000;
  while (State.KeepRunningBatch(Batch)) {
    Left.store(Batch);
    Pending = EchoSize;
    Client.Send(Req, EchoSize);
    for (int64_t V = Left.load(); V != 0; V = Left.load()) Left.wait(V);
  }
  Client.Close();
  Server.Close();
  State.SetItemsProcessed(State.iterations());
}
BENCHMARK(BM_WorkerEcho16)->UseRealTime();

void BM_PlainEcho16(benchmark::State& State) {
  TListener L;
  const int Fd = PlainConnect(L.Port);
  const int Peer = L.Accept();
  NoDelay(Fd);
  NoDelay(Peer);
  std::thread Echo([Peer] {
    char Buf[256];
    for (;;) {
      const ssize_t R = ::recv(Peer, Buf, sizeof(Buf), 0);
      if (R <= 0) return;
      ::send(Peer, Buf, R, MSG_NOSIGNAL);
    }
  });
  char Req[EchoSize];
  std::memset(Req, 'e', sizeof(Req));
  char Buf[EchoSize];
  for (auto _ : State) {
    ::send(Fd, Req, EchoSize, MSG_NOSIGNAL);
    int Got = 0;
    while (Got < EchoSize) {
      const ssize_t R = ::recv(Fd, Buf + Got, EchoSize - Got, 0);
      if (R <= 0) break;
      Got += static_cast<int>(R);
    }
  }
  ::shutdown(Fd, SHUT_RDWR);
  Echo.join();
  ::close(Fd);
  ::close(Peer);
  State.SetItemsProcessed(State.iterations());
}
BENCHMARK(BM_PlainEcho16)->UseRealTime();

// How long Close takes on a socket whose TLS handshake the peer has taken and never answers: the
// time from the call to its return, the close done (the goal is well below 100 ms).
void BM_CloseStalledTlsHandshake(benchmark::State& State) {
  TListener L;
  for (auto _ : State) {
    TIcsSocket S;
    S.SetAddr("127.0.0.1");
    S.SetPort(std::to_string(L.Port));
    S.SetProto("tcp");
    S.UseTLS = true;
    S.TLSVerifyPeer = false;
    S.Connect();
    const int Peer = L.Accept();
    while (!S.WorkerThread()->TlsActive()) std::this_thread::yield();
    const auto Start = std::chrono::steady_clock::now();
    S.Close();
    State.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count());
    ::close(Peer);
  }
}
BENCHMARK(BM_CloseStalledTlsHandshake)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace
