// The pcapng writer. Blocks are always little-endian, as the section header's byte-order magic
// declares, so that the bytes of a capture do not depend on the host that wrote it. The packets are
// raw IPv4 (link type 101), which tcpdump and Wireshark both read, so no Ethernet header with
// made-up addresses is needed.
#include "inspect/PcapngWriter.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ostream>
#include <stdexcept>

#include "smpp/smpppdu.h"

namespace {

constexpr uint32_t kSectionHeaderBlock = 0x0A0D0D0A;
constexpr uint32_t kInterfaceDescriptionBlock = 1;
constexpr uint32_t kEnhancedPacketBlock = 6;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kLinkTypeRaw = 101;
constexpr uint16_t kOptionEnd = 0;
constexpr uint16_t kOptionUserAppl = 4;  // the section header's shb_userappl
constexpr uint16_t kOptionTsResol = 9;   // the interface's if_tsresol
constexpr uint8_t kMicroseconds = 6;

constexpr size_t kIpHeader = 20;
constexpr size_t kTcpHeader = 20;
constexpr size_t kMssOption = 4;
constexpr uint8_t kProtocolTcp = 6;
constexpr uint8_t kFin = 0x01, kSyn = 0x02, kPsh = 0x08, kAck = 0x10;
// The window both ends announce. Without window scaling it is also the most one side may have
// unacknowledged, so the writer has the peer acknowledge before a segment would pass it.
constexpr uint32_t kWindow = 65535;

void AppendLe16(std::vector<uint8_t>& Out, uint16_t V) {
  Out.push_back(static_cast<uint8_t>(V));
  Out.push_back(static_cast<uint8_t>(V >> 8));
}
void AppendLe32(std::vector<uint8_t>& Out, uint32_t V) {
  AppendLe16(Out, static_cast<uint16_t>(V));
  AppendLe16(Out, static_cast<uint16_t>(V >> 16));
}
void PadTo32Bits(std::vector<uint8_t>& Out) {
  while (Out.size() % 4) Out.push_back(0);
}
void AppendOption(std::vector<uint8_t>& Out, uint16_t Code, const void* Value, size_t Length) {
  AppendLe16(Out, Code);
  AppendLe16(Out, static_cast<uint16_t>(Length));
  const auto* P = static_cast<const uint8_t*>(Value);
  Out.insert(Out.end(), P, P + Length);
  PadTo32Bits(Out);
}

// A block of the given type around Body (padded to 32 bits), both length fields filled in.
std::vector<uint8_t> Block(uint32_t Type, const std::vector<uint8_t>& Body) {
  std::vector<uint8_t> Out;
  const uint32_t Total = static_cast<uint32_t>(12 + (Body.size() + 3) / 4 * 4);
  AppendLe32(Out, Type);
  AppendLe32(Out, Total);
  Out.insert(Out.end(), Body.begin(), Body.end());
  PadTo32Bits(Out);
  AppendLe32(Out, Total);
  return Out;
}

// The Internet checksum's running sum of big-endian 16-bit words, an odd last byte padded.
uint32_t SumWords(const uint8_t* P, size_t Length, uint32_t Sum) {
  for (size_t I = 0; I + 1 < Length; I += 2) Sum += GetU16(P + I);
  if (Length % 2) Sum += uint32_t{P[Length - 1]} << 8;
  return Sum;
}
uint16_t Checksum(uint32_t Sum) {
  while (Sum >> 16) Sum = (Sum & 0xFFFF) + (Sum >> 16);
  return static_cast<uint16_t>(~Sum);
}

}  // namespace

TPcapngWriter::TPcapngWriter(const std::string& Path) : FPath(Path) {
  FFile = std::fopen(Path.c_str(), "wb");
  if (!FFile)
    throw std::runtime_error("cannot create the capture " + Path + ": " + std::strerror(errno));
  try {
    WriteHeaderBlocks();
  } catch (...) {
    std::fclose(FFile);
    throw;
  }
}

TPcapngWriter::TPcapngWriter(std::ostream& Out) : FPath("stream"), FOut(&Out) {
  WriteHeaderBlocks();
}

TPcapngWriter::~TPcapngWriter() {
  if (FFile) std::fclose(FFile);
}

