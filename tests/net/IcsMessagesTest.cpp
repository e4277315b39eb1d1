// Tests of the worker's message queue: the name table, message order, posted messages before
// socket readiness, left-over wake-up bytes, the readiness messages, shutdown, a burst of posts
// that must never block the poster, and descriptors past FD_SETSIZE.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/IcsLogMsg.h"
#include "net/IcsMessages.h"

namespace {

bool WaitUntil(const std::function<bool()>& Done, int TimeoutMs = 10000) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (!Done()) {
    if (std::chrono::steady_clock::now() > Deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::string LastTraceText() {
  const std::string Line = TraceLine(TraceIndex());
  const size_t P = Line.find(") ");
  return P == std::string::npos ? Line : Line.substr(P + 2);
}

int PendingBytes(int Fd) {
  int N = -1;
  ::ioctl(Fd, FIONREAD, &N);
  return N;
}

// A queue with its wake-up pipe, as a worker sets it up; owns the pipe and closes it after the
// queue is gone.
class QueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(IcsCreateWakeupPipe(FRead, FWrite));
    Queue = std::make_unique<TIcsMsgQueue>();
    Queue->SetName("TestMsgQueue");
    Queue->SetPipe(FRead, FWrite);
  }
  void TearDown() override {
    Queue.reset();
    for (int Fd : Fds) ::close(Fd);
    ::close(FRead);
    ::close(FWrite);
  }
  // A connected stream pair; both ends are closed by TearDown.
  void MakePair(int& A, int& B) {
    int P[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, P), 0);
    A = P[0];
    B = P[1];
    Fds.push_back(A);
    Fds.push_back(B);
  }
  void Watch(int Sock, bool Read, bool Write, bool Listening = false) {
    Queue->WatchedSocket = Sock;
    Queue->SelectRead = Read;
    Queue->SelectWrite = Write;
    Queue->Listening = Listening;
  }
  // Runs GetMessage on another thread, as the owning worker would.
  std::future<std::pair<bool, TIcsClassMsg>> GetAsync() {
    return std::async(std::launch::async, [this] {
      TIcsClassMsg Rec;
      const bool Ok = Queue->GetMessage(Rec);
      return std::make_pair(Ok, Rec);
    });
  }
  static bool Ready(std::future<std::pair<bool, TIcsClassMsg>>& F) {
    return F.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  }

  int FRead = -1, FWrite = -1;
  std::vector<int> Fds;
  std::unique_ptr<TIcsMsgQueue> Queue;
};

TEST(IcsMessageName, NamesTheTwelveIdsAndWritesOthersInDecimal) {
  struct Case {
    uint32_t Msg;
    const char* Name;
  };
  for (const Case& C : {Case{1025, "WM_ICS_CONNECT"}, Case{1030, "WM_ICS_TRY_TO_SEND"},
                        Case{1033, "WM_ICS_SESSION_AVAILABLE"}, Case{1036, "WM_ICS_USER"},
                        Case{1024, "1024"}, Case{1037, "1037"}, Case{18, "18"}}) {
    SCOPED_TRACE(C.Msg);
    EXPECT_EQ(IcsMessageName(C.Msg), C.Name);
  }
}

TEST_F(QueueTest, PostTracesTheMessageName) {
  Queue->PostMessage(WM_ICS_TRY_TO_SEND, 0, 0);
  EXPECT_EQ(LastTraceText(), "PostMessage WM_ICS_TRY_TO_SEND");
  Queue->PostMessage(WM_QUIT, 0, 0);
  EXPECT_EQ(LastTraceText(), "PostMessage 18");
}

TEST_F(QueueTest, PostedMessagesComeOutInOrderAndLeftOverBytesLoseNothing) {
  for (int I = 1; I <= 3; ++I) Queue->PostMessage(WM_ICS_USER, I, 10 * I);
  TIcsClassMsg Rec;
  for (int I = 1; I <= 3; ++I) {
    ASSERT_TRUE(Queue->GetMessage(Rec));
    EXPECT_EQ(Rec.Msg, WM_ICS_USER);
    EXPECT_EQ(Rec.WParam, I);
    EXPECT_EQ(Rec.LParam, 10 * I);
  }
  // The three wake-up bytes are still in the pipe: the messages were taken without a wait.
  EXPECT_EQ(PendingBytes(FRead), 3);
  // The next call makes one empty pass per left-over byte, then sleeps until a post.
  auto Got = GetAsync();
  ASSERT_TRUE(WaitUntil([&] { return PendingBytes(FRead) == 0; }));
  Queue->PostMessage(WM_ICS_CLOSE, 7, 0);
  ASSERT_TRUE(Ready(Got));
  auto [Ok, Msg] = Got.get();
  EXPECT_TRUE(Ok);
  EXPECT_EQ(Msg.Msg, WM_ICS_CLOSE);
  EXPECT_EQ(Msg.WParam, 7);
}

