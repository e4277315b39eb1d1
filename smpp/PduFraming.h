// Stream framing: where the next PDU ends in a byte stream read from a connection.
#pragma once

#include <cstddef>
#include <cstdint>

// The smallest and largest command_length the client takes: a bare header, and the size of one
// read.
inline constexpr uint32_t kMinPduLength = 16;
inline constexpr uint32_t kMaxPduLength = 10000;

enum class TFrameResult {
  frComplete,       // a whole PDU of Length bytes is at the front of the stream
  frNeedMore,       // the stream holds the start of a PDU only; wait for more bytes
  frInvalidLength,  // command_length (in Length) is below 16 or above 10000: the stream cannot be
                    // resynchronised
};

struct TPduFrame {
  TFrameResult Result;
  // frComplete: the PDU's length; frInvalidLength: the command_length read; frNeedMore: the
  // command_length once its four bytes are there, else 0.
  uint32_t Length;
};

// Looks at the front of a byte stream of size bytes. Pure; callable from any thread.
TPduFrame FramePdu(const uint8_t* data, size_t size) noexcept;
