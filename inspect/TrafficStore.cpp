// TTrafficStore: appending and dropping rows, and each row's columns computed from its bytes.
#include "inspect/TrafficStore.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "inspect/PduDissector.h"
#include "inspect/PduSummary.h"
#include "smpp/PduNames.h"
#include "smpp/smpppdu.h"

namespace {

uint32_t Be32(const uint8_t* B) {
  return (uint32_t(B[0]) << 24) | (uint32_t(B[1]) << 16) | (uint32_t(B[2]) << 8) | uint32_t(B[3]);
}

std::string Ipv4(uint32_t A, uint16_t Port) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%u.%u.%u.%u:%u", A >> 24, (A >> 16) & 255, (A >> 8) & 255,
                A & 255, Port);
  return Text;
}

// The endpoints of a tkOpened row, packed as the struct's bytes.
constexpr size_t kEndpointBytes = sizeof(TTcpEndpoints);

}  // namespace

TTcpEndpoints TTrafficRow::Endpoints() const {
  TTcpEndpoints E;
  if (Kind == TPduTraceKind::tkOpened && Length == kEndpointBytes)
    std::memcpy(&E, Bytes.get(), kEndpointBytes);
  return E;
}

size_t TTrafficStore::Append(const TPduTraceRecord& Record) {
  size_t Left = 0;
  if (FRows.size() >= FCapacity) {
    FRows.pop_front();
    ++FDropped;
    Left = 1;
  }
  TTrafficRow& R = FRows.emplace_back();
  R.MonotonicNs = Record.MonotonicNs;
  R.Connection = Record.Connection;
  R.Direction = Record.Direction;
  R.Kind = Record.Kind;
  if (Record.Kind == TPduTraceKind::tkOpened) {
    R.Length = kEndpointBytes;
    R.Bytes = std::make_unique_for_overwrite<uint8_t[]>(kEndpointBytes);
    std::memcpy(R.Bytes.get(), &Record.Endpoints, kEndpointBytes);
  } else if (!Record.Bytes.empty()) {
    R.Length = static_cast<uint32_t>(Record.Bytes.size());
    R.Bytes = std::make_unique_for_overwrite<uint8_t[]>(R.Length);
    std::memcpy(R.Bytes.get(), Record.Bytes.data(), R.Length);
  }
  R.Cut = Record.OriginalLength > Record.Bytes.size() && Record.Kind == TPduTraceKind::tkPdu;
  return Left;
}

void TTrafficStore::DropOldest(size_t N) {
  N = std::min(N, FRows.size());
  FRows.erase(FRows.begin(), FRows.begin() + static_cast<std::ptrdiff_t>(N));
  FDropped += N;
}

void TTrafficStore::Clear() {
  FRows.clear();
}

TTrafficColumns TrafficColumns(const TTrafficRow& Row) {
  TTrafficColumns C = TrafficHeaderColumns(Row);
  AddTrafficBodyColumns(Row, C);
  return C;
}

TTrafficColumns TrafficHeaderColumns(const TTrafficRow& Row) {
  TTrafficColumns C;
  if (Row.Kind == TPduTraceKind::tkOpened) {
    C.Command = "connected";
    return C;
  }
  if (Row.Kind == TPduTraceKind::tkClosed) {
    C.Command = "closed";
    return C;
  }
  if (Row.Kind == TPduTraceKind::tkFailed) {
    C.Command = "connect failed";
    return C;
  }
  const uint8_t* B = Row.Bytes.get();
  if (Row.Length < kPduHeaderLength) {
    C.Command = "(" + std::to_string(Row.Length) + " bytes)";
    return C;
  }
  const uint32_t Id = Be32(B + 4), Status = Be32(B + 8);
  C.Command = CommandName(Id);
  if (C.Command.empty()) {
    char Hex[16];
    std::snprintf(Hex, sizeof Hex, "0x%08x", Id);
    C.Command = Hex;
  }
  C.Sequence = std::to_string(Be32(B + 12));
  if ((Id & 0x80000000u) || Status != 0) C.Status = CommandStatusName(Status);
  return C;
}

void AddTrafficBodyColumns(const TTrafficRow& Row, TTrafficColumns& C) {
  if (Row.Kind == TPduTraceKind::tkOpened) {
    const TTcpEndpoints E = Row.Endpoints();
    C.Summary = Ipv4(E.LocalAddr, E.LocalPort) + " -> " + Ipv4(E.RemoteAddr, E.RemotePort);
    return;
  }
  if (Row.Kind == TPduTraceKind::tkClosed) return;
  if (Row.Kind == TPduTraceKind::tkFailed) {
    C.Summary = FailureReason(Row.Pdu());
    return;
  }
  const uint8_t* B = Row.Bytes.get();
  C.Summary = PduSummary(B, Row.Length);
  if (Row.Cut) C.Summary += " [cut short]";
  if (Row.Length < kPduHeaderLength) return;
  // Only the PDUs that carry a message_id are dissected for it.
  switch (Be32(B + 4)) {
    case kSubmitSmResp:
    case kDeliverSmResp:
    case kSubmitMultiResp:
    case kDataSmResp:
    case kQuerySm:
    case kQuerySmResp:
    case kCancelSm:
    case kReplaceSm:
      for (const TPduField& F : DissectPdu(B, Row.Length).Fields)
        if (F.Name == "message_id") C.MessageId = F.Text;
      break;
    default:
      break;
  }
}
