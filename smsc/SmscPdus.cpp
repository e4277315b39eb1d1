// The SMSC side's PDU reader and builders (see SmscPdus.h).
#include "smsc/SmscPdus.h"

#include <cstring>

#include "smpp/smpppdu.h"

namespace smsc {

namespace {

// Reads a body front to back; once a field runs past the end, every later read gives nothing and
// Ok() stays false.
class TBodyReader {
 public:
  TBodyReader(const uint8_t* Pdu, size_t Size) : FP(Pdu), FEnd(Size), FAt(kPduHeaderLength) {
    if (Size < kPduHeaderLength) FOk = false;
  }
  uint8_t U8() {
    if (!FOk || FAt >= FEnd) {
      FOk = false;
      return 0;
    }
    return FP[FAt++];
  }
  // A zero-terminated string of at most Max bytes with its terminator; longer, or without a
  // terminator before the end: the body is broken.
  std::string_view CString(size_t Max) {
    if (!FOk) return {};
    const size_t Room = std::min(Max, FEnd - FAt);
    const void* Nul = std::memchr(FP + FAt, 0, Room);
    if (!Nul) {
      FOk = false;
      return {};
    }
    const size_t Len = static_cast<const uint8_t*>(Nul) - (FP + FAt);
    std::string_view S(reinterpret_cast<const char*>(FP + FAt), Len);
    FAt += Len + 1;
    return S;
  }
  std::string_view Octets(size_t N) {
    if (!FOk || N > FEnd - FAt) {
      FOk = false;
      return {};
    }
    std::string_view S(reinterpret_cast<const char*>(FP + FAt), N);
    FAt += N;
    return S;
  }
  TAddress Address() {
    TAddress A;
    A.Ton = U8();
    A.Npi = U8();
    A.Addr = CString(kMaxAddressLength + 1);
    return A;
  }
  bool Ok() const { return FOk; }

