// The trace lines: a PDU's dissection boiled down to the fields a tester reads first.
#include "inspect/PduSummary.h"

#include <arpa/inet.h>

#include <ctime>
#include <string_view>

#include "inspect/FieldMeanings.h"
#include "inspect/PduDissector.h"
#include "smpp/PduTrace.h"
#include "smpp/ReportText.h"
#include "smpp/TextCoding.h"

namespace {

// Characters of a short message shown in a trace line.
constexpr size_t kTextPreview = 20;

const TPduField* FieldNamed(const TPduField& Group, std::string_view Name) {
  for (const TPduField& F : Group.Fields)
    if (F.Name == Name) return &F;
  return nullptr;
}

// The destinations of a submit or data PDU: destination_addr, or a submit_multi's addresses and
// distribution lists, comma-separated.
std::string Destinations(const TPduField& Pdu) {
  if (const TPduField* D = FieldNamed(Pdu, "destination_addr")) return D->Text;
  std::string Out;
  for (const TPduField& F : Pdu.Fields) {
    if (F.Name != "dest_address") continue;
    const TPduField* D = FieldNamed(F, "destination_addr");
    if (!D) D = FieldNamed(F, "dl_name");
    if (!D) continue;
    if (!Out.empty()) Out += ',';
    Out += D->Text;
  }
  return Out;
}

// The start of the message's text: short_message, or message_payload when that is empty, without
// its user data header, decoded by data_coding.
std::string TextPreview(const TPduField& Pdu, uint8_t DataCoding, bool Udhi) {
  const TPduField* Text = FieldNamed(Pdu, "short_message");
  if (!Text || Text->Text.empty()) Text = FieldNamed(Pdu, "message_payload");
  if (!Text || Text->Text.empty()) return {};
  const auto* Octets = reinterpret_cast<const uint8_t*>(Text->Text.data());
  size_t Count = Text->Text.size();
  if (Udhi) {
    const size_t Header = size_t{Octets[0]} + 1;
    if (Header >= Count) return {};
    Octets += Header;
    Count -= Header;
  }
  const std::string Decoded = DecodeUserData(Octets, Count, DataCoding, TTextCoding::tcBytes);
  const size_t Cut = Utf8Prefix(Decoded, kTextPreview);
  std::string Preview = EscapedReportLine(std::string_view(Decoded).substr(0, Cut));
  // Quotes and backslashes would make the end of the text unclear.
  std::string Quoted = "\"";
  for (const char C : Preview) {
    if (C == '"') Quoted += '\\';
    Quoted += C;
  }
  Quoted += Cut < Decoded.size() ? "...\"" : "\"";
  return Quoted;
}

std::string Ipv4Text(uint32_t Addr, uint16_t Port) {
  char Text[INET_ADDRSTRLEN] = "?";
  const in_addr A{htonl(Addr)};
  inet_ntop(AF_INET, &A, Text, sizeof Text);
  return std::string(Text) + ":" + std::to_string(Port);
}

}  // namespace

std::string PduSummary(const uint8_t* Bytes, size_t Length) {
  const TPduField Pdu = DissectPdu(Bytes, Length);
  std::string Out = Pdu.Name;
  auto Integer = [&](std::string_view Name) -> const TPduField* {
    const TPduField* F = FieldNamed(Pdu, Name);
    return F && F->Kind == TFieldKind::fkInteger ? F : nullptr;
  };
  if (const TPduField* Seq = Integer("sequence_number"))
    Out += " seq=" + std::to_string(Seq->Integer);
  const TPduField* Id = Integer("command_id");
  const TPduField* Status = Integer("command_status");
  if (Status && ((Id && (Id->Integer & 0x80000000u)) || Status->Integer != 0))
    Out += " " + CommandStatusName(static_cast<uint32_t>(Status->Integer));
  auto Text = [&](std::string_view Name, const char* Label) {
    if (const TPduField* F = FieldNamed(Pdu, Name);
        F && F->Kind == TFieldKind::fkText && !F->Text.empty())
      Out += std::string(" ") + Label + "=" + EscapedReportLine(F->Text);
  };
  Text("system_id", "system_id");
  Text("source_addr", "src");
  if (const std::string To = Destinations(Pdu); !To.empty()) Out += " dst=" + EscapedReportLine(To);
  Text("message_id", "id");
  Text("receipted_message_id", "receipted");
  if (const TPduField* State = Integer("message_state"))
    Out += " state=" + MessageStateName(static_cast<uint8_t>(State->Integer));
  if (const TPduField* Coding = Integer("data_coding")) {
    Out += " dc=" + std::to_string(Coding->Integer);
    const TPduField* Esm = Integer("esm_class");
    const std::string Preview =
        TextPreview(Pdu, static_cast<uint8_t>(Coding->Integer), Esm && (Esm->Integer & 0x40));
    if (!Preview.empty()) Out += " text=" + Preview;
  }
  if (const TPduField* Error = FieldNamed(Pdu, "error"))
    Out += " [malformed: " + Error->Meaning + "]";
  return Out;
}

const char* PduConnectionName(TPduConnection Connection) {
  switch (Connection) {
    case TPduConnection::pcRcx:
      return "Rcx";
    case TPduConnection::pcTcx:
      return "Tcx";
    case TPduConnection::pcTrx:
      return "Trx";
  }
  return "?";
}

std::string FailureReason(std::span<const uint8_t> Bytes) {
  if (Bytes.empty()) return "connect failed";
  return std::string(Bytes.begin(), Bytes.end());
}

std::string PduTraceLine(const TPduTraceRecord& Record) {
  const int64_t WallNs = PduTraceWallNs(Record.MonotonicNs);
  const time_t Seconds = static_cast<time_t>(WallNs / 1000000000);
  tm Local{};
  localtime_r(&Seconds, &Local);
  char Time[32];
  std::snprintf(Time, sizeof Time, "%02d:%02d:%02d.%06lld ", Local.tm_hour, Local.tm_min,
                Local.tm_sec, static_cast<long long>(WallNs % 1000000000 / 1000));
  std::string Line = std::string(Time) + PduConnectionName(Record.Connection);
  switch (Record.Kind) {
    case TPduTraceKind::tkOpened:
      return Line + " connected " +
             Ipv4Text(Record.Endpoints.LocalAddr, Record.Endpoints.LocalPort) + " -> " +
             Ipv4Text(Record.Endpoints.RemoteAddr, Record.Endpoints.RemotePort);
    case TPduTraceKind::tkClosed:
      return Line + " closed";
    case TPduTraceKind::tkFailed:
      return Line + " connect failed: " + FailureReason(Record.Bytes);
    case TPduTraceKind::tkPdu:
      break;
  }
  Line += Record.Direction == TPduDirection::pdOut ? " out " : " in  ";
  Line += PduSummary(Record.Bytes.data(), Record.Bytes.size());
  if (Record.OriginalLength > Record.Bytes.size())
    Line += " (" + std::to_string(Record.OriginalLength) + " octets, " +
            std::to_string(Record.Bytes.size()) + " kept)";
  return Line;
}
