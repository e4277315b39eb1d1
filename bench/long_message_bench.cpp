// Benchmarks of the text codec and long messages: planning what Send submits for a 1000-character
// text in GSM (with extension characters) and in UCS-2 (with emoji), and decoding one part back.
#include <benchmark/benchmark.h>

#include <string>

#include "smpp/LongMessage.h"

namespace {

std::string Repeat(const std::string& s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

void PlanText(benchmark::State& state, const std::string& text, TTextCoding coding) {
  for (auto _ : state) {
    TMessagePlan plan;
    std::string error;
    const bool ok = PlanMessage(text, "  SMPP test client v1.0", coding, TLongMessageMode::lmUdh,
                                42, plan, error);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(plan.Parts.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 1000);
}

// 1000 characters, one in ten an extension character: 7 parts.
void BM_PlanGsm1000(benchmark::State& state) {
  PlanText(state, Repeat("abcdefghi€", 100), TTextCoding::tcGsm);
}

// 1000 characters, one in ten an emoji (a surrogate pair): 17 parts.
void BM_PlanUcs2_1000(benchmark::State& state) {
  PlanText(state, Repeat("абвгдежзи😀", 100), TTextCoding::tcUcs2);
}

void BM_DecodeGsmPart(benchmark::State& state) {
  TEncodedText text;
  std::string error;
  EncodeText(Repeat("abcdefghi€", 14), TTextCoding::tcGsm, text, error);
  const auto* octets = reinterpret_cast<const uint8_t*>(text.Octets.data());
  for (auto _ : state) {
    std::string out = DecodeUserText(octets, text.Octets.size(), TTextCoding::tcGsm);
    benchmark::DoNotOptimize(out.data());
  }
}

}  // namespace

BENCHMARK(BM_PlanGsm1000);
BENCHMARK(BM_PlanUcs2_1000);
BENCHMARK(BM_DecodeGsmPart);
