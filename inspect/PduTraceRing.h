// TPduTraceRing: a bounded store of traced PDUs between the client's threads, which push each PDU
// as it is sent or read, and one consumer (the capture writer, a view refreshed a few times a
// second), which drains them in order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "smpp/PduTrace.h"

// One traced PDU as the ring keeps it.
struct TPduTraceRecord {
  TPduConnection Connection = TPduConnection::pcRcx;
  TPduDirection Direction = TPduDirection::pdIn;
  TPduTraceKind Kind = TPduTraceKind::tkPdu;
  TTcpEndpoints Endpoints;  // tkOpened
  int64_t MonotonicNs = 0;
  // The PDU's length as traced; Bytes holds at most TPduTraceRing::kMaxBytes of it.
  size_t OriginalLength = 0;
  std::vector<uint8_t> Bytes;
};

class TPduTraceRing {
 public:
  // Bytes kept of one PDU at most (the longest PDU a connection takes is far shorter); the
  // rest is cut off, and OriginalLength still tells the whole length.
  static constexpr size_t kMaxBytes = 65536;
  static constexpr size_t kDefaultCapacity = 4096;
  // Room for the bytes of the records, per slot: a PDU of a load run is far shorter.
  static constexpr size_t kBytesPerSlot = 256;

  // What Push does when the ring is full (all its slots, or all the room for their bytes).
  //   wfDropOldest  the OLDEST records are dropped and counted: a live view that falls behind
  //                 then sees the latest traffic, which is what a tester looks at, and the count
  //                 tells how much is missing before it.
  //   wfWait        Push waits until the consumer has drained: nothing is lost, and a sender
  //                 faster than the consumer is slowed down to its pace (a capture file).
  enum class TWhenFull : uint8_t { wfDropOldest, wfWait };

  // Preallocates Capacity slots (at least one) and the room for their bytes: Capacity times
  // kBytesPerSlot, and at least twice kMaxBytes. Any thread.
  explicit TPduTraceRing(size_t Capacity = kDefaultCapacity,
                         TWhenFull WhenFull = TWhenFull::wfDropOldest);

  // Copies the event into the ring; when it is full, as WhenFull says. Never allocates. Any
  // thread; usable as the client's trace handler.
  void Push(const TPduTraceEvent& Event);

  // Takes every record held out of the ring, oldest first, into Out (resized to their number; the
  // byte buffers of records already in Out are reused), and wakes the producers that wait for
  // room. One consumer thread at a time; producers wait while the records are copied.
  void Drain(std::vector<TPduTraceRecord>& Out);

  // Counts since creation: every Push, and the records dropped to make room. Any thread.
  uint64_t Pushed() const;
  uint64_t Dropped() const;
  size_t Capacity() const { return FCapacity; }

 private:
  // One record; its bytes are Kept octets of FBytes from Offset on.
  struct TSlot {
    TPduConnection Connection;
    TPduDirection Direction;
    TPduTraceKind Kind;
    TTcpEndpoints Endpoints;
    int64_t MonotonicNs;
    size_t OriginalLength;
    size_t Offset;
    size_t Kept;
  };

  // Where Kept bytes of a new record go in FBytes, or FBytesSize when they do not fit until older
  // records leave. The records' bytes lie in FBytes in the records' order, wrapping round once:
  // from the oldest record's Offset to FTail, or from there to the end and from 0 to FTail. Under
  // FLock.
  size_t RoomFor(size_t Kept) const;
  void DropOldest();

  // A lock held for a few dozen nanoseconds by a push, so a spin lock: taking and releasing it
  // costs one atomic exchange and one store, about half of what a mutex costs, on every PDU of a
  // load run. A Drain holds it longer (while it copies out); a push that finds it taken yields
  // its processor between tries.
  class TSpinLock {
   public:
    void lock() noexcept;
    bool try_lock() noexcept { return !FTaken.exchange(true, std::memory_order_acquire); }
    void unlock() noexcept { FTaken.store(false, std::memory_order_release); }

   private:
    std::atomic<bool> FTaken{false};
  };

  const size_t FCapacity;
  const size_t FBytesSize;
  const TWhenFull FWhenFull;
  // Guards everything below: the slots and their bytes, where the oldest record is, how many are
  // held, where the next bytes go, and the counts. A leaf: nothing else is taken while it is held.
  mutable TSpinLock FLock;
  // A full ring's producers (wfWait) wait on FRoom under FWaitLock until FDrains, the number of
  // drains so far, moves on. Drain counts under FLock and takes FWaitLock before it signals, so
  // that a producer that saw the ring full cannot miss the signal.
  std::mutex FWaitLock;
  std::condition_variable FRoom;
  std::atomic<uint64_t> FDrains{0};
  std::unique_ptr<TSlot[]> FSlots;
  std::unique_ptr<uint8_t[]> FBytes;
  size_t FHead = 0;
  size_t FCount = 0;
  size_t FTail = 0;
  uint64_t FPushed = 0;
  uint64_t FDropped = 0;
};
