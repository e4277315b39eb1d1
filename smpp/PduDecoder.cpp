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
  TBodyReader(const uint8_t* Buffer, size_t Position, size_t End) noexcept
      : FBuf(Buffer), FPos(std::min(Position, End)), FEnd(End) {}

  uint8_t U8() noexcept { return FPos < FEnd ? FBuf[FPos++] : 0; }
  // A big-endian 16-bit field; 0 when fewer than two octets remain (nothing is read then).
  uint16_t U16() noexcept {
    if (FEnd - FPos < 2) {
      FPos = FEnd;
      return 0;
    }
    const uint16_t V = GetU16(FBuf + FPos);
    FPos += 2;
    return V;
  }
  // A zero-terminated string without its terminator; with no terminator, the rest of the body.
  std::string_view CString() noexcept {
    const char* Start = reinterpret_cast<const char*>(FBuf + FPos);
    const void* Zero = std::memchr(Start, 0, FEnd - FPos);
    const size_t N =
        Zero ? static_cast<size_t>(static_cast<const char*>(Zero) - Start) : FEnd - FPos;
    FPos += Zero ? N + 1 : N;
    return {Start, N};
  }
  // N octets, or as many as remain.
  std::string_view Octets(size_t N) noexcept {
    N = std::min(N, FEnd - FPos);
    const char* Start = reinterpret_cast<const char*>(FBuf + FPos);
    FPos += N;
    return {Start, N};
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
TOptionals ReadOptionals(TBodyReader& R) {
  TOptionals O;
  while (R.Remaining() >= 4) {
    const uint16_t Tag = R.U16();
    const uint16_t Length = R.U16();
    if (Length > R.Remaining()) break;
    const std::string_view Value = R.Octets(Length);
    if (Tag == kTagMessagePayload && !O.HasPayload) {
      O.Payload = Value;
      O.HasPayload = true;
    } else if (Tag == kTagReceiptedMessageId && !O.HasReceiptedMessageId) {
      O.ReceiptedMessageId = Value;
      O.HasReceiptedMessageId = true;
    } else if (Tag == kTagMessageState && O.MessageState < 0 && Length >= 1) {
      O.MessageState = static_cast<uint8_t>(Value[0]);
    } else if (Tag == kTagSarMsgRefNum && Length == 2) {
      O.Sar.Reference = GetU16(reinterpret_cast<const uint8_t*>(Value.data()));
    } else if (Tag == kTagSarTotalSegments && Length == 1) {
      O.Sar.Total = static_cast<uint8_t>(Value[0]);
    } else if (Tag == kTagSarSegmentSeqnum && Length == 1) {
      O.Sar.Seq = static_cast<uint8_t>(Value[0]);
    }
  }
  return O;
}

// A message id as the SMSC sent it: up to its terminator, its printable characters only (so that
// nothing from the wire can break a report line), at most kMaxMessageIdLength of them.
size_t PrintableIdInto(std::string_view Bytes, char (&Id)[kMaxMessageIdLength]) {
  size_t N = 0;
  for (char C : Bytes) {
    if (C == 0 || N == kMaxMessageIdLength) break;
    if (C >= 0x20 && C <= 0x7E) Id[N++] = C;
  }
  return N;
}

std::string PrintableId(std::string_view Bytes) {
  char Id[kMaxMessageIdLength];
  return std::string(Id, PrintableIdInto(Bytes, Id));
}

char LowerAscii(char C) {
  return C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C;
}

bool StartsWithLabel(std::string_view Text, std::string_view Label) {
  if (Text.size() < Label.size()) return false;
  for (size_t I = 0; I < Label.size(); ++I)
    if (LowerAscii(Text[I]) != Label[I]) return false;
  return true;
}

// The receipt text, read by its labels: each label (any case) starts the text or follows a space,
// and its value runs to the next space; text: runs to the end. The first occurrence of a label
// counts; a missing label leaves its field empty.
void ReadReceiptText(std::string_view Text, TDeliver& D) {
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
  bool Seen[std::size(kLabels)] = {};
  size_t Pos = 0;
  while (Pos < Text.size()) {
    if (Text[Pos] == ' ') {
      ++Pos;
      continue;
    }
    const std::string_view Rest = Text.substr(Pos);
    // Only the labels with the word's first letter are compared, in the table's order.
    const char First = LowerAscii(Rest[0]);
    size_t Which = std::size(kLabels);
    for (size_t I = 0; I < std::size(kLabels) && Which == std::size(kLabels); ++I)
      if (kLabels[I].name[0] == First && StartsWithLabel(Rest, kLabels[I].name)) Which = I;
    if (Which == kText) {
      if (!Seen[kText]) D.text.assign(Rest.substr(kLabels[kText].name.size()));
      return;
    }
    // The words are short: a plain scan for the space beats a library call per word.
    size_t Stop = Which < std::size(kLabels) ? kLabels[Which].name.size() : 0;
    const size_t Start = Stop;
    while (Stop < Rest.size() && Rest[Stop] != ' ') ++Stop;
    if (Which < std::size(kLabels) && !Seen[Which]) {
      Seen[Which] = true;
      (D.*kLabels[Which].field).assign(Rest.substr(Start, Stop - Start));
    }
    Pos += Stop;
  }
}

// The stat word of an SMPP message_state value, so that ReceiptStateCode gives that value back.
std::string_view StateWord(int State) {
  static constexpr std::string_view kWords[] = {
      "", "ENROUTE", "DELIVRD", "EXPIRED", "DELETED", "UNDELIV", "ACCEPTD", "UNKNOWN", "REJECTD"};
  return State >= 1 && State < static_cast<int>(std::size(kWords)) ? kWords[State] : "";
}

// The fields of a deliver_sm or data_sm. end is the number of bytes of the PDU that may be read.
void DecodeDeliver(const uint8_t* Buf, size_t End, TPDU& Pdu, TTextCoding DefaultAlphabet) {
  TDeliver& D = Pdu.deliver;
  TBodyReader R(Buf, kPduHeaderLength, End);
  D.service_type = R.CString();
  R.U8();  // source_addr_ton
  R.U8();  // source_addr_npi
  D.source_addr = R.CString();
  R.U8();  // dest_addr_ton
  R.U8();  // dest_addr_npi
  D.destination_addr = R.CString();
  D.esm_class = R.U8();

  uint8_t DataCoding = 0;
  std::string_view UserData;
  if (Pdu.command_id == kDeliverSm) {
    R.U8();       // protocol_id
    R.U8();       // priority_flag
    R.CString();  // schedule_delivery_time
    R.CString();  // validity_period
    R.U8();       // registered_delivery
    R.U8();       // replace_if_present_flag
    DataCoding = R.U8();
    R.U8();  // sm_default_msg_id
    UserData = R.Octets(R.U8());
  } else {
    R.U8();  // registered_delivery
    DataCoding = R.U8();
  }
  const TOptionals O = ReadOptionals(R);
  // A data_sm carries its text in message_payload; a deliver_sm may, with an empty short message.
  if (O.HasPayload && (Pdu.command_id == kDataSm || UserData.empty())) UserData = O.Payload;
  TConcatInfo Concat;
  if ((D.esm_class & kEsmUdhi) && !UserData.empty()) {
    size_t HeaderLength;
    ReadUserDataHeader(reinterpret_cast<const uint8_t*>(UserData.data()), UserData.size(),
                       HeaderLength, Concat);
    UserData.remove_prefix(std::min<size_t>(UserData.size(), 1 + uint8_t(UserData[0])));
  }
  if (!IsReceipt(D.esm_class)) {
    // A header's concatenation wins; SAR values count only when all three are sound.
    if (Concat.Total == 0 && O.Sar.Total != 0 && O.Sar.Seq != 0 && O.Sar.Seq <= O.Sar.Total)
      Concat = O.Sar;
    D.sar_msg_ref_num = Concat.Reference;
    D.sar_total_segments = Concat.Total;
    D.sar_segment_seqnum = Concat.Seq;
    D.data_coding = DataCoding;
    D.user_data = UserData;
    D.text = DecodeText(reinterpret_cast<const uint8_t*>(UserData.data()), UserData.size(),
                        DataCoding, DefaultAlphabet);
    return;
  }
  // A receipt's labels are read from the text; single-byte text is read where it lies.
  if (DataCoding == 8) {
    const std::string Text =
        Ucs2ToText(reinterpret_cast<const uint8_t*>(UserData.data()), UserData.size());
    ReadReceiptText(Text, D);
  } else {
    ReadReceiptText(UserData, D);
  }
  if (O.HasReceiptedMessageId) D.receipt_id = PrintableId(O.ReceiptedMessageId);
  if (!StateWord(O.MessageState).empty()) D.receipt_stat = StateWord(O.MessageState);
  D.receipt_ref = D.receipt_id;
}

}  // namespace

