// TSMPPClientInfo: the SMSC account and addressing settings shared by the receiver and the
// transmitter connection, published as the client component's ClientInfo property.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "base/Published.h"

// The account (host, port, system id, password, system type) and the type-of-number and
// numbering-plan values of submits.
//
// A new object has every text empty and every number 0; the declared defaults of the published
// properties (submit_source_addr_ton 0, submit_source_addr_npi 1, submit_dest_addr_ton 1,
// submit_dest_addr_npi 1, none for the others) govern only what a form text stores.
//
// Threads: the application sets the values (usually before connecting); the PDU encoder reads them
// on whichever thread encodes (socket worker, keep-alive timer or application thread). Every
// accessor may be called from any thread: the fields are guarded by FieldsLock, so a reader never
// sees a text half-assigned. Each accessor only reads or writes its field.
class TSMPPClientInfo : public TPersistent {
 public:
  TSMPPClientInfo() = default;
  TSMPPClientInfo(const TSMPPClientInfo&) = delete;
  TSMPPClientInfo& operator=(const TSMPPClientInfo&) = delete;

  std::string Host() const;
  void SetHost(const std::string& value);
  std::string UserID() const;
  void SetUserID(const std::string& value);
  std::string Password() const;
  void SetPassword(const std::string& value);
  std::string SystemType() const;
  void SetSystemType(const std::string& value);
  int32_t Port() const;
  void SetPort(int32_t value);
  int32_t submit_source_addr_ton() const;
  void Set_submit_source_addr_ton(int32_t value);
  int32_t submit_source_addr_npi() const;
  void Set_submit_source_addr_npi(int32_t value);
  int32_t submit_dest_addr_ton() const;
  void Set_submit_dest_addr_ton(int32_t value);
  int32_t submit_dest_addr_npi() const;
  void Set_submit_dest_addr_npi(int32_t value);
  int32_t bind_addr_npi() const;
  void Set_bind_addr_npi(int32_t value);
  // TLS on both connections. A new object has TLS off and verification on, the declared
  // defaults of the four (so a stored form without them keeps plain TCP, and one written with
  // them left alone stores nothing new). Connect hands them to both sockets; see TIcsSocket.
  bool UseTLS() const;
  void SetUseTLS(bool value);
  bool TLSVerifyPeer() const;
  void SetTLSVerifyPeer(bool value);
  std::string TLSCAFile() const;
  void SetTLSCAFile(const std::string& value);
  std::string TLSServerName() const;
  void SetTLSServerName(const std::string& value);

  // The bind credentials, read together under one lock so that a bind never mixes an old user id
  // with a new password.
  struct TBindCredentials {
    std::string UserID, Password, SystemType;
  };
  TBindCredentials BindCredentials() const;

  // The four addressing values of submits, read together.
  struct TSubmitAddressing {
    int32_t source_ton, source_npi, dest_ton, dest_npi;
  };
  TSubmitAddressing SubmitAddressing() const;

  // Host, Port, UserID, Password, SystemType, bind_addr_npi, submit_source_addr_ton,
  // submit_source_addr_npi, submit_dest_addr_ton, submit_dest_addr_npi, in that order; then
  // UseTLS (default false), TLSVerifyPeer (default true), TLSCAFile and TLSServerName (default
  // empty).
  void PublishProperties(TPublishedProperties& props) override;

 private:
  // Guards every field below.
  mutable std::mutex FieldsLock;
  std::string Host_;
  std::string UserID_;
  std::string Password_;
  std::string SystemType_;
  int32_t Port_ = 0;
  int32_t submit_source_addr_ton_ = 0;
  int32_t submit_source_addr_npi_ = 0;
  int32_t submit_dest_addr_ton_ = 0;
  int32_t submit_dest_addr_npi_ = 0;
  int32_t bind_addr_npi_ = 0;
  bool UseTLS_ = false;
  bool TLSVerifyPeer_ = true;
  std::string TLSCAFile_;
  std::string TLSServerName_;
};
