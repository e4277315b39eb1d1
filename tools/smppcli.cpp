// smppcli: a console client on TSmppClient for scripts, CI and load runs. It binds the receiver and
// the transmitter, submits messages, prints every report line as it comes, waits for the answers
// (submit responses and delivery receipts), unbinds and exits 0; it exits non-zero with a clear
// message when it cannot bind or the answers do not come in time.
#include <getopt.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/Version.h"
#include "inspect/FieldJson.h"
#include "inspect/PduCapture.h"
#include "inspect/PduDissector.h"
#include "inspect/TlvText.h"
#include "load/LoadRun.h"
#include "load/Traffic.h"
#include "smpp/ConcatJoiner.h"
#include "smpp/PduNames.h"
#include "smpp/ReportText.h"
#include "smpp/smppclient.h"
#include "tools/SmppcliMerge.h"
#include "tools/WholeFile.h"

namespace {

using load::TTraffic;

// Bytes of an argument quoted in an error line, escaped as report lines are: an argument cannot
// end the line, move the cursor or send a terminal sequence either.
std::string Quoted(const std::string& Argument) {
  return EscapedReportLine(Argument);
}

struct TOptions {
  std::string Host = "127.0.0.1";
  int Port = 2775;
  std::string SystemId = "smppcli";
  std::string Password = "secret";
  std::string SystemType = "";
  std::string Source = "1234";
  std::string Destination = "5551234";  // unless a range or a file is given
  std::string Text = "Hello";
  std::string Validity = "";
  long Count = 1;
  long Window = 1000;
  long Binds = 1;
  TTraffic Traffic;
  bool SeedGiven = false;
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
      "  --text TEXT          message text (default Hello); {n} is the message's\n"
      "                       number, {rand:N} N random letters and digits, {{ and }}\n"
      "                       braces\n"
      "  --validity DHHMM     relative validity: days digit, hours, minutes (default none)\n"
      "  --count N            number of messages (default 1)\n"
      "  --duration SECONDS   send for this long instead of --count messages\n"
      "  --tps N              at most N submits per second, evenly spread (default: no\n"
      "                       limit); throttled (0x00000058) and queue full (0x00000014)\n"
      "                       answers halve the rate, which then climbs back in 2 s\n"
      "  --window N           most submits unanswered at once, per bind (default\n"
      "                       1000); the parts of one message go together\n"
      "  --binds N            N bind pairs (or transceivers) to the SMSC (default 1);\n"
      "                       --tps is for all of them, split evenly\n"
      "  --destination-range FIRST-LAST  destinations from this range of numbers\n"
      "  --destination-file FILE  destinations from this file, one a line\n"
      "  --destination-order ORDER  in-order (the default) or random\n"
      "  --seed N             the seed of random destinations and {rand:N}\n"
      "  --wait SECONDS       how long to wait for the binds, and how long without any\n"
      "                       answer before the run gives up (default 30)\n"
      "  --no-receipts        do not wait for delivery receipts\n"
      "  --receipt-ids HOW    how a receipt's id is compared with the submit's: exact\n"
      "                       (equal as text, ignoring case only), exact-nozeros\n"
      "                       (likewise once leading zeros are dropped), hex-dec (the\n"
      "                       submit's id is hexadecimal, the receipt's decimal),\n"
      "                       dec-hex, or auto (the default): equal text matches at\n"
      "                       once; a receipt that matches only with zeros dropped or\n"
      "                       as hex-dec is doubtful until receipts of eight distinct\n"
      "                       submits agree on that way (and four times as many as\n"
      "                       on any other), never by one; dec-hex is never guessed\n"
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
      "  --help               this text\n"
      "  --version            print the package version\n\n"
      "smppcli merge A.json B.json ... adds up the --json summaries of runs made at the\n"
      "same time (on several machines): JSON on standard output, text on standard error.\n\n"
      "With --coding gsm or auto, received data_coding 0 is read as GSM too. The parts\n"
      "of a concatenated message received are also printed joined, as one line\n"
      "+CONCAT <from>:<to>:<parts>:<text>, when the last one comes; parts are held at\n"
      "most 10 minutes and 1000 messages, then dropped with a +CONCAT_DROPPED line.\n\n"
      "A response counts only for a submit of this run already sent that awaits one\n"
      "(by sequence number); others are unexpected responses. A delivery receipt\n"
      "counts only for a message id of this run (see --receipt-ids), once per\n"
      "destination (a submit_multi's receipts are told apart by their source_addr;\n"
      "destinations in unsuccess_sme await none); a receipt that could match two ids\n"
      "matches none, a second one for the same destination is a duplicate, and an\n"
      "intermediate notification (esm_class 0x20, or state ENROUTE) is counted as\n"
      "ENROUTE but never stands for the final receipt. Others are counted apart.\n"
      "The parts of a long message go together: each takes one place\n"
      "in the window and one submit of the rate. --wait is how long the run waits\n"
      "without any answer: it ends with an error once nothing was answered for that\n"
      "long, however long the run. The summary on standard error gives the counts, the\n"
      "rate, the CPU per message, the latency of responses and receipts (count, p50,\n"
      "p90, p99, p99.9, max), the responses per command_status and the receipts per\n"
      "state and err. While standard error is a terminal a progress line is shown there\n"
      "once a second.\n\n"
      "SIGINT or SIGTERM stops the run: nothing more is sent, the answers are waited for\n"
      "at most 2 s, the summary (and --json) says \"stopped\", and the exit status is 1;\n"
      "a second signal ends the program at once. --json is written beside its name and\n"
      "renamed: never an empty or half file.\n\n"
      "Exit status: 0 when every submit was accepted and every receipt of this run came\n"
      "in an expected state, 1 on a bind failure, a rejected submit, a submit whose\n"
      "session was lost, a session the SMSC ended, an unexpected response, a message id\n"
      "given to two submits, a receipt in another state, a timeout or a stop, 2 on bad\n"
      "options or a text the coding cannot carry.\n"
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
    oVersion,
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
    oNoDeliverAnswer,
    oBinds,
    oDstRange,
    oDstFile,
    oDstOrder,
    oSeed
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
      {"version", no_argument, nullptr, oVersion},
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
      {"binds", required_argument, nullptr, oBinds},
      {"destination-range", required_argument, nullptr, oDstRange},
      {"destination-file", required_argument, nullptr, oDstFile},
      {"destination-order", required_argument, nullptr, oDstOrder},
      {"seed", required_argument, nullptr, oSeed},
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
      // The setter's reason may quote the value given.
      std::fprintf(stderr, "smppcli: --%s: %s\n", Name, Quoted(E.what()).c_str());
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
  // getopt's own messages would quote the argument as it is: ours escape it.
  opterr = 0;
  while ((C = getopt_long(Argc, Argv, ":", Long, nullptr)) != -1) {
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
        O.Traffic.Where.Destination = O.Destination;
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
          std::fprintf(stderr,
                       "smppcli: --receipt-ids must be auto, exact, exact-nozeros, hex-dec or "
                       "dec-hex\n");
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
      case oDstRange:
        O.Traffic.Where.Range = optarg;
        break;
      case oDstFile:
        O.Traffic.Where.File = optarg;
        break;
      case oDstOrder:
        if (std::strcmp(optarg, "in-order") == 0) {
          O.Traffic.Where.Order = load::TDestinationOrder::InOrder;
        } else if (std::strcmp(optarg, "random") == 0) {
          O.Traffic.Where.Order = load::TDestinationOrder::Random;
        } else {
          std::fprintf(stderr, "smppcli: --destination-order must be in-order or random\n");
          return false;
        }
        break;
      case oSeed: {
        char* End = nullptr;
        errno = 0;
        O.Traffic.Seed = std::strtoull(optarg, &End, 0);
        if (!*optarg || *End || errno || *optarg == '-') {
          std::fprintf(stderr, "smppcli: --seed must be a number from 0 to 2^64-1\n");
          return false;
        }
        O.SeedGiven = true;
        break;
      }
      case oBinds:
        if (!ParseLong(optarg, 1, 1000, O.Binds)) {
          std::fprintf(stderr, "smppcli: --binds must be a number from 1 to 1000\n");
          return false;
        }
        break;
      case oHelp:
        Usage(stdout);
        std::exit(0);
      case oVersion:
        std::printf("smppcli (%s) %s\n%s", kPackageName, kPackageVersion, kVersionNotice);
        std::exit(0);
      case ':':
        std::fprintf(stderr, "smppcli: option '%s' needs a value\n",
                     Quoted(Argv[optind - 1]).c_str());
        return false;
      case '?':
        std::fprintf(stderr, "smppcli: unknown option '%s'\n", Quoted(Argv[optind - 1]).c_str());
        Usage(stderr);
        return false;
      default:
        Usage(stderr);
        return false;
    }
  }
  if (optind < Argc) {
    std::fprintf(stderr, "smppcli: unexpected argument '%s'\n", Quoted(Argv[optind]).c_str());
    return false;
  }
  if (!O.Tls && (O.TlsInsecure || !O.TlsCA.empty())) {
    std::fprintf(stderr, "smppcli: --tls-ca and --tls-insecure need --tls\n");
    return false;
  }
  if (O.Binds > 1 && !O.Requests.empty()) {
    std::fprintf(stderr, "smppcli: --query, --cancel and --raw go over one bind, not --binds\n");
    return false;
  }
  // Where the messages go and what they say. A run at random without --seed takes one from the
  // system, written in the --json summary so that the run can be made again.
  if (!O.SeedGiven)
    O.Traffic.Seed = std::random_device()() * 0x100000000ull + std::random_device()();
  O.Traffic.Where.Seed = O.Traffic.Seed;
  if (!O.Traffic.Where.Destination && !O.Traffic.Where.Range && !O.Traffic.Where.File)
    O.Traffic.Where.Destination = O.Destination;
  std::string Error;
  if (!load::TDestinations::Parse(O.Traffic.Where, O.Traffic.Destinations, Error) ||
      !load::TTextTemplate::Parse(O.Text, O.Traffic.Text, Error)) {
    std::fprintf(stderr, "smppcli: %s\n", Error.c_str());
    return false;
  }
  if (!O.TlsCA.empty() && ::access(O.TlsCA.c_str(), R_OK) != 0) {
    std::fprintf(stderr, "smppcli: cannot read the --tls-ca file %s\n", Quoted(O.TlsCA).c_str());
    return false;
  }
  return true;
}

