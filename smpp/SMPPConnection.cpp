// The connection objects: report texts, the raw-byte store of the last read, published
// properties.
#include "smpp/SMPPConnection.h"

#include <algorithm>
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
  const int32_t Count = std::max(0, std::min({Length, Capacity, BinBufferSize}));
  if (Count > 0) std::memcpy(FBinBuffer, Buffer, static_cast<size_t>(Count));
  FBinLength = Count;
}

int32_t TSMPPConnection::BinLength() const {
  std::lock_guard<std::mutex> Guard(TextLock);
  return FBinLength;
}

std::string TSMPPConnection::GetText(const std::string& Field) const {
  std::lock_guard<std::mutex> Guard(TextLock);
  return Field;
}

void TSMPPConnection::SetText(std::string& Field, const std::string& Value) {
  std::lock_guard<std::mutex> Guard(TextLock);
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
  static constexpr char Digits[] = "0123456789ABCDEF";
  const size_t N = std::min<size_t>(Count, 150);
  std::string Out(N * 3, ' ');
  for (size_t I = 0; I < N; ++I) {
    Out[I * 3] = Digits[Bytes[I] >> 4];
    Out[I * 3 + 1] = Digits[Bytes[I] & 0x0F];
  }
  return Out;
}
