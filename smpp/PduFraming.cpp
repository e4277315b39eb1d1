// Stream framing: classify the front of a byte stream by its command_length.
#include "smpp/PduFraming.h"

#include "smpp/smpppdu.h"

TPduFrame FramePdu(const uint8_t* Data, size_t Size) noexcept {
  if (Size < 4) return {TFrameResult::frNeedMore, 0};
  const uint32_t Length = GetU32(Data);
  // The length is judged as soon as its four bytes are in, so a stream of garbage is refused at
  // once instead of waiting for bytes that will never complete it.
  if (Length < kMinPduLength || Length > kMaxDroppedPduLength)
    return {TFrameResult::frInvalidLength, Length};
  if (Length > kMaxPduLength)
    return {Size < kMinPduLength ? TFrameResult::frNeedMore : TFrameResult::frTooLong, Length};
  if (Size < Length) return {TFrameResult::frNeedMore, Length};
  return {TFrameResult::frComplete, Length};
}
