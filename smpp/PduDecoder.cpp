// The PDU decoder: reads the fields of one PDU in order, bounded by the bytes that exist, and
// turns deliver_sm and data_sm into message text or the fields of a delivery receipt.
#include <algorithm>

#include "smpp/PduCharset.h"
#include "smpp/smpppdu.h"

namespace {

// Reads the fields of one PDU body in order. Every read stops at end: a field that runs past it is
// cut there, and every read after that gives nothing.
class TBodyReader {
 public:
  TBodyReader(const uint8_t* buffer, size_t position, size_t end) noexcept
      : FBuf(buffer), FPos(std::min(position, end)), FEnd(end) {}

  uint8_t U8() noexcept { return FPos < FEnd ? FBuf[FPos++] : 0; }
  // A big-endian 16-bit field; 0 when fewer than two octets remain (nothing is read then).
  uint16_t U16() noexcept {
    if (FEnd - FPos < 2) {
      FPos = FEnd;
      return 0;
    }
    const uint16_t v = GetU16(FBuf + FPos);
    FPos += 2;
    return v;
  }
  // A zero-terminated string without its terminator; with no terminator, the rest of the body.
  std::string_view CString() noexcept {
    const char* start = reinterpret_cast<const char*>(FBuf + FPos);
    const void* zero = std::memchr(start, 0, FEnd - FPos);
    const size_t n =
        zero ? static_cast<size_t>(static_cast<const char*>(zero) - start) : FEnd - FPos;
    FPos += zero ? n + 1 : n;
    return {start, n};
  }
  // n octets, or as many as remain.
  std::string_view Octets(size_t n) noexcept {
    n = std::min(n, FEnd - FPos);
    const char* start = reinterpret_cast<const char*>(FBuf + FPos);
    FPos += n;
    return {start, n};
  }
  size_t Remaining() const noexcept { return FEnd - FPos; }

