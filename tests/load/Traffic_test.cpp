// Varied traffic: destinations from fixed lists, ranges and files (good and bad, in order and at
// random), and text templates (good and bad, their expansions and their longest form).
#include "load/Traffic.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include <gtest/gtest.h>

using namespace load;

namespace {

// A file of the given content in a directory of its own, both removed at the end.
struct TTempFile {
  explicit TTempFile(const std::string& Content) {
    std::string Template = testing::TempDir() + "/trafficXXXXXX";
    Dir = mkdtemp(Template.data());
    Path = Dir + "/numbers.txt";
    std::FILE* F = std::fopen(Path.c_str(), "wb");
    std::fwrite(Content.data(), 1, Content.size(), F);
    std::fclose(F);
  }
  ~TTempFile() { std::remove(Path.c_str()), rmdir(Dir.c_str()); }
  std::string Dir, Path;
};

// "size/addresses: the first four destinations", or the error. Each letter of Kinds gives Input
// as an option: d --destination, r --destination-range, f --destination-file (Input its content,
// its path shown as F in the error).
std::string Destinations(const std::string& Kinds, const std::string& Input) {
  const TTempFile File(Input);
  TDestinationsOptions O;
  if (Kinds.find('d') != std::string::npos) O.Destination = Input;
  if (Kinds.find('r') != std::string::npos) O.Range = Input;
  if (Kinds.find('f') != std::string::npos) O.File = File.Path;
  TDestinations D;
  std::string Error, Address;
  if (!TDestinations::Parse(O, D, Error)) {
    const size_t At = Error.find(File.Path);
    return At == std::string::npos ? Error : Error.replace(At, File.Path.size(), "F");
  }
  std::string Out = std::to_string(D.Size()) + "/" + std::to_string(D.AddressesPerMessage()) + ":";
  for (uint64_t N = 0; N < 4; ++N) D.At(N, Address), Out += " " + Address;
  return Out;
}

TEST(TrafficDestinations, ParsesRangesFilesAndListsAndRefusesBadOnes) {
  const std::string R = "--destination-range '", F = "--destination-file 'F'";
  const std::string Form = "': give it as FIRST-LAST, such as 4915100000000-4915100009999";
  const std::string TooMany = "18446744073709551615";
  const struct {
    std::string Kinds, Input, Expect;
  } kCases[] = {
      {"d", "5551234", "1/1: 5551234 5551234 5551234 5551234"},
      {"d", "1, ,2,,3", "1/3: 1, ,2,,3 1, ,2,,3 1, ,2,,3 1, ,2,,3"},
      {"r", "0049-0051", "3/1: 0049 0050 0051 0049"},
      {"r", "98-101", "4/1: 98 99 100 101"},
      {"r", "1999999999999999999-2000000000000000001",
       "3/1: 1999999999999999999 2000000000000000000 2000000000000000001 1999999999999999999"},
      {"r", "99999999999999999998-99999999999999999999",
       "2/1: 99999999999999999998 99999999999999999999 99999999999999999998 99999999999999999999"},
      {"r", "00000000000000000000-18446744073709551614",
       TooMany + "/1: 00000000000000000000 00000000000000000001 00000000000000000002 "
                 "00000000000000000003"},
      {"r", "0-" + TooMany, R + "0-" + TooMany + "': more than " + TooMany + " numbers"},
      {"r", "", R + Form},
      {"r", "5-6-7", R + "5-6-7" + Form},
      {"r", "+49-50", R + "+49-50': digits only, as FIRST-LAST"},
      {"r", "1-123456789012345678901",
       R + "1-123456789012345678901': a number has more than 20 "
           "digits"},
      {"r", "51-49", R + "51-49': the first number is above the last"},
      {"f", "# numbers\n 4915100000001 \n\n\t+49 151-2\r\n",
       "2/1: 4915100000001 +49 151-2 4915100000001 +49 151-2"},
      {"f", "# none\n\n", F + ": no address in it (only blank lines and # comments)"},
      {"f", "1\n123456789012345678901\n", F + ", line 2: longer than 20 characters"},
      {"f", "1\n\n1,2\n", F + ", line 3: a comma; give one address a line"},
      {"f", "4915\xC3\xA9\n", F + ", line 1: byte 0xC3 is not printable ASCII"},
      {"dr", "1-2", "--destination, --destination-range and --destination-file exclude each other"},
      {"", "", "no destination: give --destination, --destination-range or --destination-file"},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.Input);
    EXPECT_EQ(Destinations(C.Kinds, C.Input), C.Expect);
  }
  TDestinations D;
  std::string Error;
  EXPECT_FALSE(TDestinations::Parse({{}, {}, "/nonexistent/numbers"}, D, Error));
  EXPECT_EQ(Error,
            "--destination-file '/nonexistent/numbers': cannot open it: No such file or "
            "directory");
}

