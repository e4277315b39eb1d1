// The delivery receipts of one bind on their way from its receiving connection's thread to the
// thread that counts them: a ring with one producer and one consumer at a time, no lock and no
// allocation per receipt.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "smpp/smpppdu.h"

namespace load {

// One receipt as the matcher needs it. A state word and an err text are counted by their first
// kWordLength characters (ReceiptStateWord), so nothing beyond those is kept.
// The source_addr (the destination reported on) is kept up to the length an address has.
struct TRingReceipt {
  static constexpr size_t kWordLength = 16;
  static constexpr size_t kSourceLength = 21;
  int64_t ReadNs = 0;
  uint8_t IdLength = 0, StateLength = 0, ErrorLength = 0, SourceLength = 0;
  bool Notification = false;  // an intermediate notification (esm_class type 0x20)
  char Id[kMaxMessageIdLength];
  char State[kWordLength], Error[kWordLength];
  char Source[kSourceLength];
  std::string_view IdView() const { return {Id, IdLength}; }
  std::string_view StateView() const { return {State, StateLength}; }
  std::string_view ErrorView() const { return {Error, ErrorLength}; }
  std::string_view SourceView() const { return {Source, SourceLength}; }
};

class TReceiptRing {
 public:
  // Capacity is rounded up to a power of two.
  explicit TReceiptRing(size_t Capacity) {
    size_t C = 1;
    while (C < Capacity) C <<= 1;
    FMask = C - 1;
    FSlots = std::make_unique<TRingReceipt[]>(C);
  }

  // The producer, one thread at a time: false when the ring is full or the id is longer than a
  // slot holds; the caller then counts the receipt itself.
  bool Push(std::string_view Id, std::string_view State, std::string_view Error, int64_t ReadNs,
            std::string_view Source = {}, bool Notification = false) {
    if (Id.size() > kMaxMessageIdLength) return false;
    const size_t Tail = FTail.load(std::memory_order_relaxed);
    // Acquire: the consumer has finished reading the slot it freed.
    if (Tail - FHead.load(std::memory_order_acquire) > FMask) return false;
    TRingReceipt& R = FSlots[Tail & FMask];
    R.ReadNs = ReadNs;
    R.IdLength = static_cast<uint8_t>(Id.size());
    R.StateLength = static_cast<uint8_t>(std::min(State.size(), TRingReceipt::kWordLength));
    R.ErrorLength = static_cast<uint8_t>(std::min(Error.size(), TRingReceipt::kWordLength));
    R.SourceLength = static_cast<uint8_t>(std::min(Source.size(), TRingReceipt::kSourceLength));
    R.Notification = Notification;
    std::memcpy(R.Id, Id.data(), R.IdLength);
    std::memcpy(R.State, State.data(), R.StateLength);
    std::memcpy(R.Error, Error.data(), R.ErrorLength);
    if (R.SourceLength) std::memcpy(R.Source, Source.data(), R.SourceLength);
    // Release: a consumer that sees the new tail sees the slot whole.
    FTail.store(Tail + 1, std::memory_order_release);
    return true;
  }

  // The consumer, one thread at a time (the callers serialise under a lock of their own): hands
  // the receipts in the ring to Take, in the order pushed, until Take gives false for one; that
  // one and those after it stay in the ring.
  template <typename TTake>
  void DrainWhile(TTake&& Take) {
    size_t Head = FHead.load(std::memory_order_relaxed);
    const size_t Tail = FTail.load(std::memory_order_acquire);
    if (Head == Tail) return;
    while (Head != Tail && Take(static_cast<const TRingReceipt&>(FSlots[Head & FMask]))) ++Head;
    FHead.store(Head, std::memory_order_release);
  }
  // Every receipt in the ring to Each.
  template <typename TEach>
  void Drain(TEach&& Each) {
    DrainWhile([&](const TRingReceipt& R) {
      Each(R);
      return true;
    });
  }

  // Any thread; a hint unless called by the producer or the consumer.
  bool Empty() const {
    return FHead.load(std::memory_order_acquire) == FTail.load(std::memory_order_acquire);
  }

 private:
  size_t FMask = 0;
  std::unique_ptr<TRingReceipt[]> FSlots;
  // FTail is written by the producer only, FHead by the consumer only; apart, so that the two
  // threads do not share a cache line for them.
  alignas(64) std::atomic<size_t> FHead{0};
  alignas(64) std::atomic<size_t> FTail{0};
};

}  // namespace load
