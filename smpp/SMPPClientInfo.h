// TSMPPClientInfo: the SMSC account and addressing settings shared by the receiver and the
// transmitter connection, published as the client component's ClientInfo property.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Published.h"
#include "smpp/LongMessage.h"
#include "smpp/TextCoding.h"

// How the client binds: bmPair, a receiver and a transmitter connection (the client's behaviour
// before transceivers), or bmTransceiver, one connection bound with bind_transceiver that submits
// and receives.
enum class TBindMode : uint8_t { bmPair, bmTransceiver };
std::string_view BindModeIdent(TBindMode Mode) noexcept;  // "bmTransceiver"
std::optional<TBindMode> BindModeFromIdent(std::string_view Ident) noexcept;

// One optional parameter as it goes on the wire: its tag, and its value's octets (the length is
// their count).
struct TTlv {
  uint16_t Tag = 0;
  std::vector<uint8_t> Value;
  friend bool operator==(const TTlv&, const TTlv&) = default;
};

// The account (host, port, system id, password, system type), the type-of-number and
// numbering-plan values of submits, and how texts are coded and long messages sent.
//
// A new object has every text empty and every number 0; the declared defaults of the published
// properties (submit_source_addr_ton 0, submit_source_addr_npi 1, submit_dest_addr_ton 1,
// submit_dest_addr_npi 1, none for the others) govern only what a form text stores. The text
// settings start at their declared defaults, which are the client's behaviour before codings:
// submit_coding tcBytes (the text's bytes with data_coding 0), submit_long_mode lmSplit (the
// 160-character cut and two-part split), deliver_default_alphabet tcBytes (data_coding 0 read as
// bytes). A form text without them therefore loads, and is written, as before.
//
// Threads: the application sets the values (usually before connecting); the PDU encoder reads them
// on whichever thread encodes (socket worker, keep-alive timer or the thread that sends), Connect
// reads bind_mode on the client's owner thread, and the receiving connection's worker thread reads
// the answer settings (DeliverAnswer) for each delivery, so a change applies from the next one.
// Every accessor may be called from any thread: the fields are guarded by FieldsLock, so a reader
// never sees a text half-assigned (the coding and answer settings, read for every message, are
// atomics instead). Each accessor only reads or writes its field.
class TSMPPClientInfo : public TPersistent {
 public:
  TSMPPClientInfo() = default;
  TSMPPClientInfo(const TSMPPClientInfo&) = delete;
  TSMPPClientInfo& operator=(const TSMPPClientInfo&) = delete;

