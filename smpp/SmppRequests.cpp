// TSmppClient: the requests beyond Send (query_sm, cancel_sm, replace_sm, raw bytes) and the
// report lines of their answers.
#include <cstdio>
#include <cstring>

#include "smpp/PduNames.h"
#include "smpp/smppclient.h"

namespace {

// A command_status by name; one without a name also by its number.
std::string StatusText(uint32_t Status) {
  const std::string Name = CommandStatusName(Status);
  if (Name.rfind("ESME_", 0) == 0) return Name;
  char Number[16];
  std::snprintf(Number, sizeof Number, "0x%08X", Status);
  return std::string(Number) + " (" + Name + ")";
}

std::string CommandText(uint32_t CommandId) {
  const std::string Name = CommandName(CommandId);
  if (!Name.empty()) return Name;
  char Number[24];
  std::snprintf(Number, sizeof Number, "command 0x%08X", CommandId);
  return Number;
}

// Why the request cannot be built, or empty when it can.
std::string RequestRefusal(const TPDU& Pdu) {
  if (Pdu.message_id.size() > kMaxMessageIdLength)
    return "the message id has " + std::to_string(Pdu.message_id.size()) + " characters, at most " +
           std::to_string(kMaxMessageIdLength);
  if (Pdu.message_id.find('\0') != std::string::npos) return "the message id holds a NUL character";
  if (Pdu.request.short_message.size() > kMaxShortMessageLength)
    return "the text has " + std::to_string(Pdu.request.short_message.size()) +
           " octets, at most " + std::to_string(kMaxShortMessageLength);
  return {};
}

}  // namespace

int32_t TSmppClient::QuerySm(const std::string& MessageId, const std::string& Source) {
  TPDU Pdu;
  Pdu.command_id = kQuerySm;
  Pdu.message_id = MessageId;
  Pdu.request.source_given = true;
  Pdu.request.source_addr = Source;
  return SendRequest(Pdu);
}

int32_t TSmppClient::CancelSm(const std::string& MessageId, const std::string& Source,
                              const std::string& Destination) {
  TPDU Pdu;
  Pdu.command_id = kCancelSm;
  Pdu.message_id = MessageId;
  Pdu.request.source_addr = Source;
  Pdu.request.destination_addr = Destination;
  return SendRequest(Pdu);
}

int32_t TSmppClient::ReplaceSm(const std::string& MessageId, const std::string& Source,
                               const std::string& Text) {
  TPDU Pdu;
  Pdu.command_id = kReplaceSm;
  Pdu.message_id = MessageId;
  Pdu.request.source_addr = Source;
  Pdu.request.short_message = Text;
  return SendRequest(Pdu);
}

int32_t TSmppClient::SendRequest(TPDU& Pdu) {
  // The refusal is reported once no lock of Send is held (the report lock comes first).
  std::string Refusal = RequestRefusal(Pdu);
  const int32_t Result = [&]() -> int32_t {
    if (!Refusal.empty()) return -1;
    std::lock_guard<std::mutex> Guard(FSendLock);
    if (!SocketConnected(Submitter())) return -1;
    uint8_t Buffer[kPduBufferSize];
    size_t Length = 0;
    EncodePdu(Buffer, sizeof Buffer, Length, Pdu, 0);
    if (Length == 0) {
      Refusal = "the PDU cannot be built";
      return -1;
    }
    // Remembered before it goes, so that an answer cannot come first.
    AddPending(Pdu.sequence_number, Pdu.command_id);
    SocketSend(Submitter(), Buffer, Length);
    return static_cast<int32_t>(Pdu.sequence_number);
  }();
  if (!Refusal.empty()) {
    TSideState& Tcx = Submitter();
    const std::string Line =
        std::string(Tcx.Prefix) + " " + CommandName(Pdu.command_id) + " refused: " + Refusal;
    Report(Tcx, &Line, true);
  }
  return Result;
}

