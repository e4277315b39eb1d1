// The message journey under a burst: 200 000 traced PDUs (50 000 messages, each a submit_sm, its
// response, its delivery receipt and our answer to it, the submits over the transmitter and the
// receipts over the receiver) fed to a fresh TMessageJourney, the changes taken every 4096 records
// as the workbench's drain does. Reports OnTrace's throughput in PDUs per second.
// Run: build/bench/journey_bench [--benchmark_...]
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "inspect/MessageJourney.h"
#include "tests/smpp/PduTestUtil.h"

namespace {

constexpr int kMessages = 50'000;
constexpr size_t kDrainBatch = 4096;

TPduTraceRecord Record(TPduConnection Connection, TPduDirection Direction, int64_t Ns, Bytes Pdu) {
  const size_t Length = Pdu.size();
  return {Connection, Direction, TPduTraceKind::tkPdu, {}, Ns, Length, std::move(Pdu)};
}

std::vector<TPduTraceRecord> Burst() {
  std::vector<TPduTraceRecord> Trace;
  Trace.reserve(4 * kMessages);
  for (int I = 0; I < kMessages; ++I) {
    const auto Sequence = static_cast<uint32_t>(I + 1);
    char Id[16];
    std::snprintf(Id, sizeof Id, "%08x", I + 1);
    const int64_t At = int64_t(I) * 20'000;
    PduBuilder Submit;
    Submit.CStr("").U8(1).U8(1).CStr("1234").U8(1).U8(1).CStr("5550100").U8(0).U8(0).U8(0);
    Submit.CStr("").CStr("").U8(1).U8(0).U8(0).U8(0).U8(5).Str("Hello");
    const std::string Body = std::string("id:") + Id +
                             " sub:001 dlvrd:001 submit date:2601010000 done date:2601010000 "
                             "stat:DELIVRD err:000 text:Hello";
    Trace.push_back(Record(TPduConnection::pcTcx, TPduDirection::pdOut, At,
                           Submit.Finish(kSubmitSm, Sequence)));
    Trace.push_back(Record(TPduConnection::pcTcx, TPduDirection::pdIn, At + 5'000,
                           PduBuilder().CStr(Id).Finish(kSubmitSmResp, Sequence)));
    Trace.push_back(Record(TPduConnection::pcRcx, TPduDirection::pdIn, At + 9'000,
                           PduBuilder()
                               .DeliverHead("5550100", "1234")
                               .DeliverTail(kEsmDeliveryReceipt, 0, Text(Body))
                               .Finish(kDeliverSm, Sequence)));
    Trace.push_back(Record(TPduConnection::pcRcx, TPduDirection::pdOut, At + 9'500,
                           PduBuilder().CStr("").Finish(kDeliverSmResp, Sequence)));
  }
  return Trace;
}

void BM_JourneyBurst(benchmark::State& State) {
  const std::vector<TPduTraceRecord> Trace = Burst();
  for (auto _ : State) {
    TMessageJourney Journey;
    size_t Changed = 0;
    for (size_t I = 0; I < Trace.size(); ++I) {
      Journey.OnTrace(Trace[I]);
      if ((I + 1) % kDrainBatch == 0) Changed += Journey.TakeChanges().Changed.size();
    }
    Changed += Journey.TakeChanges().Changed.size();
    benchmark::DoNotOptimize(Changed);
    if (JourneyState(Journey.Message(Journey.Count() - 1)) != "DELIVRD")
      State.SkipWithError("the last message is not delivered");
  }
  State.SetItemsProcessed(State.iterations() * static_cast<int64_t>(Trace.size()));
}
BENCHMARK(BM_JourneyBurst)->Unit(benchmark::kMillisecond);

}  // namespace
