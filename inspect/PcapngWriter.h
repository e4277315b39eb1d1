// Captures of traced PDUs in the pcapng format, so that Wireshark, tshark and tcpdump show the
// client's own traffic as ordinary SMPP over TCP. A trace knows the endpoints, the direction, the
// time and the PDU's bytes; the IPv4 and TCP framing around them is made up here, complete with a
// handshake, consistent sequence and acknowledgement numbers and correct checksums, so that the
// tools' stream analysis finds nothing to complain about.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iosfwd>
#include <string>
#include <vector>

#include "smpp/PduTrace.h"

// Writes one capture: a section header, one raw IPv4 interface with microsecond time stamps, then
// one packet block per TCP segment. Not thread-safe: one thread at a time calls it.
//
// Errors: a file that cannot be created, written or closed throws std::runtime_error naming the
// file and the reason; after a failed write every later call throws the same error, since the
// file lacks a block. Calls that break the rules (an unknown connection, a PDU on a closed one, a
// time before 1970) throw std::invalid_argument and write nothing.
class TPcapngWriter {
 public:
  // Creates or truncates the file at Path and writes the capture's header blocks.
  explicit TPcapngWriter(const std::string& Path);
  // Writes to Out, which outlives the writer; a stream that fails throws as a file does.
  explicit TPcapngWriter(std::ostream& Out);
  // Closes the file if Close was not called. An error at that point cannot be reported, so a
  // caller who wants to know calls Close.
  ~TPcapngWriter();
  TPcapngWriter(const TPcapngWriter&) = delete;
  TPcapngWriter& operator=(const TPcapngWriter&) = delete;

  // Registers a connection and returns its id for the calls below. Connections may be added at
  // any time: a receiver beside a transmitter, or the same session again after a reconnect (with
  // its new local port). Nothing is written until the connection's first PDU.
  int AddConnection(const TTcpEndpoints& Endpoints);
  // Writes one PDU sent (Outgoing) or received on the connection at WallTimeUs, microseconds since
  // 1970. The connection's first PDU is preceded by its handshake. A PDU longer than one segment
  // is split over several, all with the same time stamp.
  void WritePdu(int Connection, bool Outgoing, int64_t WallTimeUs, const uint8_t* Bytes,
                size_t Length);
  // Writes the connection's closing exchange (the client's FIN first). A connection that carried
  // no PDU has nothing to close; closing twice does nothing.
  void CloseConnection(int Connection, int64_t WallTimeUs);
  // Flushes and closes the file, throwing if any of the capture could not be written.
  void Close();

  // The largest payload of one segment: the MSS both ends announce in the handshake.
  static constexpr size_t kMss = 1460;

 private:
  enum class TState : uint8_t { csNew, csOpen, csClosed };
  // One direction of a connection.
  struct TSide {
    uint32_t NextSeq = 0;  // the sequence number of the next byte this side sends
    uint32_t Acked = 0;    // the peer's sequence number this side acknowledged last
    uint16_t IpId = 0;     // the IPv4 identification of this side's next packet
  };
  struct TConnection {
    TTcpEndpoints Endpoints;
    TSide Local, Remote;
    TState State = TState::csNew;
  };

  TConnection& ConnectionOf(int Connection, int64_t WallTimeUs);
  void WriteSegment(TConnection& C, bool Outgoing, uint8_t Flags, int64_t WallTimeUs,
                    const uint8_t* Payload, size_t Length);
  void WriteHeaderBlocks();
  void Emit(const std::vector<uint8_t>& Block);
  [[noreturn]] void Fail(const std::string& Error);

  std::string FPath;
  std::FILE* FFile = nullptr;
  std::ostream* FOut = nullptr;
  std::string FError;
  bool FClosed = false;
  std::vector<TConnection> FConnections;
};