std::string DecodeText(const uint8_t* Bytes, size_t Count, uint8_t DataCoding,
                       TTextCoding DefaultAlphabet) {
  if (Count == 0) return {};
  if (DataCoding == 8) return Ucs2ToText(Bytes, Count);
  if (DataCoding == kDataCodingLatin1 ||
      (DataCoding == kDataCodingDefault && DefaultAlphabet == TTextCoding::tcGsm))
    return DecodeUserData(Bytes, Count, DataCoding, DefaultAlphabet);
  return std::string(reinterpret_cast<const char*>(Bytes), Count);
}

std::string Ucs2ToText(const uint8_t* Bytes, size_t Count) {
  // Each decoding has its own workspace on its own stack, so the two connections' threads can
  // decode at once. A text longer than the workspace is cut, keeping room for the final zero.
  char16_t Workspace[kTextWorkspaceUnits];
  const size_t Units = std::min(Count / 2, kTextWorkspaceUnits - 1);
  size_t N = 0;
  for (; N < Units; ++N) {
    const char16_t U = static_cast<char16_t>(GetU16(Bytes + 2 * N));
    if (U == 0) break;
    Workspace[N] = U;
  }
  Workspace[N] = 0;
  return Utf16ToText(Workspace, N);
}

char ReceiptStateCode(std::string_view Word) noexcept {
  static constexpr struct {
    std::string_view word;
    char code;
  } kStates[] = {{"DELIVRD", '2'}, {"EXPIRED", '3'}, {"DELETED", '4'}, {"UNDELIV", '5'},
                 {"ACCEPTD", '6'}, {"UNKNOWN", '7'}, {"REJECTD", '8'}};
  for (const auto& S : kStates)
    if (S.word == Word) return S.code;
  return '1';
}

