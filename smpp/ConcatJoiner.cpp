// TConcatJoiner: parts held by message until the last one comes, with age and count limits.
#include "smpp/ConcatJoiner.h"

#include <algorithm>

TConcatJoiner::TDropped TConcatJoiner::Dropped(const TKey& key, const TPending& p,
                                               std::string reason) {
  return TDropped{std::get<0>(key), std::get<1>(key), std::get<2>(key),
                  std::get<3>(key), p.Received,       std::move(reason)};
}

void TConcatJoiner::Expire(TClock::time_point now, std::vector<TDropped>& dropped) {
  for (auto it = FMessages.begin(); it != FMessages.end();) {
    if (now - it->second.First >= MaxAge) {
      dropped.push_back(Dropped(it->first, it->second, "held 10 minutes"));
      it = FMessages.erase(it);
    } else {
      ++it;
    }
  }
}

void TConcatJoiner::DropAll(const std::string& reason, std::vector<TDropped>& dropped) {
  for (const auto& [key, p] : FMessages) dropped.push_back(Dropped(key, p, reason));
  FMessages.clear();
}

std::optional<TConcatJoiner::TJoined> TConcatJoiner::Add(
    std::string_view from, std::string_view to, const TConcatInfo& concat, uint8_t dataCoding,
    std::string_view octets, TClock::time_point now, std::vector<TDropped>& dropped) {
  Expire(now, dropped);
  if (concat.Total == 0 || concat.Seq == 0 || concat.Seq > concat.Total) return std::nullopt;
  const TKey key{std::string(from), std::string(to), concat.Reference, concat.Total};
  auto it = FMessages.find(key);
  if (it == FMessages.end()) {
    if (FMessages.size() >= MaxMessages) {
      // The oldest message gives way to the new one.
      auto oldest = std::min_element(FMessages.begin(), FMessages.end(), [](auto& a, auto& b) {
        return a.second.First < b.second.First;
      });
      dropped.push_back(Dropped(oldest->first, oldest->second,
                                "more than " + std::to_string(MaxMessages) + " messages waiting"));
      FMessages.erase(oldest);
    }
    TPending p;
    p.First = now;
    p.DataCoding = dataCoding;
    p.Parts.resize(concat.Total);
    it = FMessages.emplace(key, std::move(p)).first;
  }
  TPending& p = it->second;
  std::optional<std::string>& slot = p.Parts[concat.Seq - 1];
  if (slot) return std::nullopt;  // a part seen again
  slot = std::string(octets);
  if (++p.Received < p.Parts.size()) return std::nullopt;

  TJoined joined{std::get<0>(key), std::get<1>(key), concat.Reference,
                 concat.Total,     p.DataCoding,     {}};
  for (const std::optional<std::string>& part : p.Parts) joined.Octets += *part;
  FMessages.erase(it);
  return joined;
}
