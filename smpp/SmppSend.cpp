// TSmppClient: Send, of plain texts and of coded texts and long messages (GSM, Latin-1, UCS-2;
// concatenated parts, SAR values, message_payload), the store of the sent parts of split messages,
// and the concatenation reference of each destination.
#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "net/IcsSocketIntf.h"
#include "smpp/smppclient.h"

namespace {

// A destination list of thousands of different numbers must not make the table grow without end:
// past this many destinations it starts again (each new destination starts anywhere).
constexpr size_t kMaxConcatDestinations = 10000;

}  // namespace

void TSmppClient::StartSubmit(TPDU& Pdu, const std::string& Source, const std::string& Destination,
                              const std::string& Validity) {
  Pdu.submit.source_addr = Source;
  Pdu.submit.destination_addr = Destination;
  // Commas make a submit_multi.
  Pdu.command_id = Destination.find(',') != std::string::npos ? kSubmitMulti : kSubmitSm;
  Pdu.command_status = 0;
  // Five digits (days, hours, minutes) make a relative validity period; a whole time of 16
  // characters (absolute, or relative with its R) goes as it stands.
  const bool WholeTime = Validity.size() == 16 && std::strchr("+-R", Validity.back()) &&
                         std::all_of(Validity.begin(), Validity.end() - 1,
                                     [](char C) { return C >= '0' && C <= '9'; });
  if (IcsTrim(Validity).empty())
    Pdu.submit.validity_period = "";
  else if (WholeTime)
    Pdu.submit.validity_period = Validity;
  else
    Pdu.submit.validity_period = "00000" + Validity + "00000R";
}

void TSmppClient::StorePart(const uint8_t* Bytes, size_t Length, bool Split) {
  if (!Split) return;
  int32_t Slot = FSentPartIndex.load() + 1;
  if (Slot > SentPartSlots) Slot = 1;
  FSentPartIndex.store(Slot);
  std::memcpy(FSentPartStore[Slot - 1], Bytes, std::min<size_t>(Length, SentPartSlotSize));
}

void TSmppClient::SendPart(const uint8_t* Bytes, size_t Length, bool Split, int64_t AtNs) {
  StorePart(Bytes, Length, Split);
  SocketSend(Submitter(), Bytes, Length, std::nullopt, AtNs);
}

int32_t TSmppClient::Send(const std::string& Source, const std::string& Destination,
                          const std::string& Validity, const std::string& Text,
                          std::vector<uint32_t>* PartSequences, int64_t* SentAtNs) {
  if (PartSequences) PartSequences->clear();
  const TSMPPClientInfo::TSubmitText Coded = FClientInfo->SubmitText();
  if (Coded.coding != TTextCoding::tcBytes || Coded.long_mode != TLongMessageMode::lmSplit)
    return SendCoded(PartSequences, SentAtNs, Source, Destination, Validity, Text, Coded);
  std::lock_guard<std::mutex> Guard(FSendLock);
  if (!SocketConnected(Submitter())) return -1;
  return SendPlain(Source, Destination, Validity, Text, PartSequences, SentAtNs);
}

