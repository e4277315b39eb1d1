// TConcatJoiner: parts held by message until the last one comes, with age and count limits.
#include "smpp/ConcatJoiner.h"

#include <algorithm>

TConcatJoiner::TDropped TConcatJoiner::Dropped(const TKey& key, const TPending& p,
                                               std::string reason) {
  return TDropped{std::get<0>(key), std::get<1>(key), std::get<2>(key),
                  std::get<3>(key), p.Received,       std::move(reason)};
}

void TConcatJoiner::Expire(TClock::time_point now, std::vector<TDropped>& dropped) {
  for (auto it = Messages_.begin(); it != Messages_.end();) {
    if (now - it->second.First >= MaxAge) {
      dropped.push_back(Dropped(it->first, it->second, "held 10 minutes"));
      it = Messages_.erase(it);
    } else {
      ++it;
    }
  }
}

void TConcatJoiner::DropAll(const std::string& reason, std::vector<TDropped>& dropped) {
  for (const auto& [key, p] : Messages_) dropped.push_back(Dropped(key, p, reason));
  Messages_.clear();
}

std::optional<TConcatJoiner::TJoined> TConcatJoiner::Add(
    std::string_view from, std::string_view to, const TConcatInfo& concat, uint8_t dataCoding,
    std::string_view octets, TClock::time_point now, std::vector<TDropped>& dropped) {
  Expire(now, dropped);
  if (concat.Total == 0 || concat.Seq == 0 || concat.Seq > concat.Total) return std::nullopt;
  const TKey key{std::string(from), std::string(to), concat.Reference, concat.Total};
  auto it = Messages_.find(key);
  if (it == Messages_.end()) {
    if (Messages_.size() >= MaxMessages) {
      // The oldest message gives way to the new one.
      auto oldest = std::min_element(Messages_.begin(), Messages_.end(), [](auto& a, auto& b) {
        return a.second.First < b.second.First;
      });
      dropped.push_back(Dropped(oldest->first, oldest->second,
                                "more than " + std::to_string(MaxMessages) + " messages waiting"));
      Messages_.erase(oldest);
    }
    TPending p;
    p.First = now;
    p.DataCoding = dataCoding;
    p.Parts.resize(concat.Total);
    it = Messages_.emplace(key, std::move(p)).first;
  }
  TPending& p = it->second;
  std::optional<std::string>& slot = p.Parts[concat.Seq - 1];
  if (slot) return std::nullopt;  // a part seen again
  slot = std::string(octets);
  if (++p.Received < p.Parts.size()) return std::nullopt;

  TJoined joined{std::get<0>(key), std::get<1>(key), concat.Reference,
                 concat.Total,     p.DataCoding,     {}};
  for (const std::optional<std::string>& part : p.Parts) joined.Octets += *part;
  Messages_.erase(it);
  return joined;
}
