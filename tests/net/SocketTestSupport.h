// Helpers for the socket tests: a plain loopback peer built on raw POSIX calls (so the component
// is checked against something independent of it), an event recorder that waits on conditions
// with a timeout, and a few process probes.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/IcsLogMsg.h"
#include "net/IcsSocket.h"
#include "net/IcsWorkerPool.h"

namespace sockettest {

using namespace std::chrono_literals;

constexpr auto Timeout = 20s;

// Waits until Cond holds, re-checking it every millisecond; false after the timeout.
inline bool WaitUntil(const std::function<bool()>& Cond,
                      std::chrono::milliseconds Limit =
                          std::chrono::duration_cast<std::chrono::milliseconds>(Timeout)) {
  const auto End = std::chrono::steady_clock::now() + Limit;
  while (!Cond()) {
    if (std::chrono::steady_clock::now() > End) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// A thread-safe list of event texts that tests wait on.
class TEventLog {
 public:
  void Add(const std::string& Event) {
    // Notified under the lock: a waiter that sees the event may destroy the log at once.
    std::lock_guard<std::mutex> Guard(Lock);
    Events.push_back(Event);
    Changed.notify_all();
  }
  std::vector<std::string> Snapshot() const {
    std::lock_guard<std::mutex> Guard(Lock);
    return Events;
  }
  size_t Count(const std::string& Event) const {
    std::lock_guard<std::mutex> Guard(Lock);
    size_t N = 0;
    for (const auto& E : Events) N += E == Event;
    return N;
  }
  // Waits until Event has been recorded at least Times times.
  bool WaitFor(const std::string& Event, size_t Times = 1) {
    std::unique_lock<std::mutex> Guard(Lock);
    return Changed.wait_for(Guard, Timeout, [&] {
      size_t N = 0;
      for (const auto& E : Events) N += E == Event;
      return N >= Times;
    });
  }
  void Clear() {
    std::lock_guard<std::mutex> Guard(Lock);
    Events.clear();
  }

 private:
  mutable std::mutex Lock;  // guards Events
  std::condition_variable Changed;
  std::vector<std::string> Events;
};

// A blocking TCP listener on 127.0.0.1 with a port the OS chooses.
class TPlainListener {
 public:
  // Backlog 0 with one connection made and never accepted: the OS then drops further SYNs, and
  // a connect to the port hangs until cancelled.
  explicit TPlainListener(int Backlog = 512) {
    Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof(A));
    ::listen(Fd, Backlog);
    socklen_t L = sizeof(A);
    ::getsockname(Fd, reinterpret_cast<sockaddr*>(&A), &L);
    Port = ntohs(A.sin_port);
  }
  ~TPlainListener() { ::close(Fd); }
  // Accepts one connection, waiting at most the test timeout; -1 on time-out.
  int Accept() {
    pollfd P{Fd, POLLIN, 0};
    if (::poll(&P, 1, static_cast<int>(std::chrono::milliseconds(Timeout).count())) != 1) return -1;
    return ::accept4(Fd, nullptr, nullptr, SOCK_CLOEXEC);
  }
  std::string PortText() const { return std::to_string(Port); }
  int Fd = -1;
  uint16_t Port = 0;
};

// A TCP port on 127.0.0.1 where nothing listens: the socket is bound (so no one else takes the
// port) but never listens, so connecting is refused.
class TRefusingPort {
 public:
  TRefusingPort() {
    Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof(A));
    socklen_t L = sizeof(A);
    ::getsockname(Fd, reinterpret_cast<sockaddr*>(&A), &L);
    Port = ntohs(A.sin_port);
  }
  ~TRefusingPort() { ::close(Fd); }
  int Fd = -1;
  uint16_t Port = 0;
};

// Connects a plain blocking TCP socket to 127.0.0.1:Port; -1 on failure.
inline int PlainConnect(uint16_t Port) {
  const int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  A.sin_port = htons(Port);
  if (::connect(Fd, reinterpret_cast<sockaddr*>(&A), sizeof(A)) != 0) {
    ::close(Fd);
    return -1;
  }
  return Fd;
}

// Reads exactly N bytes (waiting at most Limit); fewer on end of stream or time-out.
inline std::string ReadExactly(int Fd, size_t N,
                               std::chrono::seconds Limit = std::chrono::seconds(Timeout)) {
  std::string Out;
  Out.reserve(N);
  const auto End = std::chrono::steady_clock::now() + Limit;
  char Buf[65536];
  while (Out.size() < N && std::chrono::steady_clock::now() < End) {
    pollfd P{Fd, POLLIN, 0};
    if (::poll(&P, 1, 100) != 1) continue;
    const ssize_t R = ::recv(Fd, Buf, std::min(sizeof(Buf), N - Out.size()), 0);
    if (R <= 0) break;
    Out.append(Buf, static_cast<size_t>(R));
  }
  return Out;
}

// What a peer read until the other side ended the connection: the bytes, and 0 for an orderly
// end (FIN), the errno of a failed read (ECONNRESET for a reset), or -1 on time-out.
struct TReadToEnd {
  std::string Data;
  int Error = -1;
};
inline TReadToEnd ReadToEnd(int Fd, std::chrono::seconds Limit = std::chrono::seconds(Timeout)) {
  TReadToEnd Out;
  const auto End = std::chrono::steady_clock::now() + Limit;
  char Buf[65536];
  while (std::chrono::steady_clock::now() < End) {
    pollfd P{Fd, POLLIN, 0};
    if (::poll(&P, 1, 100) != 1) continue;
    const ssize_t R = ::recv(Fd, Buf, sizeof(Buf), 0);
    if (R > 0) {
      Out.Data.append(Buf, static_cast<size_t>(R));
      continue;
    }
    Out.Error = R == 0 ? 0 : errno;
    break;
  }
  return Out;
}

// Number of entries in a /proc directory (open descriptors, threads).
inline int CountEntries(const char* Dir) {
  int N = 0;
  if (DIR* D = ::opendir(Dir)) {
    while (dirent* E = ::readdir(D)) N += E->d_name[0] != '.';
    ::closedir(D);
  }
  return N;
}
inline int OpenDescriptors() {
  return CountEntries("/proc/self/fd");
}
inline int ThreadCount() {
  return CountEntries("/proc/self/task");
}

// True when a line of the trace ring ends with Text.
inline bool TraceHas(const std::string& Text) {
  for (int32_t I = 0; I < TraceRingSize; ++I) {
    const std::string L = TraceLine(I);
    if (L.size() >= Text.size() && L.compare(L.size() - Text.size(), Text.size(), Text) == 0)
      return true;
  }
  return false;
}

// The trace lines written after line number Since (a value of TraceLineCount taken earlier), in
// order: all of them while the ring still holds them, else the newest that it holds. A line
// whose writer has not stored it yet is left out (it is there at the next call).
inline std::vector<std::string> TraceSince(int64_t Since) {
  std::vector<std::string> Out;
  const int64_t Now = TraceLineCount();
  std::string Line;
  for (int64_t N = std::max(Since, Now - TraceRingSize) + 1; N <= Now; ++N)
    if (TraceLineNumber(N, Line)) Out.push_back(Line);
  return Out;
}

// How many of those lines end with Text.
inline int CountTraceSince(int64_t Since, const std::string& Text) {
  int N = 0;
  for (const auto& L : TraceSince(Since))
    N += L.size() >= Text.size() && L.compare(L.size() - Text.size(), Text.size(), Text) == 0;
  return N;
}

// Takes every idle worker out of the pool (each attached to a socket that holds it), so that the
// next worker released is the only idle one and the next socket gets it.
inline std::vector<std::unique_ptr<TIcsSocket>> HoldIdleWorkers() {
  std::vector<std::unique_ptr<TIcsSocket>> Holders;
  while (TIcsWorkerPool::Instance().IdleCount() > 0) {
    Holders.push_back(std::make_unique<TIcsSocket>());
    Holders.back()->Dup(-1);  // attaches a worker; the handle itself is refused
  }
  return Holders;
}

}  // namespace sockettest
