// smppcli: a console client on TSmppClient for scripts, CI and load runs. It binds the receiver and
// the transmitter, submits messages, prints every report line as it comes, waits for the answers
// (submit responses and delivery receipts), unbinds and exits 0; it exits non-zero with a clear
// message when it cannot bind or the answers do not come in time.
#include <getopt.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "inspect/FieldJson.h"
#include "inspect/PduCapture.h"
#include "inspect/PduDissector.h"
#include "inspect/TlvText.h"
#include "smpp/ConcatJoiner.h"
#include "smpp/PduNames.h"
#include "smpp/ReportText.h"
#include "smpp/smppclient.h"
#include "load/Matcher.h"
#include "load/RateLimiter.h"
#include "load/Summary.h"
#include "tools/SmppcliMerge.h"

namespace {

struct TOptions {
  std::string Host = "127.0.0.1";
  int Port = 2775;
  std::string SystemId = "smppcli";
  std::string Password = "secret";
  std::string SystemType = "";
  std::string Source = "1234";
  std::string Destination = "5551234";
  std::string Text = "Hello";
  std::string Validity = "";
  long Count = 1;
  long Window = 1000;
  double WaitSeconds = 30;
  bool Receipts = true;
  bool Quiet = false;
  double Tps = 0;       // submits per second; 0 unlimited
  double Duration = 0;  // seconds of sending instead of Count; 0 uses Count
  std::string JsonFile;
  TTextCoding Coding = TTextCoding::tcBytes;
  TLongMessageMode LongMode = TLongMessageMode::lmSplit;
  bool DryRun = false;
  // --decode: the hex PDU to dissect, or "-" for one per line on standard input; empty when not
  // given.
  std::string Decode;
  bool Tls = false;
  std::string TlsCA;
  bool TlsInsecure = false;
  load::TReceiptIds ReceiptIds = load::TReceiptIds::riAuto;
  std::vector<std::string> ExpectStat = {"DELIVRD"};  // receipt states that pass
  std::string PcapFile;                               // --pcap; empty when not given
  bool Trace = false;
  TBindMode BindMode = TBindMode::bmPair;
  // The bind and submit fields, the extra optional parameters and the answers to deliveries, each
  // applied to the client's settings as given; checked against a settings object when read.
  std::vector<std::function<void(TSMPPClientInfo&)>> Settings;
  std::vector<TTlv> Tlvs;
  // --query, --cancel and --raw, in the order given: sent instead of submits.
  struct TRequest {
    uint32_t CommandId;  // kQuerySm, kCancelSm, or 0 for raw bytes
    std::string MessageId;
    std::vector<uint8_t> Raw;
  };
  std::vector<TRequest> Requests;
  bool RawPatchSequence = false;
};

void Usage(FILE* Out) {
  std::fprintf(
      Out,
      "Usage: smppcli [options]\n"
      "Binds a receiver and a transmitter to an SMSC, submits messages, prints every\n"
      "report line, waits for the answers and unbinds.\n\n"
      "  --host HOST          SMSC host (default 127.0.0.1)\n"
      "  --port PORT          SMSC port (default 2775)\n"
      "  --system-id ID       system_id of the binds (default smppcli)\n"
      "  --password PW        password of the binds (default secret)\n"
      "  --system-type TYPE   system_type of the binds (default empty)\n"
      "  --source ADDR        source address (default 1234)\n"
      "  --destination ADDR   destination; commas make a submit_multi (default 5551234)\n"
      "  --text TEXT          message text (default Hello)\n"
      "  --validity DHHMM     relative validity: days digit, hours, minutes (default none)\n"
      "  --count N            number of messages (default 1)\n"
      "  --duration SECONDS   send for this long instead of --count messages\n"
      "  --tps N              at most N submits per second, evenly spread (default: no\n"
      "                       limit); throttled (0x00000058) and queue full (0x00000014)\n"
      "                       answers halve the rate, which then climbs back in 2 s\n"
      "  --window N           most submits unanswered at once (default 1000); the\n"
      "                       parts of one message go together\n"
      "  --wait SECONDS       how long to wait for the binds, and how long without any\n"
      "                       answer before the run gives up (default 30)\n"
      "  --no-receipts        do not wait for delivery receipts\n"
      "  --receipt-ids HOW    how a receipt's id is compared with the submit's: auto\n"
      "                       (the default: exact, then hex-dec, keeping the first\n"
      "                       that tells them apart), exact (as text, ignoring case\n"
      "                       and leading zeros), hex-dec (the submit's id is\n"
      "                       hexadecimal, the receipt's decimal) or dec-hex\n"
      "  --expect-stat WORDS  the receipt states that pass, comma-separated (default\n"
      "                       DELIVRD); a receipt in any other final state fails the\n"
      "                       run\n"
      "  --quiet              print only the summary and errors, not each line\n"
      "  --json FILE          also write the summary to FILE as one JSON object\n"
      "  --coding CODING      how the text (UTF-8) is coded: bytes (as given, the\n"
      "                       default), auto (gsm when every character fits, else\n"
      "                       ucs2), gsm, latin1 or ucs2\n"
      "  --long MODE          how a text longer than one message goes: split (cut to\n"
      "                       160 characters, independent parts; the default), udh,\n"
      "                       udh16 (concatenated, 8-bit or 16-bit reference),\n"
      "                       payload (one message_payload) or sar\n"
      "  --dry-run            print the coding and the parts, and exit without\n"
      "                       connecting\n"
      "  --decode HEX         print the PDU written as hex (or, with -, each PDU of\n"
      "                       standard input, one per line) field by field as one\n"
      "                       JSON object per PDU, and exit without connecting\n"
      "  --tls                SMPP over TLS, the SMSC's certificate checked against the\n"
      "                       system's store and --host\n"
      "  --tls-ca FILE        with --tls: trust the authorities in this PEM file instead\n"
      "  --tls-insecure       with --tls: do not check the certificate (unsafe)\n"
      "  --pcap FILE          write every PDU of the run to FILE as a pcapng capture\n"
      "                       (SMPP over TCP between the real addresses and ports;\n"
      "                       decrypted with --tls) for Wireshark, tshark or tcpdump\n"
      "  --bind MODE          pair (a receiver and a transmitter, default) or trx\n"
      "                       (one transceiver that submits and receives)\n"
      "  --tlv TAG=TYPE:VALUE add this optional parameter to every submit (repeatable);\n"
      "                       TAG a number (5123, 0x1403) or a name such as\n"
      "                       user_message_reference, TYPE int1, int2, int4, str\n"
      "                       (NUL-terminated) or hex, for example\n"
      "                       --tlv user_message_reference=int2:7\n"
      "  --service-type TYPE  service_type of submits (at most 5 characters)\n"
      "  --protocol-id N      protocol_id of submits (0-255, 0x.. for hex)\n"
      "  --priority N         priority_flag of submits (0-255)\n"
      "  --schedule TIME      schedule_delivery_time of submits, 16 characters:\n"
      "                       YYMMDDhhmmsstnn+ or - (absolute), YYMMDDhhmmss000R\n"
      "  --registered-delivery N  registered_delivery of submits (default 0x11);\n"
      "                       without a receipt asked for (low bits 0) none is\n"
      "                       waited for\n"
      "  --replace-if-present N  replace_if_present_flag of submits (0-255)\n"
      "  --esm-class N        esm_class bits of submits, beside those the coding sets\n"
      "                       (not 0x40)\n"
      "  --sm-default-msg-id N  sm_default_msg_id of submits (0-255)\n"
      "  --addr-ton N         addr_ton of the binds (default 0)\n"
      "  --addr-npi N         addr_npi of the binds (default 0)\n"
      "  --address-range R    address_range of the binds (at most 40 characters)\n"
      "  --interface-version N  interface_version of the binds (default 0x34)\n"
      "  --query ID           instead of submitting, send query_sm for message ID (from\n"
      "                       --source) and print the answer (repeatable)\n"
      "  --cancel ID          instead of submitting, send cancel_sm for message ID\n"
      "                       (from --source to --destination), print the answer\n"
      "  --raw HEX            instead of submitting, send these bytes as they are (a\n"
      "                       deliberately broken PDU too) and print the answer\n"
      "  --raw-patch-seq      write a fresh sequence number into each --raw PDU\n"
      "  --deliver-status N   answer deliver_sm and data_sm with this command_status\n"
      "                       (default 0; 0x58 makes the SMSC send them again)\n"
      "  --deliver-delay MS   answer deliver_sm and data_sm MS milliseconds late\n"
      "  --no-deliver-answer  do not answer deliver_sm and data_sm at all\n"
      "  --trace              print one line per PDU on standard error: time,\n"
      "                       connection, out or in, command, sequence number, status,\n"
      "                       ids, addresses, message id, data_coding, start of text\n"
      "  --help               this text\n\n"
      "With --coding gsm or auto, received data_coding 0 is read as GSM too. The parts\n"
      "of a concatenated message received are also printed joined, as one line\n"
      "+CONCAT <from>:<to>:<parts>:<text>, when the last one comes; parts are held at\n"
      "most 10 minutes and 1000 messages, then dropped with a +CONCAT_DROPPED line.\n\n"
      "A response counts only for a submit of this run that awaits one (by sequence\n"
      "number), a delivery receipt only for a message id of this run (see\n"
      "--receipt-ids); a receipt that could match two ids matches none. Others are\n"
      "counted apart. The parts of a long message go together: each takes one place\n"
      "in the window and one submit of the rate. --wait is how long the run waits\n"
      "without any answer: it ends with an error once nothing was answered for that\n"
      "long, however long the run. The summary on standard error gives the counts, the\n"
      "rate, the CPU per message, the latency of responses and receipts (count, p50,\n"
      "p90, p99, p99.9, max), the responses per command_status and the receipts per\n"
      "state and err. While standard error is a terminal a progress line is shown there\n"
      "once a second.\n\n"
      "Exit status: 0 when every submit was accepted and every receipt of this run came\n"
      "in an expected state, 1 on a bind failure, a rejected submit, a receipt in\n"
      "another state or a timeout, 2 on bad options or a text the coding cannot carry.\n"
      "With --decode: 0 when every PDU was whole and well formed, 1 when a dissection\n"
      "ended in an error record, 2 when a line is not hex.\n");
}

bool ParseLong(const char* Text, long Min, long Max, long& Out) {
  char* End = nullptr;
  errno = 0;
  const long V = std::strtol(Text, &End, 10);
  if (errno || End == Text || *End || V < Min || V > Max) return false;
  Out = V;
  return true;
}

// A number above 0 and at most Max.
bool ParseSeconds(const char* Text, double Max, double& Out) {
  char* End = nullptr;
  const double V = std::strtod(Text, &End);
  if (End == Text || *End || !(V > 0) || V > Max) return false;
  Out = V;
  return true;
}

bool ParseOptions(int Argc, char** Argv, TOptions& O) {
  enum {
    oHost = 1,
    oPort,
    oId,
    oPw,
    oType,
    oSrc,
    oDst,
    oText,
    oVal,
    oCount,
    oWindow,
    oWait,
    oNoRcpt,
    oQuiet,
    oTps,
    oDuration,
    oJson,
    oCoding,
    oLong,
    oDryRun,
    oHelp,
    oTls,
    oTlsCA,
    oTlsInsecure,
    oReceiptIds,
    oExpectStat,
    oDecode,
    oPcap,
    oTrace,
    oBind,
    oTlv,
    oServiceType,
    oProtocolId,
    oPriority,
    oSchedule,
    oRegisteredDelivery,
    oReplaceIfPresent,
    oEsmClass,
    oSmDefaultMsgId,
    oAddrTon,
    oAddrNpi,
    oAddressRange,
    oInterfaceVersion,
    oQuery,
    oCancel,
    oRaw,
    oRawPatchSeq,
    oDeliverStatus,
    oDeliverDelay,
    oNoDeliverAnswer
  };
  static const option Long[] = {
      {"host", required_argument, nullptr, oHost},
      {"port", required_argument, nullptr, oPort},
      {"system-id", required_argument, nullptr, oId},
      {"password", required_argument, nullptr, oPw},
      {"system-type", required_argument, nullptr, oType},
      {"source", required_argument, nullptr, oSrc},
      {"destination", required_argument, nullptr, oDst},
      {"text", required_argument, nullptr, oText},
      {"validity", required_argument, nullptr, oVal},
      {"count", required_argument, nullptr, oCount},
      {"window", required_argument, nullptr, oWindow},
      {"wait", required_argument, nullptr, oWait},
      {"no-receipts", no_argument, nullptr, oNoRcpt},
      {"quiet", no_argument, nullptr, oQuiet},
      {"tps", required_argument, nullptr, oTps},
      {"duration", required_argument, nullptr, oDuration},
      {"json", required_argument, nullptr, oJson},
      {"coding", required_argument, nullptr, oCoding},
      {"long", required_argument, nullptr, oLong},
      {"dry-run", no_argument, nullptr, oDryRun},
      {"help", no_argument, nullptr, oHelp},
      {"tls", no_argument, nullptr, oTls},
      {"tls-ca", required_argument, nullptr, oTlsCA},
      {"tls-insecure", no_argument, nullptr, oTlsInsecure},
      {"receipt-ids", required_argument, nullptr, oReceiptIds},
      {"expect-stat", required_argument, nullptr, oExpectStat},
      {"decode", required_argument, nullptr, oDecode},
      {"pcap", required_argument, nullptr, oPcap},
      {"trace", no_argument, nullptr, oTrace},
      {"bind", required_argument, nullptr, oBind},
      {"tlv", required_argument, nullptr, oTlv},
      {"service-type", required_argument, nullptr, oServiceType},
      {"protocol-id", required_argument, nullptr, oProtocolId},
      {"priority", required_argument, nullptr, oPriority},
      {"schedule", required_argument, nullptr, oSchedule},
      {"registered-delivery", required_argument, nullptr, oRegisteredDelivery},
      {"replace-if-present", required_argument, nullptr, oReplaceIfPresent},
      {"esm-class", required_argument, nullptr, oEsmClass},
      {"sm-default-msg-id", required_argument, nullptr, oSmDefaultMsgId},
      {"addr-ton", required_argument, nullptr, oAddrTon},
      {"addr-npi", required_argument, nullptr, oAddrNpi},
      {"address-range", required_argument, nullptr, oAddressRange},
      {"interface-version", required_argument, nullptr, oInterfaceVersion},
      {"query", required_argument, nullptr, oQuery},
      {"cancel", required_argument, nullptr, oCancel},
      {"raw", required_argument, nullptr, oRaw},
      {"raw-patch-seq", no_argument, nullptr, oRawPatchSeq},
      {"deliver-status", required_argument, nullptr, oDeliverStatus},
      {"deliver-delay", required_argument, nullptr, oDeliverDelay},
      {"no-deliver-answer", no_argument, nullptr, oNoDeliverAnswer},
      {nullptr, 0, nullptr, 0}};
  int C;
  long V;
  // A setting of the client: checked at once on a scratch settings object, so that a value that
  // does not fit is refused with the setter's reason before anything connects.
  TSMPPClientInfo Check;
  auto Setting = [&](const char* Name, std::function<void(TSMPPClientInfo&)> Set) {
    try {
      Set(Check);
    } catch (const std::invalid_argument& E) {
      std::fprintf(stderr, "smppcli: --%s: %s\n", Name, E.what());
      return false;
    }
    O.Settings.push_back(std::move(Set));
    return true;
  };
  // A number setting: decimal, or hex with 0x.
  auto Number = [&](const char* Name, void (TSMPPClientInfo::*Set)(int32_t)) {
    char* End = nullptr;
    errno = 0;
    const long long N = std::strtoll(optarg, &End, 0);
    if (!*optarg || *End || errno || N < INT32_MIN || N > INT32_MAX) {
      std::fprintf(stderr, "smppcli: --%s must be a number\n", Name);
      return false;
    }
    return Setting(Name, [Set, N](TSMPPClientInfo& I) { (I.*Set)(static_cast<int32_t>(N)); });
  };
  auto Text = [&](const char* Name, void (TSMPPClientInfo::*Set)(const std::string&)) {
    return Setting(Name, [Set, T = std::string(optarg)](TSMPPClientInfo& I) { (I.*Set)(T); });
  };
  while ((C = getopt_long(Argc, Argv, "", Long, nullptr)) != -1) {
    switch (C) {
      case oHost:
        O.Host = optarg;
        break;
      case oPort:
        if (!ParseLong(optarg, 1, 65535, V)) {
          std::fprintf(stderr, "smppcli: --port must be a number from 1 to 65535\n");
          return false;
        }
        O.Port = static_cast<int>(V);
        break;
      case oId:
        O.SystemId = optarg;
        break;
      case oPw:
        O.Password = optarg;
        break;
      case oType:
        O.SystemType = optarg;
        break;
      case oSrc:
        O.Source = optarg;
        break;
      case oDst:
        O.Destination = optarg;
        break;
      case oText:
        O.Text = optarg;
        break;
      case oVal:
        O.Validity = optarg;
        if (!O.Validity.empty() &&
            (O.Validity.size() != 5 ||
             O.Validity.find_first_not_of("0123456789") != std::string::npos)) {
          std::fprintf(stderr, "smppcli: --validity must be five digits DHHMM\n");
          return false;
        }
        break;
      case oCount:
        if (!ParseLong(optarg, 1, 100000000, O.Count)) {
          std::fprintf(stderr, "smppcli: --count must be a positive number\n");
          return false;
        }
        break;
      case oWindow:
        if (!ParseLong(optarg, 1, 100000000, O.Window)) {
          std::fprintf(stderr, "smppcli: --window must be a positive number\n");
          return false;
        }
        break;
      case oWait:
        if (!ParseSeconds(optarg, 86400, O.WaitSeconds)) {
          std::fprintf(stderr, "smppcli: --wait must be a number of seconds above 0\n");
          return false;
        }
        break;
      case oTps:
        if (!ParseSeconds(optarg, 1e7, O.Tps)) {
          std::fprintf(stderr, "smppcli: --tps must be a number above 0\n");
          return false;
        }
        break;
      case oDuration:
        if (!ParseSeconds(optarg, 86400 * 365, O.Duration)) {
          std::fprintf(stderr, "smppcli: --duration must be a number of seconds above 0\n");
          return false;
        }
        break;
      case oJson:
        O.JsonFile = optarg;
        break;
      case oNoRcpt:
        O.Receipts = false;
        break;
      case oQuiet:
        O.Quiet = true;
        break;
      case oCoding: {
        const std::optional<TTextCoding> Coding = TextCodingFromWord(optarg);
        if (!Coding) {
          std::fprintf(stderr, "smppcli: --coding must be auto, gsm, latin1, ucs2 or bytes\n");
          return false;
        }
        O.Coding = *Coding;
        break;
      }
      case oLong: {
        const std::optional<TLongMessageMode> Mode = LongMessageModeFromWord(optarg);
        if (!Mode) {
          std::fprintf(stderr, "smppcli: --long must be udh, udh16, payload, sar or split\n");
          return false;
        }
        O.LongMode = *Mode;
        break;
      }
      case oDryRun:
        O.DryRun = true;
        break;
      case oTls:
        O.Tls = true;
        break;
      case oTlsCA:
        O.TlsCA = optarg;
        break;
      case oTlsInsecure:
        O.TlsInsecure = true;
        break;
      case oReceiptIds: {
        const std::optional<load::TReceiptIds> Ids = load::ReceiptIdsFromWord(optarg);
        if (!Ids) {
          std::fprintf(stderr, "smppcli: --receipt-ids must be auto, exact, hex-dec or dec-hex\n");
          return false;
        }
        O.ReceiptIds = *Ids;
        break;
      }
      case oExpectStat: {
        O.ExpectStat.clear();
        const std::string Words = optarg;
        for (size_t Start = 0; Start <= Words.size();) {
          const size_t Comma = std::min(Words.find(',', Start), Words.size());
          if (Comma > Start)
            O.ExpectStat.push_back(load::ReceiptStateWord(Words.substr(Start, Comma - Start)));
          Start = Comma + 1;
        }
        if (O.ExpectStat.empty()) {
          std::fprintf(stderr, "smppcli: --expect-stat needs a state word such as DELIVRD\n");
          return false;
        }
        break;
      }
      case oDecode:
        O.Decode = optarg;
        if (O.Decode.empty()) {
          std::fprintf(stderr, "smppcli: --decode needs a hex PDU, or - for standard input\n");
          return false;
        }
        break;
      case oPcap:
        O.PcapFile = optarg;
        if (O.PcapFile.empty()) {
          std::fprintf(stderr, "smppcli: --pcap needs a file name\n");
          return false;
        }
        break;
      case oTrace:
        O.Trace = true;
        break;
      case oBind:
        if (std::strcmp(optarg, "pair") == 0) {
          O.BindMode = TBindMode::bmPair;
        } else if (std::strcmp(optarg, "trx") == 0) {
          O.BindMode = TBindMode::bmTransceiver;
        } else {
          std::fprintf(stderr, "smppcli: --bind must be pair or trx\n");
          return false;
        }
        break;
      case oTlv: {
        TTlv Tlv;
        std::string Error;
        if (!ParseTlvText(optarg, Tlv.Tag, Tlv.Value, Error)) {
          std::fprintf(stderr, "smppcli: --tlv: %s\n", Error.c_str());
          return false;
        }
        O.Tlvs.push_back(std::move(Tlv));
        if (!Setting("tlv", [Tlvs = O.Tlvs](TSMPPClientInfo& I) { I.SetExtraTlvs(Tlvs); }))
          return false;
        break;
      }
      case oServiceType:
        if (!Text("service-type", &TSMPPClientInfo::Set_submit_service_type)) return false;
        break;
      case oProtocolId:
        if (!Number("protocol-id", &TSMPPClientInfo::Set_submit_protocol_id)) return false;
        break;
      case oPriority:
        if (!Number("priority", &TSMPPClientInfo::Set_submit_priority_flag)) return false;
        break;
      case oSchedule:
        if (!Text("schedule", &TSMPPClientInfo::Set_submit_schedule_delivery_time)) return false;
        break;
      case oRegisteredDelivery:
        if (!Number("registered-delivery", &TSMPPClientInfo::Set_submit_registered_delivery))
          return false;
        // No receipt asked for: none is waited for.
        if ((Check.submit_registered_delivery() & 0x03) == 0) O.Receipts = false;
        break;
      case oReplaceIfPresent:
        if (!Number("replace-if-present", &TSMPPClientInfo::Set_submit_replace_if_present_flag))
          return false;
        break;
      case oEsmClass:
        if (!Number("esm-class", &TSMPPClientInfo::Set_submit_esm_class)) return false;
        break;
      case oSmDefaultMsgId:
        if (!Number("sm-default-msg-id", &TSMPPClientInfo::Set_submit_sm_default_msg_id))
          return false;
        break;
      case oAddrTon:
        if (!Number("addr-ton", &TSMPPClientInfo::Set_bind_addr_ton)) return false;
        break;
      case oAddrNpi:
        if (!Number("addr-npi", &TSMPPClientInfo::Set_bind_addr_npi)) return false;
        break;
      case oAddressRange:
        if (!Text("address-range", &TSMPPClientInfo::Set_bind_address_range)) return false;
        break;
      case oInterfaceVersion:
        if (!Number("interface-version", &TSMPPClientInfo::Set_bind_interface_version))
          return false;
        break;
      case oQuery:
      case oCancel:
        O.Requests.push_back({C == oQuery ? kQuerySm : kCancelSm, optarg, {}});
        break;
      case oRaw: {
        std::vector<uint8_t> Bytes;
        std::string Error;
        if (!ParseHexPdu(optarg, Bytes, Error) || Bytes.empty()) {
          std::fprintf(stderr, "smppcli: --raw: %s\n", Error.empty() ? "no bytes" : Error.c_str());
          return false;
        }
        O.Requests.push_back({0, {}, std::move(Bytes)});
        break;
      }
      case oRawPatchSeq:
        O.RawPatchSequence = true;
        break;
      case oDeliverStatus:
        if (!Number("deliver-status", &TSMPPClientInfo::Set_deliver_resp_status)) return false;
        break;
      case oDeliverDelay:
        if (!Number("deliver-delay", &TSMPPClientInfo::Set_deliver_resp_delay_ms)) return false;
        break;
      case oNoDeliverAnswer:
        Setting("no-deliver-answer", [](TSMPPClientInfo& I) { I.Set_deliver_no_answer(true); });
        break;
      case oHelp:
        Usage(stdout);
        std::exit(0);
      default:
        Usage(stderr);
        return false;
    }
  }
  if (optind < Argc) {
    std::fprintf(stderr, "smppcli: unexpected argument '%s'\n", Argv[optind]);
    return false;
  }
  if (!O.Tls && (O.TlsInsecure || !O.TlsCA.empty())) {
    std::fprintf(stderr, "smppcli: --tls-ca and --tls-insecure need --tls\n");
    return false;
  }
  if (!O.TlsCA.empty() && ::access(O.TlsCA.c_str(), R_OK) != 0) {
    std::fprintf(stderr, "smppcli: cannot read the --tls-ca file %s\n", O.TlsCA.c_str());
    return false;
  }
  return true;
}

using Clock = std::chrono::steady_clock;

// What the report lines tell, counted under one lock; the main thread waits on it. The report
// handlers run on the workers and timers, the sender on the main thread, the progress line on a
// thread of its own: all of them take Lock.
struct TProgress {
  TProgress(long ReceiptsPerSubmit, load::TReceiptIds Ids, double Tps, long MessageParts)
      : Parts(MessageParts), Matcher(ReceiptsPerSubmit, Ids), Limiter(Tps, MessageParts) {}