 private:
  const uint8_t* FBuf;
  size_t FPos;
  size_t FEnd;
};

// The optional parameters the decoder uses, each taken from its first occurrence.
struct TOptionals {
  std::string_view ReceiptedMessageId;
  std::string_view Payload;
  bool HasReceiptedMessageId = false;
  bool HasPayload = false;
  TConcatInfo Sar;  // Total 0 when absent
  int MessageState = -1;
};

// Walks the tag-length-value list to the end of the body. A parameter whose length runs past the
// end ends the walk; it and whatever follows are not taken.
TOptionals ReadOptionals(TBodyReader& r) {
  TOptionals o;
  while (r.Remaining() >= 4) {
    const uint16_t tag = r.U16();
    const uint16_t length = r.U16();
    if (length > r.Remaining()) break;
    const std::string_view value = r.Octets(length);
    if (tag == kTagMessagePayload && !o.HasPayload) {
      o.Payload = value;
      o.HasPayload = true;
    } else if (tag == kTagReceiptedMessageId && !o.HasReceiptedMessageId) {
      o.ReceiptedMessageId = value;
      o.HasReceiptedMessageId = true;
    } else if (tag == kTagMessageState && o.MessageState < 0 && length >= 1) {
      o.MessageState = static_cast<uint8_t>(value[0]);
    } else if (tag == kTagSarMsgRefNum && length == 2) {
      o.Sar.Reference = GetU16(reinterpret_cast<const uint8_t*>(value.data()));
    } else if (tag == kTagSarTotalSegments && length == 1) {
      o.Sar.Total = static_cast<uint8_t>(value[0]);
    } else if (tag == kTagSarSegmentSeqnum && length == 1) {
      o.Sar.Seq = static_cast<uint8_t>(value[0]);
    }
  }
  return o;
}

// A message id as the SMSC sent it: up to its terminator, its printable characters only (so that
// nothing from the wire can break a report line), at most kMaxMessageIdLength of them.
std::string PrintableId(std::string_view bytes) {
  char id[kMaxMessageIdLength];
  size_t n = 0;
  for (char c : bytes) {
    if (c == 0 || n == kMaxMessageIdLength) break;
    if (c >= 0x20 && c <= 0x7E) id[n++] = c;
  }
  return std::string(id, n);
}

char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StartsWithLabel(std::string_view text, std::string_view label) {
  if (text.size() < label.size()) return false;
  for (size_t i = 0; i < label.size(); ++i)
    if (LowerAscii(text[i]) != label[i]) return false;
  return true;
}

// The receipt text, read by its labels: each label (any case) starts the text or follows a space,
// and its value runs to the next space; text: runs to the end. The first occurrence of a label
// counts; a missing label leaves its field empty.
void ReadReceiptText(std::string_view text, TDeliver& d) {
  struct Label {
    std::string_view name;
    std::string TDeliver::*field;
  };
  static constexpr Label kLabels[] = {
      {"id:", &TDeliver::receipt_id},
      {"sub:", &TDeliver::receipt_sub},
      {"dlvrd:", &TDeliver::receipt_dlvrd},
      {"submit date:", &TDeliver::receipt_submit_date},
      {"done date:", &TDeliver::receipt_done_date},
      {"stat:", &TDeliver::receipt_stat},
      {"err:", &TDeliver::receipt_err},
      {"text:", &TDeliver::text},
  };
  constexpr size_t kText = std::size(kLabels) - 1;
  bool seen[std::size(kLabels)] = {};
  size_t pos = 0;
  while (pos < text.size()) {
    if (text[pos] == ' ') {
      ++pos;
      continue;
    }
    const std::string_view rest = text.substr(pos);
    size_t which = std::size(kLabels);
    for (size_t i = 0; i < std::size(kLabels) && which == std::size(kLabels); ++i)
      if (StartsWithLabel(rest, kLabels[i].name)) which = i;
    if (which == kText) {
      if (!seen[kText]) d.text.assign(rest.substr(kLabels[kText].name.size()));
      return;
    }
    const size_t start = which < std::size(kLabels) ? kLabels[which].name.size() : 0;
    const size_t space = rest.find(' ', start);
    const size_t stop = space == std::string_view::npos ? rest.size() : space;
    if (which < std::size(kLabels) && !seen[which]) {
      seen[which] = true;
      (d.*kLabels[which].field).assign(rest.substr(start, stop - start));
    }
    pos += stop;
  }
}

// The stat word of an SMPP message_state value, so that ReceiptStateCode gives that value back.
std::string_view StateWord(int state) {
  static constexpr std::string_view kWords[] = {
      "", "ENROUTE", "DELIVRD", "EXPIRED", "DELETED", "UNDELIV", "ACCEPTD", "UNKNOWN", "REJECTD"};
  return state >= 1 && state < static_cast<int>(std::size(kWords)) ? kWords[state] : "";
}

// The fields of a deliver_sm or data_sm. end is the number of bytes of the PDU that may be read.
void DecodeDeliver(const uint8_t* buf, size_t end, TPDU& pdu, TTextCoding defaultAlphabet) {
  TDeliver& d = pdu.deliver;
  TBodyReader r(buf, kPduHeaderLength, end);
  d.service_type = r.CString();
  r.U8();  // source_addr_ton
  r.U8();  // source_addr_npi
  d.source_addr = r.CString();
  r.U8();  // dest_addr_ton
  r.U8();  // dest_addr_npi
  d.destination_addr = r.CString();
  d.esm_class = r.U8();

  uint8_t dataCoding = 0;
  std::string_view userData;
  if (pdu.command_id == kDeliverSm) {
    r.U8();       // protocol_id
    r.U8();       // priority_flag
    r.CString();  // schedule_delivery_time
    r.CString();  // validity_period
    r.U8();       // registered_delivery
    r.U8();       // replace_if_present_flag
    dataCoding = r.U8();
    r.U8();  // sm_default_msg_id
    userData = r.Octets(r.U8());
  } else {
    r.U8();  // registered_delivery
    dataCoding = r.U8();
  }
  const TOptionals o = ReadOptionals(r);
  // A data_sm carries its text in message_payload; a deliver_sm may, with an empty short message.
  if (o.HasPayload && (pdu.command_id == kDataSm || userData.empty())) userData = o.Payload;
  TConcatInfo concat;
  if ((d.esm_class & kEsmUdhi) && !userData.empty()) {
    size_t headerLength;
    ReadUserDataHeader(reinterpret_cast<const uint8_t*>(userData.data()), userData.size(),
                       headerLength, concat);
    userData.remove_prefix(std::min<size_t>(userData.size(), 1 + uint8_t(userData[0])));
  }
  if (!IsReceipt(d.esm_class)) {
    // A header's concatenation wins; SAR values count only when all three are sound.
    if (concat.Total == 0 && o.Sar.Total != 0 && o.Sar.Seq != 0 && o.Sar.Seq <= o.Sar.Total)
      concat = o.Sar;
    d.sar_msg_ref_num = concat.Reference;
    d.sar_total_segments = concat.Total;
    d.sar_segment_seqnum = concat.Seq;
    d.data_coding = dataCoding;
    d.user_data = userData;
    d.text = DecodeText(reinterpret_cast<const uint8_t*>(userData.data()), userData.size(),
                        dataCoding, defaultAlphabet);
    return;
  }
  // A receipt's labels are read from the text; single-byte text is read where it lies.
  if (dataCoding == 8) {
    const std::string text =
        Ucs2ToText(reinterpret_cast<const uint8_t*>(userData.data()), userData.size());
    ReadReceiptText(text, d);
  } else {
    ReadReceiptText(userData, d);
  }
  if (o.HasReceiptedMessageId) d.receipt_id = PrintableId(o.ReceiptedMessageId);
  if (!StateWord(o.MessageState).empty()) d.receipt_stat = StateWord(o.MessageState);
  d.receipt_ref = d.receipt_id;
}

}  // namespace

