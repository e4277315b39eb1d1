// Varied traffic for a load run: the destination of each message (one fixed address or list, a
// range of numbers, or a file of them; in order or at random) and its text (a template with a
// counter and random characters). Pure and cheap: no sockets, threads or heap allocation per
// message once the caller's string has grown to its size.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace load {

// A small fast random source (xoshiro256**), seeded through splitmix64 so that any seed, 0
// included, gives a good state. The same seed gives the same sequence on every machine. Not
// thread-safe: each thread holds its own, or the run holds one under its lock. It meets the
// standard's uniform random bit generator requirements, so std distributions take it too.
class TRandom {
 public:
  using result_type = uint64_t;
  explicit TRandom(uint64_t Seed = 0);
  static constexpr result_type min() { return 0; }
  static constexpr result_type max() { return ~result_type(0); }
  result_type operator()() {
    const uint64_t Result = Rotl(FS[1] * 5, 7) * 9;
    const uint64_t T = FS[1] << 17;
    FS[2] ^= FS[0];
    FS[3] ^= FS[1];
    FS[1] ^= FS[2];
    FS[0] ^= FS[3];
    FS[2] ^= T;
    FS[3] = Rotl(FS[3], 45);
    return Result;
  }

 private:
  static uint64_t Rotl(uint64_t X, int K) { return (X << K) | (X >> (64 - K)); }
  uint64_t FS[4];
};

// The order in which the numbers of a range or file are used.
enum class TDestinationOrder {
  InOrder,  // the first to the last, then from the first again
  Random,   // each message an independent, uniform pick among them
};

// What the user gave. At most one of Destination, Range and File; the caller leaves the others
// empty (nullopt), so that a default destination is the caller's to fill in when none is given.
struct TDestinationsOptions {
  std::optional<std::string> Destination;  // --destination: one address, or a comma list
  std::optional<std::string> Range;        // --destination-range FIRST-LAST
  std::optional<std::string> File;         // --destination-file PATH
  TDestinationOrder Order = TDestinationOrder::InOrder;
  uint64_t Seed = 0;  // for the random order
};

// The destination of every message of a run. Parsed once before the run; afterwards only const
// calls, so any number of threads may share one without a lock.
class TDestinations {
 public:
  // The longest address a range or file may give (the SMPP destination_addr field).
  static constexpr size_t kMaxAddress = 20;

  // Reads the options (and the file, if one is given) into Out. On a bad input, returns false
  // with Error a sentence naming the option and what is wrong (a file's line by number); Out is
  // then left as it was. Call before the run, on any thread.
  static bool Parse(const TDestinationsOptions& O, TDestinations& Out, std::string& Error);

  // Writes the destination of message N of the run (0-based) into Out, replacing its content.
  // In order, N picks the number N modulo Size(); at random, a hash of the seed and N does, so the
  // destination of a message depends on nothing but N: binds on several threads share one object
  // without a lock, and a message resent after a reconnect keeps its destination. Allocates only
  // while Out grows to kMaxAddress (or to a fixed list's length). Any thread.
  void At(uint64_t N, std::string& Out) const;

  // The numbers in the range or file; 1 for a fixed destination.
  uint64_t Size() const { return FSize; }
  // The addresses one message goes to: for a fixed comma list, its pieces with something other
  // than spaces in them (a submit_multi); else 1.
  long AddressesPerMessage() const { return FAddresses; }
  // Whether every message goes to the same destination (a fixed one, or a range or file of one).
  bool IsFixed() const { return FSize == 1; }

 private:
  enum class TKind { Fixed, Range, List };
  uint64_t Pick(uint64_t N) const;

  TKind FKind = TKind::Fixed;
  TDestinationOrder FOrder = TDestinationOrder::InOrder;
  uint64_t FSeed = 0;
  uint64_t FSize = 1;
  // Random picks below this value are drawn again, so that every number is exactly as likely.
  uint64_t FRejectBelow = 0;
  long FAddresses = 1;
  std::string FFixed;  // Fixed: the destination as given
  // Range: the first number, split in two as FirstHigh * 10^19 + FirstLow so that twenty digits
  // fit, and the width to pad to with leading zeros (the first number's own).
  uint64_t FFirstHigh = 0, FFirstLow = 0;
  size_t FWidth = 0;
  // List: every address one after the other in FBlob; address I runs from FStarts[I] to
  // FStarts[I + 1].
  std::string FBlob;
  std::vector<uint32_t> FStarts;
};

// The text of every message: a template in which {n} is the message's number in the run (from
// 1), {rand:N} is N random characters of A-Z, a-z and 0-9 (N from 1 to 1000), and {{ and }} are
// literal braces. The rest is kept byte for byte. Placeholders expand to ASCII letters and digits
// only, which every coding (gsm, latin1, ucs2, bytes) carries as one character each, so the
// expansion can be coded whenever the template's own characters can. Parsed once; afterwards only
// const calls, which any thread may make.
class TTextTemplate {
 public:
  static constexpr long kMaxRandom = 1000;

  // Reads Text into Out. Anything else in braces, an unclosed '{' or a lone '}' is refused with
  // Error saying what and at which character (counted from 1, a UTF-8 character as one); Out is
  // then left as it was.
  static bool Parse(std::string_view Text, TTextTemplate& Out, std::string& Error);

  // Writes the text of message N of the run (0-based: {n} gives N + 1) into Out, replacing its
  // content, with random characters drawn from R. Allocates only while Out grows.
  void Expand(uint64_t N, std::string& Out, TRandom& R) const;

  // An expansion as long, in characters of every coding, as that of any message numbered up to
  // MaxN ({n} at most MaxN; 0 for a run without a count, where {n} can take 20 digits). The run
  // codes and cuts it once to learn the most parts a message can take.
  std::string Longest(uint64_t MaxN) const;

  // Whether the text has no placeholder: every message gets the same text (with {{ and }} read as
  // single braces), which the run may code once.
  bool IsFixed() const { return FFixed; }

 private:
  // A piece of the template: literal bytes of FLiterals, the counter, or random characters.
  struct TPiece {
    enum class TKind : uint8_t { Literal, Counter, Random } Kind;
    uint32_t Start = 0;   // Literal: where in FLiterals
    uint32_t Length = 0;  // Literal: its bytes; Random: its characters
  };
  std::string FLiterals;
  std::vector<TPiece> FPieces;
  bool FFixed = true;
};

// What each message of a run goes to and says: fixed, or varied message by message. The front
// end parses Where into Destinations and the text into Text, then hands Vary to the run.
struct TTraffic {
  TDestinationsOptions Where;
  TDestinations Destinations;
  TTextTemplate Text;
  uint64_t Seed = 0;
  // The text as long as any of Count messages can make it (Count 0: a run for a duration).
  std::string LongestText(long Count) const { return Text.Longest(static_cast<uint64_t>(Count)); }
  long AddressesPerMessage() const { return Destinations.AddressesPerMessage(); }
  // The destination and text of message N (1-based), or nothing when every message is alike.
  std::function<void(uint64_t, std::string&, std::string&)> Vary() const {
    if (Destinations.IsFixed() && Text.IsFixed()) return {};
    return [D = Destinations, T = Text, R = TRandom(Seed)](uint64_t N, std::string& Destination,
                                                           std::string& Text) mutable {
      D.At(N - 1, Destination);
      T.Expand(N - 1, Text, R);
    };
  }
};

}  // namespace load