std::string_view SubmitResponseId(const uint8_t* Bytes, size_t Length,
                                  char (&Id)[kMaxMessageIdLength]) {
  if (Length <= kPduHeaderLength) return {};
  const size_t End = std::min<size_t>(GetU32(Bytes), Length);
  if (End <= kPduHeaderLength) return {};
  TBodyReader R(Bytes, kPduHeaderLength, End);
  return {Id, PrintableIdInto(R.CString(), Id)};
}

void TPduCodec::DecodePdu(const uint8_t* Buffer, size_t Capacity, size_t Received, TPDU& Pdu,
                          TTextCoding DefaultAlphabet) {
  // Nothing past what was received, what the buffer holds, or the PDU's own length is read.
  const size_t Available = std::min(Capacity, Received);
  uint8_t Header[kPduHeaderLength] = {};
  if (Available > 0) std::memcpy(Header, Buffer, std::min(Available, kPduHeaderLength));
  Pdu.command_length = GetU32(Header);
  Pdu.command_id = GetU32(Header + 4);
  Pdu.command_status = GetU32(Header + 8);
  Pdu.sequence_number = GetU32(Header + 12);
  const size_t End = std::min<size_t>(Pdu.command_length, Available);

  switch (Pdu.command_id) {
    case kSubmitSmResp:
    case kSubmitMultiResp: {
      TBodyReader R(Buffer, kPduHeaderLength, End);
      Pdu.message_id = PrintableId(R.CString());
      break;
    }
    case kQuerySmResp: {
      TBodyReader R(Buffer, kPduHeaderLength, End);
      Pdu.message_id = PrintableId(R.CString());
      // final_date is a time of 16 characters: what is printable of it, cut there.
      Pdu.query.final_date = PrintableId(R.CString().substr(0, 16));
      Pdu.query.message_state = R.U8();
      Pdu.query.error_code = R.U8();
      break;
    }
    case kDeliverSm:
    case kDataSm:
      if (End > kPduHeaderLength) DecodeDeliver(Buffer, End, Pdu, DefaultAlphabet);
      break;
    default:
      Pdu.message_id.clear();
      break;
  }
}