 private:
  const uint8_t* FP;
  size_t FEnd;
  size_t FAt;
  bool FOk = true;
};

void PutHeader(std::string& Out, uint32_t Length, uint32_t CommandId, uint32_t Status,
               uint32_t Sequence) {
  uint8_t H[kPduHeaderLength];
  PutU32(H, Length);
  PutU32(H + 4, CommandId);
  PutU32(H + 8, Status);
  PutU32(H + 12, Sequence);
  Out.append(reinterpret_cast<const char*>(H), sizeof H);
}

void PutCString(std::string& Body, std::string_view S) {
  Body += S;
  Body += '\0';
}

// The deliver_sm body up to and including sm_length, for a message with these addresses.
void PutDeliverHead(std::string& Body, uint8_t EsmClass, const TAddress& Source,
                    const TAddress& Destination, size_t SmLength) {
  Body += '\0';  // service_type
  Body += static_cast<char>(Source.Ton);
  Body += static_cast<char>(Source.Npi);
  PutCString(Body, Source.Addr.substr(0, kMaxAddressLength));
  Body += static_cast<char>(Destination.Ton);
  Body += static_cast<char>(Destination.Npi);
  PutCString(Body, Destination.Addr.substr(0, kMaxAddressLength));
  Body += static_cast<char>(EsmClass);
  // protocol_id, priority_flag, schedule_delivery_time, validity_period, registered_delivery,
  // replace_if_present_flag, data_coding, sm_default_msg_id.
  Body.append(8, '\0');
  Body += static_cast<char>(SmLength);
}

const TAddress kMoSource{1, 1, "5550100"};
const TAddress kMoDestination{0, 1, "1234"};

}  // namespace

void ReadSubmit(const uint8_t* Pdu, size_t Size, TSubmitFields& Out) {
  Out.Source = {};
  Out.Destinations.clear();
  Out.RegisteredDelivery = 0;
  Out.ShortMessage = {};
  Out.Complete = false;
  if (Size < kPduHeaderLength) return;
  Size = std::min<size_t>(Size, GetU32(Pdu));
  TBodyReader R(Pdu, Size);
  const uint32_t Id = GetU32(Pdu + 4);
  R.CString(6);  // service_type
  Out.Source = R.Address();
  if (Id == kSubmitMulti) {
    const uint8_t Count = R.U8();
    for (uint8_t I = 0; I < Count && R.Ok(); ++I) {
      const uint8_t Flag = R.U8();
      if (Flag == 2) {
        TAddress List;
        List.Addr = R.CString(21);  // dl_name
        if (R.Ok()) Out.Destinations.push_back(List);
      } else {
        const TAddress A = R.Address();
        if (R.Ok()) Out.Destinations.push_back(A);
      }
    }
  } else {
    const TAddress A = R.Address();
    if (R.Ok()) Out.Destinations.push_back(A);
  }
  R.U8();  // esm_class
  if (Id == kDataSm) {
    Out.RegisteredDelivery = R.U8();
    Out.Complete = R.Ok();
    return;
  }
  R.U8();         // protocol_id
  R.U8();         // priority_flag
  R.CString(17);  // schedule_delivery_time
  R.CString(17);  // validity_period
  Out.RegisteredDelivery = R.U8();
  Out.Complete = R.Ok();
  R.U8();  // replace_if_present_flag
  R.U8();  // data_coding
  R.U8();  // sm_default_msg_id
  const uint8_t Length = R.U8();
  const std::string_view Sm = R.Octets(Length);
  if (R.Ok()) Out.ShortMessage = Sm;
  if (!Out.Complete) Out.RegisteredDelivery = 0;
}

std::string ReadBindSystemId(const uint8_t* Pdu, size_t Size) {
  if (Size < kPduHeaderLength) return {};
  Size = std::min<size_t>(Size, GetU32(Pdu));
  TBodyReader R(Pdu, Size);
  return std::string(R.CString(16));
}

void AppendPdu(std::string& Out, uint32_t CommandId, uint32_t Status, uint32_t Sequence,
               std::string_view Body) {
  PutHeader(Out, static_cast<uint32_t>(kPduHeaderLength + Body.size()), CommandId, Status,
            Sequence);
  Out += Body;
}

void AppendSubmitResponse(std::string& Out, uint32_t RequestId, uint32_t Status, uint32_t Sequence,
                          std::string_view MessageId) {
  const bool Multi = RequestId == kSubmitMulti;
  const size_t Length = kPduHeaderLength + MessageId.size() + 1 + (Multi ? 1 : 0);
  PutHeader(Out, static_cast<uint32_t>(Length), RequestId | 0x80000000u, Status, Sequence);
  Out += MessageId;
  Out += '\0';
  if (Multi) Out += '\0';  // no_unsuccess
}

std::string ReceiptText(const TReceiptText& R) {
  const bool Failed = R.Stat != "DELIVRD" && R.Stat != "ENROUTE" && R.Stat != "ACCEPTD";
  const bool Delivered = R.Stat == "DELIVRD";
  std::string T;
  T.reserve(120);
  T += "id:";
  T += R.Id;
  T += " sub:001 dlvrd:";
  T += Delivered ? "001" : "000";
  T += " submit date:";
  T += R.SubmitDate;
  T += " done date:";
  T += R.DoneDate;
  T += " stat:";
  T += R.Stat;
  T += Failed ? " err:001" : " err:000";
  T += " text:";
  T += R.Text;
  return T;
}

std::string ReceiptSnippet(std::string_view ShortMessage) {
  std::string S(ShortMessage.substr(0, 20));
  for (char& C : S)
    if (static_cast<unsigned char>(C) < 0x20 || static_cast<unsigned char>(C) > 0x7E) C = '.';
  return S;
}

void AppendReceipt(std::string& Out, uint32_t Sequence, uint8_t EsmClass, const TAddress& Source,
                   const TAddress& Destination, const TReceiptText& R) {
  std::string Text = ReceiptText(R);
  if (Text.size() > kMaxShortMessageLength) Text.resize(kMaxShortMessageLength);
  std::string Body;
  Body.reserve(64 + Text.size());
  PutDeliverHead(Body, EsmClass, Source, Destination, Text.size());
  Body += Text;
  AppendPdu(Out, kDeliverSm, 0, Sequence, Body);
}

void AppendMo(std::string& Out, uint32_t Sequence, std::string_view Text) {
  Text = Text.substr(0, kMaxShortMessageLength);
  std::string Body;
  PutDeliverHead(Body, 0, kMoSource, kMoDestination, Text.size());
  Body += Text;
  AppendPdu(Out, kDeliverSm, 0, Sequence, Body);
}

void AppendOverrunDeliver(std::string& Out, uint32_t Sequence) {
  const std::string_view Text = "overrun";
  std::string Body;
  PutDeliverHead(Body, 0, kMoSource, kMoDestination, 200);  // 200 announced, 7 present
  Body += Text;
  AppendPdu(Out, kDeliverSm, 0, Sequence, Body);
}

void AppendUnterminatedDeliver(std::string& Out, uint32_t Sequence) {
  std::string Body;
  Body += '\0';  // service_type
  Body += '\x01';
  Body += '\x01';
  Body += "55501005550100555010";  // source_addr, and the PDU ends before its terminator
  AppendPdu(Out, kDeliverSm, 0, Sequence, Body);
}

}  // namespace smsc
