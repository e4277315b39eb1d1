// TSMPPClientInfo: locked accessors and the published property list of the account settings.
#include "smpp/SMPPClientInfo.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string_view>

std::string TSMPPClientInfo::Host() const {
  return Locked(FHost);
}
void TSMPPClientInfo::SetHost(const std::string& Value) {
  SetLocked(FHost, Value);
}

std::string TSMPPClientInfo::UserID() const {
  return Locked(FUserID);
}
void TSMPPClientInfo::SetUserID(const std::string& Value) {
  SetLocked(FUserID, Value);
}

std::string TSMPPClientInfo::Password() const {
  return Locked(FPassword);
}
void TSMPPClientInfo::SetPassword(const std::string& Value) {
  SetLocked(FPassword, Value);
}

std::string TSMPPClientInfo::SystemType() const {
  return Locked(FSystemType);
}
void TSMPPClientInfo::SetSystemType(const std::string& Value) {
  SetLocked(FSystemType, Value);
}

int32_t TSMPPClientInfo::Port() const {
  return Locked(FPort);
}
void TSMPPClientInfo::SetPort(int32_t Value) {
  SetLocked(FPort, Value);
}

int32_t TSMPPClientInfo::submit_source_addr_ton() const {
  return Locked(Fsubmit_source_addr_ton);
}
void TSMPPClientInfo::Set_submit_source_addr_ton(int32_t Value) {
  SetLocked(Fsubmit_source_addr_ton, Value);
}

int32_t TSMPPClientInfo::submit_source_addr_npi() const {
  return Locked(Fsubmit_source_addr_npi);
}
void TSMPPClientInfo::Set_submit_source_addr_npi(int32_t Value) {
  SetLocked(Fsubmit_source_addr_npi, Value);
}

int32_t TSMPPClientInfo::submit_dest_addr_ton() const {
  return Locked(Fsubmit_dest_addr_ton);
}
void TSMPPClientInfo::Set_submit_dest_addr_ton(int32_t Value) {
  SetLocked(Fsubmit_dest_addr_ton, Value);
}

int32_t TSMPPClientInfo::submit_dest_addr_npi() const {
  return Locked(Fsubmit_dest_addr_npi);
}
void TSMPPClientInfo::Set_submit_dest_addr_npi(int32_t Value) {
  SetLocked(Fsubmit_dest_addr_npi, Value);
}

int32_t TSMPPClientInfo::bind_addr_npi() const {
  return Locked(Fbind_addr_npi);
}
void TSMPPClientInfo::Set_bind_addr_npi(int32_t Value) {
  SetLocked(Fbind_addr_npi, Value);
}

bool TSMPPClientInfo::UseTLS() const {
  return Locked(FUseTLS);
}
void TSMPPClientInfo::SetUseTLS(bool Value) {
  SetLocked(FUseTLS, Value);
}

bool TSMPPClientInfo::TLSVerifyPeer() const {
  return Locked(FTLSVerifyPeer);
}
void TSMPPClientInfo::SetTLSVerifyPeer(bool Value) {
  SetLocked(FTLSVerifyPeer, Value);
}

std::string TSMPPClientInfo::TLSCAFile() const {
  return Locked(FTLSCAFile);
}
void TSMPPClientInfo::SetTLSCAFile(const std::string& Value) {
  SetLocked(FTLSCAFile, Value);
}

std::string TSMPPClientInfo::TLSServerName() const {
  return Locked(FTLSServerName);
}
void TSMPPClientInfo::SetTLSServerName(const std::string& Value) {
  SetLocked(FTLSServerName, Value);
}

TBindMode TSMPPClientInfo::bind_mode() const {
  return Locked(Fbind_mode);
}
void TSMPPClientInfo::Set_bind_mode(TBindMode Value) {
  if (Value != TBindMode::bmPair && Value != TBindMode::bmTransceiver)
    throw std::invalid_argument("bind_mode is bmPair or bmTransceiver");
  SetLocked(Fbind_mode, Value);
}

int32_t TSMPPClientInfo::deliver_resp_status() const {
  return static_cast<int32_t>(DeliverAnswer().status);
}
void TSMPPClientInfo::Set_deliver_resp_status(int32_t Value) {
  SetDeliverAnswerPart(0xFFFFFFFFu, static_cast<uint32_t>(Value));
}