void TPcapngWriter::WriteHeaderBlocks() {
  std::vector<uint8_t> Body;
  AppendLe32(Body, kByteOrderMagic);
  AppendLe16(Body, 1);  // version 1.0
  AppendLe16(Body, 0);
  AppendLe32(Body, 0xFFFFFFFF);  // the section's length is not known in advance
  AppendLe32(Body, 0xFFFFFFFF);
  static constexpr char kUserAppl[] = "SMPP client PDU trace";
  AppendOption(Body, kOptionUserAppl, kUserAppl, sizeof kUserAppl - 1);
  AppendOption(Body, kOptionEnd, nullptr, 0);
  Emit(Block(kSectionHeaderBlock, Body));

  Body.clear();
  AppendLe16(Body, kLinkTypeRaw);
  AppendLe16(Body, 0);
  AppendLe32(Body, 0);  // no snapshot length: every packet is whole
  AppendOption(Body, kOptionTsResol, &kMicroseconds, 1);
  AppendOption(Body, kOptionEnd, nullptr, 0);
  Emit(Block(kInterfaceDescriptionBlock, Body));
}

int TPcapngWriter::AddConnection(const TTcpEndpoints& Endpoints) {
  const int Id = static_cast<int>(FConnections.size());
  TConnection C;
  C.Endpoints = Endpoints;
  // Initial sequence numbers apart from each other and from zero, so that relative and absolute
  // numbers are not confused when a tester compares them.
  C.Local.NextSeq = 0x10000000u + static_cast<uint32_t>(Id) * 0x01000000u;
  C.Remote.NextSeq = 0x80000000u + static_cast<uint32_t>(Id) * 0x01000000u;
  C.Local.IpId = static_cast<uint16_t>(0x1000 + Id * 0x100);
  C.Remote.IpId = static_cast<uint16_t>(0x8000 + Id * 0x100);
  FConnections.push_back(C);
  return Id;
}

TPcapngWriter::TConnection& TPcapngWriter::ConnectionOf(int Connection, int64_t WallTimeUs) {
  if (Connection < 0 || static_cast<size_t>(Connection) >= FConnections.size())
    throw std::invalid_argument("no capture connection " + std::to_string(Connection));
  if (WallTimeUs < 0)
    throw std::invalid_argument("a capture time before 1970: " + std::to_string(WallTimeUs));
  if (FClosed) throw std::invalid_argument("the capture " + FPath + " is closed");
  if (!FError.empty()) throw std::runtime_error(FError);
  return FConnections[static_cast<size_t>(Connection)];
}

void TPcapngWriter::WritePdu(int Connection, bool Outgoing, int64_t WallTimeUs,
                             const uint8_t* Bytes, size_t Length) {
  TConnection& C = ConnectionOf(Connection, WallTimeUs);
  if (C.State == TState::csClosed)
    throw std::invalid_argument("capture connection " + std::to_string(Connection) +
                                " is closed; a new connection needs AddConnection");
  if (Length == 0) return;
  if (C.State == TState::csNew) {
    WriteSegment(C, true, kSyn, WallTimeUs, nullptr, 0);
    WriteSegment(C, false, kSyn | kAck, WallTimeUs, nullptr, 0);
    WriteSegment(C, true, kAck, WallTimeUs, nullptr, 0);
    C.State = TState::csOpen;
  }
  for (size_t Offset = 0; Offset < Length; Offset += kMss) {
    const size_t Chunk = std::min(kMss, Length - Offset);
    const TSide& Sender = Outgoing ? C.Local : C.Remote;
    const TSide& Receiver = Outgoing ? C.Remote : C.Local;
    if (Sender.NextSeq - Receiver.Acked + Chunk > kWindow)
      WriteSegment(C, !Outgoing, kAck, WallTimeUs, nullptr, 0);
    WriteSegment(C, Outgoing, kPsh | kAck, WallTimeUs, Bytes + Offset, Chunk);
  }
}

void TPcapngWriter::CloseConnection(int Connection, int64_t WallTimeUs) {
  TConnection& C = ConnectionOf(Connection, WallTimeUs);
  if (C.State == TState::csOpen) {
    WriteSegment(C, true, kFin | kAck, WallTimeUs, nullptr, 0);
    WriteSegment(C, false, kFin | kAck, WallTimeUs, nullptr, 0);
    WriteSegment(C, true, kAck, WallTimeUs, nullptr, 0);
  }
  C.State = TState::csClosed;
}

