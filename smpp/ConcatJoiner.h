// TConcatJoiner: joins the parts of concatenated messages received one by one (tied by a user data
// header or by SAR values) into whole messages, holding incomplete ones for a bounded time and in
// bounded number.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "smpp/LongMessage.h"

// Parts may come in any order and more than once (a part seen again is ignored). A message is
// identified by its originator, its recipient, its reference and its part count. Incomplete
// messages are held at most MaxAge and at most MaxMessages at once; past either limit they are
// dropped and reported as such, never silently.
//
// Threads: not thread-safe; one thread uses an object, or its owner serialises the calls.
class TConcatJoiner {
 public:
  using TClock = std::chrono::steady_clock;
  static constexpr std::chrono::minutes MaxAge{10};
  static constexpr size_t MaxMessages = 1000;

  // A whole message: the parts' octets, in part order.
  struct TJoined {
    std::string From, To;
    uint16_t Reference = 0;
    uint8_t Total = 0;
    uint8_t DataCoding = 0;  // the first part's
    std::string Octets;
  };
  // A message given up: how many of its parts had come, and why.
  struct TDropped {
    std::string From, To;
    uint16_t Reference = 0;
    uint8_t Total = 0;
    size_t Received = 0;
    std::string Reason;
  };

  // Takes one part (Concat.Total not 0, 1 <= Concat.Seq <= Concat.Total). Gives the message when
  // this part completes it. Messages past their age, or the oldest one when a new message finds
  // MaxMessages held, are appended to Dropped.
  std::optional<TJoined> Add(std::string_view From, std::string_view To, const TConcatInfo& Concat,
                             uint8_t DataCoding, std::string_view Octets, TClock::time_point Now,
                             std::vector<TDropped>& Dropped);
  // Drops the messages held longer than MaxAge.
  void Expire(TClock::time_point Now, std::vector<TDropped>& Dropped);
  // Drops every message held, with this reason (for example at the end of a run).
  void DropAll(const std::string& Reason, std::vector<TDropped>& Dropped);
  size_t Pending() const noexcept { return FMessages.size(); }

 private:
  using TKey = std::tuple<std::string, std::string, uint16_t, uint8_t>;
  struct TPending {
    TClock::time_point First;
    uint8_t DataCoding = 0;
    std::vector<std::optional<std::string>> Parts;
    size_t Received = 0;
  };
  static TDropped DroppedMessage(const TKey& Key, const TPending& P, std::string Reason);

  std::map<TKey, TPending> FMessages;
};
