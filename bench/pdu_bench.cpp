// Benchmarks of the PDU codec: encoding a bind_transmitter and a 160-character submit_sm, decoding
// a delivery receipt deliver_sm and a submit_sm_resp. Each iteration starts from a fresh record,
// as a connection handler does. And the dissector, on a 160-character submit_sm with two optional
// parameters. And one push of a 60-byte PDU into the trace ring, uncontended.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "inspect/PduDissector.h"
#include "inspect/PduTraceRing.h"
#include "smpp/smpppdu.h"

namespace {

std::vector<uint8_t> Pdu(uint32_t commandId, const std::string& body) {
  std::vector<uint8_t> out(16 + body.size());
  PutU32(out.data(), static_cast<uint32_t>(out.size()));
  PutU32(out.data() + 4, commandId);
  PutU32(out.data() + 8, 0);
  PutU32(out.data() + 12, 42);
  std::copy(body.begin(), body.end(), out.begin() + 16);
  return out;
}

void BM_EncodeBindTransmitter(benchmark::State& state) {
  TSMPPClientInfo info;
  info.SetUserID("myuid");
  info.SetPassword("secret");
  info.SetSystemType("tcp");
  TSequenceCounter counter;
  TPduCodec codec(info, counter);
  uint8_t buf[kPduBufferSize];
  for (auto _ : state) {
    TPDU pdu;
    pdu.command_id = kBindTransmitter;
    size_t length = 0;
    codec.EncodePdu(buf, sizeof buf, length, pdu, 0);
    benchmark::DoNotOptimize(length);
    benchmark::DoNotOptimize(buf);
  }
}
BENCHMARK(BM_EncodeBindTransmitter);

void BM_EncodeSubmitSm160(benchmark::State& state) {
  TSMPPClientInfo info;
  info.Set_submit_source_addr_ton(5);
  info.Set_submit_dest_addr_ton(1);
  info.Set_submit_dest_addr_npi(1);
  TSequenceCounter counter;
  TPduCodec codec(info, counter);
  const std::string text(160, 'x');
  uint8_t buf[kPduBufferSize];
  size_t length = 0;
  for (auto _ : state) {
    TPDU pdu;
    pdu.command_id = kSubmitSm;
    pdu.submit.source_addr = "1234";
    pdu.submit.destination_addr = "447700900123";
    pdu.submit.validity_period = "000001000000000R";
    pdu.submit.short_message = text;
    codec.EncodePdu(buf, sizeof buf, length, pdu, 0);
    benchmark::DoNotOptimize(length);
    benchmark::DoNotOptimize(buf);
  }
  state.counters["bytes"] = static_cast<double>(length);
}
BENCHMARK(BM_EncodeSubmitSm160);

void BM_DecodeDeliveryReceipt(benchmark::State& state) {
  const std::string receipt =
      "id:0123456789 sub:001 dlvrd:001 submit date:2101011200 done date:2101011201 stat:DELIVRD "
      "err:000 text:Hello";
  std::string body;
  body += '\0';
  body +=
      "\x01\x01"
      "447700900123";
  body += '\0';
  body +=
      "\x01\x01"
      "1234";
  body += '\0';
  body += std::string("\x04\0\0\0\0\0\0\0\0", 9);
  body += static_cast<char>(receipt.size());
  body += receipt;
  const std::vector<uint8_t> pdu = Pdu(kDeliverSm, body);
  for (auto _ : state) {
    TPDU out;
    TPduCodec::DecodePdu(pdu.data(), pdu.size(), pdu.size(), out);
    benchmark::DoNotOptimize(out.deliver.receipt_ref.data());
  }
  state.counters["bytes"] = static_cast<double>(pdu.size());
}
BENCHMARK(BM_DecodeDeliveryReceipt);

void BM_DecodeSubmitSmResp(benchmark::State& state) {
  const std::vector<uint8_t> pdu = Pdu(kSubmitSmResp, std::string("0a1b2c3d4e5f", 13));
  for (auto _ : state) {
    TPDU out;
    TPduCodec::DecodePdu(pdu.data(), pdu.size(), pdu.size(), out);
    benchmark::DoNotOptimize(out.message_id.data());
  }
}
BENCHMARK(BM_DecodeSubmitSmResp);

// A submit_sm as a tester looks at it: every field named, placed and explained, with the
// optional parameters user_message_reference and source_port.
void BM_DissectSubmitSm160(benchmark::State& state) {
  std::string body;
  body += std::string("\0\x05\0", 3) + "1234" + '\0';
  body += std::string("\x01\x01", 2) + "447700900123" + '\0';
  body += std::string("\0\0\0\0", 4) + "000001000000000R" + '\0';
  body += std::string("\x11\0\0\0\xA0", 5) + std::string(160, 'x');
  body += std::string("\x02\x04\0\x02\0\x07\x02\x0A\0\x02\x0B\xB8", 12);
  const std::vector<uint8_t> pdu = Pdu(kSubmitSm, body);
  size_t fields = 0;
  for (auto _ : state) {
    const TPduField root = DissectPdu(pdu.data(), pdu.size());
    fields = root.Fields.size();
    benchmark::DoNotOptimize(root.Fields.data());
  }
  state.counters["fields"] = static_cast<double>(fields);
}
BENCHMARK(BM_DissectSubmitSm160);

// What the trace adds to each PDU of a load run when the ring is its handler, the way the client
// calls it: the handler's pointer loaded, the event stamped with the trace's clock, the handler
// called through its std::function and the PDU copied into the ring. The ring stays full after
// its first lap, so most pushes also drop the oldest record, as in a run nobody drains.
void BM_TracePdu60(benchmark::State& state) {
  const std::vector<uint8_t> pdu = Pdu(kSubmitSmResp, std::string(44, 'x'));
  TPduTraceRing ring;
  const TPduTraceHandler handler = [&ring](const TPduTraceEvent& e) { ring.Push(e); };
  std::atomic<const TPduTraceHandler*> assigned{&handler};
  for (auto _ : state) {
    if (const TPduTraceHandler* h = assigned.load(std::memory_order_acquire)) {
      TPduTraceEvent event{TPduConnection::pcTcx, TPduDirection::pdIn, 0, pdu.data(), pdu.size()};
      event.MonotonicNs = PduTraceNowNs();
      (*h)(event);
    }
  }
  benchmark::DoNotOptimize(ring.Pushed());
}
BENCHMARK(BM_TracePdu60);

}  // namespace
