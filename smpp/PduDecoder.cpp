// The PDU decoder: a positional walk over the bytes of one PDU, bounded by the bytes that exist.
#include <algorithm>

#include "smpp/PduCharset.h"
#include "smpp/smpppdu.h"

namespace {

inline bool IsLowerHex(uint8_t c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// The fields of a deliver_sm or data_sm. end is the number of bytes of the PDU that may be read.
void DecodeDeliver(const uint8_t* buf, size_t end, TPDU& pdu) {
  TDeliver& d = pdu.deliver;
  // ScanField never reads the last byte of the PDU: its limit is the index of that byte.
  const size_t limit = end - 1;
  auto byteAt = [&](size_t i) -> int { return i < end ? buf[i] : -1; };

  size_t pos = kPduHeaderLength;
  // service_type, then the source address's ton and npi.
  if (byteAt(pos) > 0)
    ScanField(buf, pos, d.service_type, 3, 0, false, limit);
  else
    pos += 3;
  ScanField(buf, pos, d.source_addr, 3, 0, false, limit);
  ScanField(buf, pos, d.destination_addr, 1, 0, false, limit);

  const size_t e = pos;  // esm_class; the fixed fields after it are at fixed offsets
  d.esm_class = static_cast<uint8_t>(std::max(byteAt(e), 0));
  switch (d.esm_class) {
    case 0x00: {
      size_t start;
      if (pdu.command_id == kDataSm)
        start = e + 7;  // registered_delivery, data_coding, tag and length of the first TLV
      else if (byteAt(e + 7) == 8)
        start = e + 16;  // UCS-2: skip 6 bytes of the short message
      else if (byteAt(e + 10) == 4)
        start = e + 14;
      else
        start = e + 10;
      d.text = DecodeText(buf, start, end);
      break;
    }
    case 0x04:
    case 0x20: {
      // A delivery receipt or intermediate notification, walked by position: the labels of the
      // receipt text are stepped over by their lengths, never compared.
      std::string discard;
      pos = e;
      ScanField(buf, pos, discard, 13, 0, false, limit);
      ScanField(buf, pos, d.receipt_ref, 1, 0, true, limit);
      ScanField(buf, pos, discard, 1, 0, false, limit);
      ScanField(buf, pos, discard, 5, 0, false, limit);
      ScanField(buf, pos, d.receipt_id, 5, ' ', false, limit);
      ScanField(buf, pos, d.receipt_sub, 7, ' ', false, limit);
      ScanField(buf, pos, d.receipt_dlvrd, 13, ' ', false, limit);
      ScanField(buf, pos, d.receipt_submit_date, 11, ' ', false, limit);
      ScanField(buf, pos, d.receipt_done_date, 6, ' ', false, limit);
      ScanField(buf, pos, d.receipt_stat, 5, ' ', false, limit);
      ScanField(buf, pos, d.receipt_err, 6, ' ', false, limit);
      d.text = DecodeText(buf, pos, end);
      break;
    }
    case 0x80:
      d.text = DecodeText(buf, e + 10, end);
      break;
    default:
      break;
  }
}

}  // namespace

void ScanField(const uint8_t* buffer, size_t& position, std::string& result, size_t skip,
               uint8_t terminator, bool hexSkip, size_t limit) {
  result.clear();
  size_t p = position;
  if (hexSkip)
    while (p < limit && !IsLowerHex(buffer[p])) ++p;
  const size_t start = p;
  if (p < limit) {
    const void* hit = std::memchr(buffer + p, terminator, limit - p);
    p = hit ? static_cast<size_t>(static_cast<const uint8_t*>(hit) - buffer) : limit;
    result.assign(reinterpret_cast<const char*>(buffer + start), p - start);
  }
  position = p + skip;
}

std::string DecodeText(const uint8_t* buffer, size_t position, size_t end) {
  if (position >= end) return {};
  if (buffer[position] < 0x20) return Ucs2ToText(buffer + position, end - position);
  return std::string(reinterpret_cast<const char*>(buffer + position), end - position);
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

void TPduCodec::DecodePdu(const uint8_t* buffer, size_t capacity, size_t received, TPDU& pdu) {
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
      // The message id keeps only decimal digits and lower-case a to f, in order.
      pdu.message_id.clear();
      for (size_t i = kPduHeaderLength; i < end; ++i)
        if (IsLowerHex(buffer[i])) pdu.message_id += static_cast<char>(buffer[i]);
      break;
    case kDeliverSm:
    case kDataSm:
      if (end > 0) DecodeDeliver(buffer, end, pdu);
      break;
    case kDataSmResp:
      break;
    default:
      pdu.message_id.clear();
      break;
  }
}
