// Benchmarks of varied traffic, the cost a load run pays per message: the destination of a
// message from a range (in order and at random) and from a file of numbers, and the expansion of
// a text template with a counter and random characters, each into a reused string.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "load/Traffic.h"

namespace {

load::TDestinations Parsed(load::TDestinationsOptions O) {
  load::TDestinations D;
  std::string Error;
  if (!load::TDestinations::Parse(O, D, Error)) std::abort();
  return D;
}

void Destinations(benchmark::State& State, const load::TDestinations& D) {
  std::string Out;
  uint64_t N = 0;
  for (auto _ : State) {
    D.At(N++, Out);
    benchmark::DoNotOptimize(Out.data());
  }
}

void BM_DestinationFixed(benchmark::State& State) {
  Destinations(State, Parsed({"4915100000000", {}, {}}));
}
BENCHMARK(BM_DestinationFixed);

void BM_DestinationRangeInOrder(benchmark::State& State) {
  Destinations(State, Parsed({{}, "4915100000000-4915100009999", {}}));
}
BENCHMARK(BM_DestinationRangeInOrder);

void BM_DestinationRangeRandom(benchmark::State& State) {
  Destinations(State,
               Parsed({{}, "4915100000000-4915100009999", {}, load::TDestinationOrder::Random, 1}));
}
BENCHMARK(BM_DestinationRangeRandom);

// Twenty digits: the first number past what 64 bits hold, so the two-part sum is taken.
void BM_DestinationRangeTwentyDigits(benchmark::State& State) {
  Destinations(State, Parsed({{}, "99999999999000000000-99999999999999999999", {}}));
}
BENCHMARK(BM_DestinationRangeTwentyDigits);

// A file of 100 000 numbers, picked at random (its addresses no longer all in the cache).
void BM_DestinationFileRandom(benchmark::State& State) {
  char Path[] = "/tmp/traffic_benchXXXXXX";
  const int Fd = mkstemp(Path);
  std::string Content;
  for (long I = 0; I < 100000; ++I) Content += std::to_string(4915100000000 + I * 7) + "\n";
  if (Fd < 0 || write(Fd, Content.data(), Content.size()) != static_cast<ssize_t>(Content.size()))
    std::abort();
  close(Fd);
  const load::TDestinations D = Parsed({{}, {}, Path, load::TDestinationOrder::Random, 1});
  unlink(Path);
  Destinations(State, D);
}
BENCHMARK(BM_DestinationFileRandom);

void Expansions(benchmark::State& State, const char* Text) {
  load::TTextTemplate T;
  std::string Error, Out;
  if (!load::TTextTemplate::Parse(Text, T, Error)) std::abort();
  load::TRandom R(1);
  uint64_t N = 0;
  for (auto _ : State) {
    T.Expand(N++, Out, R);
    benchmark::DoNotOptimize(Out.data());
  }
}

void BM_TemplateFixed(benchmark::State& State) {
  Expansions(State, "load test message");
}
BENCHMARK(BM_TemplateFixed);

void BM_TemplateCounter(benchmark::State& State) {
  Expansions(State, "load {n}");
}
BENCHMARK(BM_TemplateCounter);

void BM_TemplateCounterRand8(benchmark::State& State) {
  Expansions(State, "load {n} {rand:8}");
}
BENCHMARK(BM_TemplateCounterRand8);

void BM_TemplateRand160(benchmark::State& State) {
  Expansions(State, "{rand:160}");
}
BENCHMARK(BM_TemplateRand160);

}  // namespace
