// Test helper: collects the report lines of a TSmppClient (both connections) and lets a test wait
// for a line with a timeout. Notifications run on the client's worker and timer threads.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "smpp/smppclient.h"

// Which connection a report line came from.
enum class On { Rcx, Tcx };

class ClientReports {
 public:
  struct Line {
    bool rcx;
    std::string text;
    std::string hex;
  };

  explicit ClientReports(TSmppClient& client) {
    client.SetRcxOnData(
        [this](TSmppClient* c) { add(true, c->Rcx().rcxData(), c->Rcx().rcxBinData()); });
    client.SetTcxOnData(
        [this](TSmppClient* c) { add(false, c->Tcx().tcxData(), c->Tcx().tcxBinData()); });
  }

  size_t mark() const {
    std::lock_guard lock(FMutex);
    return FLines.size();
  }

  // Waits for a line of that connection at index `from` or later whose text starts with prefix.
  std::optional<std::string> waitFor(On conn, const std::string& prefix, size_t from = 0,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(10),
                                     size_t* index = nullptr) {
    std::unique_lock lock(FMutex);
    std::optional<std::string> found;
    FChanged.wait_for(lock, timeout, [&] {
      for (size_t i = from; i < FLines.size(); ++i)
        if (FLines[i].rcx == (conn == On::Rcx) && FLines[i].text.rfind(prefix, 0) == 0) {
          found = FLines[i].text;
          if (index) *index = i;
          return true;
        }
      return false;
    });
    return found;
  }

  // Waits until at least n lines of that connection starting with prefix exist.
  bool waitCount(On conn, const std::string& prefix, size_t n,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(FMutex);
    return FChanged.wait_for(lock, timeout, [&] { return countLocked(conn, prefix) >= n; });
  }

  size_t count(On conn, const std::string& prefix) const {
    std::lock_guard lock(FMutex);
    return countLocked(conn, prefix);
  }

  std::vector<Line> lines() const {
    std::lock_guard lock(FMutex);
    return FLines;
  }

  std::string dump() const {
    std::string all;
    for (const auto& l : lines()) all += (l.rcx ? "rcx| " : "tcx| ") + l.text + "\n";
    return all;
  }

 private:
  void add(bool rcx, std::string text, std::string hex) {
    std::lock_guard lock(FMutex);
    FLines.push_back({rcx, std::move(text), std::move(hex)});
    FChanged.notify_all();
  }
  size_t countLocked(On conn, const std::string& prefix) const {
    size_t n = 0;
    for (const auto& l : FLines)
      if (l.rcx == (conn == On::Rcx) && l.text.rfind(prefix, 0) == 0) ++n;
    return n;
  }

  mutable std::mutex FMutex;
  std::condition_variable FChanged;
  std::vector<Line> FLines;
};

// Shortens the client's timers for tests: keep-alive ticks of tickMs, reconnect after
// reconnectMs, a Disconnect wait of waitMs.
inline void UseShortTimers(TSmppClient& client, int tickMs = 50, int reconnectMs = 100,
                           int waitMs = 100) {
  client.RcxKeepAliveTimer()->SetInterval(tickMs);
  client.TcxKeepAliveTimer()->SetInterval(tickMs);
  client.TrxKeepAliveTimer()->SetInterval(tickMs);
  client.RcxReconnectTimer()->SetInterval(reconnectMs);
  client.TcxReconnectTimer()->SetInterval(reconnectMs);
  client.TrxReconnectTimer()->SetInterval(reconnectMs);
  client.DisconnectWaitMs = waitMs;
}

// A loopback port with nothing listening on it: one the OS hands out, released again.
inline uint16_t UnusedLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    a.sin_port = 0;
  if (fd >= 0) close(fd);
  return ntohs(a.sin_port);
}
