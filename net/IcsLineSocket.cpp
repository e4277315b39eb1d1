// Line mode of the socket component (TIcsCustomLineSocket): the line buffer, the search for
// LineEnd and the delivery of each line, echo and interactive editing, and the final line at
// close.
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "net/IcsSocket.h"

namespace {

constexpr uint8_t Backspace = 8;
constexpr uint8_t Tab = 9;
constexpr int32_t LineBufferStep = 1024;

}  // namespace

TIcsCustomLineSocket::TIcsCustomLineSocket(TComponent* AOwner) : TIcsCustomSocket(AOwner) {}

TIcsCustomLineSocket::~TIcsCustomLineSocket() {
  FAlive->store(false);
  ReleaseWorker();
}

void TIcsCustomLineSocket::SetLineMode(bool Value) {
  FLineMode.store(Value);
}

std::string TIcsCustomLineSocket::LineEnd() const {
  std::lock_guard<std::mutex> Guard(LineLock);
  return FLineEnd;
}

void TIcsCustomLineSocket::SetLineEnd(const std::string& Value) {
  // The search compares LineEnd's bytes; an empty one would match everywhere and nowhere.
  if (Value.empty()) {
    RaiseException("LineEnd must not be empty");
    return;
  }
  std::lock_guard<std::mutex> Guard(LineLock);
  FLineEnd = Value;
}

void TIcsCustomLineSocket::SetLineLimit(int32_t Value) {
  if (Value < 1) {
    RaiseException("LineLimit must be at least 1");
    return;
  }
  FLineLimit.store(Value);
}

int32_t TIcsCustomLineSocket::LineLength() const {
  std::lock_guard<std::mutex> Guard(LineLock);
  return FLineLength;
}

int32_t TIcsCustomLineSocket::LineBufferCount() const {
  std::lock_guard<std::mutex> Guard(LineLock);
  return FLineBufferCount;
}

int32_t TIcsCustomLineSocket::LineBufferSize() const {
  std::lock_guard<std::mutex> Guard(LineLock);
  return FLineBufferSize;
}

void TIcsCustomLineSocket::GrowLineBuffer(int32_t Size) {
  if (Size <= FLineBufferSize) return;
  auto Bigger = std::make_unique<uint8_t[]>(Size);
  if (FLineBuffer) std::memcpy(Bigger.get(), FLineBuffer.get(), FLineBufferCount + 1);
  Bigger[FLineBufferCount] = 0;
  FLineBuffer = std::move(Bigger);
  FLineBufferSize = Size;
}

int32_t TIcsCustomLineSocket::Receive(void* Buffer, int32_t BufferSize) {
  if (!FLineMode.load()) return TIcsCustomSocket::Receive(Buffer, BufferSize);
  std::lock_guard<std::mutex> Guard(LineLock);
  const int32_t N = std::min(BufferSize, FLineLength);
  if (N <= 0) return 0;
  std::memcpy(Buffer, FLineBuffer.get(), N);
  return N;
}

std::string TIcsCustomLineSocket::ReceiveStr() {
  if (!FLineMode.load()) return TIcsCustomSocket::ReceiveStr();
  std::lock_guard<std::mutex> Guard(LineLock);
  if (FLineLength <= 0) return std::string();
  return std::string(reinterpret_cast<const char*>(FLineBuffer.get()), FLineLength);
}

int32_t TIcsCustomLineSocket::GetRcvdCount() {
  if (FLineMode.load()) return LineLength();
  const int32_t Os = TIcsCustomSocket::GetRcvdCount();
  const int32_t Held = LineBufferCount();
  if (Os >= 0) return Os + Held;
  return Held > 0 ? Held : Os;
}

bool TIcsCustomLineSocket::DeliverLine(std::unique_lock<std::mutex>& Lock, int32_t Length) {
  FLineLength = Length;
  const std::shared_ptr<std::atomic<bool>> Alive = FAlive;
  Lock.unlock();
  // The line is removed after the handler, whether it read it or not, and also when it throws
  // (the exception then goes on to the worker, which drops it).
  struct TRemove {
    TIcsCustomLineSocket* Self;
    std::unique_lock<std::mutex>& Lock;
    const std::shared_ptr<std::atomic<bool>>& Alive;
    int32_t Length;
    ~TRemove() {
      if (!Alive->load()) return;  // the handler destroyed the socket
      Lock.lock();
      if (Length >= Self->FLineBufferCount) {
        Self->FLineBufferCount = 0;
        if (Self->FLineBuffer) Self->FLineBuffer[0] = 0;
      } else {
        // The rest moves to the front together with the 0 byte that follows it.
        std::memmove(Self->FLineBuffer.get(), Self->FLineBuffer.get() + Length,
                     Self->FLineBufferCount - Length + 1);
        Self->FLineBufferCount -= Length;
      }
      Self->FLineLength = 0;
    }
  } Remove{this, Lock, Alive, Length};
  TIcsCustomSocket::TriggerDataAvailable(0);
  return Alive->load();
}