  std::mutex Lock;
  std::condition_variable Changed;
  // What the main thread waits for now, so that the handlers wake it only when that may have
  // come: waking it for every line would cost a context switch per message.
  enum class TWaiting { Nothing, Binds, Room, Time, End } Waiting = TWaiting::Nothing;
  bool RcxBound = false, TcxBound = false;
  std::string Failure;  // first fatal condition seen
  long Window = 1;
  long Parts = 1;  // submits per message, which go together
  bool WantReceipts = true, AllSent = false;
  // What to send: Count messages, or for as long as SendUntil when ForDuration.
  long Count = 1;
  bool ForDuration = false;
  Clock::time_point SendUntil;
  long Claimed = 0;                     // messages taken for sending
  long Messages = 0;                    // messages sent
  long Pending = 0;                     // submits taken for sending and not yet recorded in Matcher
  Clock::time_point NextSendAt;         // when the rate allows the next submit
  Clock::time_point T0 = Clock::now();  // the origin of the matcher's times
  // The last answer of ours (a response or a receipt), or the last submit into an empty window:
  // --wait counts from here.
  load::TMicros LastAnswer = 0;
  load::TMatcher Matcher;
  load::TRateLimiter Limiter;
  // --query, --cancel, --raw: the command id and status of every response read on the
  // transmitter, by sequence number (kept only when there are such requests).
  bool KeepAnswers = false;
  std::map<uint32_t, std::pair<uint32_t, uint32_t>> Answers;