TEST_F(QueueTest, PostedMessageComesBeforeSocketReadiness) {
  int Mine, Peer;
  MakePair(Mine, Peer);
  ASSERT_EQ(::write(Peer, "x", 1), 1);  // the watched socket is readable from the start
  Watch(Mine, true, false);
  Queue->PostMessage(WM_ICS_TRY_TO_SEND, 0, 0);
  TIcsClassMsg Rec;
  ASSERT_TRUE(Queue->GetMessage(Rec));
  EXPECT_EQ(Rec.Msg, WM_ICS_TRY_TO_SEND);
  // Now the FIFO is empty: a pass for the left-over byte, then the readiness.
  ASSERT_TRUE(Queue->GetMessage(Rec));
  EXPECT_EQ(Rec.Msg, WM_ICS_DATA_AVAILABLE);
}

TEST_F(QueueTest, ReadinessMessagesFollowTheWatchFlags) {
  int Mine, Peer;
  MakePair(Mine, Peer);
  ASSERT_EQ(::write(Peer, "x", 1), 1);  // readable and writable at once
  struct Case {
    const char* Name;
    bool Read, Write, Listening;
    uint32_t Expected;
  };
  const Case Cases[] = {
      {"read and write ready: read first", true, true, false, WM_ICS_DATA_AVAILABLE},
      {"listening", true, false, true, WM_ICS_SESSION_AVAILABLE},
      {"write only", false, true, false, WM_ICS_WRITE_READY},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    Watch(Mine, C.Read, C.Write, C.Listening);
    TIcsClassMsg Rec;
    Rec.WParam = 55;
    ASSERT_TRUE(Queue->GetMessage(Rec));
    EXPECT_EQ(Rec.Msg, C.Expected);
    EXPECT_EQ(Rec.WParam, 55);  // left as it was
  }
}

TEST_F(QueueTest, ListeningSocketWithPendingConnectionYieldsSessionAvailable) {
  const int L = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  Fds.push_back(L);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(L, reinterpret_cast<sockaddr*>(&A), sizeof(A)), 0);
  ASSERT_EQ(::listen(L, 4), 0);
  socklen_t Len = sizeof(A);
  ::getsockname(L, reinterpret_cast<sockaddr*>(&A), &Len);
  Watch(L, true, false, true);
  auto Got = GetAsync();
  const int C = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  Fds.push_back(C);
  ASSERT_EQ(::connect(C, reinterpret_cast<sockaddr*>(&A), sizeof(A)), 0);
  ASSERT_TRUE(Ready(Got));
  auto [Ok, Rec] = Got.get();
  EXPECT_TRUE(Ok);
  EXPECT_EQ(Rec.Msg, WM_ICS_SESSION_AVAILABLE);
}

TEST_F(QueueTest, UnwatchedSocketIsIgnoredWhateverTheFlags) {
  int Mine, Peer;
  MakePair(Mine, Peer);
  ASSERT_EQ(::write(Peer, "x", 1), 1);
  Watch(-1, true, true);
  auto Got = GetAsync();
  ASSERT_TRUE(WaitUntil([&] { return Queue->InGetMessage.load(); }));
  Queue->PostMessage(WM_ICS_LISTEN, 0, 0);
  ASSERT_TRUE(Ready(Got));
  EXPECT_EQ(Got.get().second.Msg, WM_ICS_LISTEN);
}

TEST_F(QueueTest, QuitAndShutdownEndGetMessage) {
  Queue->PostMessage(WM_QUIT, 0, 0);
  TIcsClassMsg Rec;
  EXPECT_FALSE(Queue->GetMessage(Rec));
  EXPECT_EQ(Rec.Msg, WM_QUIT);

  Queue->PostMessage(WM_ICS_CONNECT, 1, 2);
  Queue->ShuttingDown = true;
  Rec = {WM_ICS_CLOSE, 3, 4};
  EXPECT_FALSE(Queue->GetMessage(Rec));
  EXPECT_EQ(Rec.Msg, 0u);
  EXPECT_EQ(Rec.WParam, 0);
  EXPECT_EQ(Rec.LParam, 0);
}

TEST_F(QueueTest, DestructorWakesAWaitingOwner) {
  auto Got = GetAsync();
  ASSERT_TRUE(WaitUntil([&] { return Queue->InGetMessage.load(); }));
  Queue.reset();  // posts WM_QUIT and waits for the GetMessage in progress to leave
  ASSERT_TRUE(Ready(Got));
  EXPECT_FALSE(Got.get().first);
}