  std::string Host() const;
  void SetHost(const std::string& Value);
  std::string UserID() const;
  void SetUserID(const std::string& Value);
  std::string Password() const;
  void SetPassword(const std::string& Value);
  std::string SystemType() const;
  void SetSystemType(const std::string& Value);
  int32_t Port() const;
  void SetPort(int32_t Value);
  int32_t submit_source_addr_ton() const;
  void Set_submit_source_addr_ton(int32_t Value);
  int32_t submit_source_addr_npi() const;
  void Set_submit_source_addr_npi(int32_t Value);
  int32_t submit_dest_addr_ton() const;
  void Set_submit_dest_addr_ton(int32_t Value);
  int32_t submit_dest_addr_npi() const;
  void Set_submit_dest_addr_npi(int32_t Value);
  int32_t bind_addr_npi() const;
  void Set_bind_addr_npi(int32_t Value);
  // How Send codes a text (TTextCoding).
  TTextCoding submit_coding() const;
  void Set_submit_coding(TTextCoding Value);
  // How Send sends a text that does not fit one short message (TLongMessageMode).
  TLongMessageMode submit_long_mode() const;
  void Set_submit_long_mode(TLongMessageMode Value);
  // How received data_coding 0 is read: tcBytes (unchanged) or tcGsm (the GSM alphabet). Any
  // other value raises std::invalid_argument.
  TTextCoding deliver_default_alphabet() const;
  void Set_deliver_default_alphabet(TTextCoding Value);
  // The fields of the bind and of submits that the client once fixed. A new object holds their
  // declared defaults, which are those fixed values: bind_addr_ton 0, bind_address_range empty,
  // bind_interface_version 0x34 (52); submit_service_type empty, submit_protocol_id 0,
  // submit_priority_flag 0, submit_schedule_delivery_time empty, submit_registered_delivery
  // 0x11 (17), submit_replace_if_present_flag 0, submit_esm_class 0, submit_sm_default_msg_id 0.
  // A value that does not fit its field raises std::invalid_argument with the reason and leaves
  // the setting as it was: an integer outside 0..255, bind_address_range over 40 characters,
  // submit_service_type over 5, a text holding a NUL character, a schedule that is neither empty
  // nor 16 characters of an absolute ("YYMMDDhhmmsstnn+" or "-") or relative ("YYMMDDhhmmss000R")
  // time, or a submit_esm_class with the UDHI bit 0x40, which the client sets itself for a user
  // data header. submit_esm_class is OR-ed onto the bits the coding sets. bind_addr_npi (above)
  // is the bind's addr_npi, its low 8 bits.
  int32_t bind_addr_ton() const;
  void Set_bind_addr_ton(int32_t Value);
  std::string bind_address_range() const;
  void Set_bind_address_range(const std::string& Value);
  int32_t bind_interface_version() const;
  void Set_bind_interface_version(int32_t Value);
  std::string submit_service_type() const;
  void Set_submit_service_type(const std::string& Value);
  int32_t submit_protocol_id() const;
  void Set_submit_protocol_id(int32_t Value);
  int32_t submit_priority_flag() const;
  void Set_submit_priority_flag(int32_t Value);
  std::string submit_schedule_delivery_time() const;
  void Set_submit_schedule_delivery_time(const std::string& Value);
  int32_t submit_registered_delivery() const;
  void Set_submit_registered_delivery(int32_t Value);
  int32_t submit_replace_if_present_flag() const;
  void Set_submit_replace_if_present_flag(int32_t Value);
  int32_t submit_esm_class() const;
  void Set_submit_esm_class(int32_t Value);
  int32_t submit_sm_default_msg_id() const;
  void Set_submit_sm_default_msg_id(int32_t Value);
  // Optional parameters appended to every submit_sm and submit_multi, in this order, after those
  // the client adds itself (SAR values, message_payload). Not published. A list whose parameters
  // take more than kMaxExtraTlvOctets octets (4 for tag and length, then the value) is refused
  // with std::invalid_argument, as is a value over 65535 octets; the list is then unchanged.
  // That bound is the room a PDU (10000 octets) leaves after its header and the shortest
  // submit_sm body (17 octets); a submit that does not fit one PDU with them is not built, as
  // any submit too long.
  static constexpr size_t kMaxExtraTlvOctets = 10000 - 16 - 17;
  void SetExtraTlvs(std::vector<TTlv> Value);
  std::vector<TTlv> ExtraTlvs() const;

  // The bind's addressing and version, read together.
  struct TBindFields {
    uint8_t addr_ton, addr_npi, interface_version;
    std::string address_range;
  };
  TBindFields BindFields() const;

  // The submit fields above and the extra optional parameters, read together, so that one submit
  // never mixes old and new values.
  struct TSubmitFields {
    std::string service_type, schedule_delivery_time;
    uint8_t protocol_id, priority_flag, registered_delivery, replace_if_present_flag, esm_class,
        sm_default_msg_id;
    std::shared_ptr<const std::vector<TTlv>> extra_tlvs;  // never null
  };
  TSubmitFields SubmitFields() const;

  // TLS on both connections. A new object has TLS off and verification on, the declared
  // defaults of the four (so a stored form without them keeps plain TCP, and one written with
  // them left alone stores nothing new). Connect hands them to both sockets; see TIcsSocket.
  bool UseTLS() const;
  void SetUseTLS(bool Value);
  bool TLSVerifyPeer() const;
  void SetTLSVerifyPeer(bool Value);
  std::string TLSCAFile() const;
  void SetTLSCAFile(const std::string& Value);
  std::string TLSServerName() const;
  void SetTLSServerName(const std::string& Value);
  // How Connect binds (TBindMode). Connect reads it when no connection of the client is open;
  // change it while disconnected.
  TBindMode bind_mode() const;
  void Set_bind_mode(TBindMode Value);
  // Our answer to each deliver_sm and data_sm: its command_status (any 32-bit pattern; 0 by
  // default), how long after the read it goes (0, at once, up to kMaxDeliverRespDelayMs; any
  // other value raises std::invalid_argument with the reason), or none at all. Read by the
  // receiving connection's worker thread for every delivery.
  static constexpr int32_t kMaxDeliverRespDelayMs = 600000;
  int32_t deliver_resp_status() const;
  void Set_deliver_resp_status(int32_t Value);
  int32_t deliver_resp_delay_ms() const;
  void Set_deliver_resp_delay_ms(int32_t Value);
  bool deliver_no_answer() const;
  void Set_deliver_no_answer(bool Value);
  // The three answer settings, read together.
  struct TDeliverAnswer {
    uint32_t status;
    int32_t delay_ms;
    bool no_answer;
  };
  TDeliverAnswer DeliverAnswer() const;

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
  // SubmitAddressing and SubmitFields read together, under one lock: what every submit reads.
  void SubmitSettings(TSubmitAddressing& Addressing, TSubmitFields& Fields) const;