  load::TMicros Now() const {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - T0).count();
  }
  // A time the client gave (a submit's SentAtNs, a read's ReadTimeNs; the same clock), or now
  // when it gave none: the client's times are those the PDU trace shows, and save a clock read.
  load::TMicros MicrosOf(int64_t Ns) const {
    if (Ns == 0) return Now();
    return (Ns -
            std::chrono::duration_cast<std::chrono::nanoseconds>(T0.time_since_epoch()).count()) /
           1000;
  }
  bool Finished() const {
    return Matcher.InFlight() == 0 && Pending == 0 && (!WantReceipts || Matcher.ReceiptsDue() <= 0);
  }
  // Room for all the parts of the next message.
  bool Room() const { return Matcher.InFlight() + Pending + Parts <= Window; }
  bool SendingDone() const { return ForDuration ? Clock::now() >= SendUntil : Claimed >= Count; }
  Clock::time_point QuietUntil(Clock::duration Wait) const {
    return T0 + std::chrono::microseconds(LastAnswer) + Wait;
  }
  // Waits on G until Done holds, a failure is seen or nothing was answered for Wait. Gives Done().
  template <typename TDone>
  bool WaitForAnswers(std::unique_lock<std::mutex>& G, Clock::duration Wait, TDone Done) {
    auto Ready = [&] { return !Failure.empty() || Done(); };
    while (!Ready()) {
      // The deadline moves with every answer; a run for a duration also wakes at its end.
      Clock::time_point Until = QuietUntil(Wait);
      if (ForDuration && !AllSent) Until = std::min(Until, SendUntil);
      if (Changed.wait_until(G, Until, Ready)) break;
      if (Clock::now() >= QuietUntil(Wait)) break;
    }
    return Done();
  }
  void WakeIfDue() {
    bool Due = !Failure.empty();
    switch (Waiting) {
      case TWaiting::Binds:
        Due = Due || (RcxBound && TcxBound);
        break;
      case TWaiting::Room:
        Due = Due || Room() || SendingDone();
        break;
      case TWaiting::End:
        Due = Due || Finished();
        break;
      default:
        break;
    }
    if (Due) Changed.notify_one();
  }
};