size_t TSmppClient::SendMany(const std::string& Source, const std::string& Validity, size_t Count,
                             const std::string* const* Destinations,
                             const std::string* const* Texts, std::vector<uint32_t>& Parts,
                             std::vector<size_t>& PartsEnd, std::vector<int64_t>& SentAtNs) {
  Parts.clear();
  PartsEnd.clear();
  SentAtNs.clear();
  static thread_local std::vector<uint32_t> Sequences;
  int64_t At = 0;
  const TSMPPClientInfo::TSubmitText Coded = FClientInfo->SubmitText();
  if (Coded.coding != TTextCoding::tcBytes || Coded.long_mode != TLongMessageMode::lmSplit) {
    // Coded texts are planned one by one, with their own refusals: Send each.
    for (size_t I = 0; I < Count; ++I) {
      if (Send(Source, *Destinations[I], Validity, *Texts[I], &Sequences, &At) < 0) return I;
      Parts.insert(Parts.end(), Sequences.begin(), Sequences.end());
      PartsEnd.push_back(Parts.size());
      SentAtNs.push_back(At);
    }
    return Count;
  }
  // The messages are built into one buffer and go in one write: one pass through the socket's
  // send, and one time stamp, taken as they go, for them all.
  static thread_local std::vector<uint8_t> Batch;
  Batch.clear();
  std::lock_guard<std::mutex> Guard(FSendLock);
  if (!SocketConnected(Submitter())) return 0;
  size_t Built = 0;
  for (; Built < Count; ++Built) {
    if (SendPlain(Source, *Destinations[Built], Validity, *Texts[Built], &Sequences, nullptr,
                  &Batch) < 0)
      break;
    Parts.insert(Parts.end(), Sequences.begin(), Sequences.end());
    PartsEnd.push_back(Parts.size());
  }
  if (Built == 0) return 0;
  At = PduTraceNowNs();
  // A connection lost meanwhile takes none of them.
  if (!SocketSendPdus(Submitter(), Batch.data(), Batch.size(), At)) {
    Parts.clear();
    PartsEnd.clear();
    return 0;
  }
  SentAtNs.assign(Built, At);
  return Built;
}

int32_t TSmppClient::SendPlain(const std::string& Source, const std::string& Destination,
                               const std::string& Validity, const std::string& Text,
                               std::vector<uint32_t>* PartSequences, int64_t* SentAtNs,
                               std::vector<uint8_t>* Batch) {
  if (PartSequences) PartSequences->clear();
  // The text cut to 160 characters, then the signature: built on the stack.
  static constexpr std::string_view Signature = SignatureTrailer;
  char MessageBytes[TFixedText<160>::Capacity + Signature.size()];
  const size_t TextLength = std::min(Text.size(), TFixedText<160>::Capacity);
  std::memcpy(MessageBytes, Text.data(), TextLength);
  std::memcpy(MessageBytes + TextLength, Signature.data(), Signature.size());
  const std::string_view Message(MessageBytes, TextLength + Signature.size());

  // The record of the last plain submit, reused: StartSubmit and the parts set every field this
  // Send writes, and no other field of it is ever set.
  TPDU& Pdu = FSubmitPdu;
  StartSubmit(Pdu, Source, Destination, Validity);

  // Every part is built before any is stored or sent, so that a message goes whole or not at all.
  std::string_view Parts[2];
  size_t PartCount = 0;
  if (Message.size() <= TFixedText<160>::Capacity) {
    Parts[PartCount++] = Message;
  } else {
    // At most 160 + 23 characters: the first 160, then the rest.
    Parts[PartCount++] = Message.substr(0, TFixedText<160>::Capacity);
    Parts[PartCount++] = Message.substr(TFixedText<160>::Capacity);
  }
  uint8_t Buffers[2][kPduBufferSize];
  size_t Lengths[2] = {0, 0};
  for (size_t I = 0; I < PartCount; ++I) {
    Pdu.submit.short_message = Parts[I];
    EncodePdu(Buffers[I], kPduBufferSize, Lengths[I], Pdu, 0);
    // Not built (no destination, or more than a submit_multi carries): nothing goes.
    if (Lengths[I] == 0) {
      if (PartSequences) PartSequences->clear();
      return -1;
    }
    if (PartSequences) PartSequences->push_back(Pdu.sequence_number);
    if (TestHooks.AfterPartEncoded) TestHooks.AfterPartEncoded();
  }
  if (Batch) {
    for (size_t I = 0; I < PartCount; ++I) {
      StorePart(Buffers[I], Lengths[I], PartCount > 1);
      Batch->insert(Batch->end(), Buffers[I], Buffers[I] + Lengths[I]);
    }
    return static_cast<int32_t>(Pdu.sequence_number);
  }
  const int64_t At = SentAtNs ? (*SentAtNs = PduTraceNowNs()) : 0;
  for (size_t I = 0; I < PartCount; ++I) SendPart(Buffers[I], Lengths[I], PartCount > 1, At);
  return static_cast<int32_t>(Pdu.sequence_number);
}

