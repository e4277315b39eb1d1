// TSMPPClientInfo: locked accessors and the published property list of the account settings.
#include "smpp/SMPPClientInfo.h"

#include <stdexcept>

std::string TSMPPClientInfo::Host() const {
  return Locked(FHost);
}
void TSMPPClientInfo::SetHost(const std::string& value) {
  SetLocked(FHost, value);
}

std::string TSMPPClientInfo::UserID() const {
  return Locked(FUserID);
}
void TSMPPClientInfo::SetUserID(const std::string& value) {
  SetLocked(FUserID, value);
}

std::string TSMPPClientInfo::Password() const {
  return Locked(FPassword);
}
void TSMPPClientInfo::SetPassword(const std::string& value) {
  SetLocked(FPassword, value);
}

std::string TSMPPClientInfo::SystemType() const {
  return Locked(FSystemType);
}
void TSMPPClientInfo::SetSystemType(const std::string& value) {
  SetLocked(FSystemType, value);
}

int32_t TSMPPClientInfo::Port() const {
  return Locked(FPort);
}
void TSMPPClientInfo::SetPort(int32_t value) {
  SetLocked(FPort, value);
}

int32_t TSMPPClientInfo::submit_source_addr_ton() const {
  return Locked(Fsubmit_source_addr_ton);
}
void TSMPPClientInfo::Set_submit_source_addr_ton(int32_t value) {
  SetLocked(Fsubmit_source_addr_ton, value);
}

int32_t TSMPPClientInfo::submit_source_addr_npi() const {
  return Locked(Fsubmit_source_addr_npi);
}
void TSMPPClientInfo::Set_submit_source_addr_npi(int32_t value) {
  SetLocked(Fsubmit_source_addr_npi, value);
}

int32_t TSMPPClientInfo::submit_dest_addr_ton() const {
  return Locked(Fsubmit_dest_addr_ton);
}
void TSMPPClientInfo::Set_submit_dest_addr_ton(int32_t value) {
  SetLocked(Fsubmit_dest_addr_ton, value);
}

int32_t TSMPPClientInfo::submit_dest_addr_npi() const {
  return Locked(Fsubmit_dest_addr_npi);
}
void TSMPPClientInfo::Set_submit_dest_addr_npi(int32_t value) {
  SetLocked(Fsubmit_dest_addr_npi, value);
}

int32_t TSMPPClientInfo::bind_addr_npi() const {
  return Locked(Fbind_addr_npi);
}
void TSMPPClientInfo::Set_bind_addr_npi(int32_t value) {
  SetLocked(Fbind_addr_npi, value);
}

bool TSMPPClientInfo::UseTLS() const {
  return Locked(FUseTLS);
}
void TSMPPClientInfo::SetUseTLS(bool value) {
  SetLocked(FUseTLS, value);
}

bool TSMPPClientInfo::TLSVerifyPeer() const {
  return Locked(FTLSVerifyPeer);
}
void TSMPPClientInfo::SetTLSVerifyPeer(bool value) {
  SetLocked(FTLSVerifyPeer, value);
}

std::string TSMPPClientInfo::TLSCAFile() const {
  return Locked(FTLSCAFile);
}
void TSMPPClientInfo::SetTLSCAFile(const std::string& value) {
  SetLocked(FTLSCAFile, value);
}