  // The coding and long-message mode of submits, read together.
  struct TSubmitText {
    TTextCoding coding;
    TLongMessageMode long_mode;
  };
  TSubmitText SubmitText() const;

  // Host, Port, UserID, Password, SystemType, bind_addr_npi, submit_source_addr_ton,
  // submit_source_addr_npi, submit_dest_addr_ton, submit_dest_addr_npi, submit_coding,
  // submit_long_mode, deliver_default_alphabet, bind_addr_ton, bind_address_range,
  // bind_interface_version, submit_service_type, submit_protocol_id, submit_priority_flag,
  // submit_schedule_delivery_time, submit_registered_delivery, submit_replace_if_present_flag,
  // submit_esm_class, submit_sm_default_msg_id (each with its declared default), UseTLS (default
  // false), TLSVerifyPeer (default true), TLSCAFile and TLSServerName (default empty), bind_mode
  // (default bmPair), deliver_resp_status (0), deliver_resp_delay_ms (0), deliver_no_answer
  // (false), in that order. submit_coding, submit_long_mode, deliver_default_alphabet and
  // bind_mode are identifiers (tcGsm, lmUdh, bmTransceiver, ...); a form text with any other name
  // is refused.
  void PublishProperties(TPublishedProperties& Props) override;

 private:
  // A field read or written whole under FieldsLock.
  template <typename T>
  T Locked(const T& Field) const {
    std::lock_guard<std::mutex> Guard(FieldsLock);
    return Field;
  }
  template <typename T>
  void SetLocked(T& Field, const T& Value) {
    std::lock_guard<std::mutex> Guard(FieldsLock);
    Field = Value;
  }

  // Guards every field below but the coding settings.
  mutable std::mutex FieldsLock;
  std::string FHost;
  std::string FUserID;
  std::string FPassword;
  std::string FSystemType;
  int32_t FPort = 0;
  int32_t Fsubmit_source_addr_ton = 0;
  int32_t Fsubmit_source_addr_npi = 0;
  int32_t Fsubmit_dest_addr_ton = 0;
  int32_t Fsubmit_dest_addr_npi = 0;
  int32_t Fbind_addr_npi = 0;
  // Not under FieldsLock: submit_coding in the low byte, submit_long_mode in the high byte.
  std::atomic<uint16_t> Fsubmit_text{
      static_cast<uint16_t>(static_cast<uint8_t>(TTextCoding::tcBytes) |
                            static_cast<uint8_t>(TLongMessageMode::lmSplit) << 8)};
  std::atomic<TTextCoding> Fdeliver_default_alphabet{TTextCoding::tcBytes};
  // Under FieldsLock again, from here on.
  int32_t Fbind_addr_ton = 0;
  std::string Fbind_address_range;
  int32_t Fbind_interface_version = 0x34;
  std::string Fsubmit_service_type;
  int32_t Fsubmit_protocol_id = 0;
  int32_t Fsubmit_priority_flag = 0;
  std::string Fsubmit_schedule_delivery_time;
  int32_t Fsubmit_registered_delivery = 0x11;
  int32_t Fsubmit_replace_if_present_flag = 0;
  int32_t Fsubmit_esm_class = 0;
  int32_t Fsubmit_sm_default_msg_id = 0;
  // Replaced whole, never changed in place, so that a reader keeps the list it took.
  std::shared_ptr<const std::vector<TTlv>> FExtraTlvs = std::make_shared<const std::vector<TTlv>>();
  bool FUseTLS = false;
  bool FTLSVerifyPeer = true;
  std::string FTLSCAFile;
  std::string FTLSServerName;
  TBindMode Fbind_mode = TBindMode::bmPair;
  // deliver_resp_status (low 32 bits), deliver_resp_delay_ms (bits 32 to 61) and
  // deliver_no_answer (bit 63), packed so that every delivery reads all three at once without
  // FieldsLock, which the submits of another thread take. The setters change their part under
  // FieldsLock, so that two of them never lose each other's value.
  std::atomic<uint64_t> FDeliverAnswer{0};
  static constexpr uint64_t kNoAnswerBit = uint64_t{1} << 63;
  void SetDeliverAnswerPart(uint64_t Mask, uint64_t Value);
};
