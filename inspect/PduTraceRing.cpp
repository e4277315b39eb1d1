// TPduTraceRing: the slots, each taking one PDU's bytes inline or in its own spill buffer.
#include "inspect/PduTraceRing.h"

#include <algorithm>
#include <cstring>

TPduTraceRing::TPduTraceRing(size_t Capacity, TWhenFull WhenFull)
    : FCapacity(std::max<size_t>(Capacity, 1)), FWhenFull(WhenFull), FSlots(new TSlot[FCapacity]) {}

void TPduTraceRing::Push(const TPduTraceEvent& Event) {
  const size_t Kept = std::min(Event.Length, kMaxBytes);
  std::unique_lock<std::mutex> Guard(FLock);
  if (FWhenFull == TWhenFull::wfWait) FRoom.wait(Guard, [this] { return FCount < FCapacity; });
  ++FPushed;
  size_t Index;
  if (FCount == FCapacity) {
    // Full: the oldest slot takes the new record, and the oldest moves on by one.
    Index = FHead;
    FHead = FHead + 1 == FCapacity ? 0 : FHead + 1;
    ++FDropped;
  } else {
    Index = FHead + FCount;
    if (Index >= FCapacity) Index -= FCapacity;
    ++FCount;
  }
  TSlot& Slot = FSlots[Index];
  Slot.Connection = Event.Connection;
  Slot.Direction = Event.Direction;
  Slot.Kind = Event.Kind;
  Slot.Endpoints = Event.Endpoints;
  Slot.MonotonicNs = Event.MonotonicNs;
  Slot.OriginalLength = Event.Length;
  Slot.Kept = Kept;
  if (Kept <= kInlineBytes) {
    if (Kept) std::memcpy(Slot.Inline, Event.Bytes, Kept);
  } else {
    Slot.Spill.assign(Event.Bytes, Event.Bytes + Kept);
  }
}

void TPduTraceRing::Drain(std::vector<TPduTraceRecord>& Out) {
  std::unique_lock<std::mutex> Guard(FLock);
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
    const uint8_t* From = Slot.Kept <= kInlineBytes ? Slot.Inline : Slot.Spill.data();
    R.Bytes.assign(From, From + Slot.Kept);
  }
  FHead = 0;
  FCount = 0;
  Guard.unlock();
  if (FWhenFull == TWhenFull::wfWait) FRoom.notify_all();
}

uint64_t TPduTraceRing::Pushed() const {
  std::lock_guard<std::mutex> Guard(FLock);
  return FPushed;
}

uint64_t TPduTraceRing::Dropped() const {
  std::lock_guard<std::mutex> Guard(FLock);
  return FDropped;
}
