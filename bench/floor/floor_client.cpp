// floor_client: the floor our console client is measured against. A plain blocking SMPP client
// with no threads and no component: it binds a transmitter, sends pre-encoded submit_sm with at
// most a window of them unanswered, reads the responses, and prints the rate and its CPU time per
// message. What it takes per message is what the loopback and the SMSC take; the rest of what
// smppcli takes is our own overhead. Loopback only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void PutU32(uint8_t* P, uint32_t V) {
  P[0] = static_cast<uint8_t>(V >> 24), P[1] = static_cast<uint8_t>(V >> 16);
  P[2] = static_cast<uint8_t>(V >> 8), P[3] = static_cast<uint8_t>(V);
}
uint32_t GetU32(const uint8_t* P) {
  return uint32_t{P[0]} << 24 | uint32_t{P[1]} << 16 | uint32_t{P[2]} << 8 | P[3];
}

std::vector<uint8_t> Pdu(uint32_t Id, uint32_t Seq, const std::string& Body) {
  std::vector<uint8_t> Out(16 + Body.size());
  PutU32(Out.data(), static_cast<uint32_t>(Out.size()));
  PutU32(Out.data() + 4, Id);
  PutU32(Out.data() + 8, 0);
  PutU32(Out.data() + 12, Seq);
  std::memcpy(Out.data() + 16, Body.data(), Body.size());
  return Out;
}

bool WriteAll(int Fd, const uint8_t* Data, size_t Length) {
  while (Length > 0) {
    const ssize_t N = ::send(Fd, Data, Length, MSG_NOSIGNAL);
    if (N <= 0) return false;
    Data += N, Length -= static_cast<size_t>(N);
  }
  return true;
}

double CpuSeconds() {
  rusage U{};
  getrusage(RUSAGE_SELF, &U);
  return U.ru_utime.tv_sec + U.ru_stime.tv_sec + (U.ru_utime.tv_usec + U.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int Argc, char** Argv) {
  long Port = 0, Count = 100000, Window = 1;
  for (int I = 1; I + 1 < Argc; I += 2) {
    const std::string A = Argv[I];
    const long V = std::atol(Argv[I + 1]);
    if (A == "--port") Port = V;
    if (A == "--count") Count = V;
    if (A == "--window") Window = V;
  }
  if (Port <= 0 || Port > 65535 || Count <= 0 || Window <= 0 || Argc % 2 == 0) {
    std::fprintf(stderr, "Usage: floor_client --port N [--count N] [--window N]\n");
    return 2;
  }
  const int Fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  A.sin_port = htons(static_cast<uint16_t>(Port));
  const int One = 1;
  ::setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
  if (::connect(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0) {
    std::perror("floor_client: connect");
    return 1;
  }
  // bind_transmitter: system_id, password, system_type, version 0x34, ton, npi, range.
  const auto Bind = Pdu(0x00000002, 1, std::string("floor\0secret\0\0\x34\0\0\0", 17));
  std::vector<uint8_t> In(1 << 16);
  size_t Have = 0;
  // Reads until at least one whole PDU is there; gives the number of whole PDUs and keeps the rest.
  auto ReadPdus = [&]() -> long {
    for (;;) {
      const ssize_t N = ::recv(Fd, In.data() + Have, In.size() - Have, 0);
      if (N <= 0) return -1;
      Have += static_cast<size_t>(N);
      size_t At = 0;
      long Pdus = 0;
      while (Have - At >= 16 && Have - At >= GetU32(In.data() + At)) {
        if (GetU32(In.data() + At) < 16) return -1;
        At += GetU32(In.data() + At), ++Pdus;
      }
      std::memmove(In.data(), In.data() + At, Have - At);
      Have -= At;
      if (Pdus > 0) return Pdus;
    }
  };
  if (!WriteAll(Fd, Bind.data(), Bind.size()) || ReadPdus() != 1) {
    std::fprintf(stderr, "floor_client: no bind_transmitter_resp\n");
    return 1;
  }
  // The submit_sm smppcli sends by default: 1234 to 5551234, "Hello" with its trailer, receipt
  // asked for.
  std::string Body;
  Body += '\0';
  Body += std::string("\x00\x01", 2) + "1234" + '\0';
  Body += std::string("\x01\x01", 2) + "5551234" + '\0';
  Body += std::string("\x00\x00\x00\x00\x00\x11\x00\x00\x00", 9);
  const std::string Text = "Hello  SMPP test client v1.0";
  Body += static_cast<char>(Text.size());
  Body += Text;
  const auto Submit = Pdu(0x00000004, 0, Body);
  const size_t Size = Submit.size();
  std::vector<uint8_t> Batch(Size * static_cast<size_t>(Window));
  for (long I = 0; I < Window; ++I) std::memcpy(Batch.data() + I * Size, Submit.data(), Size);
  uint32_t Seq = 2;
  // Sends N pre-encoded submits, only their sequence numbers written in.
  auto SendSubmits = [&](long N) {
    for (long I = 0; I < N; ++I) PutU32(Batch.data() + I * Size + 12, Seq++);
    return WriteAll(Fd, Batch.data(), Size * static_cast<size_t>(N));
  };

  const double Cpu0 = CpuSeconds();
  const auto T0 = std::chrono::steady_clock::now();
  long Sent = std::min(Count, Window), Answered = 0;
  if (!SendSubmits(Sent)) return 1;
  while (Answered < Count) {
    const long N = ReadPdus();
    if (N < 0) {
      std::fprintf(stderr, "floor_client: the connection was lost\n");
      return 1;
    }
    Answered += N;
    const long More = std::min(Count - Sent, N);
    if (More > 0 && !SendSubmits(More)) return 1;
    Sent += More;
  }
  const double Seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - T0).count();
  const double Cpu = CpuSeconds() - Cpu0;
  const auto Unbind = Pdu(0x00000006, Seq, "");
  WriteAll(Fd, Unbind.data(), Unbind.size());
  ::close(Fd);
  std::printf(
      "floor_client: %ld messages, window %ld, in %.3f s: %.0f messages/s, CPU %.2f us "
      "per message\n",
      Count, Window, Seconds, Count / Seconds, Cpu * 1e6 / Count);
  return 0;
}
