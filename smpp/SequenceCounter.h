// TSequenceCounter: the source of SMPP sequence numbers for every request a client sends.
#pragma once

#include <atomic>
#include <cstdint>

// One counter per client component, shared by both connections. It starts at 0, so a new client
// numbers its requests 1, 2, 3, ...; once it holds 0xFFFFFFFA or more the next number is 3. It is
// never reset by connecting, disconnecting or reconnecting.
//
// Threads: every operation may be called from any thread at any time. Next() advances and reads the
// value in one atomic step, so two threads drawing numbers at once never get the same one.
class TSequenceCounter {
 public:
  // The highest number handed out before the counter wraps back to 3.
  static constexpr uint32_t kWrapAt = 0xFFFFFFFAu;
  static constexpr uint32_t kAfterWrap = 3;

  // Advances the counter and returns its new value, the sequence number to put on the wire.
  uint32_t Next() noexcept;
  // The value last handed out (0 for a new counter).
  uint32_t Value() const noexcept { return FValue.load(std::memory_order_relaxed); }
  // Sets the value that the next Next() advances from.
  void SetValue(uint32_t Value) noexcept { FValue.store(Value, std::memory_order_relaxed); }

 private:
  // Written by every thread that encodes a request; atomic for that reason.
  std::atomic<uint32_t> FValue{0};
};
