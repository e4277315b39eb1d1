// smsc_sink: a minimal SMSC that answers as fast as the socket allows, the far end of the load
// benchmarks and of smppcli's tests of matching and back-off. One blocking thread per connection
// reads what has come, answers every complete PDU of it and writes the answers in one call. It
// accepts every bind, answers submit_sm with a hexadecimal message id, enquire_link and unbind,
// and can send a delivery receipt per accepted submit to a bound receiver. Loopback only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/Version.h"

namespace {

const char* const kUsage =
    "Usage: smsc_sink [options]\n"
    "A minimal SMSC on 127.0.0.1 that answers binds, submit_sm, enquire_link and unbind as\n"
    "fast as it can. Prints \"listening 127.0.0.1:PORT\" when ready. When standard input is\n"
    "a pipe or a terminal, its end or a line \"quit\" stops it; otherwise it runs until killed.\n\n"
    "  --port N              port (default 0: the OS chooses)\n"
    "  --receipts            send a delivery receipt for every accepted submit_sm to the\n"
    "                        receiver bound last with the transmitter's system_id\n"
    "  --decimal-receipts    give the receipts' ids in decimal (the responses' are hexadecimal)\n"
    "  --receipts-first      send each receipt before the submit_sm_resp it belongs to\n"
    "  --stray-receipts N    send N receipts for ids never given when a receiver binds\n"
    "  --throttle-every N    answer every Nth submit_sm with 0x00000058 (throttled)\n"
    "  --undeliv-every N     make every Nth receipt stat:UNDELIV err:001\n"
    "  --drop-after N        at the Nth submit_sm (of all connections) close its connection\n"
    "                        at once, leaving the submits of that read unanswered (once)\n"
    "  --per-second          print \"second N submits M\" for every second after the first\n"
    "                        submit_sm, until the submits stop\n"
    "  --version             print the package version\n";

struct TOptions {
  int Port = 0;
  bool Receipts = false, DecimalReceipts = false, ReceiptsFirst = false;
  long StrayReceipts = 0, ThrottleEvery = 0, UndelivEvery = 0, DropAfter = 0;
  bool PerSecond = false;
} O;

std::atomic<uint64_t> NextId{1};  // message ids handed out, all connections
std::atomic<long> Submits{0};     // submit_sm seen, all connections
std::mutex ReceiverLock;          // guards Receivers and the writes to them
// The receiver bound last, by system_id: the receipts of a transmitter go to the receiver of its
// own system_id, as an SMSC routes them to the account, so that runs of several system_ids at
// once each get their own.
std::map<std::string, int> Receivers;  // ReceiverLock
std::atomic<uint32_t> ReceiverSeq{1};

void PutU32(std::string& Out, uint32_t V) {
  const char B[4] = {static_cast<char>(V >> 24), static_cast<char>(V >> 16),
                     static_cast<char>(V >> 8), static_cast<char>(V)};
  Out.append(B, 4);
}
uint32_t GetU32(const uint8_t* P) {
  return uint32_t{P[0]} << 24 | uint32_t{P[1]} << 16 | uint32_t{P[2]} << 8 | P[3];
}

// Appends a PDU with this header and body.
void AppendPdu(std::string& Out, uint32_t Id, uint32_t Status, uint32_t Seq,
               const std::string& Body) {
  PutU32(Out, static_cast<uint32_t>(16 + Body.size()));
  PutU32(Out, Id);
  PutU32(Out, Status);
  PutU32(Out, Seq);
  Out += Body;
}

bool WriteAll(int Fd, const std::string& Data) {
  for (size_t At = 0; At < Data.size();) {
    const ssize_t N = ::send(Fd, Data.data() + At, Data.size() - At, MSG_NOSIGNAL);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return false;
    At += static_cast<size_t>(N);
  }
  return true;
}

// A deliver_sm delivery receipt (esm_class 0x04) for this message id.
void AppendReceipt(std::string& Out, const std::string& Id, bool Undelivered = false) {
  const std::string Text =
      "id:" + Id + " sub:001 dlvrd:001 submit date:2601011200 done date:2601011200 " +
      (Undelivered ? "stat:UNDELIV err:001" : "stat:DELIVRD err:000") + " text:";
  std::string Body;
  Body += '\0';                                           // service_type
  Body += std::string("\x01\x01", 2) + "5551234" + '\0';  // source ton, npi, addr
  Body += std::string("\x00\x01", 2) + "1234" + '\0';     // destination ton, npi, addr
  Body += std::string("\x04\x00\x00", 3);      // esm_class receipt, protocol_id, priority
  Body += std::string("\x00\x00", 2);          // schedule, validity
  Body += std::string("\x00\x00\x00\x00", 4);  // registered_delivery, replace, coding, default
  Body += static_cast<char>(Text.size());
  Body += Text;
  AppendPdu(Out, 0x00000005, 0, ReceiverSeq.fetch_add(1), Body);
}

void SendToReceiver(const std::string& SystemId, const std::string& Data) {
  std::lock_guard<std::mutex> G(ReceiverLock);
  auto It = Receivers.find(SystemId);
  if (It != Receivers.end() && !WriteAll(It->second, Data)) Receivers.erase(It);
}

void Serve(int Fd) {
  std::vector<uint8_t> In(1 << 16);
  size_t Have = 0;
  std::string Out, Receipts;
  bool IsReceiver = false, Dropped = false;
  std::string SystemId;  // of the bind
  for (;;) {
    const ssize_t N = ::recv(Fd, In.data() + Have, In.size() - Have, 0);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) break;
    Have += static_cast<size_t>(N);
    size_t At = 0;
    bool Close = false;
    while (Have - At >= 16) {
      const uint8_t* P = In.data() + At;
      const uint32_t Length = GetU32(P);
      if (Length < 16 || Length > In.size()) {
        Close = true;
        break;
      }
      if (Have - At < Length) break;
      const uint32_t Id = GetU32(P + 4), Seq = GetU32(P + 12);
      switch (Id) {
        case 0x00000001:  // bind_receiver
        case 0x00000002:  // bind_transmitter
        case 0x00000009:  // bind_transceiver
          AppendPdu(Out, Id | 0x80000000, 0, Seq, std::string("sink\0", 5));
          SystemId.assign(reinterpret_cast<const char*>(P + 16),
                          strnlen(reinterpret_cast<const char*>(P + 16), Length - 16));
          if (Id != 0x00000002) IsReceiver = true;
          break;
        case 0x00000004: {  // submit_sm
          const long K = Submits.fetch_add(1) + 1;
          if (K == O.DropAfter) {
            // A connection lost mid-run: the answers of this read never go.
            Out.clear();
            Receipts.clear();
            Close = Dropped = true;
            break;
          }
          if (O.ThrottleEvery > 0 && K % O.ThrottleEvery == 0) {
            AppendPdu(Out, 0x80000004, 0x58, Seq, std::string(1, '\0'));
            break;
          }
          const uint64_t Msg = NextId.fetch_add(1);
          char Hex[24];
          std::snprintf(Hex, sizeof Hex, "%010llx", static_cast<unsigned long long>(Msg));
          AppendPdu(Out, 0x80000004, 0, Seq, std::string(Hex) + '\0');
          if (O.Receipts)
            AppendReceipt(Receipts, O.DecimalReceipts ? std::to_string(Msg) : std::string(Hex),
                          O.UndelivEvery > 0 && Msg % static_cast<uint64_t>(O.UndelivEvery) == 0);
          break;
        }
        case 0x00000015:  // enquire_link
          AppendPdu(Out, 0x80000015, 0, Seq, "");
          break;
        case 0x00000006:  // unbind
          AppendPdu(Out, 0x80000006, 0, Seq, "");
          Close = true;
          break;
        default:
          if (!(Id & 0x80000000)) AppendPdu(Out, 0x80000000, 3, Seq, "");  // generic_nack
          break;
      }
      At += Length;
      if (Close) break;
    }
    if (Dropped) break;
    std::memmove(In.data(), In.data() + At, Have - At);
    Have -= At;
    if (O.ReceiptsFirst && !Receipts.empty()) SendToReceiver(SystemId, Receipts), Receipts.clear();
    if (IsReceiver) {
      // Receipts from the transmitters' threads go to this socket too: one writer at a time.
      std::lock_guard<std::mutex> G(ReceiverLock);
      bool Written = WriteAll(Fd, Out);
      if (Written && Receivers[SystemId] != Fd) {
        Receivers[SystemId] = Fd;
        std::string Stray;
        for (long I = 0; I < O.StrayReceipts; ++I) AppendReceipt(Stray, "ffff" + std::to_string(I));
        Written = WriteAll(Fd, Stray);
      }
      if (!Written) break;
    } else if (!Out.empty() && !WriteAll(Fd, Out)) {
      break;
    }
    Out.clear();
    if (!Receipts.empty()) SendToReceiver(SystemId, Receipts), Receipts.clear();
    if (Close) break;
  }
  {
    std::lock_guard<std::mutex> G(ReceiverLock);
    if (auto It = Receivers.find(SystemId); It != Receivers.end() && It->second == Fd)
      Receivers.erase(It);
  }
  ::close(Fd);
}

