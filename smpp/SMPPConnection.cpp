// The connection objects: report texts, the raw-byte store of the last read, published
// properties.
#include "smpp/SMPPConnection.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "base/DateTimeFormat.h"

TSMPPConnection::TSMPPConnection() : FSocket(std::make_unique<TIcsSocket>(nullptr)) {}

TSMPPConnection::~TSMPPConnection() = default;

void TSMPPConnection::ReadBinData(int32_t& Length, void* Buffer, int32_t Capacity) const {
  std::lock_guard<std::mutex> Guard(TextLock);
  const int32_t Count = std::max(0, std::min(FBinLength, Capacity));
  if (Count > 0) std::memcpy(Buffer, FBinBuffer, static_cast<size_t>(Count));
  Length = Count;
}

void TSMPPConnection::WriteBinData(int32_t Length, const void* Buffer, int32_t Capacity) {
  std::lock_guard<std::mutex> Guard(TextLock);
  // The hex dump still owed is that of the bytes about to be replaced.
  MakeHexDump();
  const int32_t Count = std::max(0, std::min({Length, Capacity, BinBufferSize}));
  if (Count > 0) std::memcpy(FBinBuffer, Buffer, static_cast<size_t>(Count));
  FBinLength = Count;
}

int32_t TSMPPConnection::BinLength() const {
  std::lock_guard<std::mutex> Guard(TextLock);
  return FBinLength;
}

void TSMPPConnection::SetRead(const uint8_t* Bytes, size_t Length) {
  std::lock_guard<std::mutex> Guard(TextLock);
  const size_t Count = std::min<size_t>(Length, BinBufferSize);
  if (Count > 0) std::memcpy(FBinBuffer, Bytes, Count);
  FBinLength = static_cast<int32_t>(Count);
  // The dump is made from the stored bytes when it is first asked for: most reads of a load run
  // are never looked at as text. The store holds at least the 150 bytes the dump shows.
  FBinData.clear();
  FHexDumpOwed = Count > 0;
}

void TSMPPConnection::MakeHexDump() const {
  if (!FHexDumpOwed) return;
  HexDumpInto(FBinData, FBinBuffer, static_cast<size_t>(FBinLength));
  FHexDumpOwed = false;
}

int32_t TSMPPConnection::ReadReportedBytes(void* Buffer, int32_t Capacity) const {
  std::lock_guard<std::mutex> Guard(TextLock);
  if (FBinData.empty() && !FHexDumpOwed) return 0;
  const int32_t Count = std::max(0, std::min(FBinLength, Capacity));
  if (Count > 0) std::memcpy(Buffer, FBinBuffer, static_cast<size_t>(Count));
  return Count;
}

void TSMPPConnection::SetReportText(std::string_view Prefix, std::string_view Rest) {
  std::lock_guard<std::mutex> Guard(TextLock);
  FData.assign(Prefix).append(Rest);
}

void TSMPPConnection::SetReportLine(std::string_view Line) {
  std::lock_guard<std::mutex> Guard(TextLock);
  FData.assign(Line);
}

void TSMPPConnection::ClearReport() {
  FReadTimeNs.store(0, std::memory_order_relaxed);
  std::lock_guard<std::mutex> Guard(TextLock);
  FBinData.clear();
  FHexDumpOwed = false;
  FData.clear();
}

std::string TSMPPConnection::GetText(const std::string& Field) const {
  std::lock_guard<std::mutex> Guard(TextLock);
  if (&Field == &FBinData) MakeHexDump();
  return Field;
}

void TSMPPConnection::SetText(std::string& Field, const std::string& Value) {
  std::lock_guard<std::mutex> Guard(TextLock);
  if (&Field == &FBinData) FHexDumpOwed = false;
  Field = Value;
}

TSMPPConnectionRcx::TSMPPConnectionRcx() {
  TDateTimeFormats Formats = DefaultDateTimeFormats();
  Formats.ShortDateFormat = "mmddyyyy";
  Formats.LongTimeFormat = "hhmmss";
  Formats.DateSeparator = '\0';
  Formats.TimeSeparator = '\0';
  SetDefaultDateTimeFormats(Formats);
}

void TSMPPConnectionRcx::PublishProperties(TPublishedProperties& Props) {
  Props.Integer(
      "rcxTimerInterval", [this] { return rcxTimerInterval(); },
      [this](int32_t V) { Set_rcxTimerInterval(V); }, 10);
  Props.Integer(
      "rcxIdle", [this] { return rcxIdle(); }, [this](int32_t V) { Set_rcxIdle(V); }, 10);
  Props.Integer(
      "cmd_seq", [this] { return cmd_seq(); }, [this](int32_t V) { Set_cmd_seq(V); }, -1);
  Props.Text(
      "rcxData", [this] { return rcxData(); }, [this](const std::string& V) { Set_rcxData(V); });
  Props.Text(
      "rcxBinData", [this] { return rcxBinData(); },
      [this](const std::string& V) { Set_rcxBinData(V); });
}

void TSMPPConnectionTcx::PublishProperties(TPublishedProperties& Props) {
  Props.Integer(
      "tcxIdle", [this] { return tcxIdle(); }, [this](int32_t V) { Set_tcxIdle(V); }, 10);
  Props.Integer(
      "cmd_seq", [this] { return cmd_seq(); }, [this](int32_t V) { Set_cmd_seq(V); }, -1);
  Props.Integer(
      "tcxTimerInterval", [this] { return tcxTimerInterval(); },
      [this](int32_t V) { Set_tcxTimerInterval(V); }, 10);
  Props.Text(
      "tcxData", [this] { return tcxData(); }, [this](const std::string& V) { Set_tcxData(V); });
  Props.Text(
      "tcxBinData", [this] { return tcxBinData(); },
      [this](const std::string& V) { Set_tcxBinData(V); });
}

std::string HexDump(const uint8_t* Bytes, size_t Count) {
  std::string Out;
  HexDumpInto(Out, Bytes, Count);
  return Out;
}

void HexDumpInto(std::string& Out, const uint8_t* Bytes, size_t Count) {
  // "XX " and one spare byte for every byte value, made once: each byte is written as four, the
  // fourth overwritten by the next byte's (or cut off at the end).
  static const auto Table = [] {
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::array<std::array<char, 4>, 256> T{};
    for (size_t B = 0; B < 256; ++B) T[B] = {Digits[B >> 4], Digits[B & 0x0F], ' ', ' '};
    return T;
  }();
  const size_t N = std::min<size_t>(Count, 150);
  Out.resize(N * 3 + 1);
  char* P = Out.data();
  for (size_t I = 0; I < N; ++I, P += 3) std::memcpy(P, Table[Bytes[I]].data(), 4);
  Out.resize(N * 3);
}
