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

// The labels of a receipt text, in the order they are tried; text: is last.
constexpr std::string_view kReceiptLabels[] = {
    "id:", "sub:", "dlvrd:", "submit date:", "done date:", "stat:", "err:", "text:"};
constexpr size_t kLabelId = 0, kLabelStat = 5, kLabelErr = 6;

// The receipt text, read by its labels: each label (any case) starts the text or follows a space,
// and its value runs to the next space; text: runs to the end. The first occurrence of a label
// counts: Take(label's index, value) once for each label found.
template <typename TTake>
void ScanReceiptText(std::string_view Text, TTake&& Take) {
  constexpr size_t kLabels = std::size(kReceiptLabels), kText = kLabels - 1;
  bool Seen[kLabels] = {};
  size_t Pos = 0;
  while (Pos < Text.size()) {
    if (Text[Pos] == ' ') {
      ++Pos;
      continue;
    }
    const std::string_view Rest = Text.substr(Pos);
    // Only the labels with the word's first letter are compared, in the table's order.
    const char First = LowerAscii(Rest[0]);
    size_t Which = kLabels;
    for (size_t I = 0; I < kLabels && Which == kLabels; ++I)
      if (kReceiptLabels[I][0] == First && StartsWithLabel(Rest, kReceiptLabels[I])) Which = I;
    if (Which == kText) {
      if (!Seen[kText]) Take(kText, Rest.substr(kReceiptLabels[kText].size()));
      return;
    }
    // The words are short: a plain scan for the space beats a library call per word.
    size_t Stop = Which < kLabels ? kReceiptLabels[Which].size() : 0;
    const size_t Start = Stop;
    while (Stop < Rest.size() && Rest[Stop] != ' ') ++Stop;
    if (Which < kLabels && !Seen[Which]) {
      Seen[Which] = true;
      Take(Which, Rest.substr(Start, Stop - Start));
    }
    Pos += Stop;
  }
}

void ReadReceiptText(std::string_view Text, TDeliver& D) {
  static constexpr std::string TDeliver::*kFields[] = {
      &TDeliver::receipt_id,        &TDeliver::receipt_sub,
      &TDeliver::receipt_dlvrd,     &TDeliver::receipt_submit_date,
      &TDeliver::receipt_done_date, &TDeliver::receipt_stat,
      &TDeliver::receipt_err,       &TDeliver::text};
  static_assert(std::size(kFields) == std::size(kReceiptLabels));
  ScanReceiptText(
      Text, [&D](size_t Which, std::string_view Value) { (D.*kFields[Which]).assign(Value); });
}

// The stat word of an SMPP message_state value, so that ReceiptStateCode gives that value back.
std::string_view StateWord(int State) {
  static constexpr std::string_view kWords[] = {
      "", "ENROUTE", "DELIVRD", "EXPIRED", "DELETED", "UNDELIV", "ACCEPTD", "UNKNOWN", "REJECTD"};
  return State >= 1 && State < static_cast<int>(std::size(kWords)) ? kWords[State] : "";
}

// A deliver_sm or data_sm as it lies in its bytes: its addresses, its esm_class and data_coding,
// its user data (from message_payload where that is the text, without its header) and the
// optional parameters read.
struct TDeliverView {
  std::string_view ServiceType, Source, Destination, UserData;
  uint8_t EsmClass = 0, DataCoding = 0;
  TOptionals O;
  TConcatInfo Concat;  // from the user data header
};

