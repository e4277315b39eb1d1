// TIcsBuffer: a fixed-size chunk of outgoing bytes with a write and a read position.
#include "net/IcsSockBuf.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

TIcsBuffer::TIcsBuffer(int32_t Size) {
  SetBufSize(Size);
}

void TIcsBuffer::SetBufSize(int32_t Size) {
  if (Size <= 0) Size = IcsDefaultBufSize;
  if (Size == FBufSize && FBuf) return;
  if (FWrCount == FRdCount) {
    // Empty: a fresh block, both counters back at the start.
    FBuf = std::make_unique<uint8_t[]>(static_cast<size_t>(Size));
    FBufSize = Size;
    FWrCount = 0;
    FRdCount = 0;
    return;
  }
  if (Size < FWrCount) {
    // Shrinking below the bytes held would cut data that has not been sent yet.
    throw std::invalid_argument("TIcsBuffer.SetBufSize: size below the bytes held");
  }
  auto NewBuf = std::make_unique<uint8_t[]>(static_cast<size_t>(Size));
  std::memcpy(NewBuf.get(), FBuf.get(), static_cast<size_t>(FWrCount));
  FBuf = std::move(NewBuf);
  FBufSize = Size;
}

int32_t TIcsBuffer::Write(const void* Data, int32_t Length) {
  const int32_t Room = FBufSize - FWrCount;
  if (Room <= 0 || Length <= 0) return 0;
  const int32_t N = std::min(Length, Room);
  std::memcpy(FBuf.get() + FWrCount, Data, static_cast<size_t>(N));
  FWrCount += N;
  return N;
}

const uint8_t* TIcsBuffer::Peek(int32_t& Count) const {
  Count = FWrCount - FRdCount;
  if (Count <= 0) {
    Count = 0;
    return nullptr;
  }
  return FBuf.get() + FRdCount;
}

int32_t TIcsBuffer::Remove(int32_t Length) {
  const int32_t Unread = FWrCount - FRdCount;
  if (Unread <= 0 || Length <= 0) return 0;
  const int32_t N = std::min(Length, Unread);
  FRdCount += N;
  if (FRdCount == FWrCount) {
    FRdCount = 0;
    FWrCount = 0;
  }
  return N;
}