void TPcapngWriter::WriteSegment(TConnection& C, bool Outgoing, uint8_t Flags, int64_t WallTimeUs,
                                 const uint8_t* Payload, size_t Length) {
  TSide& Sender = Outgoing ? C.Local : C.Remote;
  const TSide& Receiver = Outgoing ? C.Remote : C.Local;
  const TTcpEndpoints& E = C.Endpoints;
  const uint32_t Source = Outgoing ? E.LocalAddr : E.RemoteAddr;
  const uint32_t Destination = Outgoing ? E.RemoteAddr : E.LocalAddr;
  // The handshake's segments announce the MSS, so that Wireshark knows the segments' room.
  const size_t TcpLength = kTcpHeader + ((Flags & kSyn) ? kMssOption : 0);
  const size_t IpLength = kIpHeader + TcpLength + Length;

  std::vector<uint8_t> Packet(IpLength);
  uint8_t* Ip = Packet.data();
  Ip[0] = 0x45;  // version 4, five words of header
  PutU16(Ip + 2, static_cast<uint16_t>(IpLength));
  PutU16(Ip + 4, Sender.IpId++);
  PutU16(Ip + 6, 0x4000);  // don't fragment
  Ip[8] = 64;              // time to live
  Ip[9] = kProtocolTcp;
  PutU32(Ip + 12, Source);
  PutU32(Ip + 16, Destination);
  PutU16(Ip + 10, Checksum(SumWords(Ip, kIpHeader, 0)));

  uint8_t* Tcp = Ip + kIpHeader;
  PutU16(Tcp, Outgoing ? E.LocalPort : E.RemotePort);
  PutU16(Tcp + 2, Outgoing ? E.RemotePort : E.LocalPort);
  PutU32(Tcp + 4, Sender.NextSeq);
  // The acknowledgement carries everything the peer sent so far; the client's SYN has none.
  const uint32_t Ack = (Flags & kAck) ? Receiver.NextSeq : 0;
  PutU32(Tcp + 8, Ack);
  Tcp[12] = static_cast<uint8_t>(TcpLength / 4 << 4);
  Tcp[13] = Flags;
  PutU16(Tcp + 14, static_cast<uint16_t>(kWindow));
  if (Flags & kSyn) {
    Tcp[20] = 2;  // maximum segment size, four octets
    Tcp[21] = 4;
    PutU16(Tcp + 22, static_cast<uint16_t>(kMss));
  }
  if (Length) std::memcpy(Tcp + TcpLength, Payload, Length);
  uint8_t Pseudo[12] = {};
  PutU32(Pseudo, Source);
  PutU32(Pseudo + 4, Destination);
  Pseudo[9] = kProtocolTcp;
  PutU16(Pseudo + 10, static_cast<uint16_t>(TcpLength + Length));
  PutU16(Tcp + 16, Checksum(SumWords(Tcp, TcpLength + Length, SumWords(Pseudo, 12, 0))));

  if (Flags & kAck) Sender.Acked = Ack;
  Sender.NextSeq += static_cast<uint32_t>(Length) + ((Flags & (kSyn | kFin)) ? 1 : 0);

  std::vector<uint8_t> Body;
  const auto Time = static_cast<uint64_t>(WallTimeUs);
  AppendLe32(Body, 0);  // the one interface
  AppendLe32(Body, static_cast<uint32_t>(Time >> 32));
  AppendLe32(Body, static_cast<uint32_t>(Time));
  AppendLe32(Body, static_cast<uint32_t>(IpLength));  // captured length
  AppendLe32(Body, static_cast<uint32_t>(IpLength));  // length on the wire
  Body.insert(Body.end(), Packet.begin(), Packet.end());
  Emit(Block(kEnhancedPacketBlock, Body));
}

void TPcapngWriter::Emit(const std::vector<uint8_t>& Block) {
  if (!FError.empty()) throw std::runtime_error(FError);
  if (FFile) {
    if (std::fwrite(Block.data(), 1, Block.size(), FFile) != Block.size())
      Fail("cannot write the capture " + FPath + ": " + std::strerror(errno));
  } else if (!FOut->write(reinterpret_cast<const char*>(Block.data()),
                          static_cast<std::streamsize>(Block.size()))) {
    Fail("cannot write the capture stream");
  }
}

void TPcapngWriter::Fail(const std::string& Error) {
  FError = Error;
  throw std::runtime_error(FError);
}

void TPcapngWriter::Close() {
  if (FClosed) return;
  FClosed = true;
  if (FFile) {
    // Buffered blocks reach the disk only now, so a full disk shows here at the latest.
    const bool Flushed = std::fflush(FFile) == 0;
    const int FlushError = errno;
    const bool Closed = std::fclose(FFile) == 0;
    FFile = nullptr;
    if (!FError.empty()) throw std::runtime_error(FError);
    if (!Flushed || !Closed)
      Fail("cannot write the capture " + FPath + ": " +
           std::strerror(Flushed ? errno : FlushError));
  } else {
    if (!FError.empty()) throw std::runtime_error(FError);
    if (!FOut->flush()) Fail("cannot write the capture stream");
  }
}
