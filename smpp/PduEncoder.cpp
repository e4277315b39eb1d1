// The PDU encoder: records to wire bytes, never writing past the capacity it is given.
#include <algorithm>
#include <vector>

#include "smpp/PduCharset.h"
#include "smpp/smpppdu.h"

// The extra optional parameters fit a PDU buffer with the shortest submit_sm.
static_assert(TSMPPClientInfo::kMaxExtraTlvOctets == kPduBufferSize - kPduHeaderLength - 17);

namespace {

// Appends to a PDU under construction. Once something does not fit, nothing more is written and
// Overflow() stays true, so the caller can refuse the whole PDU.
class TPduWriter {
 public:
  TPduWriter(uint8_t* Buffer, size_t Capacity) noexcept : FBuf(Buffer), FCap(Capacity) {
    if (FCap < kPduHeaderLength) FOverflow = true;
  }

  void U8(uint8_t V) noexcept {
    if (FOverflow || FPos >= FCap) {
      FOverflow = true;
      return;
    }
    FBuf[FPos++] = V;
  }
  void Bytes(const void* Data, size_t N) noexcept {
    if (FOverflow || N > FCap - FPos) {
      FOverflow = true;
      return;
    }
    if (N) std::memcpy(FBuf + FPos, Data, N);
    FPos += N;
  }
  // A zero-terminated string of at most Max characters of S.
  void CString(std::string_view S, size_t Max = std::string_view::npos) noexcept {
    S = S.substr(0, Max);
    Bytes(S.data(), S.size());
    U8(0);
  }

  // Marks the PDU as one that cannot be built.
  void Refuse() noexcept { FOverflow = true; }
  bool Overflow() const noexcept { return FOverflow; }
  size_t Position() const noexcept { return FPos; }