std::string TSMPPClientInfo::TLSServerName() const {
  return Locked(FTLSServerName);
}
void TSMPPClientInfo::SetTLSServerName(const std::string& value) {
  SetLocked(FTLSServerName, value);
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

void TSMPPClientInfo::Set_submit_coding(TTextCoding value) {
  uint16_t Old = Fsubmit_text.load(std::memory_order_relaxed);
  while (!Fsubmit_text.compare_exchange_weak(
      Old, static_cast<uint16_t>((Old & 0xFF00) | static_cast<uint8_t>(value)),
      std::memory_order_relaxed)) {
  }
}

void TSMPPClientInfo::Set_submit_long_mode(TLongMessageMode value) {
  uint16_t Old = Fsubmit_text.load(std::memory_order_relaxed);
  while (!Fsubmit_text.compare_exchange_weak(
      Old, static_cast<uint16_t>((Old & 0x00FF) | (static_cast<uint8_t>(value) << 8)),
      std::memory_order_relaxed)) {
  }
}

void TSMPPClientInfo::Set_deliver_default_alphabet(TTextCoding value) {
  if (value != TTextCoding::tcBytes && value != TTextCoding::tcGsm)
    throw std::invalid_argument("deliver_default_alphabet is tcBytes or tcGsm, not " +
                                std::string(TextCodingIdent(value)));
  Fdeliver_default_alphabet.store(value, std::memory_order_relaxed);
}

TSMPPClientInfo::TBindCredentials TSMPPClientInfo::BindCredentials() const {
  std::lock_guard<std::mutex> guard(FieldsLock);
  return {FUserID, FPassword, FSystemType};
}

TSMPPClientInfo::TSubmitAddressing TSMPPClientInfo::SubmitAddressing() const {
  std::lock_guard<std::mutex> guard(FieldsLock);
  return {Fsubmit_source_addr_ton, Fsubmit_source_addr_npi, Fsubmit_dest_addr_ton,
          Fsubmit_dest_addr_npi};
}

TSMPPClientInfo::TSubmitText TSMPPClientInfo::SubmitText() const {
  const uint16_t Both = Fsubmit_text.load(std::memory_order_relaxed);
  return {static_cast<TTextCoding>(Both & 0xFF), static_cast<TLongMessageMode>(Both >> 8)};
}

namespace {

// The identifier of a text setting, and the setter that takes one: a name that is not one of the
// setting's values is refused, so that a mistyped form value does not pass unnoticed.
template <typename T>
void IdentSetting(TPublishedProperties& props, const char* name, T def, std::function<T()> get,
                  std::function<void(T)> set, std::string_view (*ident)(T) noexcept,
                  std::optional<T> (*fromIdent)(std::string_view) noexcept) {
  props.Ident(
      name, [get, ident] { return std::string(ident(get())); },
      [name, set, fromIdent](const std::string& v) {
        const std::optional<T> value = fromIdent(v);
        if (!value) throw std::invalid_argument(std::string(name) + " cannot be " + v);
        set(*value);
      },
      std::string(ident(def)));
}

}  // namespace

void TSMPPClientInfo::PublishProperties(TPublishedProperties& props) {
  auto text = [&](const char* name, std::string (TSMPPClientInfo::*get)() const,
                  void (TSMPPClientInfo::*set)(const std::string&)) {
    props.Text(
        name, [this, get] { return (this->*get)(); },
        [this, set](const std::string& v) { (this->*set)(v); });
  };
  auto integer = [&](const char* name, int32_t (TSMPPClientInfo::*get)() const,
                     void (TSMPPClientInfo::*set)(int32_t), std::optional<int32_t> def) {
    props.Integer(
        name, [this, get] { return (this->*get)(); }, [this, set](int32_t v) { (this->*set)(v); },
        def);
  };
  text("Host", &TSMPPClientInfo::Host, &TSMPPClientInfo::SetHost);
  integer("Port", &TSMPPClientInfo::Port, &TSMPPClientInfo::SetPort, std::nullopt);
  text("UserID", &TSMPPClientInfo::UserID, &TSMPPClientInfo::SetUserID);
  text("Password", &TSMPPClientInfo::Password, &TSMPPClientInfo::SetPassword);
  text("SystemType", &TSMPPClientInfo::SystemType, &TSMPPClientInfo::SetSystemType);
  integer("bind_addr_npi", &TSMPPClientInfo::bind_addr_npi, &TSMPPClientInfo::Set_bind_addr_npi,
          std::nullopt);
  integer("submit_source_addr_ton", &TSMPPClientInfo::submit_source_addr_ton,
          &TSMPPClientInfo::Set_submit_source_addr_ton, 0);
  integer("submit_source_addr_npi", &TSMPPClientInfo::submit_source_addr_npi,
          &TSMPPClientInfo::Set_submit_source_addr_npi, 1);
  integer("submit_dest_addr_ton", &TSMPPClientInfo::submit_dest_addr_ton,
          &TSMPPClientInfo::Set_submit_dest_addr_ton, 1);
  integer("submit_dest_addr_npi", &TSMPPClientInfo::submit_dest_addr_npi,
          &TSMPPClientInfo::Set_submit_dest_addr_npi, 1);
  IdentSetting<TTextCoding>(
      props, "submit_coding", TTextCoding::tcBytes, [this] { return submit_coding(); },
      [this](TTextCoding v) { Set_submit_coding(v); }, TextCodingIdent, TextCodingFromIdent);
  IdentSetting<TLongMessageMode>(
      props, "submit_long_mode", TLongMessageMode::lmSplit, [this] { return submit_long_mode(); },
      [this](TLongMessageMode v) { Set_submit_long_mode(v); }, LongMessageModeIdent,
      LongMessageModeFromIdent);
  IdentSetting<TTextCoding>(
      props, "deliver_default_alphabet", TTextCoding::tcBytes,
      [this] { return deliver_default_alphabet(); },
      [this](TTextCoding v) { Set_deliver_default_alphabet(v); }, TextCodingIdent,
      TextCodingFromIdent);
  props.Boolean(
      "UseTLS", [this] { return UseTLS(); }, [this](bool v) { SetUseTLS(v); }, false);
  props.Boolean(
      "TLSVerifyPeer", [this] { return TLSVerifyPeer(); }, [this](bool v) { SetTLSVerifyPeer(v); },
      true);
  props.Text(
      "TLSCAFile", [this] { return TLSCAFile(); },
      [this](const std::string& v) { SetTLSCAFile(v); }, std::string());
  props.Text(
      "TLSServerName", [this] { return TLSServerName(); },
      [this](const std::string& v) { SetTLSServerName(v); }, std::string());
}
