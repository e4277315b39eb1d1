// The traffic table as CSV, JSON lines and tab-separated text, files written with their errors,
// and a request's row linked to its response's.
#include "inspect/TrafficExport.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "inspect/PduSummary.h"
#include "smpp/PduNames.h"
#include "smpp/PduTrace.h"
#include "smpp/smpppdu.h"

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// The length of the valid UTF-8 sequence at Text[I], or 0 when the byte there starts none
// (a stray continuation byte, an overlong form, a surrogate, beyond U+10FFFF, cut short).
size_t Utf8Length(std::string_view Text, size_t I) {
  const auto B = [&](size_t K) { return static_cast<uint8_t>(Text[I + K]); };
  const uint8_t Lead = B(0);
  if (Lead < 0x80) return 1;
  size_t Length;
  uint8_t Low = 0x80, High = 0xBF;  // the second byte's range
  if (Lead >= 0xC2 && Lead <= 0xDF) {
    Length = 2;
  } else if (Lead >= 0xE0 && Lead <= 0xEF) {
    Length = 3;
    if (Lead == 0xE0) Low = 0xA0;
    if (Lead == 0xED) High = 0x9F;
  } else if (Lead >= 0xF0 && Lead <= 0xF4) {
    Length = 4;
    if (Lead == 0xF0) Low = 0x90;
    if (Lead == 0xF4) High = 0x8F;
  } else {
    return 0;
  }
  if (I + Length > Text.size() || B(1) < Low || B(1) > High) return 0;
  for (size_t K = 2; K < Length; ++K)
    if (B(K) < 0x80 || B(K) > 0xBF) return 0;
  return Length;
}

std::string ValidUtf8(std::string_view Text) {
  std::string Out;
  Out.reserve(Text.size());
  for (size_t I = 0; I < Text.size();) {
    if (const size_t N = Utf8Length(Text, I)) {
      Out.append(Text.substr(I, N));
      I += N;
    } else {
      Out += kReplacement;
      ++I;
    }
  }
  return Out;
}

uint32_t Be32(const uint8_t* B) {
  return (uint32_t(B[0]) << 24) | (uint32_t(B[1]) << 16) | (uint32_t(B[2]) << 8) | uint32_t(B[3]);
}

// The header of a row that holds a whole PDU header, for the partner search.
struct THeader {
  uint32_t Id, Status, Sequence;
};
std::optional<THeader> HeaderOf(const TTrafficRow& Row) {
  if (Row.Kind != TPduTraceKind::tkPdu || Row.Length < kPduHeaderLength) return std::nullopt;
  const uint8_t* B = Row.Bytes.get();
  return THeader{Be32(B + 4), Be32(B + 8), Be32(B + 12)};
}

bool IsResponse(uint32_t Id) {
  return (Id & kGenericNack) != 0;
}

std::string CommandText(uint32_t Id) {
  std::string Name = CommandName(Id);
  if (Name.empty()) {
    char Hex[16];
    std::snprintf(Hex, sizeof Hex, "0x%08x", Id);
    Name = Hex;
  }
  return Name;
}

// "0.4 ms", "3.2 ms", "27 ms", "1.5 s".
std::string Interval(int64_t Ns) {
  char Text[32];
  const double Ms = static_cast<double>(Ns < 0 ? -Ns : Ns) / 1e6;
  if (Ms < 10)
    std::snprintf(Text, sizeof Text, "%.1f ms", Ms);
  else if (Ms < 1000)
    std::snprintf(Text, sizeof Text, "%.0f ms", Ms);
  else
    std::snprintf(Text, sizeof Text, "%.1f s", Ms / 1000);
  return Text;
}

// A FILE* that is closed when it goes out of scope; Close reports what the close found.
struct TFileCloser {
  void operator()(FILE* F) const { std::fclose(F); }
};
using TFile = std::unique_ptr<FILE, TFileCloser>;

std::string WriteError(const std::string& Path, int Error) {
  return "cannot write " + Path + ": " + std::strerror(Error);
}

// Writes every line that Next yields, then closes the file; the first failure's reason, errno
// kept from the call that failed (a full disk often shows only at the flush or the close).
template <typename TNext>
std::string WriteLines(const std::string& Path, TNext&& Next) {
  TFile File(std::fopen(Path.c_str(), "wb"));
  if (!File) return WriteError(Path, errno);
  std::string Line;
  while (Next(Line)) {
    if (std::fwrite(Line.data(), 1, Line.size(), File.get()) != Line.size())
      return WriteError(Path, errno);
  }
  if (std::fflush(File.get()) != 0) return WriteError(Path, errno);
  if (std::fclose(File.release()) != 0) return WriteError(Path, errno);
  return {};
}

}  // namespace

const std::array<const char*, kTableColumns> kTableColumnNames = {
    "time", "connection", "direction", "command", "sequence", "status", "message_id", "summary"};

