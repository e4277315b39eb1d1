// Fuzz target of the PDU decoder, the receiver's report line and the stream framing: any bytes, as
// one read and as a stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "smpp/smppclient.h"
#include "smpp/smpppdu.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The whole input as one read, with the read's size as both capacity and count received, so
  // that any read past the input shows as a heap overflow. The report line walks every decoded
  // field (receipt labels, optional parameters, user data header, UCS-2).
  TPDU pdu;
  TPduCodec::DecodePdu(data, size, size, pdu);
  const std::string line = RcxDeliverLine(pdu, "12062026 143005");
  if (pdu.message_id.size() > kMaxMessageIdLength) abort();
  // A receipt read where it lies, as a load run reads it, says what the decoder says.
  TReceiptFields receipt;
  if (DecodeReceiptFields(data, size, receipt) &&
      (!IsReceipt(pdu.deliver.esm_class) || receipt.Id != pdu.deliver.receipt_ref ||
       receipt.Stat != pdu.deliver.receipt_stat || receipt.Err != pdu.deliver.receipt_err))
    abort();

  // The same bytes as a stream: every complete PDU at its front is decoded on its own, as a
  // connection does; a PDU too long to take is stepped over; a length the framing refuses ends the
  // stream.
  size_t offset = 0;
  while (offset < size) {
    const TPduFrame frame = FramePdu(data + offset, size - offset);
    if (frame.Result == TFrameResult::frTooLong) {
      if (frame.Length <= kMaxPduLength || frame.Length > kMaxDroppedPduLength ||
          size - offset < kMinPduLength)
        abort();
      offset += std::min<size_t>(frame.Length, size - offset);
      continue;
    }
    if (frame.Result != TFrameResult::frComplete) break;
    if (frame.Length < kMinPduLength || frame.Length > size - offset) abort();
    TPDU framed;
    TPduCodec::DecodePdu(data + offset, frame.Length, frame.Length, framed);
    if (framed.command_length != frame.Length) abort();
    offset += frame.Length;
  }
  return 0;
}
