// Stream framing: where the next PDU ends in a byte stream read from a connection.
#pragma once

#include <cstddef>
#include <cstdint>

// The smallest and largest command_length the client takes: a bare header, and the size of one
// read.
inline constexpr uint32_t kMinPduLength = 16;
inline constexpr uint32_t kMaxPduLength = 10000;
// The largest command_length that is still a PDU, one too long to take: its bytes are read through
// and dropped (a data_sm with a large message_payload). Anything longer is a broken stream.
inline constexpr uint32_t kMaxDroppedPduLength = 65536;

enum class TFrameResult {
  frComplete,       // a whole PDU of Length bytes is at the front of the stream
  frNeedMore,       // the stream holds the start of a PDU only; wait for more bytes
  frTooLong,        // a PDU of Length bytes (above 10000, at most 65536) whose whole header is at
                    // the front: too long to take, its bytes are to be read through and dropped
  frInvalidLength,  // command_length (in Length) is below 16 or above 65536: the stream cannot be
                    // resynchronised
};

struct TPduFrame {
  TFrameResult Result;
  // frComplete, frTooLong: the PDU's length; frInvalidLength: the command_length read;
  // frNeedMore: the command_length once its four bytes are there, else 0.
  uint32_t Length;
};

// Looks at the front of a byte stream of Size bytes. Pure; callable from any thread.
TPduFrame FramePdu(const uint8_t* Data, size_t Size) noexcept;