int32_t TSmppClient::SendRaw(const std::vector<uint8_t>& Bytes, bool PatchSequence) {
  std::string Refusal;
  if (Bytes.empty())
    Refusal = "no bytes";
  else if (Bytes.size() > kMaxRawLength)
    Refusal = std::to_string(Bytes.size()) + " bytes, at most " + std::to_string(kMaxRawLength);
  else if (PatchSequence && Bytes.size() < kPduHeaderLength)
    Refusal = "no sequence number to set in " + std::to_string(Bytes.size()) + " bytes";
  const int32_t Result = [&]() -> int32_t {
    if (!Refusal.empty()) return -1;
    std::lock_guard<std::mutex> Guard(FSendLock);
    if (!SocketConnected(Submitter())) return -1;
    if (Bytes.size() < kPduHeaderLength) {
      SocketSend(Submitter(), Bytes.data(), Bytes.size());
      return 0;
    }
    std::vector<uint8_t> Copy;
    const uint8_t* Data = Bytes.data();
    if (PatchSequence) {
      Copy = Bytes;
      PutU32(Copy.data() + 12, FSequenceCounter.Next());
      Data = Copy.data();
    }
    const uint32_t Sequence = GetU32(Data + 12);
    AddPending(Sequence, 0);
    SocketSend(Submitter(), Data, Bytes.size());
    return static_cast<int32_t>(Sequence);
  }();
  if (!Refusal.empty()) {
    TSideState& Tcx = Submitter();
    const std::string Line = std::string(Tcx.Prefix) + " raw PDU refused: " + Refusal;
    Report(Tcx, &Line, true);
  }
  return Result;
}

void TSmppClient::AddPending(uint32_t Sequence, uint32_t CommandId) {
  std::lock_guard<std::mutex> Guard(FPendingLock);
  if (!FPending[FPendingNext].Used) FPendingCount.fetch_add(1);
  FPending[FPendingNext] = {Sequence, CommandId, true};
  FPendingNext = (FPendingNext + 1) % kPendingRequests;
}

bool TSmppClient::AwaitsRequestAnswer(uint32_t Sequence, uint32_t CommandId) {
  if (FPendingCount.load() == 0) return false;
  std::lock_guard<std::mutex> Guard(FPendingLock);
  for (const TPendingRequest& P : FPending)
    if (P.Used && P.Sequence == Sequence &&
        (P.CommandId == 0 || CommandId == kGenericNack ||
         CommandId == (P.CommandId | kGenericNack)))
      return true;
  return false;
}

bool TSmppClient::ReportRequestAnswer(TSideState& Side, const TPDU& Pdu) {
  // unbind_resp ends the session as always, whoever sent the unbind.
  if (!Side.Transmits || (Pdu.command_id & kGenericNack) == 0 || Pdu.command_id == kUnbindResp)
    return false;
  // The request this answers, if it is one of ours: taken off the list, so that a second answer
  // with the same number is not taken for it.
  bool Found = false;
  uint32_t Request = 0;
  // Most runs send no such request: their answers then cost no lock.
  if (FPendingCount.load() > 0) {
    std::lock_guard<std::mutex> Guard(FPendingLock);
    for (TPendingRequest& P : FPending)
      if (P.Used && P.Sequence == Pdu.sequence_number &&
          (P.CommandId == 0 || Pdu.command_id == kGenericNack ||
           Pdu.command_id == (P.CommandId | kGenericNack))) {
        Found = true;
        Request = P.CommandId;
        P.Used = false;
        FPendingCount.fetch_sub(1);
        break;
      }
  }
  const bool Own = Pdu.command_id == kQuerySmResp || Pdu.command_id == kCancelSmResp ||
                   Pdu.command_id == kReplaceSmResp;
  if (!Found && !Own) return false;

  std::string Line = std::string(Side.Prefix) + " " + CommandText(Pdu.command_id) + " seq " +
                     std::to_string(Pdu.sequence_number) + " " + StatusText(Pdu.command_status);
  if (Pdu.command_status == 0) {
    if (Pdu.command_id == kQuerySmResp) {
      Line += " id " + Pdu.message_id + " state " + MessageStateName(Pdu.query.message_state) +
              " (" + std::to_string(Pdu.query.message_state) + ")";
      if (!Pdu.query.final_date.empty()) Line += " final_date " + Pdu.query.final_date;
      if (Pdu.query.error_code != 0) Line += " error_code " + std::to_string(Pdu.query.error_code);
    } else if (Pdu.command_id == kSubmitSmResp || Pdu.command_id == kSubmitMultiResp) {
      Line += " id " + Pdu.message_id;
    }
  }
  if (Found && Request == 0)
    Line += " (raw PDU)";
  else if (Found && Pdu.command_id == kGenericNack)
    Line += " (" + CommandName(Request) + ")";
  Side.Connection.SetReportLine(Line);
  return true;
}