 private:
  uint8_t* FBuf;
  size_t FCap;
  size_t FPos = kPduHeaderLength;
  bool FOverflow = false;
};

void WriteBind(TPduWriter& W, const TSMPPClientInfo& Info) {
  const TSMPPClientInfo::TBindCredentials C = Info.BindCredentials();
  const TSMPPClientInfo::TBindFields F = Info.BindFields();
  W.CString(C.UserID, 15);
  W.CString(C.Password, 15);
  W.CString(C.SystemType, 12);
  W.U8(F.interface_version);
  W.U8(F.addr_ton);
  W.U8(F.addr_npi);
  W.CString(F.address_range, 40);
}

// The message id of a query, cancel or replace; longer than the field holds: not built.
void WriteMessageId(TPduWriter& W, const std::string& Id) {
  if (Id.size() > kMaxMessageIdLength) W.Refuse();
  W.CString(Id);
}

void WriteQuery(TPduWriter& W, const TPDU& Pdu, const TSMPPClientInfo& Info) {
  WriteMessageId(W, Pdu.message_id);
  if (!Pdu.request.source_given) {
    W.U8(0);  // source_addr_ton
    W.U8(1);  // source_addr_npi
    W.CString("8877");
    return;
  }
  const TSMPPClientInfo::TSubmitAddressing A = Info.SubmitAddressing();
  W.U8(static_cast<uint8_t>(A.source_ton));
  W.U8(static_cast<uint8_t>(A.source_npi));
  W.CString(Pdu.request.source_addr, kMaxAddressLength);
}

void WriteCancel(TPduWriter& W, const TPDU& Pdu, const TSMPPClientInfo& Info) {
  const TSMPPClientInfo::TSubmitAddressing A = Info.SubmitAddressing();
  W.CString(Info.SubmitFields().service_type);
  WriteMessageId(W, Pdu.message_id);
  W.U8(static_cast<uint8_t>(A.source_ton));
  W.U8(static_cast<uint8_t>(A.source_npi));
  W.CString(Pdu.request.source_addr, kMaxAddressLength);
  W.U8(static_cast<uint8_t>(A.dest_ton));
  W.U8(static_cast<uint8_t>(A.dest_npi));
  W.CString(Pdu.request.destination_addr, kMaxAddressLength);
}

void WriteReplace(TPduWriter& W, const TPDU& Pdu, const TSMPPClientInfo& Info) {
  const TSMPPClientInfo::TSubmitAddressing A = Info.SubmitAddressing();
  const TSMPPClientInfo::TSubmitFields F = Info.SubmitFields();
  const std::string& Text = Pdu.request.short_message;
  WriteMessageId(W, Pdu.message_id);
  W.U8(static_cast<uint8_t>(A.source_ton));
  W.U8(static_cast<uint8_t>(A.source_npi));
  W.CString(Pdu.request.source_addr, kMaxAddressLength);
  W.CString(F.schedule_delivery_time);
  W.U8(0);  // validity_period, empty
  W.U8(F.registered_delivery);
  W.U8(F.sm_default_msg_id);
  if (Text.size() > kMaxShortMessageLength) W.Refuse();
  W.U8(static_cast<uint8_t>(Text.size()));
  W.Bytes(Text.data(), Text.size());
}

// The short message of a submit_sm in UCS-2: code units up to the first zero one, cut so that
// sm_length (one octet) counts exactly the bytes written. A surrogate pair is never split.
void WriteUcs2Message(TPduWriter& W, std::string_view Text) {
  const std::u16string Units = TextToUtf16(Text);
  size_t N = std::find(Units.begin(), Units.end(), u'\0') - Units.begin();
  constexpr size_t kMaxUnits = 255 / 2;
  if (N > kMaxUnits) {
    N = kMaxUnits;
    if (Units[N - 1] >= 0xD800 && Units[N - 1] <= 0xDBFF) --N;
  }
  W.U8(static_cast<uint8_t>(2 * N));
  for (size_t I = 0; I < N; ++I) {
    W.U8(static_cast<uint8_t>(Units[I] >> 8));
    W.U8(static_cast<uint8_t>(Units[I]));
  }
}

// The optional parameters the client adds itself: the SAR values, then message_payload.
void WriteOwnSubmitOptions(TPduWriter& W, const TSubmit& S) {
  uint8_t Tlv[4];
  if (S.sar_total_segments != 0) {
    PutU16(Tlv, kTagSarMsgRefNum);
    PutU16(Tlv + 2, 2);
    W.Bytes(Tlv, 4);
    W.U8(static_cast<uint8_t>(S.sar_msg_ref_num >> 8));
    W.U8(static_cast<uint8_t>(S.sar_msg_ref_num));
    PutU16(Tlv, kTagSarTotalSegments);
    PutU16(Tlv + 2, 1);
    W.Bytes(Tlv, 4);
    W.U8(S.sar_total_segments);
    PutU16(Tlv, kTagSarSegmentSeqnum);
    W.Bytes(Tlv, 4);
    W.U8(S.sar_segment_seqnum);
  }
  if (!S.message_payload.empty()) {
    if (S.message_payload.size() > 0xFFFF) {
      W.Refuse();  // no value length holds it
      return;
    }
    PutU16(Tlv, kTagMessagePayload);
    PutU16(Tlv + 2, static_cast<uint16_t>(S.message_payload.size()));
    W.Bytes(Tlv, 4);
    W.Bytes(S.message_payload.data(), S.message_payload.size());
  }
}

// The optional parameters of a submit: the SAR values, message_payload, then the extra ones of
// the settings (whose lengths SetExtraTlvs has checked).
void WriteSubmitOptions(TPduWriter& W, const TSubmit& S, const TSMPPClientInfo::TSubmitFields& F) {
  WriteOwnSubmitOptions(W, S);
  uint8_t Tlv[4];
  for (const TTlv& T : *F.extra_tlvs) {
    PutU16(Tlv, T.Tag);
    PutU16(Tlv + 2, static_cast<uint16_t>(T.Value.size()));
    W.Bytes(Tlv, 4);
    W.Bytes(T.Value.data(), T.Value.size());
  }
}

void WriteSubmit(TPduWriter& W, const TPDU& Pdu, const TSMPPClientInfo& Info, int DataCoding) {
  TSMPPClientInfo::TSubmitAddressing A;
  TSMPPClientInfo::TSubmitFields F;
  Info.SubmitSettings(A, F);
  const TSubmit& S = Pdu.submit;
  W.CString(F.service_type);
  W.U8(static_cast<uint8_t>(A.source_ton));
  W.U8(static_cast<uint8_t>(A.source_npi));
  W.CString(S.source_addr, kMaxAddressLength);
  W.U8(static_cast<uint8_t>(A.dest_ton));
  W.U8(static_cast<uint8_t>(A.dest_npi));
  W.CString(S.destination_addr, kMaxAddressLength);
  W.U8(S.esm_class | F.esm_class);
  W.U8(F.protocol_id);
  W.U8(F.priority_flag);
  W.CString(F.schedule_delivery_time);
  if (S.validity_period.empty()) {
    W.U8(0);
  } else {
    // A relative time: the first 15 characters and the relative marker; an absolute time keeps
    // its own sign of the offset from UTC.
    const std::string_view V = S.validity_period.View().substr(0, 15);
    const std::string_view Whole = S.validity_period.View();
    const bool Absolute = Whole.size() == 16 && (Whole.back() == '+' || Whole.back() == '-');
    W.Bytes(V.data(), V.size());
    W.U8(Absolute ? Whole.back() : 'R');
    W.U8(0);
  }
  // registered_delivery: by default 0x11, receipt on final outcome and intermediate
  // notifications.
  W.U8(F.registered_delivery);
  W.U8(F.replace_if_present_flag);
  // The coding is judged by the byte that goes on the wire.
  const uint8_t Coding = static_cast<uint8_t>(DataCoding);
  W.U8(Coding);
  W.U8(F.sm_default_msg_id);
  if (S.user_data_octets) {
    W.U8(static_cast<uint8_t>(S.short_message.size()));
    W.Bytes(S.short_message.data(), S.short_message.size());
  } else if (Coding == 8) {
    WriteUcs2Message(W, S.short_message);
  } else {
    // 0, 0xF0 and any other coding: the stored bytes, one per character.
    W.U8(static_cast<uint8_t>(S.short_message.size()));
    W.Bytes(S.short_message.data(), S.short_message.size());
  }
  WriteSubmitOptions(W, S, F);
}

bool IsBlankOrControl(char C) {
  return static_cast<unsigned char>(C) <= 0x20;
}

// The destinations of a submit_multi: the pieces of the comma-separated list, trimmed of blanks
// and control characters; empty pieces are dropped.
std::vector<std::string_view> Destinations(std::string_view List) {
  std::vector<std::string_view> Pieces;
  while (!List.empty()) {
    const size_t Comma = List.find(',');
    std::string_view Piece = List.substr(0, Comma);
    while (!Piece.empty() && IsBlankOrControl(Piece.front())) Piece.remove_prefix(1);
    while (!Piece.empty() && IsBlankOrControl(Piece.back())) Piece.remove_suffix(1);
    if (!Piece.empty()) Pieces.push_back(Piece);
    List.remove_prefix(Comma == std::string_view::npos ? List.size() : Comma + 1);
  }
  return Pieces;
}

// False when the list holds no destination or more than a submit_multi carries.
bool WriteSubmitMulti(TPduWriter& W, const TPDU& Pdu, const TSMPPClientInfo& Info, int DataCoding) {
  const std::vector<std::string_view> List = Destinations(Pdu.submit.destination_addr);
  if (List.empty() || List.size() > kMaxDestinations) return false;
  TSMPPClientInfo::TSubmitAddressing A;
  TSMPPClientInfo::TSubmitFields F;
  Info.SubmitSettings(A, F);
  const TSubmit& S = Pdu.submit;
  W.CString(F.service_type);
  W.U8(static_cast<uint8_t>(A.source_ton));
  W.U8(static_cast<uint8_t>(A.source_npi));
  W.CString(S.source_addr, kMaxAddressLength);
  // number_of_dests counts the entries written.
  W.U8(static_cast<uint8_t>(List.size()));
  for (std::string_view D : List) {
    W.U8(1);  // dest_flag: SME address
    W.U8(static_cast<uint8_t>(A.dest_ton));
    W.U8(static_cast<uint8_t>(A.dest_npi));
    W.CString(D, kMaxAddressLength);
  }
  W.U8(S.esm_class | F.esm_class);
  W.U8(F.protocol_id);
  W.U8(F.priority_flag);
  W.CString(F.schedule_delivery_time);
  W.U8(0);  // validity_period, empty
  W.U8(F.registered_delivery);
  W.U8(F.replace_if_present_flag);
  // data_coding: 0 for a text as stored; a coded text carries its coding.
  W.U8(S.user_data_octets ? static_cast<uint8_t>(DataCoding) : 0);
  W.U8(F.sm_default_msg_id);
  W.U8(static_cast<uint8_t>(S.short_message.size()));
  W.Bytes(S.short_message.data(), S.short_message.size());
  WriteSubmitOptions(W, S, F);
  return true;
}

}  // namespace

