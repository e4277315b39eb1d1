// The PDU trace: one event for every PDU a connection of the client sends or reads, handed to a
// handler the application assigns (a capture writer, a live view), and the clocks its times come
// from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

// Which connection of the client a traced PDU went over: the receiver or the transmitter of a
// pair, or the one transceiver.
enum class TPduConnection : uint8_t { pcRcx, pcTcx, pcTrx };

// Whether the client read the PDU (pdIn) or sent it (pdOut).
enum class TPduDirection : uint8_t { pdIn, pdOut };

// What a trace event tells: a PDU, where a connection's PDUs begin and end, or a connection that
// could not be made. A connection's tkOpened comes before the first PDU it sends (its bind), and
// its tkClosed after the last PDU it read, so that a capture can frame each TCP connection between
// its real endpoints, a reconnect being a new connection. tkFailed tells of a connect that failed
// (refused, timed out, unreachable, a host not found, a TLS handshake that failed): no connection
// was made, so no tkOpened or tkClosed goes with it.
enum class TPduTraceKind : uint8_t { tkPdu, tkOpened, tkClosed, tkFailed };

// The two ends of one TCP connection, IPv4 addresses and ports in host byte order. The local end
// is the client, which opened the connection. All zero when the socket could not tell them.
struct TTcpEndpoints {
  uint32_t LocalAddr = 0;
  uint16_t LocalPort = 0;
  uint32_t RemoteAddr = 0;
  uint16_t RemotePort = 0;
};

// One trace event. For a PDU, Bytes are the client's own buffer and valid only during the
// handler's call: a handler that keeps them copies them. tkOpened carries the connection's
// Endpoints and no bytes; tkClosed carries neither; tkFailed carries the reason in words as its
// Bytes (UTF-8 text, no terminator, valid only during the call like a PDU's), such as
// "connection refused" (see ConnectFailureReason).
struct TPduTraceEvent {
  TPduConnection Connection;
  TPduDirection Direction;
  // PduTraceNowNs when the PDU was sent or read, or the connection opened or closed.
  int64_t MonotonicNs;
  const uint8_t* Bytes;
  size_t Length;
  TPduTraceKind Kind = TPduTraceKind::tkPdu;
  TTcpEndpoints Endpoints{};
};

using TPduTraceHandler = std::function<void(const TPduTraceEvent&)>;

// The trace's clock: the steady clock in nanoseconds, so that times never go back while the
// system's clock is set. Any thread.
int64_t PduTraceNowNs();

// The wall-clock time (nanoseconds since the Unix epoch) of a PduTraceNowNs reading. The offset
// between the two clocks is measured once, on the first call from any thread, so that a trace
// keeps its spacing even when the system's clock is set while it runs. Any thread.
int64_t PduTraceWallNs(int64_t MonotonicNs);