double CpuSeconds() {
  rusage U{};
  getrusage(RUSAGE_SELF, &U);
  return U.ru_utime.tv_sec + U.ru_stime.tv_sec + (U.ru_utime.tv_usec + U.ru_stime.tv_usec) / 1e6;
}

// A report line as it is printed: text from the network cannot start a new line, move the cursor
// or send a terminal sequence (the window shows its memo lines the same way).
std::string Escaped(const std::string& Line) {
  return EscapedReportLine(Line);
}

// The number of destinations a submit goes to: one, or for a list the non-empty pieces.
long DestinationCount(const std::string& Destination) {
  if (Destination.find(',') == std::string::npos) return 1;
  long N = 0;
  size_t Start = 0;
  for (;;) {
    const size_t Comma = Destination.find(',', Start);
    const std::string Piece = Destination.substr(Start, Comma - Start);
    if (std::any_of(Piece.begin(), Piece.end(),
                    [](char C) { return static_cast<unsigned char>(C) > 0x20; }))
      ++N;
    if (Comma == std::string::npos) return N;
    Start = Comma + 1;
  }
}

// The header fields and message id of the raw bytes of the read being reported, if it was one.
struct TReadPdu {
  uint32_t CommandId = 0, Status = 0, Sequence = 0;
  std::string MessageId;  // of an accepted submit_sm_resp or submit_multi_resp
};
// Line is the report line of the read: for an accepted submit_sm_resp it carries the message id
// already ("+IN_QUEUE ID=<id>"), so only a submit_multi_resp is decoded for it.
bool ReadPdu(TSMPPConnection& Conn, const std::string& Line, TReadPdu& Out) {
  uint8_t Bytes[kPduHeaderLength + kMaxMessageIdLength + 1];
  const int32_t Length = Conn.ReadReportedBytes(Bytes, sizeof Bytes);
  if (Length < static_cast<int32_t>(kPduHeaderLength)) return false;
  Out.CommandId = GetU32(Bytes + 4);
  Out.Status = GetU32(Bytes + 8);
  Out.Sequence = GetU32(Bytes + 12);
  if (Out.Status != 0) return true;
  static constexpr std::string_view kInQueue = "+IN_QUEUE ID=";
  if (Out.CommandId == kSubmitSmResp && Line.compare(0, kInQueue.size(), kInQueue) == 0) {
    Out.MessageId.assign(Line, kInQueue.size());
  } else if (Out.CommandId == kSubmitSmResp || Out.CommandId == kSubmitMultiResp) {
    TPDU Pdu;
    TPduCodec::DecodePdu(Bytes, sizeof Bytes, static_cast<size_t>(Length), Pdu);
    Out.MessageId = Pdu.message_id;
  }
  return true;
}

// The state word (its stat label, or message_state by name) and err text of the delivery receipt
// whose read is being reported on Conn.
void ReadReceiptState(const TSmppClient& Client, TSMPPConnection& Conn, std::string& Stat,
                      std::string& Err) {
  static thread_local uint8_t Bytes[kPduBufferSize];
  const int32_t Length = Conn.ReadReportedBytes(Bytes, sizeof Bytes);
  if (Length < static_cast<int32_t>(kPduHeaderLength)) return;
  TPDU Pdu;
  Client.DecodePdu(Bytes, sizeof Bytes, static_cast<size_t>(Length), Pdu);
  Stat = Pdu.deliver.receipt_stat;
  Err = Pdu.deliver.receipt_err;
}