using Clock = std::chrono::steady_clock;

// A report line as it is printed: text from the network cannot start a new line, move the cursor
// or send a terminal sequence (the window shows its memo lines the same way).
std::string Escaped(const std::string& Line) {
  return EscapedReportLine(Line);
}

std::string Hex8(uint32_t V) {
  char Buf[16];
  std::snprintf(Buf, sizeof Buf, "0x%08X", V);
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

// The user's stop. SIGINT and SIGTERM are blocked on every thread (threads made later inherit the
// mask) and taken by a thread of their own with sigwait: no code runs in a signal handler, and the
// stop is an ordinary call. The first signal stops the run (TLoadRun::Stop); a second ends the
// program at once, with status 1 and no summary. Made once, before any other thread, and never
// destroyed: its thread waits for signals until the program ends.
class TStopOnSignal {
 public:
  TStopOnSignal() {
    sigemptyset(&FSignals);
    sigaddset(&FSignals, SIGINT);
    sigaddset(&FSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &FSignals, nullptr);
    std::thread([this] { Wait(); }).detach();
  }
  // The run a signal stops, or none. A signal that came before stops it at once. Main thread.
  void Attach(load::TLoadRun* Run) {
    std::lock_guard<std::mutex> G(FLock);
    FRun = Run;
    if (FRun && FAsked) FRun->Stop();
  }

 private:
  void Wait() {
    for (;;) {
      int Signal = 0;
      if (sigwait(&FSignals, &Signal) != 0) continue;
      std::lock_guard<std::mutex> G(FLock);
      if (FAsked) {
        std::fputs("smppcli: stopped again: ending at once\n", stderr);
        std::_Exit(1);
      }
      FAsked = true;
      if (FRun) FRun->Stop();
    }
  }
  sigset_t FSignals;
  std::mutex FLock;                // guards FRun and FAsked
  load::TLoadRun* FRun = nullptr;  // FLock
  bool FAsked = false;             // FLock
};

}  // namespace