int32_t TSMPPClientInfo::deliver_resp_delay_ms() const {
  return DeliverAnswer().delay_ms;
}
void TSMPPClientInfo::Set_deliver_resp_delay_ms(int32_t Value) {
  // An SMSC gives up on an answer long before ten minutes; a larger value is a typing error.
  if (Value < 0 || Value > kMaxDeliverRespDelayMs)
    throw std::invalid_argument("deliver_resp_delay_ms must be 0 to " +
                                std::to_string(kMaxDeliverRespDelayMs) + ", not " +
                                std::to_string(Value));
  SetDeliverAnswerPart(uint64_t{0x3FFFFFFF} << 32, static_cast<uint64_t>(Value) << 32);
}

bool TSMPPClientInfo::deliver_no_answer() const {
  return DeliverAnswer().no_answer;
}
void TSMPPClientInfo::Set_deliver_no_answer(bool Value) {
  SetDeliverAnswerPart(kNoAnswerBit, Value ? kNoAnswerBit : 0);
}

void TSMPPClientInfo::SetDeliverAnswerPart(uint64_t Mask, uint64_t Value) {
  std::lock_guard<std::mutex> Guard(FieldsLock);
  const uint64_t Old = FDeliverAnswer.load(std::memory_order_relaxed);
  FDeliverAnswer.store((Old & ~Mask) | (Value & Mask), std::memory_order_relaxed);
}

TSMPPClientInfo::TDeliverAnswer TSMPPClientInfo::DeliverAnswer() const {
  const uint64_t Packed = FDeliverAnswer.load(std::memory_order_relaxed);
  return {static_cast<uint32_t>(Packed), static_cast<int32_t>((Packed >> 32) & 0x3FFFFFFF),
          (Packed & kNoAnswerBit) != 0};
}

std::string_view BindModeIdent(TBindMode Mode) noexcept {
  return Mode == TBindMode::bmTransceiver ? "bmTransceiver" : "bmPair";
}

std::optional<TBindMode> BindModeFromIdent(std::string_view Ident) noexcept {
  if (Ident == "bmPair") return TBindMode::bmPair;
  if (Ident == "bmTransceiver") return TBindMode::bmTransceiver;
  return std::nullopt;
}

// The coding settings are read for every message sent or received, so they are kept in atomics
// and read without FieldsLock: the two submit settings packed into one, so that they are still
// read together.
TTextCoding TSMPPClientInfo::submit_coding() const {
  return SubmitText().coding;
}
TLongMessageMode TSMPPClientInfo::submit_long_mode() const {
  return SubmitText().long_mode;
}
TTextCoding TSMPPClientInfo::deliver_default_alphabet() const {
  return Fdeliver_default_alphabet.load(std::memory_order_relaxed);
}

void TSMPPClientInfo::Set_submit_coding(TTextCoding Value) {
  uint16_t Old = Fsubmit_text.load(std::memory_order_relaxed);
  while (!Fsubmit_text.compare_exchange_weak(
      Old, static_cast<uint16_t>((Old & 0xFF00) | static_cast<uint8_t>(Value)),
      std::memory_order_relaxed)) {
  }
}

void TSMPPClientInfo::Set_submit_long_mode(TLongMessageMode Value) {
  uint16_t Old = Fsubmit_text.load(std::memory_order_relaxed);
  while (!Fsubmit_text.compare_exchange_weak(
      Old, static_cast<uint16_t>((Old & 0x00FF) | (static_cast<uint8_t>(Value) << 8)),
      std::memory_order_relaxed)) {
  }
}

void TSMPPClientInfo::Set_deliver_default_alphabet(TTextCoding Value) {
  if (Value != TTextCoding::tcBytes && Value != TTextCoding::tcGsm)
    throw std::invalid_argument("deliver_default_alphabet is tcBytes or tcGsm, not " +
                                std::string(TextCodingIdent(Value)));
  Fdeliver_default_alphabet.store(Value, std::memory_order_relaxed);
}