bool Count(const char* Text, long& Out) {
  char* End = nullptr;
  Out = std::strtol(Text, &End, 10);
  return End != Text && !*End && Out >= 0;
}

}  // namespace

int main(int Argc, char** Argv) {
  for (int I = 1; I < Argc; ++I) {
    const std::string A = Argv[I];
    long V = 0;
    const bool HasValue = I + 1 < Argc;
    if (A == "--port" && HasValue && Count(Argv[++I], V) && V <= 65535)
      O.Port = static_cast<int>(V);
    else if (A == "--receipts")
      O.Receipts = true;
    else if (A == "--decimal-receipts")
      O.DecimalReceipts = true;
    else if (A == "--receipts-first")
      O.ReceiptsFirst = true;
    else if (A == "--stray-receipts" && HasValue && Count(Argv[++I], V))
      O.StrayReceipts = V;
    else if (A == "--throttle-every" && HasValue && Count(Argv[++I], V))
      O.ThrottleEvery = V;
    else if (A == "--undeliv-every" && HasValue && Count(Argv[++I], V) && V > 0)
      O.UndelivEvery = V;
    else if (A == "--drop-after" && HasValue && Count(Argv[++I], V) && V > 0)
      O.DropAfter = V;
    else if (A == "--per-second")
      O.PerSecond = true;
    else if (A == "--version") {
      std::printf("smsc_sink (%s) %s\n%s", kPackageName, kPackageVersion, kVersionNotice);
      return 0;
    } else {
      std::fputs(kUsage, A == "--help" ? stdout : stderr);
      return A == "--help" ? 0 : 2;
    }
  }
  const int L = ::socket(AF_INET, SOCK_STREAM, 0);
  const int One = 1;
  ::setsockopt(L, SOL_SOCKET, SO_REUSEADDR, &One, sizeof One);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  A.sin_port = htons(static_cast<uint16_t>(O.Port));
  socklen_t Len = sizeof A;
  if (::bind(L, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0 || ::listen(L, 64) != 0 ||
      ::getsockname(L, reinterpret_cast<sockaddr*>(&A), &Len) != 0) {
    std::fprintf(stderr, "smsc_sink: cannot listen: %s\n", std::strerror(errno));
    return 1;
  }
  std::printf("listening 127.0.0.1:%d\n", ntohs(A.sin_port));
  std::fflush(stdout);
  struct stat In {};
  if (::fstat(STDIN_FILENO, &In) == 0 && (S_ISFIFO(In.st_mode) || ::isatty(STDIN_FILENO))) {
    // The driving process has gone, or asked us to quit.
    std::thread([] {
      char Line[256];
      while (std::fgets(Line, sizeof Line, stdin) && std::strcmp(Line, "quit\n") != 0) {
      }
      std::_Exit(0);
    }).detach();
  }
  if (O.PerSecond) {
    // Whole seconds from the first submit_sm on: what a rate limit let through in each.
    std::thread([] {
      while (Submits.load() == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
      auto Next = std::chrono::steady_clock::now();
      long Last = 0;
      for (int Second = 1;; ++Second) {
        Next += std::chrono::seconds(1);
        std::this_thread::sleep_until(Next);
        const long Now = Submits.load();
        if (Now == Last) break;
        std::printf("second %d submits %ld\n", Second, Now - Last);
        std::fflush(stdout);
        Last = Now;
      }
    }).detach();
  }
  for (;;) {
    const int Fd = ::accept(L, nullptr, nullptr);
    if (Fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return 1;
    }
    ::setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
    std::thread(Serve, Fd).detach();
  }
}
