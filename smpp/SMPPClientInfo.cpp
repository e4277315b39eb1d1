// TSMPPClientInfo: locked accessors and the published property list of the account settings.
#include "smpp/SMPPClientInfo.h"

#include <stdexcept>

#define SMPP_CLIENTINFO_TEXT(Name)                            \
  std::string TSMPPClientInfo::Name() const {                 \
    std::lock_guard<std::mutex> guard(FieldsLock);            \
    return Name##_;                                           \
  }                                                           \
  void TSMPPClientInfo::Set##Name(const std::string& value) { \
    std::lock_guard<std::mutex> guard(FieldsLock);            \
    Name##_ = value;                                          \
  }

#define SMPP_CLIENTINFO_INT(Name, Setter)          \
  int32_t TSMPPClientInfo::Name() const {          \
    std::lock_guard<std::mutex> guard(FieldsLock); \
    return Name##_;                                \
  }                                                \
  void TSMPPClientInfo::Setter(int32_t value) {    \
    std::lock_guard<std::mutex> guard(FieldsLock); \
    Name##_ = value;                               \
  }

SMPP_CLIENTINFO_TEXT(Host)
SMPP_CLIENTINFO_TEXT(UserID)
SMPP_CLIENTINFO_TEXT(Password)
SMPP_CLIENTINFO_TEXT(SystemType)
SMPP_CLIENTINFO_INT(Port, SetPort)
SMPP_CLIENTINFO_INT(submit_source_addr_ton, Set_submit_source_addr_ton)
SMPP_CLIENTINFO_INT(submit_source_addr_npi, Set_submit_source_addr_npi)
SMPP_CLIENTINFO_INT(submit_dest_addr_ton, Set_submit_dest_addr_ton)
SMPP_CLIENTINFO_INT(submit_dest_addr_npi, Set_submit_dest_addr_npi)
SMPP_CLIENTINFO_INT(bind_addr_npi, Set_bind_addr_npi)
SMPP_CLIENTINFO_TEXT(TLSCAFile)
SMPP_CLIENTINFO_TEXT(TLSServerName)

bool TSMPPClientInfo::UseTLS() const {
  std::lock_guard<std::mutex> guard(FieldsLock);
  return UseTLS_;
}
void TSMPPClientInfo::SetUseTLS(bool value) {
  std::lock_guard<std::mutex> guard(FieldsLock);
  UseTLS_ = value;
}
bool TSMPPClientInfo::TLSVerifyPeer() const {
  std::lock_guard<std::mutex> guard(FieldsLock);
  return TLSVerifyPeer_;
}
void TSMPPClientInfo::SetTLSVerifyPeer(bool value) {
  std::lock_guard<std::mutex> guard(FieldsLock);
  TLSVerifyPeer_ = value;
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
  return deliver_default_alphabet_.load(std::memory_order_relaxed);
}

void TSMPPClientInfo::Set_submit_coding(TTextCoding value) {
  uint16_t Old = submit_text_.load(std::memory_order_relaxed);
  while (!submit_text_.compare_exchange_weak(
      Old, static_cast<uint16_t>((Old & 0xFF00) | static_cast<uint8_t>(value)),
      std::memory_order_relaxed)) {
  }
}

void TSMPPClientInfo::Set_submit_long_mode(TLongMessageMode value) {
  uint16_t Old = submit_text_.load(std::memory_order_relaxed);
  while (!submit_text_.compare_exchange_weak(
      Old, static_cast<uint16_t>((Old & 0x00FF) | (static_cast<uint8_t>(value) << 8)),
      std::memory_order_relaxed)) {
  }
}

void TSMPPClientInfo::Set_deliver_default_alphabet(TTextCoding value) {
  if (value != TTextCoding::tcBytes && value != TTextCoding::tcGsm)
    throw std::invalid_argument("deliver_default_alphabet is tcBytes or tcGsm, not " +
                                std::string(TextCodingIdent(value)));
  deliver_default_alphabet_.store(value, std::memory_order_relaxed);
}

#undef SMPP_CLIENTINFO_TEXT
#undef SMPP_CLIENTINFO_INT
#undef SMPP_CLIENTINFO_ENUM

TSMPPClientInfo::TBindCredentials TSMPPClientInfo::BindCredentials() const {
  std::lock_guard<std::mutex> guard(FieldsLock);
  return {UserID_, Password_, SystemType_};
}

TSMPPClientInfo::TSubmitAddressing TSMPPClientInfo::SubmitAddressing() const {
  std::lock_guard<std::mutex> guard(FieldsLock);
  return {submit_source_addr_ton_, submit_source_addr_npi_, submit_dest_addr_ton_,
          submit_dest_addr_npi_};
}

TSMPPClientInfo::TSubmitText TSMPPClientInfo::SubmitText() const {
  const uint16_t Both = submit_text_.load(std::memory_order_relaxed);
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