void TPduCodec::EncodePdu(uint8_t* Buffer, size_t Capacity, size_t& Length, TPDU& Pdu,
                          int DataCoding) const {
  Length = 0;
  TPduWriter W(Buffer, Capacity);
  bool Response = false;
  switch (Pdu.command_id) {
    case kBindReceiver:
    case kBindTransmitter:
    case kBindTransceiver:
      WriteBind(W, FClientInfo);
      break;
    case kEnquireLink:
      break;
    case kQuerySm:
      WriteQuery(W, Pdu, FClientInfo);
      break;
    case kCancelSm:
      WriteCancel(W, Pdu, FClientInfo);
      break;
    case kReplaceSm:
      WriteReplace(W, Pdu, FClientInfo);
      break;
    case kSubmitSm:
      WriteSubmit(W, Pdu, FClientInfo, DataCoding);
      break;
    case kSubmitMulti:
      if (!WriteSubmitMulti(W, Pdu, FClientInfo, DataCoding)) return;
      break;
    case kDeliverSmResp:
    case kDataSmResp:
      W.U8(0);  // message_id, empty
      Response = true;
      break;
    case kEnquireLinkResp:
    case kUnbindResp:
    case kGenericNack:
      Response = true;
      break;
    case kUnbind:
      // Always the same 16 bytes; it takes no number from the counter.
      if (Capacity < UnbindPdu.size()) return;
      std::memcpy(Buffer, UnbindPdu.data(), UnbindPdu.size());
      Pdu.sequence_number = GetU32(UnbindPdu.data() + 12);
      Length = UnbindPdu.size();
      return;
    default:
      return;  // no layout for this command: nothing is built
  }
  if (W.Overflow()) return;
  // The number is drawn only once the PDU is known to fit, so a refused PDU wastes none.
  const uint32_t Sequence = Response ? Pdu.sequence_number : FSequenceCounter.Next();
  Pdu.sequence_number = Sequence;
  Length = W.Position();
  PutU32(Buffer, static_cast<uint32_t>(Length));
  PutU32(Buffer + 4, Pdu.command_id);
  PutU32(Buffer + 8, Pdu.command_status);
  PutU32(Buffer + 12, Sequence);
}