TEST_F(QueueTest, DispatchCallsTheHandlerAndTraces) {
  std::vector<uint32_t> Seen;
  Queue->OnMessage = [&](uint32_t Msg, int32_t W, int32_t L) -> uint32_t {
    Seen = {Msg, static_cast<uint32_t>(W), static_cast<uint32_t>(L)};
    return 42;
  };
  EXPECT_EQ(Queue->DispatchMessage({WM_ICS_DUP, 9, 0}), 42u);
  EXPECT_EQ(Seen, (std::vector<uint32_t>{WM_ICS_DUP, 9, 0}));
  EXPECT_EQ(LastTraceText(), "TestMsgQueue DispatchMessage WM_ICS_DUP");
}

TEST_F(QueueTest, BurstOfPostsNeverBlocksWhileTheOwnerIsBusy) {
  constexpr int Posts = 100000;
  // Nobody takes messages while the burst runs: far more posts than the pipe can hold bytes.
  auto Poster = std::async(std::launch::async, [this] {
    for (int I = 0; I < Posts; ++I) Queue->PostMessage(WM_ICS_TRY_TO_SEND, I, 0);
  });
  ASSERT_EQ(Poster.wait_for(std::chrono::seconds(60)), std::future_status::ready)
      << "posting blocked";
  TIcsClassMsg Rec;
  for (int I = 0; I < Posts; ++I) {
    ASSERT_TRUE(Queue->GetMessage(Rec));
    ASSERT_EQ(Rec.WParam, I);
  }
}

TEST_F(QueueTest, ConcurrentPostersKeepTheirOwnOrderWhileTheOwnerConsumes) {
  constexpr int Threads = 4, PerThread = 5000;
  std::vector<std::thread> Posters;
  for (int T = 0; T < Threads; ++T) {
    Posters.emplace_back([this, T] {
      for (int I = 0; I < PerThread; ++I) Queue->PostMessage(WM_ICS_USER + T, I, 0);
    });
  }
  std::vector<int> Next(Threads, 0);
  TIcsClassMsg Rec;
  for (int N = 0; N < Threads * PerThread; ++N) {
    ASSERT_TRUE(Queue->GetMessage(Rec));
    const int T = static_cast<int>(Rec.Msg - WM_ICS_USER);
    ASSERT_EQ(Rec.WParam, Next[T]++);
  }
  for (auto& P : Posters) P.join();
}

TEST_F(QueueTest, DescriptorsPastTheSelectLimitAreWatched) {
  rlimit Limit{};
  ::getrlimit(RLIMIT_NOFILE, &Limit);
  const rlim_t Needed = FD_SETSIZE + 600;
  if (Limit.rlim_cur < Needed) {
    if (Limit.rlim_max < Needed) GTEST_SKIP() << "descriptor limit too low";
    Limit.rlim_cur = Needed;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &Limit), 0);
  }
  int Mine, Peer;
  MakePair(Mine, Peer);
  const int HighSock = ::fcntl(Mine, F_DUPFD_CLOEXEC, FD_SETSIZE + 300);
  const int HighRead = ::fcntl(FRead, F_DUPFD_CLOEXEC, FD_SETSIZE + 400);
  const int HighWrite = ::fcntl(FWrite, F_DUPFD_CLOEXEC, FD_SETSIZE + 500);
  ASSERT_GE(HighSock, FD_SETSIZE);
  ASSERT_GE(HighRead, FD_SETSIZE);
  ASSERT_GE(HighWrite, FD_SETSIZE);
  Fds.insert(Fds.end(), {HighSock, HighRead, HighWrite});
  Queue->SetPipe(HighRead, HighWrite);
  Watch(HighSock, true, false);

  // A post wakes the wait on the high pipe.
  auto Got = GetAsync();
  ASSERT_TRUE(WaitUntil([&] { return Queue->InGetMessage.load(); }));
  Queue->PostMessage(WM_ICS_CONNECT, 0, 0);
  ASSERT_TRUE(Ready(Got));
  EXPECT_EQ(Got.get().second.Msg, WM_ICS_CONNECT);
  // Readiness of the high socket comes out as a message.
  Got = GetAsync();
  ASSERT_EQ(::write(Peer, "x", 1), 1);
  ASSERT_TRUE(Ready(Got));
  EXPECT_EQ(Got.get().second.Msg, WM_ICS_DATA_AVAILABLE);
  // The wait is traced as a select over the highest descriptor plus one.
  const std::string Expected =
      ") Ics_select(" + std::to_string(std::max(HighRead, HighSock) + 1) + ")";
  bool Found = false;
  for (int32_t Slot = 0; Slot < TraceRingSize && !Found; ++Slot) {
    const std::string Line = TraceLine(Slot);
    Found = Line.size() >= Expected.size() &&
            Line.compare(Line.size() - Expected.size(), Expected.size(), Expected) == 0;
  }
  EXPECT_TRUE(Found) << Expected;
}

}  // namespace