uint16_t TSmppClient::NextConcatReference(const std::string& Destination) {
  auto It = FConcatReferences.find(Destination);
  if (It == FConcatReferences.end()) {
    if (FConcatReferences.size() >= kMaxConcatDestinations) FConcatReferences.clear();
    It = FConcatReferences
             .emplace(Destination, static_cast<uint16_t>(FConcatReferenceStart() & 0xFFFF))
             .first;
  }
  // An 8-bit reference is the low octet, so it rotates through all 256 values as well.
  return It->second++;
}

int32_t TSmppClient::SendCoded(std::vector<uint32_t>* PartSequences, int64_t* SentAtNs,
                               const std::string& Source, const std::string& Destination,
                               const std::string& Validity, const std::string& Text,
                               TSMPPClientInfo::TSubmitText Settings) {
  // The refusal is reported once no lock of Send is held (the report lock comes first).
  std::string Refusal;
  const int32_t Result = [&]() -> int32_t {
    // Coded and cut before the connection is looked at: a text that cannot go is refused
    // whatever the state of the transmitter.
    TMessagePlan Plan;
    if (!PlanMessage(Text, SignatureTrailer, Settings.coding, Settings.long_mode, 0, Plan, Refusal))
      return -1;
    std::lock_guard<std::mutex> Guard(FSendLock);
    if (!SocketConnected(Submitter())) return -1;
    if (Plan.Parts.size() > 1 && ModeUsesReference(Settings.long_mode))
      SplitMessage(Plan.Text, Settings.long_mode, NextConcatReference(Destination), Plan.Parts,
                   Refusal);

    TPDU Pdu;
    StartSubmit(Pdu, Source, Destination, Validity);
    Pdu.submit.user_data_octets = true;

    // Every part is built before any is stored or sent, so that a message goes whole or not at
    // all.
    std::vector<std::vector<uint8_t>> Built;
    Built.reserve(Plan.Parts.size());
    std::vector<uint8_t> Buffer(kPduBufferSize);
    std::vector<uint32_t> Sequences;
    Sequences.reserve(Plan.Parts.size());
    for (const TMessagePart& Part : Plan.Parts) {
      Pdu.submit.short_message = Part.ShortMessage;
      Pdu.submit.message_payload = Part.Payload;
      Pdu.submit.esm_class = Part.EsmClass;
      Pdu.submit.sar_msg_ref_num = Part.SarRef;
      Pdu.submit.sar_total_segments = Part.SarTotal;
      Pdu.submit.sar_segment_seqnum = Part.SarSeq;
      size_t Length = 0;
      EncodePdu(Buffer.data(), Buffer.size(), Length, Pdu, Plan.Text.DataCoding);
      if (Length == 0) {
        Refusal = "the submit cannot be built (its destinations or its length)";
        return -1;
      }
      Built.emplace_back(Buffer.begin(), Buffer.begin() + static_cast<ptrdiff_t>(Length));
      Sequences.push_back(Pdu.sequence_number);
      if (TestHooks.AfterPartEncoded) TestHooks.AfterPartEncoded();
    }
    if (PartSequences) *PartSequences = std::move(Sequences);
    const int64_t At = SentAtNs ? (*SentAtNs = PduTraceNowNs()) : 0;
    for (const std::vector<uint8_t>& Bytes : Built)
      SendPart(Bytes.data(), Bytes.size(), Built.size() > 1, At);
    return static_cast<int32_t>(Pdu.sequence_number);
  }();
  if (!Refusal.empty()) {
    TSideState& Tcx = Submitter();
    const std::string Line = std::string(Tcx.Prefix) + " send refused: " + Refusal;
    Report(Tcx, &Line, true);
  }
  return Result;
}