namespace {

std::string TagHex(uint16_t Tag) {
  char Text[5];
  std::snprintf(Text, sizeof Text, "%04X", Tag);
  return Text;
}

// Refusals of values that do not fit their field, each naming the setting and the reason.
void CheckOctet(const char* Name, int32_t Value) {
  if (Value < 0 || Value > 255)
    throw std::invalid_argument(std::string(Name) + " must be 0 to 255, not " +
                                std::to_string(Value));
}

void CheckText(const char* Name, const std::string& Value, size_t Max) {
  if (Value.size() > Max)
    throw std::invalid_argument(std::string(Name) + " is at most " + std::to_string(Max) +
                                " characters, not " + std::to_string(Value.size()));
  if (Value.find('\0') != std::string::npos)
    throw std::invalid_argument(std::string(Name) + " cannot hold a NUL character");
}

bool Digits(std::string_view Text) {
  return std::all_of(Text.begin(), Text.end(), [](char C) { return C >= '0' && C <= '9'; });
}

int Number(std::string_view Text, size_t At) {
  return (Text[At] - '0') * 10 + (Text[At + 1] - '0');
}

// Empty, or YYMMDDhhmmsstnnp: p '+' or '-' for an absolute time (month 01-12, day 01-31, hour
// 00-23, minutes and seconds 00-59, quarter hours nn 00-48), 'R' for a relative one (tnn 000).
void CheckTime(const char* Name, const std::string& Value) {
  if (Value.empty()) return;
  const std::string Why = [&]() -> std::string {
    if (Value.size() != 16) return "is empty or 16 characters, not " + std::to_string(Value.size());
    const char P = Value[15];
    if (P != '+' && P != '-' && P != 'R') return "ends with +, - (absolute) or R (relative)";
    if (!Digits(std::string_view(Value).substr(0, 15))) return "has digits before its last one";
    if (P == 'R') return Value.compare(12, 3, "000") == 0 ? "" : "relative ends with 000R";
    if (Number(Value, 2) < 1 || Number(Value, 2) > 12) return "has no month " + Value.substr(2, 2);
    if (Number(Value, 4) < 1 || Number(Value, 4) > 31) return "has no day " + Value.substr(4, 2);
    if (Number(Value, 6) > 23 || Number(Value, 8) > 59 || Number(Value, 10) > 59)
      return "has no time of day " + Value.substr(6, 6);
    if (Number(Value, 13) > 48) return "is more than 48 quarter hours from UTC";
    return "";
  }();
  if (!Why.empty()) throw std::invalid_argument(std::string(Name) + " " + Why);
}

}  // namespace

int32_t TSMPPClientInfo::bind_addr_ton() const {
  return Locked(Fbind_addr_ton);
}
void TSMPPClientInfo::Set_bind_addr_ton(int32_t Value) {
  CheckOctet("bind_addr_ton", Value);
  SetLocked(Fbind_addr_ton, Value);
}

std::string TSMPPClientInfo::bind_address_range() const {
  return Locked(Fbind_address_range);
}
void TSMPPClientInfo::Set_bind_address_range(const std::string& Value) {
  CheckText("bind_address_range", Value, 40);
  SetLocked(Fbind_address_range, Value);
}

int32_t TSMPPClientInfo::bind_interface_version() const {
  return Locked(Fbind_interface_version);
}
void TSMPPClientInfo::Set_bind_interface_version(int32_t Value) {
  CheckOctet("bind_interface_version", Value);
  SetLocked(Fbind_interface_version, Value);
}

std::string TSMPPClientInfo::submit_service_type() const {
  return Locked(Fsubmit_service_type);
}
void TSMPPClientInfo::Set_submit_service_type(const std::string& Value) {
  CheckText("submit_service_type", Value, 5);
  SetLocked(Fsubmit_service_type, Value);
}

int32_t TSMPPClientInfo::submit_protocol_id() const {
  return Locked(Fsubmit_protocol_id);
}
void TSMPPClientInfo::Set_submit_protocol_id(int32_t Value) {
  CheckOctet("submit_protocol_id", Value);
  SetLocked(Fsubmit_protocol_id, Value);
}

int32_t TSMPPClientInfo::submit_priority_flag() const {
  return Locked(Fsubmit_priority_flag);
}
void TSMPPClientInfo::Set_submit_priority_flag(int32_t Value) {
  CheckOctet("submit_priority_flag", Value);
  SetLocked(Fsubmit_priority_flag, Value);
}

std::string TSMPPClientInfo::submit_schedule_delivery_time() const {
  return Locked(Fsubmit_schedule_delivery_time);
}
void TSMPPClientInfo::Set_submit_schedule_delivery_time(const std::string& Value) {
  CheckTime("submit_schedule_delivery_time", Value);
  SetLocked(Fsubmit_schedule_delivery_time, Value);
}