std::optional<TTrafficFormat> TrafficFormatOfPath(std::string_view Path) {
  const size_t Dot = Path.rfind('.');
  const size_t Slash = Path.rfind('/');
  if (Dot == std::string_view::npos || (Slash != std::string_view::npos && Dot < Slash))
    return std::nullopt;
  std::string Extension(Path.substr(Dot + 1));
  for (char& C : Extension)
    if (C >= 'A' && C <= 'Z') C = static_cast<char>(C - 'A' + 'a');
  if (Extension == "pcapng") return TTrafficFormat::tfPcapng;
  if (Extension == "csv") return TTrafficFormat::tfCsv;
  if (Extension == "jsonl" || Extension == "ndjson" || Extension == "json")
    return TTrafficFormat::tfJsonLines;
  return std::nullopt;
}

std::array<std::string, kTableColumns> TableCells(const TTrafficRow& Row) {
  const int64_t WallNs = PduTraceWallNs(Row.MonotonicNs);
  const time_t Seconds = static_cast<time_t>(WallNs / 1000000000);
  tm Local{};
  localtime_r(&Seconds, &Local);
  char Time[48];
  std::snprintf(Time, sizeof Time, "%04d-%02d-%02d %02d:%02d:%02d.%06lld", Local.tm_year + 1900,
                Local.tm_mon + 1, Local.tm_mday, Local.tm_hour, Local.tm_min, Local.tm_sec,
                static_cast<long long>(WallNs % 1000000000 / 1000));
  TTrafficColumns C = TrafficColumns(Row);
  return {Time,
          PduConnectionName(Row.Connection),
          Row.Kind != TPduTraceKind::tkPdu       ? ""
          : Row.Direction == TPduDirection::pdIn ? "in"
                                                 : "out",
          ValidUtf8(C.Command),
          ValidUtf8(C.Sequence),
          ValidUtf8(C.Status),
          ValidUtf8(C.MessageId),
          ValidUtf8(C.Summary)};
}