// Sends each --query, --cancel and --raw in turn and waits for its answer. Returns the first
// error: a request that could not be sent, got no answer within the wait, or (query_sm, cancel_sm)
// was answered with an error status; an answer to raw bytes passes whatever its status.
std::string RunRequests(load::TLoadRun& Run, const TOptions& O) {
  TSmppClient& Client = Run.Client();
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
    const auto Key = static_cast<uint32_t>(Sequence);
    uint32_t Status = 0;
    std::string Failure;
    if (!Run.WaitAnswer(Key, Status, Failure))
      return !Failure.empty() ? Failure
                              : "no answer to the " + Name + " (sequence number " +
                                    std::to_string(Key) + ") within the wait";
    if (Rq.CommandId && Status != 0)
      return "the " + Name + " was answered with " + CommandStatusName(Status);
  }
  return {};
}

int main(int Argc, char** Argv) {
  // A connection or a pipe closed under a write gives EPIPE, never the end of the program.
  std::signal(SIGPIPE, SIG_IGN);
  if (Argc > 1 && std::strcmp(Argv[1], "merge") == 0) return RunMerge(Argc - 1, Argv + 1);
  TOptions O;
  if (!ParseOptions(Argc, Argv, O)) return 2;
  if (!O.Decode.empty()) return RunDecode(O.Decode);
  // The text is coded and cut before anything else, exactly as Send will do it: a text the coding
  // cannot carry is refused here, with the reason, rather than message by message later. A text
  // with placeholders is planned at its longest.
  TMessagePlan Plan;
  {
    std::string Refusal;
    if (!PlanMessage(O.Traffic.LongestText(O.Count), TSmppClient::SignatureTrailer, O.Coding,
                     O.LongMode, 0, Plan, Refusal)) {
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
  // The summary is written whole at the end, beside its name and then renamed: a script never
  // finds an empty or half file, and a run killed before the end leaves none.
  if (std::string Why; !O.JsonFile.empty() && !PrepareWholeFile(O.JsonFile, Why)) {
    std::fprintf(stderr, "smppcli: cannot write --json %s: %s\n", Quoted(O.JsonFile).c_str(),
                 Why.c_str());
    return 2;
  }
  // Before the first thread of the run (the capture's, the clients').
  static TStopOnSignal* const Stopper = new TStopOnSignal;

  // The capture file is made before connecting, so that a path it cannot write ends the run
  // before it starts.
  std::unique_ptr<TPduCapture> Capture;
  if (!O.PcapFile.empty() || O.Trace) {
    try {
      Capture = std::make_unique<TPduCapture>(O.PcapFile, O.Trace ? stderr : nullptr);
    } catch (const std::exception& E) {
      std::fprintf(stderr, "smppcli: --pcap: %s\n", Quoted(E.what()).c_str());
      return 2;
    }
  }

  // A user who codes texts as GSM expects the SMSC's data_coding 0 to be GSM on the way back too.
  const TTextCoding Alphabet = O.Coding == TTextCoding::tcGsm || O.Coding == TTextCoding::tcAuto
                                   ? TTextCoding::tcGsm
                                   : TSMPPClientInfo().deliver_default_alphabet();
  auto MakeClient = [&] {
    auto Client = std::make_unique<TSmppClient>(nullptr);
    TSMPPClientInfo& I = Client->ClientInfo();
    I.SetHost(O.Host);
    I.SetPort(O.Port);
    I.SetUserID(O.SystemId);
    I.SetPassword(O.Password);
    I.SetSystemType(O.SystemType);
    I.Set_submit_source_addr_ton(0);
    I.Set_submit_source_addr_npi(1);
    I.Set_submit_dest_addr_ton(1);
    I.Set_submit_dest_addr_npi(1);
    I.Set_submit_coding(O.Coding);
    I.Set_submit_long_mode(O.LongMode);
    I.Set_deliver_default_alphabet(Alphabet);
    I.Set_bind_mode(O.BindMode);
    for (const auto& Set : O.Settings) Set(I);
    I.SetUseTLS(O.Tls);
    I.SetTLSCAFile(O.TlsCA);
    I.SetTLSVerifyPeer(!O.TlsInsecure);
    if (Capture) Client->SetPduTrace(Capture->Handler());
    return Client;
  };
  if (O.TlsInsecure)
    std::fprintf(stderr,
                 "smppcli: WARNING: --tls-insecure: the SMSC's certificate is NOT checked; anyone "
                 "on the way can read and change this traffic\n");

  // The parts of concatenated messages, joined into one "+CONCAT" line when the last one comes.
  // The receivers' notifications add parts one at a time; the main thread drops what is left
  // once the clients are gone. JoinLock guards the joiner.
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
  // Every line of every bind is printed (unless --quiet), and the receivers' deliveries joined.
  // On the clients' threads, with the connection's report lock held.
  auto OnLine = [&](int, bool Receiver, TSMPPConnection& Conn, const std::string& Line) {
    if (!O.Quiet) {
      if (!Line.empty()) std::printf("%s\n", Escaped(Line).c_str());
      uint8_t Header[kPduHeaderLength];
      if (!Receiver &&
          Conn.ReadReportedBytes(Header, sizeof Header) == static_cast<int32_t>(kPduHeaderLength)) {
        const uint32_t Id = GetU32(Header + 4), Status = GetU32(Header + 8);
        if ((Id == kSubmitSmResp || Id == kSubmitMultiResp || Id == kGenericNack) && Status != 0)
          std::printf("%s, status %s\n", Id == kGenericNack ? "generic_nack" : "submit rejected",
                      Hex8(Status).c_str());
      }
    }
    if (!Receiver) return;
    if (Line.rfind("+DELIVER ", 0) == 0) {
      JoinPart(Conn);
    } else {
      // Any other read (an enquire_link answer at least every 15 idle seconds) lets messages
      // held too long go even when no more parts come.
      std::vector<TConcatJoiner::TDropped> Dropped;
      std::lock_guard<std::mutex> G(JoinLock);
      Joiner.Expire(TConcatJoiner::TClock::now(), Dropped);
      PrintDropped(Dropped);
    }
  };

  load::TLoadOptions L;
  L.Binds = O.Binds;
  L.Transceiver = O.BindMode == TBindMode::bmTransceiver;
  L.Count = O.Requests.empty() ? O.Count : 0;
  L.Duration = O.Requests.empty() ? O.Duration : 0;
  L.Tps = O.Tps;
  L.Window = O.Window;
  L.WaitSeconds = O.WaitSeconds;
  L.Parts = Parts;
  L.ReceiptsPerSubmit = O.Receipts && O.Requests.empty() ? O.Traffic.AddressesPerMessage() : 0;
  L.ReceiptIds = O.ReceiptIds;
  L.ExpectStat = O.ExpectStat;
  L.Host = O.Host;
  L.Port = O.Port;
  L.Source = O.Source;
  // Every message alike: the destination and text of the first (braces written {{ }} read).
  {
    load::TRandom R(O.Traffic.Seed);
    O.Traffic.Destinations.At(0, L.Destination);
    O.Traffic.Text.Expand(0, L.Text, R);
  }
  L.Validity = O.Validity;
  L.Vary = O.Traffic.Vary();
  L.KeepAnswers = !O.Requests.empty();
  // Quiet, no line is shown: the run then takes the answers without report lines, which costs
  // less.
  load::TLoadRun Run(L, MakeClient, O.Quiet ? load::TLoadRun::TLineObserver{} : OnLine);
  // A signal stops this run from now on, until just before it is destroyed.
  Stopper->Attach(&Run);
  struct TDetach {
    ~TDetach() { Stopper->Attach(nullptr); }
  } Detach;

  std::string Error = Run.Bind();
  // --query, --cancel and --raw go instead of submits, one after the other, each waiting for its
  // answer.
  if (Error.empty() && !O.Requests.empty()) Error = RunRequests(Run, O);

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
        const load::TLiveFigures F = Run.Live();
        const auto Now = Clock::now();
        const double Rate = (F.Sent - LastSent) / std::chrono::duration<double>(Now - Last).count();
        LastSent = F.Sent, Last = Now;
        std::fprintf(stderr,
                     "\r\033[Ksent %ld, answered %ld, receipts %ld, in flight %ld, %.0f submits/s",
                     F.Sent, F.Answered, F.Receipts, F.InFlight, Rate);
      }
      std::fputs("\r\033[K", stderr);
    });
  }
  if (Error.empty()) Error = Run.Run();
  if (ProgressThread.joinable()) {
    {
      std::lock_guard<std::mutex> S(StopLock);
      Stop = true;
    }
    StopChanged.notify_one();
    ProgressThread.join();
  }

  // Unbinding and freeing the clients are bounded too: should a connection hang in the network,
  // the program still ends a few seconds after its wait.
  std::thread([] {
    std::this_thread::sleep_for(std::chrono::seconds(10));
    std::fflush(stdout);
    std::fprintf(stderr, "smppcli: the connections did not close in time\n");
    std::_Exit(1);
  }).detach();
  Run.Close();
  std::fflush(stdout);
  int Status = 0;
  std::string CaptureFault;
  // The clients are gone: nothing is traced any more.
  if (Capture) {
    if (const std::string CaptureError = Capture->Finish(); !CaptureError.empty()) {
      CaptureFault = "the --pcap capture is incomplete: " + Quoted(CaptureError);
      std::fprintf(stderr, "smppcli: %s\n", CaptureFault.c_str());
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
  // The clients are gone: nothing changes the run's figures any more.
  load::TSummary S = Run.Summary();
  S.ExitStatus = Status;
  // A summary that fails says why, also when only the capture did.
  S.Error = Error.empty() ? CaptureFault : Error;
  S.Options = {{"host", O.Host},
               {"port", O.Port},
               {"count", O.Duration > 0 ? 0 : O.Count},
               {"duration_s", O.Duration},
               {"tps", O.Tps},
               {"window", O.Window},
               {"binds", O.Binds},
               {"seed", O.Traffic.Seed},
               {"wait_for_receipts", O.Receipts},
               {"receipt_ids", load::ReceiptIdsWord(O.ReceiptIds)},
               {"expect_stat", O.ExpectStat}};
  std::fputs(load::SummaryText(S, O.Receipts).c_str(), stderr);
  if (std::string Why;
      !O.JsonFile.empty() &&
      !WriteWholeFile(O.JsonFile, load::JsonText(load::SummaryJson(S)) + "\n", Why)) {
    std::fprintf(stderr, "smppcli: cannot write --json %s: %s\n", Quoted(O.JsonFile).c_str(),
                 Why.c_str());
    Status = 1;
  }
  return Status;
}