int32_t TSMPPClientInfo::submit_registered_delivery() const {
  return Locked(Fsubmit_registered_delivery);
}
void TSMPPClientInfo::Set_submit_registered_delivery(int32_t Value) {
  CheckOctet("submit_registered_delivery", Value);
  SetLocked(Fsubmit_registered_delivery, Value);
}

int32_t TSMPPClientInfo::submit_replace_if_present_flag() const {
  return Locked(Fsubmit_replace_if_present_flag);
}
void TSMPPClientInfo::Set_submit_replace_if_present_flag(int32_t Value) {
  CheckOctet("submit_replace_if_present_flag", Value);
  SetLocked(Fsubmit_replace_if_present_flag, Value);
}

int32_t TSMPPClientInfo::submit_esm_class() const {
  return Locked(Fsubmit_esm_class);
}
void TSMPPClientInfo::Set_submit_esm_class(int32_t Value) {
  CheckOctet("submit_esm_class", Value);
  // A plain text whose first octets were read as a user data header would arrive corrupted.
  if (Value & 0x40)
    throw std::invalid_argument(
        "submit_esm_class cannot hold 0x40 (UDHI): the client sets it for a user data header");
  SetLocked(Fsubmit_esm_class, Value);
}

int32_t TSMPPClientInfo::submit_sm_default_msg_id() const {
  return Locked(Fsubmit_sm_default_msg_id);
}
void TSMPPClientInfo::Set_submit_sm_default_msg_id(int32_t Value) {
  CheckOctet("submit_sm_default_msg_id", Value);
  SetLocked(Fsubmit_sm_default_msg_id, Value);
}

void TSMPPClientInfo::SetExtraTlvs(std::vector<TTlv> Value) {
  size_t Octets = 0;
  for (const TTlv& T : Value) {
    if (T.Value.size() > 0xFFFF)
      throw std::invalid_argument("optional parameter 0x" + TagHex(T.Tag) + " has " +
                                  std::to_string(T.Value.size()) +
                                  " octets; a value holds at most 65535");
    Octets += 4 + T.Value.size();
  }
  if (Octets > kMaxExtraTlvOctets)
    throw std::invalid_argument("the optional parameters take " + std::to_string(Octets) +
                                " octets; a PDU has room for at most " +
                                std::to_string(kMaxExtraTlvOctets));
  auto List = std::make_shared<const std::vector<TTlv>>(std::move(Value));
  std::lock_guard<std::mutex> Guard(FieldsLock);
  FExtraTlvs.swap(List);
}

std::vector<TTlv> TSMPPClientInfo::ExtraTlvs() const {
  return *Locked(FExtraTlvs);
}

TSMPPClientInfo::TBindFields TSMPPClientInfo::BindFields() const {
  std::lock_guard<std::mutex> Guard(FieldsLock);
  return {static_cast<uint8_t>(Fbind_addr_ton), static_cast<uint8_t>(Fbind_addr_npi),
          static_cast<uint8_t>(Fbind_interface_version), Fbind_address_range};
}

TSMPPClientInfo::TSubmitFields TSMPPClientInfo::SubmitFields() const {
  std::lock_guard<std::mutex> Guard(FieldsLock);
  return {Fsubmit_service_type,
          Fsubmit_schedule_delivery_time,
          static_cast<uint8_t>(Fsubmit_protocol_id),
          static_cast<uint8_t>(Fsubmit_priority_flag),
          static_cast<uint8_t>(Fsubmit_registered_delivery),
          static_cast<uint8_t>(Fsubmit_replace_if_present_flag),
          static_cast<uint8_t>(Fsubmit_esm_class),
          static_cast<uint8_t>(Fsubmit_sm_default_msg_id),
          FExtraTlvs};
}

TSMPPClientInfo::TBindCredentials TSMPPClientInfo::BindCredentials() const {
  std::lock_guard<std::mutex> Guard(FieldsLock);
  return {FUserID, FPassword, FSystemType};
}

TSMPPClientInfo::TSubmitAddressing TSMPPClientInfo::SubmitAddressing() const {
  std::lock_guard<std::mutex> Guard(FieldsLock);
  return {Fsubmit_source_addr_ton, Fsubmit_source_addr_npi, Fsubmit_dest_addr_ton,
          Fsubmit_dest_addr_npi};
}