std::string NumberText(double V) {
  char Buf[32];
  std::snprintf(Buf, sizeof Buf, "%g", V);
  return Buf;
}

// "DELIVRD 10, UNDELIV 2" of counts by word.
std::string CountsText(const std::map<std::string, long>& Counts) {
  std::string Text;
  for (const auto& [Word, N] : Counts)
    Text += (Text.empty() ? "" : ", ") + Escaped(Word) + " " + std::to_string(N);
  return Text;
}

// The receipts in a final state that is none of Expect, by state.
std::map<std::string, long> UnexpectedStates(const load::TMatcher& M,
                                             const std::vector<std::string>& Expect) {
  std::map<std::string, long> Out;
  for (const auto& [Word, N] : M.ReceiptStates())
    if (!load::IntermediateState(Word) &&
        std::find(Expect.begin(), Expect.end(), Word) == Expect.end())
      Out.emplace(Word, N);
  return Out;
}

std::string ExpectText(const std::vector<std::string>& Expect) {
  std::string Text;
  for (const std::string& Word : Expect) Text += (Text.empty() ? "" : ",") + Word;
  return Text;
}

std::string Hex8(uint32_t V) {
  char Buf[16];
  std::snprintf(Buf, sizeof Buf, "0x%08X", V);
  return Buf;
}

// "p50 120 us, p90 ..., max ..." of a histogram.
std::string LatencyText(const load::THistogram& H) {
  char Buf[160];
  std::snprintf(
      Buf, sizeof Buf, "%ld, p50 %lld us, p90 %lld us, p99 %lld us, p99.9 %lld us, max %lld us",
      H.Count(), static_cast<long long>(H.Percentile(500)),
      static_cast<long long>(H.Percentile(900)), static_cast<long long>(H.Percentile(990)),
      static_cast<long long>(H.Percentile(999)), static_cast<long long>(H.Max()));
  return Buf;
}

// The coding and the parts of the text, one line each: what --dry-run shows.
void PrintPlan(const TOptions& O, const TMessagePlan& Plan) {
  const TEncodedText& T = Plan.Text;
  const char* Unit = T.Coding == TTextCoding::tcGsm ? "septets" : "octets";
  std::printf("coding: %s (data_coding %u)\n", std::string(TextCodingWord(T.Coding)).c_str(),
              T.DataCoding);
  std::printf("long messages: %s\n", std::string(LongMessageModeWord(O.LongMode)).c_str());
  std::printf("parts: %zu\n", Plan.Parts.size());
  for (size_t I = 0; I < Plan.Parts.size(); ++I) {
    const TMessagePart& P = Plan.Parts[I];
    // The text's length in this part: septets for GSM, octets for the other codings.
    const size_t Length = T.Coding == TTextCoding::tcUcs2 ? 2 * P.Length : P.Length;
    std::printf("part %zu: %zu %s%s\n", I + 1, Length, Unit,
                P.Payload.empty() ? "" : " in message_payload");
  }
}

// True when the dissection, or a field inside it, ends in an error record.
bool HasError(const TPduField& Field) {
  if (Field.Kind == TFieldKind::fkError) return true;
  for (const TPduField& Child : Field.Fields)
    if (HasError(Child)) return true;
  return false;
}

// --decode: each hex PDU dissected and printed as one JSON line. A line that is not hex is named
// on standard error and skipped; the others are still printed.
int RunDecode(const std::string& Arg) {
  int Status = 0;
  auto DecodeOne = [&Status](std::string_view Hex, const std::string& Where) {
    std::vector<uint8_t> Bytes;
    std::string Error;
    if (!ParseHexPdu(Hex, Bytes, Error)) {
      std::fprintf(stderr, "smppcli: --decode: %s: %s\n", Where.c_str(), Error.c_str());
      Status = 2;
      return;
    }
    const TPduField Pdu = DissectPdu(Bytes.data(), Bytes.size());
    std::printf("%s\n", FieldJson(Pdu).c_str());
    if (HasError(Pdu) && Status == 0) Status = 1;
  };
  if (Arg != "-") {
    DecodeOne(Arg, "the argument");
    return Status;
  }
  std::string Line;
  long Number = 0;
  for (int C; (C = std::getchar()) != EOF || !Line.empty();) {
    if (C != EOF && C != '\n') {
      Line += static_cast<char>(C);
      continue;
    }
    ++Number;
    // Blank lines separate PDUs a tester pasted; they are not PDUs themselves.
    if (Line.find_first_not_of(" \t\r") != std::string::npos)
      DecodeOne(Line, "line " + std::to_string(Number));
    Line.clear();
    if (C == EOF) break;
  }
  return Status;
}

}  // namespace

// Sends each --query, --cancel and --raw in turn and waits for its answer. Returns the first
// error: a request that could not be sent, got no answer within Wait, or (query_sm, cancel_sm)
// was answered with an error status; an answer to raw bytes passes whatever its status.
std::string RunRequests(TSmppClient& Client, const TOptions& O, TProgress& P,
                        Clock::duration Wait) {
  for (const TOptions::TRequest& Rq : O.Requests) {
    const std::string Name = Rq.CommandId ? CommandName(Rq.CommandId) : "raw PDU";
    int32_t Sequence = -1;
    if (Rq.CommandId == kQuerySm)
      Sequence = Client.QuerySm(Rq.MessageId, O.Source);
    else if (Rq.CommandId == kCancelSm)
      Sequence = Client.CancelSm(Rq.MessageId, O.Source, O.Destination);
    else
      Sequence = Client.SendRaw(Rq.Raw, O.RawPatchSequence);
    if (Sequence < 0) return "the " + Name + " could not be sent";
    if (Rq.CommandId == 0 && Rq.Raw.size() < kPduHeaderLength) continue;  // nothing to answer
    std::unique_lock<std::mutex> G(P.Lock);
    const auto Key = static_cast<uint32_t>(Sequence);
    if (!P.Changed.wait_for(G, Wait, [&] { return !P.Failure.empty() || P.Answers.count(Key); }))
      return "no answer to the " + Name + " (sequence number " + std::to_string(Key) +
             ") within the wait";
    if (!P.Failure.empty()) return P.Failure;
    const uint32_t Status = P.Answers[Key].second;
    if (Rq.CommandId && Status != 0)
      return "the " + Name + " was answered with " + CommandStatusName(Status);
  }
  return {};
}

