// The PDU encoder: records to wire bytes, never writing past the capacity it is given.
#include <algorithm>
#include <vector>

#include "smpp/PduCharset.h"
#include "smpp/smpppdu.h"

namespace {

// Appends to a PDU under construction. Once something does not fit, nothing more is written and
// Overflow() stays true, so the caller can refuse the whole PDU.
class TPduWriter {
 public:
  TPduWriter(uint8_t* buffer, size_t capacity) noexcept : FBuf(buffer), FCap(capacity) {
    if (FCap < kPduHeaderLength) FOverflow = true;
  }

  void U8(uint8_t v) noexcept {
    if (FOverflow || FPos >= FCap) {
      FOverflow = true;
      return;
    }
    FBuf[FPos++] = v;
  }
  void Bytes(const void* data, size_t n) noexcept {
    if (FOverflow || n > FCap - FPos) {
      FOverflow = true;
      return;
    }
    if (n) std::memcpy(FBuf + FPos, data, n);
    FPos += n;
  }
  // A zero-terminated string of at most max characters of s.
  void CString(std::string_view s, size_t max = std::string_view::npos) noexcept {
    s = s.substr(0, max);
    Bytes(s.data(), s.size());
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

void WriteBind(TPduWriter& w, const TSMPPClientInfo& info) {
  const TSMPPClientInfo::TBindCredentials c = info.BindCredentials();
  w.CString(c.UserID, 15);
  w.CString(c.Password, 15);
  w.CString(c.SystemType, 12);
  w.U8(0x34);  // interface_version 3.4
  w.U8(0);     // addr_ton
  w.U8(0);     // addr_npi
  w.U8(0);     // address_range, empty
}

void WriteQuery(TPduWriter& w, const TPDU& pdu) {
  w.CString(pdu.message_id);
  w.U8(0);  // source_addr_ton
  w.U8(1);  // source_addr_npi
  w.CString("8877");
}

// The short message of a submit_sm in UCS-2: code units up to the first zero one, cut so that
// sm_length (one octet) counts exactly the bytes written. A surrogate pair is never split.
void WriteUcs2Message(TPduWriter& w, std::string_view text) {
  const std::u16string units = TextToUtf16(text);
  size_t n = std::find(units.begin(), units.end(), u'\0') - units.begin();
  constexpr size_t kMaxUnits = 255 / 2;
  if (n > kMaxUnits) {
    n = kMaxUnits;
    if (units[n - 1] >= 0xD800 && units[n - 1] <= 0xDBFF) --n;
  }
  w.U8(static_cast<uint8_t>(2 * n));
  for (size_t i = 0; i < n; ++i) {
    w.U8(static_cast<uint8_t>(units[i] >> 8));
    w.U8(static_cast<uint8_t>(units[i]));
  }
}

// The optional parameters of a submit: the SAR values, then message_payload.
void WriteSubmitOptions(TPduWriter& w, const TSubmit& s) {
  uint8_t tlv[4];
  if (s.sar_total_segments != 0) {
    PutU16(tlv, kTagSarMsgRefNum);
    PutU16(tlv + 2, 2);
    w.Bytes(tlv, 4);
    w.U8(static_cast<uint8_t>(s.sar_msg_ref_num >> 8));
    w.U8(static_cast<uint8_t>(s.sar_msg_ref_num));
    PutU16(tlv, kTagSarTotalSegments);
    PutU16(tlv + 2, 1);
    w.Bytes(tlv, 4);
    w.U8(s.sar_total_segments);
    PutU16(tlv, kTagSarSegmentSeqnum);
    w.Bytes(tlv, 4);
    w.U8(s.sar_segment_seqnum);
  }
  if (!s.message_payload.empty()) {
    if (s.message_payload.size() > 0xFFFF) {
      w.Refuse();  // no value length holds it
      return;
    }
    PutU16(tlv, kTagMessagePayload);
    PutU16(tlv + 2, static_cast<uint16_t>(s.message_payload.size()));
    w.Bytes(tlv, 4);
    w.Bytes(s.message_payload.data(), s.message_payload.size());
  }
}

void WriteSubmit(TPduWriter& w, const TPDU& pdu, const TSMPPClientInfo& info, int dataCoding) {
  const TSMPPClientInfo::TSubmitAddressing a = info.SubmitAddressing();
  const TSubmit& s = pdu.submit;
  w.U8(0);  // service_type, empty
  w.U8(static_cast<uint8_t>(a.source_ton));
  w.U8(static_cast<uint8_t>(a.source_npi));
  w.CString(s.source_addr, kMaxAddressLength);
  w.U8(static_cast<uint8_t>(a.dest_ton));
  w.U8(static_cast<uint8_t>(a.dest_npi));
  w.CString(s.destination_addr, kMaxAddressLength);
  w.U8(s.esm_class);
  w.U8(0);  // protocol_id
  w.U8(0);  // priority_flag
  w.U8(0);  // schedule_delivery_time, empty
  if (s.validity_period.empty()) {
    w.U8(0);
  } else {
    // A relative time: the first 15 characters and the relative marker.
    const std::string_view v = s.validity_period.View().substr(0, 15);
    w.Bytes(v.data(), v.size());
    w.U8('R');
    w.U8(0);
  }
  w.U8(0x11);  // registered_delivery: receipt on final outcome, intermediate notifications
  w.U8(0);     // replace_if_present_flag
  // The coding is judged by the byte that goes on the wire.
  const uint8_t coding = static_cast<uint8_t>(dataCoding);
  w.U8(coding);
  w.U8(0);  // sm_default_msg_id
  if (s.user_data_octets) {
    w.U8(static_cast<uint8_t>(s.short_message.size()));
    w.Bytes(s.short_message.data(), s.short_message.size());
  } else if (coding == 8) {
    WriteUcs2Message(w, s.short_message);
  } else {
    // 0, 0xF0 and any other coding: the stored bytes, one per character.
    w.U8(static_cast<uint8_t>(s.short_message.size()));
    w.Bytes(s.short_message.data(), s.short_message.size());
  }
  WriteSubmitOptions(w, s);
}

bool IsBlankOrControl(char c) {
  return static_cast<unsigned char>(c) <= 0x20;
}

// The destinations of a submit_multi: the pieces of the comma-separated list, trimmed of blanks
// and control characters; empty pieces are dropped.
std::vector<std::string_view> Destinations(std::string_view list) {
  std::vector<std::string_view> pieces;
  while (!list.empty()) {
    const size_t comma = list.find(',');
    std::string_view piece = list.substr(0, comma);
    while (!piece.empty() && IsBlankOrControl(piece.front())) piece.remove_prefix(1);
    while (!piece.empty() && IsBlankOrControl(piece.back())) piece.remove_suffix(1);
    if (!piece.empty()) pieces.push_back(piece);
    list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
  }
  return pieces;
}

// False when the list holds no destination or more than a submit_multi carries.
bool WriteSubmitMulti(TPduWriter& w, const TPDU& pdu, const TSMPPClientInfo& info, int dataCoding) {
  const std::vector<std::string_view> destinations = Destinations(pdu.submit.destination_addr);
  if (destinations.empty() || destinations.size() > kMaxDestinations) return false;
  const TSMPPClientInfo::TSubmitAddressing a = info.SubmitAddressing();
  const TSubmit& s = pdu.submit;
  w.U8(0);  // service_type, empty
  w.U8(static_cast<uint8_t>(a.source_ton));
  w.U8(static_cast<uint8_t>(a.source_npi));
  w.CString(s.source_addr, kMaxAddressLength);
  // number_of_dests counts the entries written.
  w.U8(static_cast<uint8_t>(destinations.size()));
  for (std::string_view d : destinations) {
    w.U8(1);  // dest_flag: SME address
    w.U8(static_cast<uint8_t>(a.dest_ton));
    w.U8(static_cast<uint8_t>(a.dest_npi));
    w.CString(d, kMaxAddressLength);
  }
  w.U8(s.esm_class);
  w.U8(0);     // protocol_id
  w.U8(0);     // priority_flag
  w.U8(0);     // schedule_delivery_time, empty
  w.U8(0);     // validity_period, empty
  w.U8(0x11);  // registered_delivery
  w.U8(0);     // replace_if_present_flag
  // data_coding: 0 for a text as stored; a coded text carries its coding.
  w.U8(s.user_data_octets ? static_cast<uint8_t>(dataCoding) : 0);
  w.U8(0);  // sm_default_msg_id
  w.U8(static_cast<uint8_t>(s.short_message.size()));
  w.Bytes(s.short_message.data(), s.short_message.size());
  WriteSubmitOptions(w, s);
  return true;
}

}  // namespace

void TPduCodec::EncodePdu(uint8_t* buffer, size_t capacity, size_t& length, TPDU& pdu,
                          int dataCoding) const {
  length = 0;
  TPduWriter w(buffer, capacity);
  bool response = false;
  switch (pdu.command_id) {
    case kBindReceiver:
    case kBindTransmitter:
      WriteBind(w, FClientInfo);
      break;
    case kEnquireLink:
      break;
    case kQuerySm:
      WriteQuery(w, pdu);
      break;
    case kSubmitSm:
      WriteSubmit(w, pdu, FClientInfo, dataCoding);
      break;
    case kSubmitMulti:
      if (!WriteSubmitMulti(w, pdu, FClientInfo, dataCoding)) return;
      break;
    case kDeliverSmResp:
    case kDataSmResp:
      w.U8(0);  // message_id, empty
      response = true;
      break;
    case kEnquireLinkResp:
    case kUnbindResp:
    case kGenericNack:
      response = true;
      break;
    case kUnbind:
      // Always the same 16 bytes; it takes no number from the counter.
      if (capacity < UnbindPdu.size()) return;
      std::memcpy(buffer, UnbindPdu.data(), UnbindPdu.size());
      pdu.sequence_number = GetU32(UnbindPdu.data() + 12);
      length = UnbindPdu.size();
      return;
    default:
      return;  // no layout for this command: nothing is built
  }
  if (w.Overflow()) return;
  // The number is drawn only once the PDU is known to fit, so a refused PDU wastes none.
  const uint32_t sequence = response ? pdu.sequence_number : FSequenceCounter.Next();
  pdu.sequence_number = sequence;
  length = w.Position();
  PutU32(buffer, static_cast<uint32_t>(length));
  PutU32(buffer + 4, pdu.command_id);
  PutU32(buffer + 8, pdu.command_status);
  PutU32(buffer + 12, sequence);
}
