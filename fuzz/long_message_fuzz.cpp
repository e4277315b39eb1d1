// Fuzz target of the text codec and long messages: any bytes as a text to code and cut (the parts
// must give the text back, fit a short message and never split a pair), as received user data to
// decode, as a user data header to read, and as a PDU decoded with the GSM alphabet.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "smpp/ConcatJoiner.h"
#include "smpp/LongMessage.h"
#include "smpp/smpppdu.h"

namespace {

constexpr TTextCoding kCodings[] = {TTextCoding::tcBytes, TTextCoding::tcAuto, TTextCoding::tcGsm,
                                    TTextCoding::tcLatin1, TTextCoding::tcUcs2};
constexpr TLongMessageMode kModes[] = {TLongMessageMode::lmSplit, TLongMessageMode::lmUdh,
                                       TLongMessageMode::lmUdh16, TLongMessageMode::lmPayload,
                                       TLongMessageMode::lmSar};

void CheckParts(const TEncodedText& text, TLongMessageMode mode,
                const std::vector<TMessagePart>& parts) {
  const size_t unit = text.Coding == TTextCoding::tcUcs2 ? 2 : 1;
  std::string joined;
  for (const TMessagePart& p : parts) {
    if (p.ShortMessage.size() > 160 && p.Payload.empty()) abort();  // TSubmit holds 160
    if (!p.Payload.empty()) {
      joined += p.Payload;
      continue;
    }
    const std::string_view octets =
        std::string_view(p.ShortMessage).substr(p.ShortMessage.size() - p.Length * unit);
    if (parts.size() > 1 && p.Length > ConcatPartCapacity(text.Coding, mode)) abort();
    // A part never ends on the first half of a pair.
    if (parts.size() > 1 && !octets.empty()) {
      if (text.Coding == TTextCoding::tcGsm) {
        size_t i = 0;
        while (i < octets.size()) i += static_cast<uint8_t>(octets[i]) == kGsmEscape ? 2 : 1;
        if (i != octets.size()) abort();
      } else if (text.Coding == TTextCoding::tcUcs2) {
        const uint8_t high = static_cast<uint8_t>(octets[octets.size() - 2]);
        if (high >= 0xD8 && high <= 0xDB) abort();
      }
    }
    joined += octets;
  }
  if (joined != text.Octets) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const TTextCoding coding = kCodings[data[0] % 5];
  const TLongMessageMode mode = kModes[(data[0] / 5) % 5];
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  TEncodedText encoded;
  std::string error;
  if (EncodeText(text, coding, encoded, error)) {
    // What was coded reads back as the text.
    if (encoded.Coding != TTextCoding::tcBytes &&
        DecodeUserText(reinterpret_cast<const uint8_t*>(encoded.Octets.data()),
                       encoded.Octets.size(), encoded.Coding) != text)
      abort();
    std::vector<TMessagePart> parts;
    if (SplitMessage(encoded, mode, 0x1234, parts, error)) CheckParts(encoded, mode, parts);
  }

  for (TTextCoding c : kCodings) DecodeUserText(data + 1, size - 1, c);
  // The same bytes as a received PDU read with the GSM alphabet: headers, SAR values, user data.
  TPDU pdu;
  TPduCodec::DecodePdu(data + 1, size - 1, size - 1, pdu, TTextCoding::tcGsm);
  size_t headerLength = 0;
  TConcatInfo concat;
  if (ReadUserDataHeader(data + 1, size - 1, headerLength, concat) && headerLength > size - 1)
    abort();
  if (concat.Total != 0) {
    TConcatJoiner joiner;
    std::vector<TConcatJoiner::TDropped> dropped;
    joiner.Add("1", "2", concat, 0, text, TConcatJoiner::TClock::now(), dropped);
  }
  return 0;
}