// End is the number of bytes of the PDU that may be read.
TDeliverView ReadDeliver(const uint8_t* Buf, size_t End, uint32_t CommandId) {
  TDeliverView V;
  TBodyReader R(Buf, kPduHeaderLength, End);
  V.ServiceType = R.CString();
  R.U8();  // source_addr_ton
  R.U8();  // source_addr_npi
  V.Source = R.CString();
  R.U8();  // dest_addr_ton
  R.U8();  // dest_addr_npi
  V.Destination = R.CString();
  V.EsmClass = R.U8();
  if (CommandId == kDeliverSm) {
    R.U8();       // protocol_id
    R.U8();       // priority_flag
    R.CString();  // schedule_delivery_time
    R.CString();  // validity_period
    R.U8();       // registered_delivery
    R.U8();       // replace_if_present_flag
    V.DataCoding = R.U8();
    R.U8();  // sm_default_msg_id
    V.UserData = R.Octets(R.U8());
  } else {
    R.U8();  // registered_delivery
    V.DataCoding = R.U8();
  }
  V.O = ReadOptionals(R);
  // A data_sm carries its text in message_payload; a deliver_sm may, with an empty short message.
  if (V.O.HasPayload && (CommandId == kDataSm || V.UserData.empty())) V.UserData = V.O.Payload;
  if ((V.EsmClass & kEsmUdhi) && !V.UserData.empty()) {
    size_t HeaderLength;
    ReadUserDataHeader(reinterpret_cast<const uint8_t*>(V.UserData.data()), V.UserData.size(),
                       HeaderLength, V.Concat);
    V.UserData.remove_prefix(std::min<size_t>(V.UserData.size(), 1 + uint8_t(V.UserData[0])));
  }
  return V;
}

// The fields of a deliver_sm or data_sm. End is the number of bytes of the PDU that may be read.
void DecodeDeliver(const uint8_t* Buf, size_t End, TPDU& Pdu, TTextCoding DefaultAlphabet) {
  TDeliver& D = Pdu.deliver;
  const TDeliverView V = ReadDeliver(Buf, End, Pdu.command_id);
  D.service_type = V.ServiceType;
  D.source_addr = V.Source;
  D.destination_addr = V.Destination;
  D.esm_class = V.EsmClass;
  const TOptionals& O = V.O;
  if (!IsReceipt(D.esm_class)) {
    // A header's concatenation wins; SAR values count only when all three are sound.
    TConcatInfo Concat = V.Concat;
    if (Concat.Total == 0 && O.Sar.Total != 0 && O.Sar.Seq != 0 && O.Sar.Seq <= O.Sar.Total)
      Concat = O.Sar;
    D.sar_msg_ref_num = Concat.Reference;
    D.sar_total_segments = Concat.Total;
    D.sar_segment_seqnum = Concat.Seq;
    D.data_coding = V.DataCoding;
    D.user_data = V.UserData;
    D.text = DecodeText(reinterpret_cast<const uint8_t*>(V.UserData.data()), V.UserData.size(),
                        V.DataCoding, DefaultAlphabet);
    return;
  }
  // A receipt's labels are read from the text; single-byte text is read where it lies.
  if (V.DataCoding == 8) {
    const std::string Text =
        Ucs2ToText(reinterpret_cast<const uint8_t*>(V.UserData.data()), V.UserData.size());
    ReadReceiptText(Text, D);
  } else {
    ReadReceiptText(V.UserData, D);
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

bool DecodeReceiptFields(const uint8_t* Bytes, size_t Length, TReceiptFields& Out) {
  if (Length <= kPduHeaderLength) return false;
  const size_t End = std::min<size_t>(GetU32(Bytes), Length);
  const uint32_t CommandId = GetU32(Bytes + 4);
  if (End <= kPduHeaderLength || (CommandId != kDeliverSm && CommandId != kDataSm)) return false;
  const TDeliverView V = ReadDeliver(Bytes, End, CommandId);
  if (!IsReceipt(V.EsmClass) || V.DataCoding == 8) return false;
  Out.Id = Out.Stat = Out.Err = {};
  Out.Source = V.Source;
  Out.EsmClass = V.EsmClass;
  ScanReceiptText(V.UserData, [&Out](size_t Which, std::string_view Value) {
    if (Which == kLabelId) Out.Id = Value;
    if (Which == kLabelStat) Out.Stat = Value;
    if (Which == kLabelErr) Out.Err = Value;
  });
  if (V.O.HasReceiptedMessageId)
    Out.Id = {Out.IdBytes, PrintableIdInto(V.O.ReceiptedMessageId, Out.IdBytes)};
  if (!StateWord(V.O.MessageState).empty()) Out.Stat = StateWord(V.O.MessageState);
  return true;
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