std::string DecodeText(const uint8_t* bytes, size_t count, uint8_t dataCoding,
                       TTextCoding defaultAlphabet) {
  if (count == 0) return {};
  if (dataCoding == 8) return Ucs2ToText(bytes, count);
  if (dataCoding == kDataCodingLatin1 ||
      (dataCoding == kDataCodingDefault && defaultAlphabet == TTextCoding::tcGsm))
    return DecodeUserData(bytes, count, dataCoding, defaultAlphabet);
  return std::string(reinterpret_cast<const char*>(bytes), count);
}

std::string Ucs2ToText(const uint8_t* bytes, size_t count) {
  // Each decoding has its own workspace on its own stack, so the two connections' threads can
  // decode at once. A text longer than the workspace is cut, keeping room for the final zero.
  char16_t workspace[kTextWorkspaceUnits];
  const size_t units = std::min(count / 2, kTextWorkspaceUnits - 1);
  size_t n = 0;
  for (; n < units; ++n) {
    const char16_t u = static_cast<char16_t>(GetU16(bytes + 2 * n));
    if (u == 0) break;
    workspace[n] = u;
  }
  workspace[n] = 0;
  return Utf16ToText(workspace, n);
}

char ReceiptStateCode(std::string_view word) noexcept {
  static constexpr struct {
    std::string_view word;
    char code;
  } kStates[] = {{"DELIVRD", '2'}, {"EXPIRED", '3'}, {"DELETED", '4'}, {"UNDELIV", '5'},
                 {"ACCEPTD", '6'}, {"UNKNOWN", '7'}, {"REJECTD", '8'}};
  for (const auto& s : kStates)
    if (s.word == word) return s.code;
  return '1';
}

void TPduCodec::DecodePdu(const uint8_t* buffer, size_t capacity, size_t received, TPDU& pdu,
                          TTextCoding defaultAlphabet) {
  // Nothing past what was received, what the buffer holds, or the PDU's own length is read.
  const size_t available = std::min(capacity, received);
  uint8_t header[kPduHeaderLength] = {};
  if (available > 0) std::memcpy(header, buffer, std::min(available, kPduHeaderLength));
  pdu.command_length = GetU32(header);
  pdu.command_id = GetU32(header + 4);
  pdu.command_status = GetU32(header + 8);
  pdu.sequence_number = GetU32(header + 12);
  const size_t end = std::min<size_t>(pdu.command_length, available);

  switch (pdu.command_id) {
    case kSubmitSmResp:
    case kSubmitMultiResp: {
      TBodyReader r(buffer, kPduHeaderLength, end);
      pdu.message_id = PrintableId(r.CString());
      break;
    }
    case kDeliverSm:
    case kDataSm:
      if (end > kPduHeaderLength) DecodeDeliver(buffer, end, pdu, defaultAlphabet);
      break;
    default:
      pdu.message_id.clear();
      break;
  }
}