bool TIcsCustomLineSocket::TriggerDataAvailable(uint16_t ErrorCode) {
  if (!FLineMode.load()) return TIcsCustomSocket::TriggerDataAvailable(ErrorCode);
  std::unique_lock<std::mutex> Lock(LineLock);
  const int32_t Limit = FLineLimit.load();
  // Room for the read, one byte kept for the 0 that follows the held bytes. The buffer grows in
  // steps of 1024 bytes, but not past what the limit needs.
  int32_t Room = FLineBufferSize - FLineBufferCount - 1;
  if (Room < LineBufferStep - 1 && (FLineBufferSize < Limit + 1 || Room < 1)) {
    GrowLineBuffer(FLineBufferSize + LineBufferStep);
    Room = FLineBufferSize - FLineBufferCount - 1;
  }
  const int32_t Want = FLineBufferCount < Limit ? std::min(Room, Limit - FLineBufferCount) : Room;
  int32_t Len = TIcsCustomSocket::Receive(FLineBuffer.get() + FLineBufferCount, Want);
  if (Len <= 0) return true;
  FLineBuffer[FLineBufferCount + Len] = 0;
  if (FLineEdit.load())
    EditLine(Len);
  else if (FLineEcho.load())
    Send(FLineBuffer.get() + FLineBufferCount, Len);
  FLineBufferCount += Len;

  // Every complete line, from the start of the buffer each time (the handler may have changed
  // LineEnd); then, when the limit is reached without a LineEnd, all that is held as one line.
  for (;;) {
    const std::string& End = FLineEnd;
    const int32_t EndLen = static_cast<int32_t>(End.size());
    int32_t Found = -1;
    for (int32_t P = 0; P + EndLen <= FLineBufferCount; ++P) {
      if (std::memcmp(FLineBuffer.get() + P, End.data(), EndLen) == 0) {
        Found = P + EndLen;
        break;
      }
    }
    if (Found < 0 && FLineBufferCount >= FLineLimit.load()) Found = FLineBufferCount;
    if (Found < 0) break;
    if (!DeliverLine(Lock, Found)) return true;
  }
  return true;
}

void TIcsCustomLineSocket::EditLine(int32_t& Len) {
  const int32_t Held = FLineBufferCount;
  uint8_t* Buf = FLineBuffer.get();
  const bool Echo = FLineEcho.load();
  // The edited line is written to a work buffer from the first backspace or tab on; before that
  // the bytes stay where they are.
  std::vector<uint8_t> Work;
  bool Editing = false;
  int32_t J = Held;  // length of the edited line
  int32_t K = Held;  // lowest position editing has changed
  auto StartEditing = [&] {
    if (Editing) return;
    Editing = true;
    Work.reserve(((Held + Len + 256) / 256) * 256);
    Work.assign(Buf, Buf + J);
  };
  auto Put = [&](uint8_t C) {
    if (Editing) {
      if (static_cast<int32_t>(Work.size()) <= J) Work.resize(J + 1);
      Work[J] = C;
    }
    ++J;
  };
  for (int32_t I = 0; I < Len; ++I) {
    const uint8_t C = Buf[Held + I];
    if (C == Backspace) {
      StartEditing();
      if (J > 0) {
        if (Echo) Send("\b \b", 3);
        --J;
        K = std::min(K, J);
      }
    } else if (C == Tab) {
      StartEditing();
      do {
        Put(' ');
        if (Echo) Send(" ", 1);
      } while (J % 8 != 0);
    } else {
      if (Echo) Send(&C, 1);
      Put(C);
    }
  }
  if (!Editing) return;
  GrowLineBuffer(J + 1);
  std::memcpy(FLineBuffer.get(), Work.data(), J);
  FLineBuffer[J] = 0;
  FLineBufferCount = K;
  Len = J - K;
}

void TIcsCustomLineSocket::TriggerSessionClosed(uint16_t ErrorCode) {
  {
    std::unique_lock<std::mutex> Lock(LineLock);
    if (FLineBuffer && FLineMode.load() && FLineBufferCount > 0) {
      if (!DeliverLine(Lock, FLineBufferCount)) return;
    }
    FLineBuffer.reset();
    FLineBufferSize = 0;
    FLineBufferCount = 0;
  }
  TIcsCustomSocket::TriggerSessionClosed(ErrorCode);
}
