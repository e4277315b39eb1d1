// The submit rate of a load run: a token bucket with a cap per second, halved on throttling and
// climbing back.
#pragma once

#include <algorithm>

#include "load/LoadClock.h"

namespace load {

// A token bucket: at most Rate submits per second, spread evenly. The bucket holds a tenth of a
// second's worth (at least one), so a sender woken late catches up what it missed; a second cap
// keeps every second within 1% of the rate all the same: no more than 1.01 Rate submits in any
// 101 slots of 10 ms (which cover any second), so the catching up is spread too. Throttled halves
// the current rate (at most once per 200 ms, as the answers to a whole window of submits come back
// together); every 100 ms without a throttle the rate climbs back by a twentieth of its ceiling.
// Without a rate (0) the sender is unlimited until throttled; the ceiling is then the rate seen at
// that moment, and reaching it again lifts the limit. A sender that found the bucket dry waits
// for a millisecond's worth of tokens (or one message's, at low rates) and sends them together.
class TRateLimiter {
 public:
  // Each Take takes Submits tokens at once, one per submit of a message whose parts go together;
  // the rate never backs off below Submits per second, at which such a message still goes.
  explicit TRateLimiter(double Rate = 0, long Submits = 1)
      : FTarget(Rate), FRate(Rate), FSubmits(std::max(1L, Submits)) {}
  // How long to wait from Now before the next message may go; 0 means now, and its tokens are
  // taken.
  TMicros Take(TMicros Now) {
    long One = 1;
    return Take(Now, One);
  }
  // The same for up to Messages messages (at least 1) that go together: on 0, Messages is set to
  // how many may go now (at least one), and their tokens are taken.
  TMicros Take(TMicros Now, long& Messages);
  // A throttled (0x58) or queue-full (0x14) answer came at Now; SeenRate is the submits per second
  // of the last moments, the base for halving when there is no limit yet.
  void Throttled(TMicros Now, double SeenRate);
  double Rate() const { return FRate; }  // 0: unlimited
  long BackOffs() const { return FBackOffs; }

 private:
  void Recover(TMicros Now);

  double FTarget;       // the rate asked for; 0 unlimited
  double FRate;         // the rate now; 0 unlimited
  double FCeiling = 0;  // the rate to climb back to
  long FSubmits;        // tokens per Take
  double FTokens = 0;
  bool FDry = false;  // the last Take found too few tokens: the next waits for a batch
  static constexpr TMicros kBatchMicros = 1000;
  TMicros FLast = -1;          // last refill
  TMicros FLastThrottle = -1;  // last halving
  TMicros FLastRecover = -1;   // last step back up
  long FBackOffs = 0;
  // Submits per 10 ms slot over the last 101 slots, a ring indexed by slot number.
  static constexpr int kSlots = 101;
  static constexpr TMicros kSlotMicros = 10000;
  long FSlots[kSlots] = {};
  TMicros FSlot = 0;  // the newest slot in the ring
  long FInSlots = 0;  // their sum
};

}  // namespace load