void TSMPPClientInfo::SubmitSettings(TSubmitAddressing& Addressing, TSubmitFields& Fields) const {
  std::lock_guard<std::mutex> Guard(FieldsLock);
  Addressing = {Fsubmit_source_addr_ton, Fsubmit_source_addr_npi, Fsubmit_dest_addr_ton,
                Fsubmit_dest_addr_npi};
  Fields.service_type = Fsubmit_service_type;
  Fields.schedule_delivery_time = Fsubmit_schedule_delivery_time;
  Fields.protocol_id = static_cast<uint8_t>(Fsubmit_protocol_id);
  Fields.priority_flag = static_cast<uint8_t>(Fsubmit_priority_flag);
  Fields.registered_delivery = static_cast<uint8_t>(Fsubmit_registered_delivery);
  Fields.replace_if_present_flag = static_cast<uint8_t>(Fsubmit_replace_if_present_flag);
  Fields.esm_class = static_cast<uint8_t>(Fsubmit_esm_class);
  Fields.sm_default_msg_id = static_cast<uint8_t>(Fsubmit_sm_default_msg_id);
  Fields.extra_tlvs = FExtraTlvs;
}

TSMPPClientInfo::TSubmitText TSMPPClientInfo::SubmitText() const {
  const uint16_t Both = Fsubmit_text.load(std::memory_order_relaxed);
  return {static_cast<TTextCoding>(Both & 0xFF), static_cast<TLongMessageMode>(Both >> 8)};
}

namespace {

// The identifier of a text setting, and the setter that takes one: a name that is not one of the
// setting's values is refused, so that a mistyped form value does not pass unnoticed.
template <typename T>
void IdentSetting(TPublishedProperties& Props, const char* Name, T Def, std::function<T()> Get,
                  std::function<void(T)> Set, std::string_view (*Ident)(T) noexcept,
                  std::optional<T> (*FromIdent)(std::string_view) noexcept) {
  Props.Ident(
      Name, [Get, Ident] { return std::string(Ident(Get())); },
      [Name, Set, FromIdent](const std::string& V) {
        const std::optional<T> Value = FromIdent(V);
        if (!Value) throw std::invalid_argument(std::string(Name) + " cannot be " + V);
        Set(*Value);
      },
      std::string(Ident(Def)));
}

}  // namespace