TEST(TrafficDestinations, RandomOrderIsUniformAndFollowsTheSeed) {
  const auto Parsed = [](const char* Range, uint64_t Seed) {
    TDestinations D;
    std::string Error;
    EXPECT_TRUE(TDestinations::Parse({{}, Range, {}, TDestinationOrder::Random, Seed}, D, Error));
    return D;
  };
  const TDestinations D = Parsed("0049-0051", 7), Same = Parsed("0049-0051", 7),
                      Other = Parsed("0049-0051", 8);
  std::map<std::string, long> Counts;
  std::string A, B, C;
  int Differ = 0;
  for (uint64_t N = 0; N < 30000; ++N) {
    D.At(N, A), Same.At(N, B), Other.At(N, C);
    ++Counts[A];
    EXPECT_EQ(A, B);
    Differ += A != C;
  }
  EXPECT_GT(Differ, 15000);  // two thirds differ when the seeds are independent
  ASSERT_EQ(Counts.size(), 3u);
  for (const auto& [Address, N] : Counts) EXPECT_NEAR(N, 10000, 300) << Address;
  // A range as large as there can be stays within its bounds and its width.
  const TDestinations Huge = Parsed("00000000000000000001-18446744073709551615", 1);
  for (uint64_t N = 0; N < 1000; ++N) {
    Huge.At(N, A);
    ASSERT_EQ(A.size(), 20u);
    EXPECT_TRUE(A >= "00000000000000000001" && A <= "18446744073709551615") << A;
  }
}

TEST(TrafficTemplate, ParsesExpandsAndRefusesBadOnes) {
  // In Expect, each '*' stands for one random letter or digit.
  const std::string Thousand(1000, '*'), Range = ": N of {rand:N} is 1 to 1000";
  const std::string NotOne = " is not a placeholder ({n} or {rand:N}); write {{ and }} for braces";
  const struct {
    std::string Text;
    uint64_t N;
    std::string Expect, Longest;  // Longest for {n} up to 100
  } kCases[] = {
      {"Hello", 0, "Hello", "Hello"},
      {"price {{5}} }}{{", 3, "price {5} }{", "price {5} }{"},
      {"load {n}", 9, "load 10", "load 999"},
      {"{n}", ~0ULL - 1, "18446744073709551615", "999"},
      {"{n}", ~0ULL, "18446744073709551616", "999"},
      {"{n}{rand:8}x{n}", 41, "42********x42", "999xxxxxxxxx999"},
      {"größe {rand:1}", 0, "größe *", "größe x"},
      {"{rand:1000}", 0, Thousand, std::string(1000, 'x')},
      {"price {5}", 0, "--text: '{5}' at character 7" + NotOne, ""},
      {"größe { n}", 0, "--text: '{ n}' at character 7" + NotOne, ""},
      {"a {n", 0, "--text: '{' at character 3 is not closed; write {{ for a brace", ""},
      {"{{n}", 0, "--text: '}' at character 4 has no '{' before it; write }} for a brace", ""},
      {"{rand:0}", 0, "--text: '{rand:0}' at character 1" + Range, ""},
      {"{rand:1001}", 0, "--text: '{rand:1001}' at character 1" + Range, ""},
      {"{rand:8x}", 0, "--text: '{rand:8x}' at character 1" + Range, ""},
  };
  TRandom R(1);
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.Text);
    TTextTemplate T;
    std::string Error, Out;
    if (!TTextTemplate::Parse(C.Text, T, Error)) {
      EXPECT_EQ(Error, C.Expect);
      continue;
    }
    T.Expand(C.N, Out, R);
    EXPECT_EQ(T.IsFixed(), C.Longest == C.Expect);
    ASSERT_EQ(Out.size(), C.Expect.size()) << Out;
    for (size_t I = 0; I < Out.size(); ++I)
      EXPECT_TRUE(C.Expect[I] == '*' ? std::isalnum(static_cast<unsigned char>(Out[I]))
                                     : Out[I] == C.Expect[I])
          << Out;
    EXPECT_EQ(T.Longest(100), C.Longest);
  }
}

TEST(TrafficTemplate, RandomCharactersCoverTheAlphabetEvenlyAndFollowTheSeed) {
  TTextTemplate T;
  std::string Error, A, B;
  ASSERT_TRUE(TTextTemplate::Parse("{rand:8}", T, Error));
  TRandom R(42), Same(42), Other(43);
  std::map<char, long> Counts;
  for (uint64_t N = 0; N < 31000; ++N) {
    T.Expand(N, A, R), T.Expand(N, B, Same);
    ASSERT_EQ(A, B);
    for (char C : A) ++Counts[C];
  }
  T.Expand(0, B, Other);
  EXPECT_NE(A, B);
  ASSERT_EQ(Counts.size(), 62u);  // 8 * 31000 characters, 4000 of each expected
  for (const auto& [C, N] : Counts) EXPECT_NEAR(N, 4000, 300) << C;
  ASSERT_TRUE(TTextTemplate::Parse("{n}", T, Error));
  EXPECT_EQ(T.Longest(0), std::string(20, '9'));
}

}  // namespace
