// The SMSC side's PDU log (see PduLog.h).
#include "smsc/PduLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "smpp/smpppdu.h"

namespace smsc {

namespace {

// Hand the buffer to the writing thread once it holds this much, and make Write wait when
// that much again has piled up behind a write still running.
constexpr size_t kChunkBytes = 4 << 20;
constexpr size_t kMostBehind = 64 << 20;

constexpr char kHex[] = "0123456789abcdef";

char* PutDecimal(char* P, uint64_t V) {
  char Tmp[20];
  int N = 0;
  do {
    Tmp[N++] = static_cast<char>('0' + V % 10);
    V /= 10;
  } while (V);
  while (N) *P++ = Tmp[--N];
  return P;
}

char* PutHex8(char* P, uint32_t V) {
  *P++ = '0';
  *P++ = 'x';
  for (int Shift = 28; Shift >= 0; Shift -= 4) *P++ = kHex[(V >> Shift) & 0xF];
  return P;
}

// The header field at Offset of a piece of Size bytes; 0 when it is not all there.
uint32_t Field(const uint8_t* P, size_t Size, size_t Offset) {
  return Size >= Offset + 4 ? GetU32(P + Offset) : 0;
}

}  // namespace

int64_t MonotonicNs() {
  timespec T{};
  clock_gettime(CLOCK_MONOTONIC, &T);
  return static_cast<int64_t>(T.tv_sec) * 1000000000 + T.tv_nsec;
}

void AppendLogLines(std::string& Out, int64_t Ns, uint32_t Conn, bool In, const uint8_t* Bytes,
                    size_t Size) {
  // The time and connection are the same for every line of the call.
  char Prefix[48];
  char* E = PutDecimal(Prefix, static_cast<uint64_t>(Ns));
  *E++ = ' ';
  E = PutDecimal(E, Conn);
  std::memcpy(E, In ? " in " : " out ", In ? 4 : 5);
  E += In ? 4 : 5;
  const size_t PrefixLen = static_cast<size_t>(E - Prefix);
  for (size_t At = 0; At < Size;) {
    const uint8_t* P = Bytes + At;
    const size_t Left = Size - At;
    size_t Len = Left;
    if (Left >= kPduHeaderLength) {
      const uint32_t Declared = GetU32(P);
      if (Declared >= kPduHeaderLength && Declared < Left) Len = Declared;
    }
    const size_t Old = Out.size();
    Out.resize(Old + PrefixLen + 11 + 11 + 11 + 2 * Len + 1);
    char* W = Out.data() + Old;
    std::memcpy(W, Prefix, PrefixLen);
    W += PrefixLen;
    W = PutHex8(W, Field(P, Len, 4));
    *W++ = ' ';
    W = PutHex8(W, Field(P, Len, 8));
    *W++ = ' ';
    W = PutDecimal(W, Field(P, Len, 12));
    *W++ = ' ';
    for (size_t I = 0; I < Len; ++I) {
      *W++ = kHex[P[I] >> 4];
      *W++ = kHex[P[I] & 0xF];
    }
    *W++ = '\n';
    Out.resize(static_cast<size_t>(W - Out.data()));
    At += Len;
  }
}

bool TPduLog::Open(const std::string& Path, std::string& Error) {
  FFd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (FFd < 0) {
    Error = Path + ": " + std::strerror(errno);
    return false;
  }
  FFill.reserve(kChunkBytes + (1 << 20));
  FWriter = std::thread([this] { WriterLoop(); });
  return true;
}

void TPduLog::Write(int64_t Ns, uint32_t Conn, bool In, const uint8_t* Bytes, size_t Size) {
  std::unique_lock<std::mutex> Lock(LogLock);
  if (FFd < 0 || FClosed) return;
  if (FFill.size() >= kMostBehind) Changed.wait(Lock, [&] { return FOut.empty() || FStop; });
  AppendLogLines(FFill, Ns, Conn, In, Bytes, Size);
  if (FFill.size() >= kChunkBytes && FOut.empty()) {
    FOut.swap(FFill);
    Changed.notify_all();
  }
}

bool TPduLog::WriteOut(const std::string& Chunk) {
  for (size_t At = 0; At < Chunk.size();) {
    const ssize_t N = ::write(FFd, Chunk.data() + At, Chunk.size() - At);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return false;
    At += static_cast<size_t>(N);
  }
  return true;
}

void TPduLog::WriterLoop() {
  std::string Chunk;
  std::unique_lock<std::mutex> Lock(LogLock);
  for (;;) {
    Changed.wait(Lock, [&] { return !FOut.empty() || FStop; });
    if (FOut.empty()) break;  // stopping, and nothing handed over
    Chunk.swap(FOut);
    Lock.unlock();
    WriteOut(Chunk);
    Chunk.clear();
    Lock.lock();
    Changed.notify_all();
  }
  // Stopping: what Write gathered since the last hand-over goes last.
  Chunk.swap(FFill);
  Lock.unlock();
  WriteOut(Chunk);
}

void TPduLog::Close() {
  {
    std::lock_guard<std::mutex> Guard(LogLock);
    if (FClosed || FFd < 0) {
      FClosed = true;
      return;
    }
    FClosed = true;
    FStop = true;
    Changed.notify_all();
  }
  if (FWriter.joinable()) FWriter.join();
  ::close(FFd);
  FFd = -1;
}

}  // namespace smsc