int main(int Argc, char** Argv) {
  if (Argc > 1 && std::strcmp(Argv[1], "merge") == 0) return RunMerge(Argc - 1, Argv + 1);
  TOptions O;
  if (!ParseOptions(Argc, Argv, O)) return 2;
  if (!O.Decode.empty()) return RunDecode(O.Decode);
  // The text is coded and cut before anything else, exactly as Send will do it: a text the coding
  // cannot carry is refused here, with the reason, rather than message by message later.
  TMessagePlan Plan;
  {
    std::string Refusal;
    if (!PlanMessage(O.Text, TSmppClient::SignatureTrailer, O.Coding, O.LongMode, 0, Plan,
                     Refusal)) {
      std::fprintf(stderr, "smppcli: cannot send the text: %s\n", Refusal.c_str());
      return 2;
    }
  }
  if (O.DryRun) {
    PrintPlan(O, Plan);
    return 0;
  }
  // The parts of one message go together: each is a submit in the window and of the rate.
  const long Parts = static_cast<long>(Plan.Parts.size());
  if (Parts > O.Window) {
    std::fprintf(stderr,
                 "smppcli: a message of %ld parts does not fit a --window of %ld: its parts go "
                 "together; raise --window to at least %ld\n",
                 Parts, O.Window, Parts);
    return 2;
  }
  if (O.Tps > 0 && O.Tps < static_cast<double>(Parts)) {
    std::fprintf(stderr,
                 "smppcli: --tps %g is below the %ld parts of one message, which go together; "
                 "raise --tps to at least %ld\n",
                 O.Tps, Parts, Parts);
    return 2;
  }
  // Lines appear as they come; a load run that prints only the summary may buffer.
  std::setvbuf(stdout, nullptr, O.Quiet ? _IOFBF : _IOLBF, 1 << 16);
  FILE* Json = nullptr;
  if (!O.JsonFile.empty() && !(Json = std::fopen(O.JsonFile.c_str(), "w"))) {
    std::fprintf(stderr, "smppcli: cannot write --json %s: %s\n", O.JsonFile.c_str(),
                 std::strerror(errno));
    return 2;
  }

  // The capture file is made before connecting, so that a path it cannot write ends the run
  // before it starts.
  std::unique_ptr<TPduCapture> Capture;
  if (!O.PcapFile.empty() || O.Trace) {
    try {
      Capture = std::make_unique<TPduCapture>(O.PcapFile, O.Trace ? stderr : nullptr);
    } catch (const std::exception& E) {
      std::fprintf(stderr, "smppcli: --pcap: %s\n", E.what());
      return 2;
    }
  }

  TProgress P(O.Receipts ? DestinationCount(O.Destination) : 0, O.ReceiptIds, O.Tps, Parts);
  P.Window = O.Window;
  P.WantReceipts = O.Receipts && O.Requests.empty();
  P.KeepAnswers = !O.Requests.empty();
  auto Client = std::make_unique<TSmppClient>(nullptr);
  Client->ClientInfo().SetHost(O.Host);
  Client->ClientInfo().SetPort(O.Port);
  Client->ClientInfo().SetUserID(O.SystemId);
  Client->ClientInfo().SetPassword(O.Password);
  Client->ClientInfo().SetSystemType(O.SystemType);
  Client->ClientInfo().Set_submit_source_addr_ton(0);
  Client->ClientInfo().Set_submit_source_addr_npi(1);
  Client->ClientInfo().Set_submit_dest_addr_ton(1);
  Client->ClientInfo().Set_submit_dest_addr_npi(1);
  Client->ClientInfo().Set_submit_coding(O.Coding);
  Client->ClientInfo().Set_submit_long_mode(O.LongMode);
  // A user who codes texts as GSM expects the SMSC's data_coding 0 to be GSM on the way back too.
  if (O.Coding == TTextCoding::tcGsm || O.Coding == TTextCoding::tcAuto)
    Client->ClientInfo().Set_deliver_default_alphabet(TTextCoding::tcGsm);
  const TTextCoding Alphabet = Client->ClientInfo().deliver_default_alphabet();

  // The parts of concatenated messages, joined into one "+CONCAT" line when the last one comes.
  // The receiver's notifications add parts one at a time; the main thread drops what is left
  // once the client is gone. JoinLock guards the joiner all the same.
  std::mutex JoinLock;
  TConcatJoiner Joiner;
  auto PrintDropped = [&](const std::vector<TConcatJoiner::TDropped>& Dropped) {
    for (const TConcatJoiner::TDropped& D : Dropped)
      if (!O.Quiet)
        std::printf("+CONCAT_DROPPED %s:%u:%zu received, %s\n",
                    Escaped(D.From + ":" + D.To).c_str(), unsigned{D.Total}, D.Received,
                    D.Reason.c_str());
  };
  auto JoinPart = [&](TSMPPConnection& Conn) {
    static thread_local uint8_t Bytes[kPduBufferSize];
    int32_t Length = 0;
    Conn.ReadBinData(Length, Bytes, sizeof Bytes);
    TPDU Pdu;
    TPduCodec::DecodePdu(Bytes, sizeof Bytes, static_cast<size_t>(Length), Pdu, Alphabet);
    const TDeliver& D = Pdu.deliver;
    if (D.sar_total_segments == 0) return;
    std::vector<TConcatJoiner::TDropped> Dropped;
    std::lock_guard<std::mutex> G(JoinLock);
    const std::optional<TConcatJoiner::TJoined> Joined =
        Joiner.Add(D.source_addr, D.destination_addr,
                   TConcatInfo{D.sar_msg_ref_num, D.sar_total_segments, D.sar_segment_seqnum},
                   D.data_coding, D.user_data, TConcatJoiner::TClock::now(), Dropped);
    PrintDropped(Dropped);
    if (Joined && !O.Quiet) {
      const std::string Text =
          DecodeUserData(reinterpret_cast<const uint8_t*>(Joined->Octets.data()),
                         Joined->Octets.size(), Joined->DataCoding, Alphabet);
      const std::string Line = "+CONCAT " + Joined->From + ":" + Joined->To + ":" +
                               std::to_string(Joined->Total) + ":" + Text;
      std::printf("%s\n", Escaped(Line).c_str());
    }
  };
  Client->ClientInfo().Set_bind_mode(O.BindMode);
  for (const auto& Set : O.Settings) Set(Client->ClientInfo());
  Client->ClientInfo().SetUseTLS(O.Tls);
  Client->ClientInfo().SetTLSCAFile(O.TlsCA);
  Client->ClientInfo().SetTLSVerifyPeer(!O.TlsInsecure);
  if (O.TlsInsecure)
    std::fprintf(stderr,
                 "smppcli: WARNING: --tls-insecure: the SMSC's certificate is NOT checked; anyone "
                 "on the way can read and change this traffic\n");

  // Every message goes as one submit per part; each submit gets its own answer and receipt.
  // Sends while there is room in the window, the rate allows and something is left to send. The
  // main thread calls it to fill the window and for what waits for the rate; the transmitter's
  // notification calls it on its worker thread after each response: a submit made there goes out
  // with no thread hand-over at all, which keeps a round trip at window 1 short, and at large
  // windows lets one thread both read the responses and send the next submits with no wake-ups
  // between threads. P.Lock is never held across Send.
  auto Pump = [&] {
    std::unique_lock<std::mutex> G(P.Lock);
    while (P.Failure.empty() && !P.SendingDone() && P.Room()) {
      if (const load::TMicros Pause = P.Limiter.Take(P.Now()); Pause > 0) {
        P.NextSendAt = Clock::now() + std::chrono::microseconds(Pause);
        break;
      }
      ++P.Claimed;
      // A submit into an empty window starts the wait for an answer afresh.
      const bool IntoEmptyWindow = P.Matcher.InFlight() == 0 && P.Pending == 0;
      P.Pending += Parts;
      G.unlock();
      // The sequence numbers of the parts, as sent: other requests take numbers meanwhile.
      static thread_local std::vector<uint32_t> Sequences;
      int64_t SentNs = 0;
      const int32_t Sequence =
          Client->Send(O.Source, O.Destination, O.Validity, O.Text, &Sequences, &SentNs);
      G.lock();
      P.Pending -= Parts;
      const load::TMicros SentAt = P.MicrosOf(SentNs);
      if (IntoEmptyWindow) P.LastAnswer = std::max(P.LastAnswer, SentAt);
      if (Sequence < 0) {
        // Send refuses a message it cannot build while the connection is up; otherwise the
        // connection is gone.
        if (P.Failure.empty())
          P.Failure =
              Client->Tcx().Socket()->State() == wsConnected
                  ? "the message cannot be built as a PDU (--destination needs 1 to 254 addresses)"
                  : "the transmitter connection was lost while sending";
        break;
      }
      // An answer that came before this point is held by the matcher and paired here.
      for (const uint32_t Part : Sequences) P.Matcher.Submitted(Part, SentAt);
      ++P.Messages;
    }
    P.WakeIfDue();
  };

  // Both notifications run on the client's worker and timer threads, with the connection's
  // report lock held: they only print and count.
  Client->SetRcxOnData([&](TSmppClient* C) {
    const std::string Line = C->Rcx().rcxData();
    if (!Line.empty() && !O.Quiet) std::printf("%s\n", Escaped(Line).c_str());
    if (Line.rfind("+DELIVER ", 0) == 0) {
      JoinPart(C->Rcx());
    } else {
      // Any other read (an enquire_link answer at least every 15 idle seconds) lets messages
      // held too long go even when no more parts come.
      std::vector<TConcatJoiner::TDropped> Dropped;
      std::lock_guard<std::mutex> G(JoinLock);
      Joiner.Expire(TConcatJoiner::TClock::now(), Dropped);
      PrintDropped(Dropped);
    }
    TReadPdu R;
    const bool Read = ReadPdu(C->Rcx(), Line, R);
    std::string ReceiptId, Stat, Err;
    const bool IsReceipt = load::ReceiptLineId(Line, ReceiptId);
    if (IsReceipt) ReadReceiptState(*C, C->Rcx(), Stat, Err);
    std::lock_guard<std::mutex> G(P.Lock);
    if (Line == "bind Rcx OK") {
      P.RcxBound = true;
    } else if (IsReceipt) {
      const long Before = P.Matcher.Receipts();
      const load::TMicros Now = P.MicrosOf(C->Rcx().ReadTimeNs());
      P.Matcher.Receipt(ReceiptId, Now, Stat, Err);
      if (P.Matcher.Receipts() != Before) P.LastAnswer = Now;
    }
    if ((Line.rfind("Rcx TLS handshake failed: ", 0) == 0 ||
         Line.rfind("Rcx closed by the SMSC before the bind answer", 0) == 0) &&
        P.Failure.empty())
      P.Failure = Line;
    else if (Line == "Rcx try Connect in 5 sec" && P.Failure.empty())
      P.Failure = "cannot connect the receiver to " + O.Host + ":" + std::to_string(O.Port);
    else if (Line.rfind("Rcx invalid PDU length", 0) == 0 && P.Failure.empty())
      P.Failure = "the SMSC sent a broken stream on the receiver (" + Line + ")";
    if (Read && R.CommandId == kBindReceiverResp && R.Status != 0 && P.Failure.empty())
      P.Failure = "bind_receiver refused by the SMSC (status " + Hex8(R.Status) + ")";
    P.WakeIfDue();
  });
  // The transmitter's lines, or with --bind trx the transceiver's: its own, and the answers to
  // submits and other requests (its deliveries come through the receiver's notification).
  const bool Trx = O.BindMode == TBindMode::bmTransceiver;
  const std::string Side = Trx ? "Trx" : "Tcx";
  const std::string SideName = Trx ? "transceiver" : "transmitter";
  Client->SetTcxOnData([&](TSmppClient* C) {
    const std::string Line = C->Tcx().tcxData();
    if (!Line.empty() && !O.Quiet) std::printf("%s\n", Escaped(Line).c_str());
    TReadPdu R;
    const bool Read = ReadPdu(C->Tcx(), Line, R);
    if (Read && (R.CommandId == kSubmitSmResp || R.CommandId == kSubmitMultiResp) &&
        R.Status != 0 && !O.Quiet)
      std::printf("submit rejected, status %s\n", Hex8(R.Status).c_str());
    const bool Response = Read && (R.CommandId == kSubmitSmResp || R.CommandId == kSubmitMultiResp);
    {
      std::lock_guard<std::mutex> G(P.Lock);
      if (Line == "bind " + Side + " OK") {
        P.TcxBound = true;
        if (Trx) P.RcxBound = true;
      } else if ((Line.rfind(Side + " TLS handshake failed: ", 0) == 0 ||
                  Line.rfind(Side + " closed by the SMSC before the bind answer", 0) == 0) &&
                 P.Failure.empty()) {
        P.Failure = Line;
      } else if (Line == Side + " try Connect in 5 sec" && P.Failure.empty()) {
        P.Failure =
            "cannot connect the " + SideName + " to " + O.Host + ":" + std::to_string(O.Port);
      } else if (Line.rfind(Side + " invalid PDU length", 0) == 0 && P.Failure.empty()) {
        P.Failure = "the SMSC sent a broken stream on the " + SideName + " (" + Line + ")";
      }
      if (Response) {
        const load::TMicros Now = P.MicrosOf(C->Tcx().ReadTimeNs());
        const long Before = P.Matcher.Answered();
        P.Matcher.Responded(R.Sequence, R.Status, R.MessageId, Now);
        if (P.Matcher.Answered() != Before) P.LastAnswer = Now;
        if (R.Status == kThrottled || R.Status == kQueueFull)
          P.Limiter.Throttled(Now, Now > 0 ? P.Matcher.Sent() * 1e6 / static_cast<double>(Now) : 0);
      }
      const uint32_t BindResp = Trx ? kBindTransceiverResp : kBindTransmitterResp;
      if (Read && R.CommandId == BindResp && R.Status != 0 && P.Failure.empty())
        P.Failure = CommandName(BindResp & ~kGenericNack) + " refused by the SMSC (status " +
                    Hex8(R.Status) + ")";
      if (Read && P.KeepAnswers && (R.CommandId & kGenericNack) != 0) {
        P.Answers[R.Sequence] = {R.CommandId, R.Status};
        P.Changed.notify_all();
      }
      // After a response the pump wakes the main thread if need be, once it has refilled the
      // window.
      if (!Response) P.WakeIfDue();
    }
    if (Response) Pump();
  });

  const auto Wait =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(O.WaitSeconds));
  int Status = 0;
  std::string Error;

  if (Capture) Client->SetPduTrace(Capture->Handler());
  Client->Connect();
  {
    std::unique_lock<std::mutex> G(P.Lock);
    P.Waiting = TProgress::TWaiting::Binds;
    if (!P.Changed.wait_until(G, Clock::now() + Wait,
                              [&] { return !P.Failure.empty() || (P.RcxBound && P.TcxBound); }))
      Error = "the SMSC did not accept both binds within the wait";
    else if (!P.Failure.empty())
      Error = P.Failure;
    P.Waiting = TProgress::TWaiting::Nothing;
  }

  // --query, --cancel and --raw go instead of submits, one after the other, each waiting for its
  // answer.
  if (Error.empty() && !O.Requests.empty()) Error = RunRequests(*Client, O, P, Wait);

  // The progress line, once a second while standard error is a terminal.
  std::mutex StopLock;
  std::condition_variable StopChanged;
  bool Stop = false;  // StopLock
  std::thread ProgressThread;
  if (Error.empty() && !O.Trace && isatty(STDERR_FILENO)) {
    ProgressThread = std::thread([&] {
      std::unique_lock<std::mutex> S(StopLock);
      long LastSent = 0;
      auto Last = Clock::now();
      while (!StopChanged.wait_for(S, std::chrono::seconds(1), [&] { return Stop; })) {
        long Sent, Answered, Receipts, InFlight;
        {
          std::lock_guard<std::mutex> G(P.Lock);
          Sent = P.Matcher.Sent(), Answered = P.Matcher.Answered();
          Receipts = P.Matcher.Receipts(), InFlight = P.Matcher.InFlight();
        }
        const auto Now = Clock::now();
        const double Rate = (Sent - LastSent) / std::chrono::duration<double>(Now - Last).count();
        LastSent = Sent, Last = Now;
        std::fprintf(stderr,
                     "\r\033[Ksent %ld, answered %ld, receipts %ld, in flight %ld, %.0f submits/s",
                     Sent, Answered, Receipts, InFlight, Rate);
      }
      std::fputs("\r\033[K", stderr);
    });
  }

  const double Cpu0 = CpuSeconds();
  const auto T0 = Clock::now();
  {
    std::lock_guard<std::mutex> G(P.Lock);
    P.T0 = T0;
    P.Count = O.Requests.empty() ? O.Count : 0;
    P.ForDuration = O.Duration > 0;
    P.SendUntil =
        T0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(O.Duration));
    P.LastAnswer = 0;
  }
  // The main thread fills the window and sends what waits for the rate; the transmitter's
  // notification sends whenever a response makes room.
  while (Error.empty()) {
    Pump();
    std::unique_lock<std::mutex> G(P.Lock);
    if (!P.Failure.empty()) {
      Error = P.Failure;
      break;
    }
    if (P.SendingDone()) break;
    if (!P.Room()) {
      // Keep at most Window submits unanswered. The transmitter's thread refills the window
      // after each response, so room may never be seen here: what ends the wait with an error is
      // a silence of Wait, not its length.
      P.Waiting = TProgress::TWaiting::Room;
      const bool Room = P.WaitForAnswers(G, Wait, [&] { return P.Room() || P.SendingDone(); });
      P.Waiting = TProgress::TWaiting::Nothing;
      if (!Room && P.Failure.empty())
        Error = "the SMSC stopped answering submits (nothing answered for " +
                NumberText(O.WaitSeconds) + " s)";
      continue;
    }
    // Room, but the rate allows the next submit only later.
    const auto Until = P.ForDuration ? std::min(P.NextSendAt, P.SendUntil) : P.NextSendAt;
    P.Waiting = TProgress::TWaiting::Time;
    P.Changed.wait_until(G, Until, [&] { return !P.Failure.empty(); });
    P.Waiting = TProgress::TWaiting::Nothing;
  }

  if (Error.empty()) {
    std::unique_lock<std::mutex> G(P.Lock);
    P.AllSent = true;
    P.Waiting = TProgress::TWaiting::End;
    const bool Done = P.WaitForAnswers(G, Wait, [&] { return P.Finished(); });
    P.Waiting = TProgress::TWaiting::Nothing;
    const load::TMatcher& M = P.Matcher;
    const long Rejected = M.Answered() - M.Accepted();
    if (!P.Failure.empty())
      Error = P.Failure;
    else if (!Done && M.InFlight() > 0)
      Error = "only " + std::to_string(M.Sent() - M.InFlight()) + " of " +
              std::to_string(M.Sent()) + " submits were answered within the wait";
    else if (!Done)
      Error = "only " + std::to_string(M.Receipts()) + " of " +
              std::to_string(M.Receipts() + M.ReceiptsDue()) +
              " delivery receipts came within the wait (--no-receipts skips them)";
    else if (Rejected > 0)
      Error = std::to_string(Rejected) + " of " + std::to_string(M.Sent()) +
              " submits were rejected by the SMSC";
    else if (const std::map<std::string, long> Unexpected = UnexpectedStates(M, O.ExpectStat);
             O.Receipts && !Unexpected.empty()) {
      long N = 0;
      for (const auto& [Word, Count] : Unexpected) N += Count;
      Error = std::to_string(N) + " of " + std::to_string(M.Receipts()) +
              " delivery receipts ended in a state not expected (" + CountsText(Unexpected) +
              "; --expect-stat " + ExpectText(O.ExpectStat) + ")";
    }
  }
  const double Seconds = std::chrono::duration<double>(Clock::now() - T0).count();
  const double Cpu = CpuSeconds() - Cpu0;
  if (ProgressThread.joinable()) {
    {
      std::lock_guard<std::mutex> S(StopLock);
      Stop = true;
    }
    StopChanged.notify_one();
    ProgressThread.join();
  }

  // Unbinding and freeing the client are bounded too: should a connection hang in the network,
  // the program still ends a few seconds after its wait.
  std::thread([] {
    std::this_thread::sleep_for(std::chrono::seconds(10));
    std::fflush(stdout);
    std::fprintf(stderr, "smppcli: the connections did not close in time\n");
    std::_Exit(1);
  }).detach();
  Client->Disconnect();
  std::fflush(stdout);
  Client.reset();
  // The client is gone: nothing is traced any more.
  if (Capture) {
    if (const std::string CaptureError = Capture->Finish(); !CaptureError.empty()) {
      std::fprintf(stderr, "smppcli: the --pcap capture is incomplete: %s\n", CaptureError.c_str());
      Status = 1;
    }
  }
  {
    // Parts whose message never became whole are said so, not lost silently.
    std::vector<TConcatJoiner::TDropped> Dropped;
    std::lock_guard<std::mutex> G(JoinLock);
    Joiner.DropAll("smppcli ended", Dropped);
    PrintDropped(Dropped);
    std::fflush(stdout);
  }

  if (!Error.empty()) {
    std::fprintf(stderr, "smppcli: %s\n", Error.c_str());
    Status = 1;
  }
  // The client is gone: no handler touches P any more.
  const long Sent = P.Messages;
  const load::TMatcher& M = P.Matcher;
  const long Rejected = M.Answered() - M.Accepted();
  const double Rate = Seconds > 0 ? M.Answered() / Seconds : 0.0;
  const double CpuPerMessage = Sent > 0 ? Cpu * 1e6 / static_cast<double>(Sent) : 0.0;
  long Throttled = 0, QueueFull = 0, OtherStatus = 0;
  for (const auto& [Code, N] : M.Statuses()) {
    if (Code == kThrottled)
      Throttled = N;
    else if (Code == kQueueFull)
      QueueFull = N;
    else if (Code != 0)
      OtherStatus += N;
  }
  if (Sent > 0) {
    std::fprintf(stderr,
                 "smppcli: %ld messages in %ld submits, answered %ld (rejected %ld), receipts %ld "
                 "in %.3f s: %.0f messages/s, CPU %.2f us per message\n",
                 Sent, M.Sent(), M.Answered(), Rejected, M.Receipts(), Seconds,
                 Rate * Sent / std::max(1L, M.Sent()), CpuPerMessage);
    std::fprintf(stderr, "smppcli: response latency: %s\n",
                 LatencyText(M.ResponseLatency()).c_str());
    if (O.Receipts)
      std::fprintf(stderr, "smppcli: receipt latency: %s\n",
                   LatencyText(M.ReceiptLatency()).c_str());
    std::fprintf(stderr,
                 "smppcli: statuses: ok %ld, throttled 0x00000058 %ld, queue full 0x00000014 %ld, "
                 "others %ld; backed off %ld times\n",
                 M.Accepted(), Throttled, QueueFull, OtherStatus, P.Limiter.BackOffs());
    if (!M.ReceiptStates().empty())
      std::fprintf(stderr, "smppcli: receipt states: %s; err: %s; ids compared %s\n",
                   CountsText(M.ReceiptStates()).c_str(), CountsText(M.ReceiptErrors()).c_str(),
                   M.Convention() == load::TReceiptIds::riAuto
                       ? "auto (no receipt told exact and hex-dec apart)"
                       : std::string(load::ReceiptIdsWord(M.Convention())).c_str());
  }
  if (M.UnmatchedResponses() > 0 || M.UnmatchedReceipts() > 0)
    std::fprintf(stderr,
                 "smppcli: not of this run: %ld responses to no submit awaiting one, %ld receipts "
                 "for no message id of this run (%ld of them could match two ids)\n",
                 M.UnmatchedResponses(), M.UnmatchedReceipts(), M.AmbiguousReceipts());
  if (Json) {
    using nlohmann::ordered_json;
    ordered_json Statuses = ordered_json::object();
    for (const auto& [Code, N] : M.Statuses()) Statuses[Hex8(Code)] = N;
    const ordered_json J = {{"options",
                             {{"host", O.Host},
                              {"port", O.Port},
                              {"count", O.Duration > 0 ? 0 : O.Count},
                              {"duration_s", O.Duration},
                              {"tps", O.Tps},
                              {"window", O.Window},
                              {"wait_for_receipts", O.Receipts},
                              {"receipt_ids", load::ReceiptIdsWord(O.ReceiptIds)},
                              {"expect_stat", O.ExpectStat}}},
                            {"exit_status", Status},
                            {"error", Error},
                            {"counts",
                             {{"messages", Sent},
                              {"submits", M.Sent()},
                              {"answered", M.Answered()},
                              {"accepted", M.Accepted()},
                              {"rejected", Rejected},
                              {"receipts", M.Receipts()},
                              {"unanswered", M.InFlight()},
                              {"receipts_missing", O.Receipts ? std::max(0L, M.ReceiptsDue()) : 0},
                              {"unmatched_responses", M.UnmatchedResponses()},
                              {"unmatched_receipts", M.UnmatchedReceipts()},
                              {"ambiguous_receipts", M.AmbiguousReceipts()},
                              {"throttled", Throttled},
                              {"queue_full", QueueFull},
                              {"back_offs", P.Limiter.BackOffs()}}},
                            {"seconds", Seconds},
                            {"submits_per_s", Seconds > 0 ? M.Sent() / Seconds : 0.0},
                            {"answered_per_s", Rate},
                            {"cpu_us_per_message", CpuPerMessage},
                            {"response_latency", load::LatencyJson(M.ResponseLatency())},
                            {"receipt_latency", load::LatencyJson(M.ReceiptLatency())},
                            {"statuses", Statuses},
                            {"receipt_ids_used", load::ReceiptIdsWord(M.Convention())},
                            {"receipt_states", M.ReceiptStates()},
                            {"receipt_errors", M.ReceiptErrors()}};
    std::fprintf(Json, "%s\n", load::JsonText(J).c_str());
    if (std::fclose(Json) != 0) {
      std::fprintf(stderr, "smppcli: cannot write --json %s\n", O.JsonFile.c_str());
      Status = 1;
    }
  }
  return Status;
}
