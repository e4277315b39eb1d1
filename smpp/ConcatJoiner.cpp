// TConcatJoiner: parts held by message until the last one comes, with age and count limits.
#include "smpp/ConcatJoiner.h"

#include <algorithm>

TConcatJoiner::TDropped TConcatJoiner::DroppedMessage(const TKey& Key, const TPending& P,
                                                      std::string Reason) {
  return TDropped{std::get<0>(Key), std::get<1>(Key), std::get<2>(Key),
                  std::get<3>(Key), P.Received,       std::move(Reason)};
}

void TConcatJoiner::Expire(TClock::time_point Now, std::vector<TDropped>& Dropped) {
  for (auto It = FMessages.begin(); It != FMessages.end();) {
    if (Now - It->second.First >= MaxAge) {
      Dropped.push_back(DroppedMessage(It->first, It->second, "held 10 minutes"));
      It = FMessages.erase(It);
    } else {
      ++It;
    }
  }
}

void TConcatJoiner::DropAll(const std::string& Reason, std::vector<TDropped>& Dropped) {
  for (const auto& [key, p] : FMessages) Dropped.push_back(DroppedMessage(key, p, Reason));
  FMessages.clear();
}

std::optional<TConcatJoiner::TJoined> TConcatJoiner::Add(
    std::string_view From, std::string_view To, const TConcatInfo& Concat, uint8_t DataCoding,
    std::string_view Octets, TClock::time_point Now, std::vector<TDropped>& Dropped) {
  Expire(Now, Dropped);
  if (Concat.Total == 0 || Concat.Seq == 0 || Concat.Seq > Concat.Total) return std::nullopt;
  const TKey Key{std::string(From), std::string(To), Concat.Reference, Concat.Total};
  auto It = FMessages.find(Key);
  if (It == FMessages.end()) {
    if (FMessages.size() >= MaxMessages) {
      // The oldest message gives way to the new one.
      auto Oldest = std::min_element(FMessages.begin(), FMessages.end(), [](auto& A, auto& B) {
        return A.second.First < B.second.First;
      });
      Dropped.push_back(
          DroppedMessage(Oldest->first, Oldest->second,
                         "more than " + std::to_string(MaxMessages) + " messages waiting"));
      FMessages.erase(Oldest);
    }
    TPending P;
    P.First = Now;
    P.DataCoding = DataCoding;
    P.Parts.resize(Concat.Total);
    It = FMessages.emplace(Key, std::move(P)).first;
  }
  TPending& P = It->second;
  std::optional<std::string>& Slot = P.Parts[Concat.Seq - 1];
  if (Slot) return std::nullopt;  // a part seen again
  Slot = std::string(Octets);
  if (++P.Received < P.Parts.size()) return std::nullopt;

  TJoined Joined{std::get<0>(Key), std::get<1>(Key), Concat.Reference,
                 Concat.Total,     P.DataCoding,     {}};
  for (const std::optional<std::string>& Part : P.Parts) Joined.Octets += *Part;
  FMessages.erase(It);
  return Joined;
}
