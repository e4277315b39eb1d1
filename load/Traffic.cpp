// Varied traffic: parsing destinations and text templates once, and giving each message its
// destination and text without allocating.
#include "load/Traffic.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "smpp/ReportText.h"

namespace load {

namespace {

constexpr uint64_t kGamma = 0x9e3779b97f4a7c15ULL;  // splitmix64's step
// The random order mixes the seed with this first, so that its picks are not the numbers that
// seed a TRandom of the same seed.
constexpr uint64_t kOrderSalt = 0x5ca1ab1e0ddba11ULL;
constexpr uint64_t kE18 = 1000000000000000000ULL;

// splitmix64's output function: a bijection of 64 bits whose every output bit depends on every
// input bit.
uint64_t Mix(uint64_t Z) {
  Z = (Z ^ (Z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  Z = (Z ^ (Z >> 27)) * 0x94d049bb133111ebULL;
  return Z ^ (Z >> 31);
}

// User input as it may be echoed in an error: escaped as report lines are (EscapedReportLine), at
// most 40 bytes of it (cut at a character's start) and "..." after.
std::string Shown(std::string_view Text) {
  constexpr size_t kMax = 40;
  size_t Length = Text.size();
  if (Length > kMax) {
    Length = kMax;
    while (Length > 0 && (static_cast<unsigned char>(Text[Length]) & 0xC0) == 0x80) --Length;
  }
  std::string Out = EscapedReportLine(Text.substr(0, Length));
  if (Length < Text.size()) Out += "...";
  return Out;
}

// "00" to "99": decimal written two digits a division.
constexpr char kDigitPairs[] =
    "0001020304050607080910111213141516171819202122232425262728293031323334353637383940414243444546"
    "4748495051525354555657585960616263646566676869707172737475767778798081828384858687888990919293"
    "949596979899";

// Writes the eight digits of V (below 10^8, leading zeros included) at P. The four pairs come
// from independent 32-bit divisions, which the processor overlaps.
void PutEightDigits(char* P, uint32_t V) {
  const uint32_t High = V / 10000, Low = V % 10000;
  std::memcpy(P, kDigitPairs + High / 100 * 2, 2);
  std::memcpy(P + 2, kDigitPairs + High % 100 * 2, 2);
  std::memcpy(P + 4, kDigitPairs + Low / 100 * 2, 2);
  std::memcpy(P + 6, kDigitPairs + Low % 100 * 2, 2);
}

// Writes V in decimal, at least MinDigits of them, to the left of P; returns the new start.
// Eight digits a 64-bit division, then the rest (below 10^8) two at a time in 32 bits.
char* PutDecimal(char* P, uint64_t V, int MinDigits) {
  constexpr uint64_t kE8 = 100000000;
  char* const End = P;
  while (V >= kE8) {
    P -= 8;
    PutEightDigits(P, static_cast<uint32_t>(V % kE8));
    V /= kE8;
  }
  uint32_t Rest = static_cast<uint32_t>(V);
  while (Rest >= 100) {
    P -= 2;
    std::memcpy(P, kDigitPairs + Rest % 100 * 2, 2);
    Rest /= 100;
  }
  if (Rest >= 10) {
    P -= 2;
    std::memcpy(P, kDigitPairs + Rest * 2, 2);
  } else {
    *--P = static_cast<char>('0' + Rest);
  }
  while (End - P < MinDigits) *--P = '0';
  return P;
}

bool IsDigits(std::string_view S) {
  for (char C : S)
    if (C < '0' || C > '9') return false;
  return true;
}

using TUint128 = unsigned __int128;

TUint128 DecimalValue(std::string_view Digits) {
  TUint128 V = 0;
  for (char C : Digits) V = V * 10 + static_cast<unsigned>(C - '0');
  return V;
}

struct TFileCloser {
  void operator()(std::FILE* F) const { std::fclose(F); }
};

// The line buffer getline grows; freed once, whichever way the reading ends.
struct TLineBuffer {
  char* Data = nullptr;
  size_t Capacity = 0;
  TLineBuffer() = default;
  TLineBuffer(const TLineBuffer&) = delete;
  TLineBuffer& operator=(const TLineBuffer&) = delete;
  ~TLineBuffer() { std::free(Data); }
};

}  // namespace

TRandom::TRandom(uint64_t Seed) {
  for (uint64_t& S : FS) {
    Seed += kGamma;
    S = Mix(Seed);
  }
}

bool TDestinations::Parse(const TDestinationsOptions& O, TDestinations& Out, std::string& Error) {
  const int Given = O.Destination.has_value() + O.Range.has_value() + O.File.has_value();
  if (Given > 1) {
    Error = "--destination, --destination-range and --destination-file exclude each other";
    return false;
  }
  if (Given == 0) {
    Error = "no destination: give --destination, --destination-range or --destination-file";
    return false;
  }
  TDestinations D;
  D.FOrder = O.Order;
  D.FSeed = O.Seed ^ kOrderSalt;

  if (O.Destination) {
    // Kept as given: the client sends it as it sends --destination, a list as a submit_multi.
    D.FKind = TKind::Fixed;
    D.FFixed = *O.Destination;
    if (D.FFixed.find(',') != std::string::npos) {
      D.FAddresses = 0;
      for (size_t Start = 0;;) {
        const size_t Comma = D.FFixed.find(',', Start);
        const std::string_view Piece = std::string_view(D.FFixed).substr(
            Start, Comma == std::string::npos ? Comma : Comma - Start);
        for (char C : Piece)
          if (static_cast<unsigned char>(C) > 0x20) {
            ++D.FAddresses;
            break;
          }
        if (Comma == std::string::npos) break;
        Start = Comma + 1;
      }
    }
  } else if (O.Range) {
    const std::string_view R = *O.Range;
    const std::string Prefix = "--destination-range '" + Shown(R) + "': ";
    const size_t Dash = R.find('-');
    if (Dash == std::string_view::npos || Dash == 0 || Dash + 1 == R.size() ||
        R.find('-', Dash + 1) != std::string_view::npos) {
      Error = Prefix + "give it as FIRST-LAST, such as 4915100000000-4915100009999";
      return false;
    }
    const std::string_view A = R.substr(0, Dash), B = R.substr(Dash + 1);
    if (!IsDigits(A) || !IsDigits(B)) {
      Error = Prefix + "digits only, as FIRST-LAST";
      return false;
    }
    if (A.size() > kMaxAddress || B.size() > kMaxAddress) {
      Error = Prefix + "a number has more than 20 digits";
      return false;
    }
    const TUint128 First = DecimalValue(A), Last = DecimalValue(B);
    if (First > Last) {
      Error = Prefix + "the first number is above the last";
      return false;
    }
    if (Last - First >= std::numeric_limits<uint64_t>::max()) {
      Error = Prefix + "more than 18446744073709551615 numbers";
      return false;
    }
    D.FKind = TKind::Range;
    D.FSize = static_cast<uint64_t>(Last - First) + 1;
    D.FFirstHigh = static_cast<uint64_t>(First / kE18);
    D.FFirstLow = static_cast<uint64_t>(First % kE18);
    D.FWidth = A.size();
  } else {
    const std::string& Path = *O.File;
    const std::string Prefix = "--destination-file '" + Shown(Path) + "'";
    std::unique_ptr<std::FILE, TFileCloser> F(std::fopen(Path.c_str(), "rb"));
    if (!F) {
      Error = Prefix + ": cannot open it: " + std::strerror(errno);
      return false;
    }
    D.FKind = TKind::List;
    TLineBuffer Buffer;
    ssize_t Got;
    long Line = 0;
    errno = 0;
    while ((Got = ::getline(&Buffer.Data, &Buffer.Capacity, F.get())) >= 0) {
      ++Line;
      std::string_view S(Buffer.Data, static_cast<size_t>(Got));
      // Spaces, tabs and the carriage returns of a file written on Windows around an address.
      const auto IsSpace = [](char C) { return C == ' ' || C == '\t' || C == '\r' || C == '\n'; };
      while (!S.empty() && IsSpace(S.front())) S.remove_prefix(1);
      while (!S.empty() && IsSpace(S.back())) S.remove_suffix(1);
      if (S.empty() || S.front() == '#') continue;
      const auto Refuse = [&](const std::string& What) {
        Error = Prefix + ", line " + std::to_string(Line) + ": " + What;
        return false;
      };
      if (S.size() > kMaxAddress) return Refuse("longer than 20 characters");
      for (char C : S) {
        if (C == ',') return Refuse("a comma; give one address a line");
        if (C < 0x20 || C > 0x7E) {
          char Hex[8];
          std::snprintf(Hex, sizeof Hex, "0x%02X", static_cast<unsigned char>(C));
          return Refuse(std::string("byte ") + Hex + " is not printable ASCII");
        }
      }
      if (D.FBlob.size() + S.size() > std::numeric_limits<uint32_t>::max()) {
        Error = Prefix + ": more than 4 GiB of addresses";
        return false;
      }
      D.FStarts.push_back(static_cast<uint32_t>(D.FBlob.size()));
      D.FBlob.append(S);
    }
    if (std::ferror(F.get())) {
      Error = Prefix + ": cannot read it: " + std::strerror(errno ? errno : EIO);
      return false;
    }
    if (D.FStarts.empty()) {
      Error = Prefix + ": no address in it (only blank lines and # comments)";
      return false;
    }
    D.FSize = D.FStarts.size();
    D.FStarts.push_back(static_cast<uint32_t>(D.FBlob.size()));
    D.FStarts.shrink_to_fit();
    D.FBlob.shrink_to_fit();
  }
  if (D.FSize > 1) D.FRejectBelow = (0 - D.FSize) % D.FSize;
  Out = std::move(D);
  return true;
}

// The index among Size() numbers of message N. At random: the N-th output of splitmix64 from
// the seed, scaled to the size by multiplication (Lemire's method); the few outputs that would
// make some numbers more likely than others are mixed again until one is not, so every number is
// equally likely and the result still depends on the seed and N alone.
uint64_t TDestinations::Pick(uint64_t N) const {
  if (FOrder == TDestinationOrder::InOrder) return N % FSize;
  uint64_t X = Mix(FSeed + (N + 1) * kGamma);
  for (;;) {
    const TUint128 Scaled = static_cast<TUint128>(X) * FSize;
    if (static_cast<uint64_t>(Scaled) >= FRejectBelow) return static_cast<uint64_t>(Scaled >> 64);
    X = Mix(X + kGamma);
  }
}

void TDestinations::At(uint64_t N, std::string& Out) const {
  switch (FKind) {
    case TKind::Fixed:
      Out.assign(FFixed);
      return;
    case TKind::List: {
      const uint64_t I = FSize == 1 ? 0 : Pick(N);
      Out.assign(FBlob.data() + FStarts[I], FStarts[I + 1] - FStarts[I]);
      return;
    }
    case TKind::Range: {
      // First + offset in two parts of 18 digits each way, so no 128-bit division is needed.
      const uint64_t Offset = FSize == 1 ? 0 : Pick(N);
      uint64_t Low = FFirstLow + Offset % kE18;
      uint64_t High = FFirstHigh + Offset / kE18;
      if (Low >= kE18) {
        Low -= kE18;
        ++High;
      }
      char Buffer[48];
      char* const End = Buffer + sizeof Buffer;
      char* P = High != 0 ? PutDecimal(PutDecimal(End, Low, 18), High, 1) : PutDecimal(End, Low, 1);
      while (static_cast<size_t>(End - P) < FWidth) *--P = '0';
      Out.assign(P, static_cast<size_t>(End - P));
      return;
    }
  }
}

bool TTextTemplate::Parse(std::string_view Text, TTextTemplate& Out, std::string& Error) {
  if (Text.size() > std::numeric_limits<uint32_t>::max()) {
    Error = "--text: longer than 4 GiB";
    return false;
  }
  // The position of byte I as the user counts it: characters from 1, a UTF-8 sequence as one.
  const auto CharacterAt = [&](size_t I) {
    size_t Characters = 1;
    for (size_t K = 0; K < I; ++K)
      if ((static_cast<unsigned char>(Text[K]) & 0xC0) != 0x80) ++Characters;
    return std::to_string(Characters);
  };
  TTextTemplate T;
  const auto AddLiteral = [&T](std::string_view Bytes) {
    if (T.FPieces.empty() || T.FPieces.back().Kind != TPiece::TKind::Literal)
      T.FPieces.push_back({TPiece::TKind::Literal, static_cast<uint32_t>(T.FLiterals.size()), 0});
    T.FLiterals.append(Bytes);
    T.FPieces.back().Length += static_cast<uint32_t>(Bytes.size());
  };
  for (size_t I = 0; I < Text.size();) {
    const size_t Brace = Text.find_first_of("{}", I);
    if (Brace == std::string_view::npos) {
      AddLiteral(Text.substr(I));
      break;
    }
    AddLiteral(Text.substr(I, Brace - I));
    const char C = Text[Brace];
    if (Brace + 1 < Text.size() && Text[Brace + 1] == C) {  // {{ or }}
      AddLiteral(Text.substr(Brace, 1));
      I = Brace + 2;
      continue;
    }
    if (C == '}') {
      Error = "--text: '}' at character " + CharacterAt(Brace) +
              " has no '{' before it; write }} for a brace";
      return false;
    }
    const size_t Close = Text.find('}', Brace + 1);
    if (Close == std::string_view::npos) {
      Error =
          "--text: '{' at character " + CharacterAt(Brace) + " is not closed; write {{ for a brace";
      return false;
    }
    const std::string_view Name = Text.substr(Brace + 1, Close - Brace - 1);
    constexpr std::string_view kRandom = "rand:";
    if (Name == "n") {
      T.FPieces.push_back({TPiece::TKind::Counter, 0, 0});
    } else if (Name.substr(0, kRandom.size()) == kRandom) {
      const std::string_view Count = Name.substr(kRandom.size());
      // At most four digits, so the value cannot overflow before it is compared.
      const long N = Count.empty() || Count.size() > 4 || !IsDigits(Count)
                         ? 0
                         : std::strtol(std::string(Count).c_str(), nullptr, 10);
      if (N < 1 || N > kMaxRandom) {
        Error = "--text: '{" + Shown(Name) + "}' at character " + CharacterAt(Brace) +
                ": N of {rand:N} is 1 to 1000";
        return false;
      }
      T.FPieces.push_back({TPiece::TKind::Random, 0, static_cast<uint32_t>(N)});
    } else {
      Error = "--text: '{" + Shown(Name) + "}' at character " + CharacterAt(Brace) +
              " is not a placeholder ({n} or {rand:N}); write {{ and }} for braces";
      return false;
    }
    T.FFixed = false;
    I = Close + 1;
  }
  Out = std::move(T);
  return true;
}

void TTextTemplate::Expand(uint64_t N, std::string& Out, TRandom& R) const {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  Out.clear();
  for (const TPiece& P : FPieces) {
    switch (P.Kind) {
      case TPiece::TKind::Literal:
        Out.append(FLiterals.data() + P.Start, P.Length);
        break;
      case TPiece::TKind::Counter: {
        char Buffer[24];
        char* const End = Buffer + sizeof Buffer;
        // N + 1 wraps only for the last number there is; its successor is spelled out.
        if (N == std::numeric_limits<uint64_t>::max())
          Out.append("18446744073709551616");
        else
          Out.append(PutDecimal(End, N + 1, 1), End);
        break;
      }
      case TPiece::TKind::Random: {
        // Six bits a character from each 64-bit draw; the two values past the alphabet are drawn
        // again rather than folded onto it, so every character is equally likely.
        const size_t Old = Out.size();
        Out.resize(Old + P.Length);
        char* const To = Out.data() + Old;
        for (uint32_t K = 0; K < P.Length;) {
          uint64_t X = R();
          for (int Left = 10; Left > 0 && K < P.Length; --Left, X >>= 6) {
            const unsigned V = X & 63;
            if (V < 62) To[K++] = kAlphabet[V];
          }
        }
        break;
      }
    }
  }
}

std::string TTextTemplate::Longest(uint64_t MaxN) const {
  size_t Digits = 20;  // the longest number a uint64_t message count can reach
  if (MaxN != 0)
    for (Digits = 1; MaxN >= 10; MaxN /= 10) ++Digits;
  std::string Out;
  for (const TPiece& P : FPieces) {
    if (P.Kind == TPiece::TKind::Literal) Out.append(FLiterals, P.Start, P.Length);
    if (P.Kind == TPiece::TKind::Counter) Out.append(Digits, '9');
    if (P.Kind == TPiece::TKind::Random) Out.append(P.Length, 'x');
  }
  return Out;
}

}  // namespace load
