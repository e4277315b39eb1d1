// Helpers of the PDU tests: hex texts to bytes and back, and a PDU builder for decoder inputs.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "smpp/SMPPClientInfo.h"
#include "smpp/smpppdu.h"

using Bytes = std::vector<uint8_t>;

// "00 0a FF" -> {0x00, 0x0A, 0xFF}; blanks anywhere are ignored.
inline Bytes Hex(std::string_view text) {
  Bytes out;
  int hi = -1;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    const int v =
        std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10;
    if (hi < 0) {
      hi = v;
    } else {
      out.push_back(static_cast<uint8_t>(hi * 16 + v));
      hi = -1;
    }
  }
  return out;
}

// Wire bytes written out: hex pairs, with 'quoted' runs of text taken byte for byte; blanks
// outside quotes are ignored. Wire("00 01 'ab' 00") -> {0x00, 0x01, 'a', 'b', 0x00}.
inline Bytes Wire(std::string_view text) {
  Bytes out;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == '\'') {
      const size_t close = text.find('\'', i + 1);
      out.insert(out.end(), text.begin() + i + 1, text.begin() + close);
      i = close + 1;
    } else if (std::isspace(static_cast<unsigned char>(text[i]))) {
      ++i;
    } else {
      const Bytes b = Hex(text.substr(i, 2));
      out.insert(out.end(), b.begin(), b.end());
      i += 2;
    }
  }
  return out;
}

// A PDU header as given, command_length included (which need not match anything).
inline Bytes Header(uint32_t length, uint32_t commandId, uint32_t status, uint32_t sequence) {
  Bytes out(16);
  PutU32(out.data(), length);
  PutU32(out.data() + 4, commandId);
  PutU32(out.data() + 8, status);
  PutU32(out.data() + 12, sequence);
  return out;
}

// A whole PDU, its fields in wire order: the header (command_length from the body's size) and the
// body.
inline Bytes PduOf(uint32_t commandId, uint32_t status, uint32_t sequence, const Bytes& body = {}) {
  Bytes out = Header(static_cast<uint32_t>(16 + body.size()), commandId, status, sequence);
  out.resize(16 + body.size());
  std::copy(body.begin(), body.end(), out.begin() + 16);
  return out;
}

// Bytes as "00 0A FF".
inline std::string ToHex(const uint8_t* p, size_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    if (i) s += ' ';
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}
inline std::string ToHex(const Bytes& b) {
  return ToHex(b.data(), b.size());
}

// Builds a PDU body by appending fields; Finish() puts the header in front.
class PduBuilder {
 public:
  PduBuilder& U8(uint8_t v) {
    Body.push_back(v);
    return *this;
  }
  PduBuilder& Str(std::string_view s) {
    Body.insert(Body.end(), s.begin(), s.end());
    return *this;
  }
  PduBuilder& CStr(std::string_view s) { return Str(s).U8(0); }
  PduBuilder& Raw(const Bytes& b) {
    Body.insert(Body.end(), b.begin(), b.end());
    return *this;
  }
  // A deliver_sm or data_sm head: empty or given service_type, ton/npi 1/1, both addresses.
  PduBuilder& DeliverHead(std::string_view source, std::string_view destination,
                          std::string_view serviceType = "") {
    return CStr(serviceType).U8(1).U8(1).CStr(source).U8(1).U8(1).CStr(destination);
  }
  // The deliver_sm fields from esm_class through sm_length, with empty times, then the message.
  PduBuilder& DeliverTail(uint8_t esmClass, uint8_t dataCoding, const Bytes& message) {
    U8(esmClass).U8(0).U8(0).U8(0).U8(0).U8(0).U8(0).U8(dataCoding).U8(0);
    U8(static_cast<uint8_t>(message.size()));
    return Raw(message);
  }
  Bytes Finish(uint32_t commandId, uint32_t sequence = 1, uint32_t status = 0) const {
    Bytes out(16 + Body.size());
    PutU32(out.data(), static_cast<uint32_t>(out.size()));
    PutU32(out.data() + 4, commandId);
    PutU32(out.data() + 8, status);
    PutU32(out.data() + 12, sequence);
    std::copy(Body.begin(), Body.end(), out.begin() + 16);
    return out;
  }

  Bytes Body;
};

inline Bytes Text(std::string_view s) {
  return Bytes(s.begin(), s.end());
}

// Every submit field of the settings away from its default, the values the field tests expect.
inline void SetSubmitFields(TSMPPClientInfo& info) {
  info.Set_submit_service_type("WAP");
  info.Set_submit_protocol_id(0x7F);
  info.Set_submit_priority_flag(3);
  info.Set_submit_schedule_delivery_time("261231235959004+");
  info.Set_submit_registered_delivery(1);
  info.Set_submit_replace_if_present_flag(1);
  info.Set_submit_esm_class(0x83);
  info.Set_submit_sm_default_msg_id(9);
}