std::string CsvField(std::string_view Text) {
  if (Text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(Text);
  std::string Out = "\"";
  for (const char C : Text) {
    if (C == '"') Out += '"';
    Out += C;
  }
  Out += '"';
  return Out;
}

std::string JsonString(std::string_view Text) {
  std::string Out = "\"";
  for (size_t I = 0; I < Text.size();) {
    const size_t N = Utf8Length(Text, I);
    if (N == 0) {
      Out += kReplacement;
      ++I;
      continue;
    }
    const auto B = static_cast<uint8_t>(Text[I]);
    // The code point of a control character (two bytes, U+0080..U+009F) or a separator
    // (three, U+2028 and U+2029); other sequences (Code -1) are copied as they are.
    int Code = N == 1 ? B : -1;
    if (N == 2 && B == 0xC2 && static_cast<uint8_t>(Text[I + 1]) < 0xA0)
      Code = static_cast<uint8_t>(Text[I + 1]);
    if (N == 3 && Text.substr(I, 2) == "\xE2\x80" &&
        (Text[I + 2] == '\xA8' || Text[I + 2] == '\xA9'))
      Code = 0x2000 + static_cast<uint8_t>(Text[I + 2]) - 0x80;
    if (Code == '"' || Code == '\\') {
      Out += '\\';
      Out += static_cast<char>(Code);
    } else if (Code == '\n') {
      Out += "\\n";
    } else if (Code == '\r') {
      Out += "\\r";
    } else if (Code == '\t') {
      Out += "\\t";
    } else if (Code >= 0 && (Code < 0x20 || Code >= 0x7F)) {
      char Escape[8];
      std::snprintf(Escape, sizeof Escape, "\\u%04x", static_cast<unsigned>(Code));
      Out += Escape;
    } else {
      Out.append(Text.substr(I, N));
    }
    I += N;
  }
  Out += '"';
  return Out;
}

std::string TableHeaderLine(TTrafficFormat Format) {
  if (Format != TTrafficFormat::tfCsv) return {};
  std::string Line;
  for (const char* Name : kTableColumnNames) {
    if (!Line.empty()) Line += ',';
    Line += Name;
  }
  return Line + "\r\n";
}

std::string TableLine(const TTrafficRow& Row, TTrafficFormat Format) {
  const std::array<std::string, kTableColumns> Cells = TableCells(Row);
  std::string Line;
  if (Format == TTrafficFormat::tfCsv) {
    for (size_t I = 0; I < kTableColumns; ++I) {
      if (I) Line += ',';
      Line += CsvField(Cells[I]);
    }
    return Line + "\r\n";
  }
  Line = "{";
  for (size_t I = 0; I < kTableColumns; ++I) {
    Line += '"';
    Line += kTableColumnNames[I];
    Line += "\":";
    Line += JsonString(Cells[I]);
    Line += ',';
  }
  Line += "\"wall_us\":" + std::to_string(PduTraceWallNs(Row.MonotonicNs) / 1000);
  Line += ",\"bytes\":\"";
  if (Row.Kind == TPduTraceKind::tkPdu) {
    static constexpr char Digits[] = "0123456789abcdef";
    for (const uint8_t B : Row.Pdu()) {
      Line += Digits[B >> 4];
      Line += Digits[B & 15];
    }
  }
  return Line + "\"}\n";
}

std::string TableTsv(const TTrafficStore& Store, const std::vector<size_t>& Rows) {
  std::string Out;
  for (const char* Name : kTableColumnNames) {
    Out += Name;
    Out += Name == kTableColumnNames.back() ? '\n' : '\t';
  }
  for (const size_t R : Rows) {
    std::array<std::string, kTableColumns> Cells = TableCells(Store.Row(R));
    for (size_t I = 0; I < kTableColumns; ++I) {
      for (char& C : Cells[I])
        if (C == '\t' || C == '\r' || C == '\n') C = ' ';
      Out += Cells[I];
      Out += I + 1 == kTableColumns ? '\n' : '\t';
    }
  }
  return Out;
}

std::string WriteTable(const std::string& Path, const TTrafficStore& Store,
                       const std::vector<size_t>& Rows, TTrafficFormat Format) {
  if (Format == TTrafficFormat::tfPcapng) return "a capture is not written as a table";
  size_t Next = 0;
  bool Header = true;
  return WriteLines(Path, [&](std::string& Line) {
    if (Header) {
      Header = false;
      Line = TableHeaderLine(Format);
      return true;
    }
    if (Next >= Rows.size()) return false;
    Line = TableLine(Store.Row(Rows[Next++]), Format);
    return true;
  });
}

std::string WriteTextFile(const std::string& Path, std::string_view Text) {
  bool Done = false;
  return WriteLines(Path, [&](std::string& Line) {
    if (Done) return false;
    Line = Text;
    Done = true;
    return true;
  });
}

std::optional<size_t> PartnerRow(const TTrafficStore& Store, size_t Index) {
  if (Index >= Store.Size()) return std::nullopt;
  const TTrafficRow& Row = Store.Row(Index);
  const std::optional<THeader> Own = HeaderOf(Row);
  if (!Own || Own->Id == kOutbind || Own->Id == kAlertNotification) return std::nullopt;
  const bool Response = IsResponse(Own->Id);
  const auto Boundary = [&](const TTrafficRow& Other) {
    return Other.Connection == Row.Connection && Other.Kind != TPduTraceKind::tkPdu;
  };
  if (!Response) {
    for (size_t I = Index + 1; I < Store.Size(); ++I) {
      const TTrafficRow& Other = Store.Row(I);
      if (Boundary(Other)) break;
      const std::optional<THeader> H = HeaderOf(Other);
      if (!H || Other.Connection != Row.Connection || H->Sequence != Own->Sequence) continue;
      if (Other.Direction == Row.Direction) {
        if (H->Id == Own->Id) break;  // the number used again: this request's answer is lost
        continue;
      }
      if (H->Id == (Own->Id | kGenericNack) || H->Id == kGenericNack) return I;
    }
    return std::nullopt;
  }
  for (size_t I = Index; I-- > 0;) {
    const TTrafficRow& Other = Store.Row(I);
    if (Boundary(Other)) break;
    const std::optional<THeader> H = HeaderOf(Other);
    if (!H || Other.Connection != Row.Connection || Other.Direction == Row.Direction ||
        H->Sequence != Own->Sequence || IsResponse(H->Id))
      continue;
    if (Own->Id == kGenericNack || Own->Id == (H->Id | kGenericNack)) return I;
  }
  return std::nullopt;
}

std::string PartnerLine(const TTrafficStore& Store, size_t Index, std::optional<size_t> Partner) {
  if (Index >= Store.Size()) return {};
  const std::optional<THeader> Own = HeaderOf(Store.Row(Index));
  if (!Own || Own->Id == kOutbind || Own->Id == kAlertNotification) return {};
  const bool Response = IsResponse(Own->Id);
  if (!Partner || *Partner >= Store.Size())
    return Response ? "Its request is not in the table" : "No response in the table";
  const TTrafficRow& Other = Store.Row(*Partner);
  const std::optional<THeader> H = HeaderOf(Other);
  if (!H) return {};
  const int64_t Ns = Other.MonotonicNs - Store.Row(Index).MonotonicNs;
  if (Response) return "Request: " + CommandText(H->Id) + ", " + Interval(Ns) + " earlier";
  return "Response: " + CommandText(H->Id) + ", " + CommandStatusName(H->Status) + ", " +
         Interval(Ns) + " later";
}
