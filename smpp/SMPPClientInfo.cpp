// TSMPPClientInfo: locked accessors and the published property list of the account settings.
#include "smpp/SMPPClientInfo.h"

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

#undef SMPP_CLIENTINFO_TEXT
#undef SMPP_CLIENTINFO_INT

TSMPPClientInfo::TBindCredentials TSMPPClientInfo::BindCredentials() const {
  std::lock_guard<std::mutex> guard(FieldsLock);
  return {UserID_, Password_, SystemType_};
}

TSMPPClientInfo::TSubmitAddressing TSMPPClientInfo::SubmitAddressing() const {
  std::lock_guard<std::mutex> guard(FieldsLock);
  return {submit_source_addr_ton_, submit_source_addr_npi_, submit_dest_addr_ton_,
          submit_dest_addr_npi_};
}

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
