// TSmppClient: Send of coded texts and long messages (GSM, Latin-1, UCS-2; concatenated parts,
// SAR values, message_payload), and the concatenation reference of each destination.
#include <algorithm>
#include <cstring>
#include <vector>

#include "smpp/smppclient.h"

namespace {

// A destination list of thousands of different numbers must not make the table grow without end:
// past this many destinations it starts again (each new destination starts anywhere).
constexpr size_t kMaxConcatDestinations = 10000;

}  // namespace

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

int32_t TSmppClient::SendCoded(std::vector<uint32_t>* PartSequences, const std::string& Source,
                               const std::string& Destination, const std::string& Validity,
                               const std::string& Text, TSMPPClientInfo::TSubmitText Settings) {
  // The refusal is reported once no lock of Send is held (the report lock comes first).
  std::string Refusal;
  const int32_t Result = [&]() -> int32_t {
    // Coded and cut before the connection is looked at: a text that cannot go is refused
    // whatever the state of the transmitter.
    TMessagePlan Plan;
    if (!PlanMessage(Text, SignatureTrailer, Settings.coding, Settings.long_mode, 0, Plan, Refusal))
      return -1;
    std::lock_guard<std::mutex> Guard(FSendLock);
    if (!SocketConnected(TSide::Tcx)) return -1;
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
    for (const std::vector<uint8_t>& Bytes : Built) {
      if (Built.size() > 1) {
        int32_t Slot = FSentPartIndex.load() + 1;
        if (Slot > SentPartSlots) Slot = 1;
        FSentPartIndex.store(Slot);
        std::memcpy(FSentPartStore[Slot - 1], Bytes.data(),
                    std::min<size_t>(Bytes.size(), SentPartSlotSize));
      }
      SocketSend(TSide::Tcx, Bytes.data(), Bytes.size());
    }
    return static_cast<int32_t>(Pdu.sequence_number);
  }();
  if (!Refusal.empty()) {
    const std::string Line = "Tcx send refused: " + Refusal;
    Report(TSide::Tcx, &Line, true);
  }
  return Result;
}
