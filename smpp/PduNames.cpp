// The name tables of commands, command statuses and message states.
#include "smpp/PduNames.h"

#include <iterator>
#include <string_view>

#include "smpp/smpppdu.h"

namespace {

// A value and its name; the tables are searched, as their values have gaps.
struct TNamedValue {
  uint32_t Value;
  std::string_view Name;
};

template <size_t N>
std::string_view Find(const TNamedValue (&Table)[N], uint32_t Value) {
  for (const TNamedValue& Entry : Table)
    if (Entry.Value == Value) return Entry.Name;
  return {};
}

constexpr TNamedValue kCommands[] = {
    {kGenericNack, "generic_nack"},
    {kBindReceiver, "bind_receiver"},
    {kBindReceiverResp, "bind_receiver_resp"},
    {kBindTransmitter, "bind_transmitter"},
    {kBindTransmitterResp, "bind_transmitter_resp"},
    {kQuerySm, "query_sm"},
    {kQuerySmResp, "query_sm_resp"},
    {kSubmitSm, "submit_sm"},
    {kSubmitSmResp, "submit_sm_resp"},
    {kDeliverSm, "deliver_sm"},
    {kDeliverSmResp, "deliver_sm_resp"},
    {kUnbind, "unbind"},
    {kUnbindResp, "unbind_resp"},
    {kReplaceSm, "replace_sm"},
    {kReplaceSmResp, "replace_sm_resp"},
    {kCancelSm, "cancel_sm"},
    {kCancelSmResp, "cancel_sm_resp"},
    {kBindTransceiver, "bind_transceiver"},
    {kBindTransceiverResp, "bind_transceiver_resp"},
    {kOutbind, "outbind"},
    {kEnquireLink, "enquire_link"},
    {kEnquireLinkResp, "enquire_link_resp"},
    {kSubmitMulti, "submit_multi"},
    {kSubmitMultiResp, "submit_multi_resp"},
    {kAlertNotification, "alert_notification"},
    {kDataSm, "data_sm"},
    {kDataSmResp, "data_sm_resp"},
};

constexpr TNamedValue kStatuses[] = {
    {0x00, "ESME_ROK"},
    {0x01, "ESME_RINVMSGLEN"},
    {0x02, "ESME_RINVCMDLEN"},
    {0x03, "ESME_RINVCMDID"},
    {0x04, "ESME_RINVBNDSTS"},
    {0x05, "ESME_RALYBND"},
    {0x06, "ESME_RINVPRTFLG"},
    {0x07, "ESME_RINVREGDLVFLG"},
    {0x08, "ESME_RSYSERR"},
    {0x0A, "ESME_RINVSRCADR"},
    {0x0B, "ESME_RINVDSTADR"},
    {0x0C, "ESME_RINVMSGID"},
    {0x0D, "ESME_RBINDFAIL"},
    {0x0E, "ESME_RINVPASWD"},
    {0x0F, "ESME_RINVSYSID"},
    {0x11, "ESME_RCANCELFAIL"},
    {0x13, "ESME_RREPLACEFAIL"},
    {0x14, "ESME_RMSGQFUL"},
    {0x15, "ESME_RINVSERTYP"},
    {0x33, "ESME_RINVNUMDESTS"},
    {0x34, "ESME_RINVDLNAME"},
    {0x40, "ESME_RINVDESTFLAG"},
    {0x42, "ESME_RINVSUBREP"},
    {0x43, "ESME_RINVESMCLASS"},
    {0x44, "ESME_RCNTSUBDL"},
    {0x45, "ESME_RSUBMITFAIL"},
    {0x48, "ESME_RINVSRCTON"},
    {0x49, "ESME_RINVSRCNPI"},
    {0x50, "ESME_RINVDSTTON"},
    {0x51, "ESME_RINVDSTNPI"},
    {0x53, "ESME_RINVSYSTYP"},
    {0x54, "ESME_RINVREPFLAG"},
    {0x55, "ESME_RINVNUMMSGS"},
    {0x58, "ESME_RTHROTTLED"},
    {0x61, "ESME_RINVSCHED"},
    {0x62, "ESME_RINVEXPIRY"},
    {0x63, "ESME_RINVDFTMSGID"},
    {0x64, "ESME_RX_T_APPN"},
    {0x65, "ESME_RX_P_APPN"},
    {0x66, "ESME_RX_R_APPN"},
    {0x67, "ESME_RQUERYFAIL"},
    {0xC0, "ESME_RINVOPTPARSTREAM"},
    {0xC1, "ESME_ROPTPARNOTALLWD"},
    {0xC2, "ESME_RINVPARLEN"},
    {0xC3, "ESME_RMISSINGOPTPARAM"},
    {0xC4, "ESME_RINVOPTPARAMVAL"},
    {0xFE, "ESME_RDELIVERYFAILURE"},
    {0xFF, "ESME_RUNKNOWNERR"},
};

}  // namespace

std::string CommandName(uint32_t CommandId) {
  return std::string(Find(kCommands, CommandId));
}

std::string CommandStatusName(uint32_t Status) {
  const std::string_view Name = Find(kStatuses, Status);
  if (!Name.empty()) return std::string(Name);
  return Status >= 0x400 && Status <= 0x4FF ? "vendor specific" : "reserved";
}

std::string MessageStateName(uint8_t State) {
  static constexpr std::string_view kStates[] = {{},         "ENROUTE", "DELIVERED",
                                                 "EXPIRED",  "DELETED", "UNDELIVERABLE",
                                                 "ACCEPTED", "UNKNOWN", "REJECTED"};
  return std::string(State < std::size(kStates) && !kStates[State].empty() ? kStates[State]
                                                                           : "reserved");
}
