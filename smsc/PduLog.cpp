// The SMSC side's PDU log (see PduLog.h).
#include "smsc/PduLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>

#include "smpp/smpppdu.h"

namespace smsc {

namespace {

// Records are gathered in chunks of this size. The writing thread writes them out when the
// traffic is calm (less than kBurstBytes in each of kCalmPeriods periods of kCalmPeriod), or at
// once past kHighWater; Write waits when kMostBehind bytes are held.
constexpr size_t kChunkBytes = 4 << 20;
constexpr std::chrono::milliseconds kCalmPeriod{50};
constexpr int kCalmPeriods = 2;
constexpr uint64_t kBurstBytes = 1 << 20;
constexpr size_t kHighWater = 128 << 20;
constexpr size_t kMostBehind = 512 << 20;
// Chunks kept ready for reuse.
constexpr size_t kSpareChunks = 8;

constexpr char kHex[] = "0123456789abcdef";

// The two hex digits of every byte value.
struct THexPairs {
  char Text[256][2];
  constexpr THexPairs() : Text() {
    for (int I = 0; I < 256; ++I) {
      Text[I][0] = kHex[I >> 4];
      Text[I][1] = kHex[I & 0xF];
    }
  }
};
constexpr THexPairs kHexPairs;

// A record of the buffer the writing thread formats: its header, then Size bytes of PDUs.
struct TRecord {
  int64_t Ns;
  uint32_t Conn;
  uint32_t Size;
  bool In;
};

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

size_t LogLinesBound(size_t Size) {
  // Per piece: the prefix (at most 20 + 1 + 10 + 5), three fields with their blanks (33) and
  // the newline; every piece is at least 16 bytes, except a last shorter one.
  const size_t Pieces = Size / kPduHeaderLength + 1;
  return Pieces * 70 + 2 * Size;
}

char* FormatLogLines(char* W, int64_t Ns, uint32_t Conn, bool In, const uint8_t* Bytes,
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
    std::memcpy(W, Prefix, PrefixLen);
    W += PrefixLen;
    W = PutHex8(W, Field(P, Len, 4));
    *W++ = ' ';
    W = PutHex8(W, Field(P, Len, 8));
    *W++ = ' ';
    W = PutDecimal(W, Field(P, Len, 12));
    *W++ = ' ';
    for (size_t I = 0; I < Len; ++I, W += 2) std::memcpy(W, kHexPairs.Text[P[I]], 2);
    *W++ = '\n';
    At += Len;
  }
  return W;
}

void AppendLogLines(std::string& Out, int64_t Ns, uint32_t Conn, bool In, const uint8_t* Bytes,
                    size_t Size) {
  const size_t Old = Out.size();
  Out.resize(Old + LogLinesBound(Size));
  char* End = FormatLogLines(Out.data() + Old, Ns, Conn, In, Bytes, Size);
  Out.resize(static_cast<size_t>(End - Out.data()));
}

bool TPduLog::Open(const std::string& Path, std::string& Error) {
  FFd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (FFd < 0) {
    Error = Path + ": " + std::strerror(errno);
    return false;
  }
  // The chunks a burst of a few hundred thousand PDUs fills, made and touched now, so that the
  // burst meets no page faults.
  for (size_t I = 0; I < kSpareChunks; ++I) {
    std::string C(kChunkBytes, '\0');
    C.clear();
    FSpare.push_back(std::move(C));
  }
  NextChunk();
  FWriter = std::thread([this] { WriterLoop(); });
  return true;
}

void TPduLog::NextChunk() {
  FFill = std::string();
  if (!FSpare.empty()) {
    FFill = std::move(FSpare.back());
    FSpare.pop_back();
  }
  FFill.clear();
  FFill.reserve(kChunkBytes);
}

void TPduLog::Write(int64_t Ns, uint32_t Conn, bool In, const uint8_t* Bytes, size_t Size) {
  std::unique_lock<std::mutex> Lock(LogLock);
  if (FFd < 0 || FClosed) return;
  // Far behind: wait until the writing thread has taken what piled up.
  if (FHeld >= kMostBehind) Changed.wait(Lock, [&] { return FHeld < kMostBehind || FStop; });
  // Only the bytes are copied here; the writing thread formats them (see WriterLoop).
  const TRecord R{Ns, Conn, static_cast<uint32_t>(Size), In};
  if (FFill.size() + sizeof R + Size > FFill.capacity() && !FFill.empty()) {
    FFull.push_back(std::move(FFill));
    NextChunk();
    FFill.reserve(std::max(kChunkBytes, sizeof R + Size));
  }
  FFill.append(reinterpret_cast<const char*>(&R), sizeof R);
  FFill.append(reinterpret_cast<const char*>(Bytes), Size);
  FHeld += sizeof R + Size;
  FAdded += sizeof R + Size;
  if (FHeld >= kHighWater) Changed.notify_all();
}

bool TPduLog::WriteOut(const std::string& Records) {
  // The lines of the whole chunk are formatted into one buffer (never larger than this bound),
  // which is written in one go.
  const size_t Bound = LogLinesBound(Records.size());
  if (FTextSize < Bound) {
    FText = std::make_unique_for_overwrite<char[]>(Bound);
    FTextSize = Bound;
  }
  char* W = FText.get();
  for (size_t At = 0; At + sizeof(TRecord) <= Records.size();) {
    TRecord R;
    std::memcpy(&R, Records.data() + At, sizeof R);
    At += sizeof R;
    W = FormatLogLines(W, R.Ns, R.Conn, R.In, reinterpret_cast<const uint8_t*>(Records.data() + At),
                       R.Size);
    At += R.Size;
  }
  const char* Text = FText.get();
  const size_t Length = static_cast<size_t>(W - Text);
  for (size_t At = 0; At < Length;) {
    const ssize_t N = ::write(FFd, Text + At, Length - At);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return false;
    At += static_cast<size_t>(N);
  }
  return true;
}

void TPduLog::WriterLoop() {
  // Writing the lines costs more than answering the PDUs (the text is twice the bytes, and the
  // file system copies it all): during a burst of traffic the records are held in memory and
  // written once it calms down, so that the log does not slow the answers. Calm: less than
  // kBurstBytes came in each of the last kCalmPeriods periods. The chunks are then written one at
  // a time, and a burst that starts meanwhile stops the writing again after the chunk. What
  // exceeds kHighWater is written whatever the traffic, and everything when the log closes.
  std::unique_lock<std::mutex> Lock(LogLock);
  uint64_t AddedBefore = FAdded;
  int CalmPeriods = 0;
  for (;;) {
    Changed.wait_for(Lock, kCalmPeriod, [&] { return FStop || FHeld >= kHighWater; });
    const bool Calm = FAdded - AddedBefore < kBurstBytes;
    AddedBefore = FAdded;
    CalmPeriods = Calm ? CalmPeriods + 1 : 0;
    if (!FStop && FHeld < kHighWater && CalmPeriods < kCalmPeriods) continue;
    if ((FStop || Calm) && !FFill.empty()) {
      FFull.push_back(std::move(FFill));
      NextChunk();
    }
    while (!FFull.empty()) {
      std::string Chunk = std::move(FFull.front());
      FFull.erase(FFull.begin());
      FHeld -= Chunk.size();
      const uint64_t AddedAtStart = FAdded;
      Lock.unlock();
      WriteOut(Chunk);
      Lock.lock();
      // Emptied chunks are kept for reuse (their pages are already there), a few of them.
      if (FSpare.size() < kSpareChunks) {
        Chunk.clear();
        FSpare.push_back(std::move(Chunk));
      }
      Changed.notify_all();
      if (!FStop && FHeld < kHighWater && FAdded - AddedAtStart >= kBurstBytes) {
        CalmPeriods = 0;  // traffic again: the rest waits for the next calm
        AddedBefore = FAdded;
        break;
      }
    }
    if (FStop && FFull.empty()) break;
  }
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
