// TPduTraceRing: fixed slots for the records, and one circular run of bytes that holds their PDUs
// packed one after the other, so that pushing a short PDU touches only a cache line or two.
#include "inspect/PduTraceRing.h"

#include <algorithm>
#include <cstring>
#include <thread>

TPduTraceRing::TPduTraceRing(size_t Capacity, TWhenFull WhenFull)
    : FCapacity(std::max<size_t>(Capacity, 1)),
      FBytesSize(std::max(FCapacity * kBytesPerSlot, 2 * kMaxBytes)),
      FWhenFull(WhenFull),
      FSlots(new TSlot[FCapacity]),
      FBytes(new uint8_t[FBytesSize]) {}

size_t TPduTraceRing::RoomFor(size_t Kept) const {
  if (FCount == FCapacity) return FBytesSize;
  if (FCount == 0) return 0;
  const size_t Oldest = FSlots[FHead].Offset;
  if (FTail >= Oldest) {
    // Not wrapped: free from the tail to the end, and from 0 up to the oldest record's bytes
    // (never up to them exactly, which would look like nothing in use).
    if (FTail + Kept <= FBytesSize) return FTail;
    return Kept < Oldest ? 0 : FBytesSize;
  }
  return FTail + Kept < Oldest ? FTail : FBytesSize;
}

void TPduTraceRing::DropOldest() {
  FHead = FHead + 1 == FCapacity ? 0 : FHead + 1;
  --FCount;
  ++FDropped;
}

void TPduTraceRing::TSpinLock::lock() noexcept {
  while (!try_lock())
    while (FTaken.load(std::memory_order_relaxed)) std::this_thread::yield();
}

void TPduTraceRing::Push(const TPduTraceEvent& Event) {
  const size_t Kept = std::min(Event.Length, kMaxBytes);
  std::unique_lock<TSpinLock> Guard(FLock);
  size_t At;
  while ((At = RoomFor(Kept)) == FBytesSize) {
    if (FWhenFull == TWhenFull::wfDropOldest) {
      DropOldest();
      continue;
    }
    const uint64_t Seen = FDrains.load();
    Guard.unlock();
    {
      std::unique_lock<std::mutex> Wait(FWaitLock);
      FRoom.wait(Wait, [&] { return FDrains.load() != Seen; });
    }
    Guard.lock();
  }
  ++FPushed;
  size_t Index = FHead + FCount;
  if (Index >= FCapacity) Index -= FCapacity;
  ++FCount;
  TSlot& Slot = FSlots[Index];
  Slot.Connection = Event.Connection;
  Slot.Direction = Event.Direction;
  Slot.Kind = Event.Kind;
  Slot.Endpoints = Event.Endpoints;
  Slot.MonotonicNs = Event.MonotonicNs;
  Slot.OriginalLength = Event.Length;
  Slot.Offset = At;
  Slot.Kept = Kept;
  if (Kept) std::memcpy(FBytes.get() + At, Event.Bytes, Kept);
  FTail = At + Kept;
}

void TPduTraceRing::Drain(std::vector<TPduTraceRecord>& Out) {
  std::unique_lock<TSpinLock> Guard(FLock);
  Out.resize(FCount);
  for (size_t I = 0; I < FCount; ++I) {
    size_t Index = FHead + I;
    if (Index >= FCapacity) Index -= FCapacity;
    const TSlot& Slot = FSlots[Index];
    TPduTraceRecord& R = Out[I];
    R.Connection = Slot.Connection;
    R.Direction = Slot.Direction;
    R.Kind = Slot.Kind;
    R.Endpoints = Slot.Endpoints;
    R.MonotonicNs = Slot.MonotonicNs;
    R.OriginalLength = Slot.OriginalLength;
    const uint8_t* From = FBytes.get() + Slot.Offset;
    R.Bytes.assign(From, From + Slot.Kept);
  }
  FHead = 0;
  FCount = 0;
  FTail = 0;
  FDrains.fetch_add(1);
  Guard.unlock();
  if (FWhenFull == TWhenFull::wfWait) {
    // Taken and released before the signal: a producer between its look at FDrains and its wait
    // holds FWaitLock, so the signal cannot fall between the two.
    { std::lock_guard<std::mutex> Wait(FWaitLock); }
    FRoom.notify_all();
  }
}

uint64_t TPduTraceRing::Pushed() const {
  std::lock_guard<TSpinLock> Guard(FLock);
  return FPushed;
}

uint64_t TPduTraceRing::Dropped() const {
  std::lock_guard<TSpinLock> Guard(FLock);
  return FDropped;
}
