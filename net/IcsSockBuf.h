// TIcsBuffer: one fixed-size chunk of outgoing bytes. The worker thread keeps an ordered list of
// them as its send buffer, appends to the last chunk and writes from the first.
#pragma once

#include <cstdint>
#include <memory>

// Size of a chunk when none (or a size of 0 or less) is given: one Ethernet frame.
constexpr int32_t IcsDefaultBufSize = 1514;

// A straight (not circular) buffer: bytes are written at WrCount and taken out from RdCount;
// space before RdCount is reused only once the chunk has been emptied, when both counters return
// to 0. Invariant: 0 <= RdCount <= WrCount <= BufSize.
//
// A chunk has no lock of its own: the owner (the worker's buffer lock) serialises every use.
class TIcsBuffer {
 public:
  // Both counters 0, then SetBufSize(Size).
  explicit TIcsBuffer(int32_t Size = IcsDefaultBufSize);

  TIcsBuffer(const TIcsBuffer&) = delete;
  TIcsBuffer& operator=(const TIcsBuffer&) = delete;

  // Changes the block size; 0 or less means 1514, the current size does nothing. An empty chunk
  // gets a fresh block (counters back to 0); a chunk holding bytes keeps its first WrCount bytes.
  // A size below WrCount would cut bytes off, so it throws std::invalid_argument and leaves the
  // chunk unchanged.
  void SetBufSize(int32_t Size);

  // Appends up to Length bytes from Data, as many as there is room for; returns how many (0 when
  // the chunk is full or Length is 0 or less).
  int32_t Write(const void* Data, int32_t Length);

  // The unread bytes: returns their address and sets Count to their number; returns null with
  // Count 0 when there are none.
  const uint8_t* Peek(int32_t& Count) const;

  // Marks up to Length unread bytes as taken out and returns how many; an emptied chunk returns
  // both counters to 0.
  int32_t Remove(int32_t Length);

  int32_t BufSize() const { return FBufSize; }
  int32_t WrCount() const { return FWrCount; }
  int32_t RdCount() const { return FRdCount; }
  const uint8_t* Buf() const { return FBuf.get(); }

 private:
  std::unique_ptr<uint8_t[]> FBuf;
  int32_t FBufSize = 0;
  int32_t FWrCount = 0;
  int32_t FRdCount = 0;
};
