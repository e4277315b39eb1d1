// Stream framing: classify the front of a byte stream by its command_length.
#include "smpp/PduFraming.h"

#include "smpp/smpppdu.h"

TPduFrame FramePdu(const uint8_t* data, size_t size) noexcept {
  if (size < 4) return {TFrameResult::frNeedMore, 0};
  const uint32_t length = GetU32(data);
  // The length is judged as soon as its four bytes are in, so a stream of garbage is refused at
  // once instead of waiting for bytes that will never complete it.
  if (length < kMinPduLength || length > kMaxDroppedPduLength)
    return {TFrameResult::frInvalidLength, length};
  if (length > kMaxPduLength)
    return {size < kMinPduLength ? TFrameResult::frNeedMore : TFrameResult::frTooLong, length};
  if (size < length) return {TFrameResult::frNeedMore, length};
  return {TFrameResult::frComplete, length};
}
