// Tests of joining received parts: any order, parts seen twice, messages kept apart, and the age
// and count limits that drop incomplete messages with a reason.
#include "smpp/ConcatJoiner.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using TClock = TConcatJoiner::TClock;

TEST(ConcatJoiner, JoinsPartsInAnyOrderAndKeepsMessagesApart) {
  TConcatJoiner j;
  std::vector<TConcatJoiner::TDropped> dropped;
  const TClock::time_point t = TClock::now();
  struct Step {
    const char* From;
    uint16_t Ref;
    uint8_t Total, Seq;
    const char* Octets;
    const char* Joined;  // nullptr: no message completed
  };
  const Step steps[] = {
      {"111", 5, 3, 3, "C", nullptr},     {"111", 5, 3, 1, "A", nullptr},
      {"222", 5, 3, 2, "x", nullptr},    // another originator, same reference
      {"111", 6, 3, 2, "y", nullptr},    // another reference
      {"111", 5, 2, 2, "z", nullptr},    // another part count
      {"111", 5, 3, 1, "A2", nullptr},   // seen again: ignored
      {"111", 5, 3, 0, "bad", nullptr},  // no such part
      {"111", 5, 3, 4, "bad", nullptr},   {"111", 5, 3, 2, "B", "ABC"},
      {"111", 5, 3, 1, "again", nullptr},  // a new message with the same key starts afresh
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.Octets);
    const auto joined =
        j.Add(s.From, "555", TConcatInfo{s.Ref, s.Total, s.Seq}, 8, s.Octets, t, dropped);
    ASSERT_EQ(joined.has_value(), s.Joined != nullptr);
    if (joined) {
      EXPECT_EQ(joined->Octets, s.Joined);
      EXPECT_EQ(joined->From, "111");
      EXPECT_EQ(joined->To, "555");
      EXPECT_EQ(joined->Total, 3);
      EXPECT_EQ(joined->DataCoding, 8);
    }
  }
  EXPECT_EQ(j.Pending(), 4u);
  EXPECT_TRUE(dropped.empty());
}

TEST(ConcatJoiner, DropsWhatIsHeldTooLongOrTooMany) {
  TConcatJoiner j;
  std::vector<TConcatJoiner::TDropped> dropped;
  const TClock::time_point t = TClock::now();
  j.Add("1", "2", {7, 2, 1}, 0, "a", t, dropped);
  j.Expire(t + TConcatJoiner::MaxAge - 1s, dropped);
  EXPECT_TRUE(dropped.empty());
  j.Expire(t + TConcatJoiner::MaxAge, dropped);
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_EQ(dropped[0].Reference, 7);
  EXPECT_EQ(dropped[0].Received, 1u);
  EXPECT_EQ(dropped[0].Reason, "held 10 minutes");
  // Its late last part starts a new message rather than completing the dropped one.
  EXPECT_FALSE(j.Add("1", "2", {7, 2, 2}, 0, "b", t + TConcatJoiner::MaxAge, dropped));

  dropped.clear();
  TConcatJoiner many;
  for (uint16_t r = 0; r < TConcatJoiner::MaxMessages; ++r)
    many.Add("1", "2", {r, 2, 1}, 0, "a", t + std::chrono::milliseconds(r), dropped);
  EXPECT_TRUE(dropped.empty());
  many.Add("1", "2", {5000, 2, 1}, 0, "a", t + 1s, dropped);
  EXPECT_EQ(many.Pending(), TConcatJoiner::MaxMessages);
  ASSERT_EQ(dropped.size(), 1001u - TConcatJoiner::MaxMessages);
  EXPECT_EQ(dropped[0].Reference, 0);  // the oldest
  EXPECT_EQ(dropped[0].Reason, "more than 1000 messages waiting");

  dropped.clear();
  many.DropAll("the run ended", dropped);
  EXPECT_EQ(dropped.size(), TConcatJoiner::MaxMessages);
  EXPECT_EQ(many.Pending(), 0u);
}

}  // namespace
