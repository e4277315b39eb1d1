// Helpers of the SMSC side's tests: requests a client sends, written out byte by byte (so the core
// is checked against bytes made independently of its own builders), a reader of what the core
// writes, and a core with its connections bound.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "smsc/SmscCore.h"

namespace smsctest {

inline void Put32(std::string& S, uint32_t V) {
  for (int Shift = 24; Shift >= 0; Shift -= 8) S += static_cast<char>((V >> Shift) & 0xFF);
}
inline uint32_t Get32(std::string_view S, size_t At) {
  uint32_t V = 0;
  for (size_t I = 0; I < 4; ++I) V = (V << 8) | static_cast<uint8_t>(S[At + I]);
  return V;
}

inline std::string Pdu(uint32_t Id, uint32_t Seq, std::string_view Body = {}, uint32_t Status = 0) {
  std::string S;
  Put32(S, static_cast<uint32_t>(16 + Body.size()));
  Put32(S, Id);
  Put32(S, Status);
  Put32(S, Seq);
  S += Body;
  return S;
}

inline std::string Z(std::string_view Text) {
  return std::string(Text) + '\0';
}

// bind_* with this system_id, password "pw", no system_type, version 0x34, no address range.
inline std::string BindPdu(uint32_t Id, uint32_t Seq, std::string_view SystemId) {
  return Pdu(Id, Seq, Z(SystemId) + Z("pw") + Z("") + std::string("\x34\x00\x00", 3) + Z(""));
}

// submit_sm from 1/1 "1234" to 1/1 Destination with this registered_delivery and text.
inline std::string SubmitPdu(uint32_t Seq, uint8_t Registered = 1, std::string_view Text = "Hi",
                             std::string_view Destination = "5551234") {
  std::string B = Z("") + "\x01\x01" + Z("1234") + "\x01\x01" + Z(Destination);
  B += std::string("\x00\x00\x00", 3) + Z("") + Z("");
  B += static_cast<char>(Registered);
  B += std::string("\x00\x00\x00", 3);
  B += static_cast<char>(Text.size());
  B += Text;
  return Pdu(0x00000004, Seq, B);
}

// submit_multi from 0/1 "1234" to these SME addresses (ton 1, npi 1).
inline std::string SubmitMultiPdu(uint32_t Seq, const std::vector<std::string>& To,
                                  uint8_t Registered = 1) {
  std::string B = Z("") + std::string("\x00\x01", 2) + Z("1234");
  B += static_cast<char>(To.size());
  for (const auto& D : To) B += std::string("\x01\x01\x01", 3) + Z(D);
  B += std::string("\x00\x00\x00", 3) + Z("") + Z("");
  B += static_cast<char>(Registered);
  B += std::string("\x00\x00\x00", 3) + std::string(1, '\x02') + "Yo";
  return Pdu(0x00000021, Seq, B);
}

// One PDU the core wrote, with its body as text for searching.
struct TOut {
  uint32_t Id = 0, Status = 0, Seq = 0;
  std::string Body;
  bool operator==(const TOut&) const = default;
};

// The PDUs in Bytes (which must be whole PDUs).
inline std::vector<TOut> Split(std::string_view Bytes) {
  std::vector<TOut> Out;
  for (size_t At = 0; At + 16 <= Bytes.size();) {
    const uint32_t Len = Get32(Bytes, At);
    EXPECT_GE(Len, 16u);
    EXPECT_LE(At + Len, Bytes.size());
    if (Len < 16 || At + Len > Bytes.size()) break;
    Out.push_back({Get32(Bytes, At + 4), Get32(Bytes, At + 8), Get32(Bytes, At + 12),
                   std::string(Bytes.substr(At + 16, Len - 16))});
    At += Len;
  }
  return Out;
}

// The text of a deliver_sm: its short message (after the fields up to sm_length).
inline std::string DeliverText(const TOut& P) {
  size_t At = 0;
  auto SkipString = [&] { At = P.Body.find('\0', At) + 1; };
  SkipString();  // service_type
  At += 2;
  SkipString();  // source
  At += 2;
  SkipString();  // destination
  At += 8;       // esm_class .. data_coding
  At += 1;       // sm_default_msg_id
  const size_t Len = static_cast<uint8_t>(P.Body[At]);
  return P.Body.substr(At + 1, Len);
}
inline uint8_t DeliverEsm(const TOut& P) {
  size_t At = 0;
  for (int I = 0; I < 3; ++I) {
    At = P.Body.find('\0', At) + 1;
    if (I < 2) At += 2;
  }
  return static_cast<uint8_t>(P.Body[At]);
}
// The source_addr of a deliver_sm.
inline std::string DeliverSource(const TOut& P) {
  const size_t At = P.Body.find('\0') + 3;
  return P.Body.substr(At, P.Body.find('\0', At) - At);
}
// The value after "Label:" in a receipt's text, up to the next blank.
inline std::string ReceiptField(const std::string& Text, std::string_view Label) {
  const std::string L = std::string(Label) + ":";
  const size_t At = Text.find(L);
  if (At == std::string::npos) return {};
  const size_t From = At + L.size();
  return Text.substr(From, Text.find(' ', From) - From);
}

// A core with a transmitter (connection 1) and a receiver (connection 2) bound as "acct", or one
// transceiver (connection 1). Times are in ms from 0.
class TCoreFixture {
 public:
  explicit TCoreFixture(smsc::TSmscFaults Faults, bool Transceiver = false)
      : Core(std::move(Faults), [] { return time_t{1767268800}; }) {
    Tx = Core.Open();
    if (Transceiver) {
      Rx = Tx;
      Feed(Tx, BindPdu(0x00000009, 1, "acct"));
    } else {
      Rx = Core.Open();
      Feed(Tx, BindPdu(0x00000002, 1, "acct"));
      Feed(Rx, BindPdu(0x00000001, 1, "acct"));
    }
  }
  // Feeds Bytes to Conn at Ms and gives what it wrote to every connection.
  smsc::TActions& Feed(uint32_t Conn, std::string_view Bytes, int64_t Ms = 0) {
    A.Clear();
    Core.Feed(Conn, reinterpret_cast<const uint8_t*>(Bytes.data()), Bytes.size(), Ms * 1000000, A);
    return A;
  }
  smsc::TActions& Tick(int64_t Ms) {
    A.Clear();
    Core.Tick(Ms * 1000000, A);
    return A;
  }
  std::vector<TOut> ToTx() const { return Split(A.BytesFor(Tx)); }
  std::vector<TOut> ToRx() const { return Split(A.BytesFor(Rx)); }

  smsc::TSmscCore Core;
  smsc::TActions A;
  uint32_t Tx = 0, Rx = 0;
};

}  // namespace smsctest
