// RawSmsc: a raw-socket SMSC written in the tests, which accepts the client's connections and reads
// and writes PDUs byte for byte, and the client under test set to it with short timers.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/ClientReports.h"
#include "tests/smpp/PduTestUtil.h"

using namespace std::chrono_literals;

inline void Cstr(Bytes& b, const std::string& s) {
  b.insert(b.end(), s.begin(), s.end());
  b.push_back(0);
}

// A deliver_sm (or data_sm) body in the standard layout with a short message.
inline Bytes DeliverBody(const std::string& src, const std::string& dst, uint8_t esm,
                         const std::string& text) {
  Bytes b;
  Cstr(b, "");  // service_type
  b.push_back(1), b.push_back(1), Cstr(b, src);
  b.push_back(1), b.push_back(1), Cstr(b, dst);
  b.push_back(esm), b.push_back(0), b.push_back(0);  // esm_class, protocol_id, priority_flag
  Cstr(b, ""), Cstr(b, "");                          // schedule, validity
  b.push_back(0), b.push_back(0), b.push_back(0), b.push_back(0);  // reg, replace, dc, default id
  b.push_back(static_cast<uint8_t>(text.size()));
  b.insert(b.end(), text.begin(), text.end());
  return b;
}

// One accepted connection of the raw SMSC.
class RawPeer {
 public:
  explicit RawPeer(int fd) : FFd(fd) {
    int one = 1;
    setsockopt(FFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~RawPeer() {
    if (FFd >= 0) close(FFd);
  }
  void write(const Bytes& b) {
    ASSERT_EQ(::send(FFd, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size()));
  }
  void writeSlowly(const Bytes& b) {
    for (uint8_t byte : b) {
      ASSERT_EQ(::send(FFd, &byte, 1, MSG_NOSIGNAL), 1);
      std::this_thread::sleep_for(1ms);  // pacing only, so that reads see single bytes
    }
  }
  // Reads one whole PDU, or nothing when the peer closes or the timeout passes.
  std::optional<Bytes> read(std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (FBuf.size() >= 4) {
        const uint32_t len = GetU32(FBuf.data());
        if (len >= 16 && FBuf.size() >= len) {
          Bytes pdu(FBuf.begin(), FBuf.begin() + len);
          FBuf.erase(FBuf.begin(), FBuf.begin() + len);
          return pdu;
        }
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{FFd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
      uint8_t chunk[4096];
      const ssize_t n = ::recv(FFd, chunk, sizeof chunk, 0);
      if (n <= 0) return std::nullopt;
      FBuf.insert(FBuf.end(), chunk, chunk + n);
    }
  }
  // Reads PDUs until one with this command id arrives.
  std::optional<Bytes> readUntil(uint32_t id, std::chrono::milliseconds timeout = 5s) {
    for (;;) {
      auto p = read(timeout);
      if (!p || GetU32(&(*p)[4]) == id) return p;
    }
  }
  // True when the client has closed the connection (read gives end of stream or reset).
  bool closedByClient(std::chrono::milliseconds timeout = 5s) {
    pollfd p{FFd, POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      if (poll(&p, 1, 50) > 0) {
        uint8_t chunk[4096];
        const ssize_t n = ::recv(FFd, chunk, sizeof chunk, 0);
        if (n <= 0) return true;
      }
    }
    return false;
  }
  uint32_t bindSeq = 0;
  Bytes bindPdu;  // the bind the client sent, as read

 private:
  int FFd;
  Bytes FBuf;
};

class RawSmsc : public ::testing::Test {
 protected:
  void SetUp() override {
    FListener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(FListener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(FListener, 16), 0);
    socklen_t len = sizeof a;
    getsockname(FListener, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
    newClient();
  }
  // A fresh client with short timers and keep-alive counts, set to this SMSC.
  void newClient() {
    client.reset();
    client = std::make_unique<TSmppClient>(nullptr);
    reports = std::make_unique<ClientReports>(*client);
    UseShortTimers(*client);
    client->Rcx().Set_rcxTimerInterval(2);
    client->Tcx().Set_tcxTimerInterval(2);
    client->ClientInfo().SetHost("127.0.0.1");
    client->ClientInfo().SetPort(FPort);
  }
  void TearDown() override {
    client.reset();
    close(FListener);
  }

  // Accepts connections until the bind of the wanted kind arrives (the other kind is kept).
  std::unique_ptr<RawPeer> acceptBind(uint32_t bindId) {
    for (int i = 0; i < 4; ++i) {
      auto& parked = bindId == kBindReceiver ? FRcxParked : FTcxParked;
      if (parked) return std::move(parked);
      pollfd p{FListener, POLLIN, 0};
      if (poll(&p, 1, 10000) <= 0) return nullptr;
      auto peer = std::make_unique<RawPeer>(accept(FListener, nullptr, nullptr));
      auto bind = peer->read();
      if (!bind) continue;
      peer->bindSeq = GetU32(&(*bind)[12]);
      peer->bindPdu = *bind;
      const uint32_t id = GetU32(&(*bind)[4]);
      if (id == bindId) return peer;
      (id == kBindReceiver ? FRcxParked : FTcxParked) = std::move(peer);
    }
    return nullptr;
  }
  // Connects the client and binds both connections.
  void bindBoth() {
    client->Connect();
    rcx = acceptBind(kBindReceiver);
    tcx = acceptBind(kBindTransmitter);
    ASSERT_TRUE(rcx && tcx);
    rcx->write(PduOf(kBindReceiverResp, 0, rcx->bindSeq));
    tcx->write(PduOf(kBindTransmitterResp, 0, tcx->bindSeq));
    ASSERT_TRUE(reports->waitFor(On::Rcx, "bind Rcx OK"));
    ASSERT_TRUE(reports->waitFor(On::Tcx, "bind Tcx OK"));
  }

  int FListener = -1;
  uint16_t FPort = 0;
  std::unique_ptr<RawPeer> FRcxParked, FTcxParked;
  std::unique_ptr<TSmppClient> client;
  std::unique_ptr<ClientReports> reports;
  std::unique_ptr<RawPeer> rcx, tcx;
};