void TSMPPClientInfo::PublishProperties(TPublishedProperties& Props) {
  auto Text = [&](const char* Name, std::string (TSMPPClientInfo::*Get)() const,
                  void (TSMPPClientInfo::*Set)(const std::string&)) {
    Props.Text(
        Name, [this, Get] { return (this->*Get)(); },
        [this, Set](const std::string& V) { (this->*Set)(V); });
  };
  auto Integer = [&](const char* Name, int32_t (TSMPPClientInfo::*Get)() const,
                     void (TSMPPClientInfo::*Set)(int32_t), std::optional<int32_t> Def) {
    Props.Integer(
        Name, [this, Get] { return (this->*Get)(); }, [this, Set](int32_t V) { (this->*Set)(V); },
        Def);
  };
  Text("Host", &TSMPPClientInfo::Host, &TSMPPClientInfo::SetHost);
  Integer("Port", &TSMPPClientInfo::Port, &TSMPPClientInfo::SetPort, std::nullopt);
  Text("UserID", &TSMPPClientInfo::UserID, &TSMPPClientInfo::SetUserID);
  Text("Password", &TSMPPClientInfo::Password, &TSMPPClientInfo::SetPassword);
  Text("SystemType", &TSMPPClientInfo::SystemType, &TSMPPClientInfo::SetSystemType);
  Integer("bind_addr_npi", &TSMPPClientInfo::bind_addr_npi, &TSMPPClientInfo::Set_bind_addr_npi,
          std::nullopt);
  Integer("submit_source_addr_ton", &TSMPPClientInfo::submit_source_addr_ton,
          &TSMPPClientInfo::Set_submit_source_addr_ton, 0);
  Integer("submit_source_addr_npi", &TSMPPClientInfo::submit_source_addr_npi,
          &TSMPPClientInfo::Set_submit_source_addr_npi, 1);
  Integer("submit_dest_addr_ton", &TSMPPClientInfo::submit_dest_addr_ton,
          &TSMPPClientInfo::Set_submit_dest_addr_ton, 1);
  Integer("submit_dest_addr_npi", &TSMPPClientInfo::submit_dest_addr_npi,
          &TSMPPClientInfo::Set_submit_dest_addr_npi, 1);
  IdentSetting<TTextCoding>(
      Props, "submit_coding", TTextCoding::tcBytes, [this] { return submit_coding(); },
      [this](TTextCoding V) { Set_submit_coding(V); }, TextCodingIdent, TextCodingFromIdent);
  IdentSetting<TLongMessageMode>(
      Props, "submit_long_mode", TLongMessageMode::lmSplit, [this] { return submit_long_mode(); },
      [this](TLongMessageMode V) { Set_submit_long_mode(V); }, LongMessageModeIdent,
      LongMessageModeFromIdent);
  IdentSetting<TTextCoding>(
      Props, "deliver_default_alphabet", TTextCoding::tcBytes,
      [this] { return deliver_default_alphabet(); },
      [this](TTextCoding V) { Set_deliver_default_alphabet(V); }, TextCodingIdent,
      TextCodingFromIdent);
  Integer("bind_addr_ton", &TSMPPClientInfo::bind_addr_ton, &TSMPPClientInfo::Set_bind_addr_ton, 0);
  Props.Text(
      "bind_address_range", [this] { return bind_address_range(); },
      [this](const std::string& V) { Set_bind_address_range(V); }, std::string());
  Integer("bind_interface_version", &TSMPPClientInfo::bind_interface_version,
          &TSMPPClientInfo::Set_bind_interface_version, 0x34);
  Props.Text(
      "submit_service_type", [this] { return submit_service_type(); },
      [this](const std::string& V) { Set_submit_service_type(V); }, std::string());
  Integer("submit_protocol_id", &TSMPPClientInfo::submit_protocol_id,
          &TSMPPClientInfo::Set_submit_protocol_id, 0);
  Integer("submit_priority_flag", &TSMPPClientInfo::submit_priority_flag,
          &TSMPPClientInfo::Set_submit_priority_flag, 0);
  Props.Text(
      "submit_schedule_delivery_time", [this] { return submit_schedule_delivery_time(); },
      [this](const std::string& V) { Set_submit_schedule_delivery_time(V); }, std::string());
  Integer("submit_registered_delivery", &TSMPPClientInfo::submit_registered_delivery,
          &TSMPPClientInfo::Set_submit_registered_delivery, 0x11);
  Integer("submit_replace_if_present_flag", &TSMPPClientInfo::submit_replace_if_present_flag,
          &TSMPPClientInfo::Set_submit_replace_if_present_flag, 0);
  Integer("submit_esm_class", &TSMPPClientInfo::submit_esm_class,
          &TSMPPClientInfo::Set_submit_esm_class, 0);
  Integer("submit_sm_default_msg_id", &TSMPPClientInfo::submit_sm_default_msg_id,
          &TSMPPClientInfo::Set_submit_sm_default_msg_id, 0);
  Props.Boolean(
      "UseTLS", [this] { return UseTLS(); }, [this](bool V) { SetUseTLS(V); }, false);
  Props.Boolean(
      "TLSVerifyPeer", [this] { return TLSVerifyPeer(); }, [this](bool V) { SetTLSVerifyPeer(V); },
      true);
  Props.Text(
      "TLSCAFile", [this] { return TLSCAFile(); },
      [this](const std::string& V) { SetTLSCAFile(V); }, std::string());
  Props.Text(
      "TLSServerName", [this] { return TLSServerName(); },
      [this](const std::string& V) { SetTLSServerName(V); }, std::string());
  IdentSetting<TBindMode>(
      Props, "bind_mode", TBindMode::bmPair, [this] { return bind_mode(); },
      [this](TBindMode V) { Set_bind_mode(V); }, BindModeIdent, BindModeFromIdent);
  Integer("deliver_resp_status", &TSMPPClientInfo::deliver_resp_status,
          &TSMPPClientInfo::Set_deliver_resp_status, 0);
  Integer("deliver_resp_delay_ms", &TSMPPClientInfo::deliver_resp_delay_ms,
          &TSMPPClientInfo::Set_deliver_resp_delay_ms, 0);
  Props.Boolean(
      "deliver_no_answer", [this] { return deliver_no_answer(); },
      [this](bool V) { Set_deliver_no_answer(V); }, false);
}
