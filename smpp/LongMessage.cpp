// Long messages: part capacities, the cutting of encoded texts into parts with their headers or
// SAR values, the plan of Send, and the reading of a received user data header.
#include "smpp/LongMessage.h"

#include "smpp/smpppdu.h"

namespace {

struct TModeName {
  TLongMessageMode Mode;
  std::string_view Ident, Word;
};
constexpr TModeName kModeNames[] = {
    {TLongMessageMode::lmSplit, "lmSplit", "split"},
    {TLongMessageMode::lmUdh, "lmUdh", "udh"},
    {TLongMessageMode::lmUdh16, "lmUdh16", "udh16"},
    {TLongMessageMode::lmPayload, "lmPayload", "payload"},
    {TLongMessageMode::lmSar, "lmSar", "sar"},
};

// The number of octets of one unit of the coding.
size_t UnitOctets(TTextCoding coding) {
  return coding == TTextCoding::tcUcs2 ? 2 : 1;
}

// The end of the part that starts at octet begin and may hold up to capacity units: never after
// the first septet of a GSM escape pair nor after the high half of a surrogate pair.
size_t PartEnd(const TEncodedText& text, size_t begin, size_t capacity) {
  const std::string& o = text.Octets;
  size_t end = begin + capacity * UnitOctets(text.Coding);
  if (end >= o.size()) return o.size();
  if (text.Coding == TTextCoding::tcGsm) {
    // Pairs are read from the start of the part, so an escape that is itself the second septet
    // of a pair is never taken for the start of one.
    size_t i = begin;
    while (i < end) i += static_cast<uint8_t>(o[i]) == kGsmEscape ? 2 : 1;
    if (i > end) --end;
  } else if (text.Coding == TTextCoding::tcUcs2) {
    const unsigned high = static_cast<uint8_t>(o[end - 2]);
    if (high >= 0xD8 && high <= 0xDB) end -= 2;
  }
  return end;
}

std::string UserDataHeader(TLongMessageMode mode, uint16_t reference, size_t total, size_t seq) {
  std::string h;
  if (mode == TLongMessageMode::lmUdh16) {
    h = {0x06, static_cast<char>(kIeConcat16), 0x04, static_cast<char>(reference >> 8),
         static_cast<char>(reference & 0xFF)};
  } else {
    h = {0x05, static_cast<char>(kIeConcat8), 0x03, static_cast<char>(reference & 0xFF)};
  }
  h += static_cast<char>(total);
  h += static_cast<char>(seq);
  return h;
}

}  // namespace

std::string_view LongMessageModeIdent(TLongMessageMode mode) noexcept {
  for (const TModeName& n : kModeNames)
    if (n.Mode == mode) return n.Ident;
  return kModeNames[0].Ident;
}

std::optional<TLongMessageMode> LongMessageModeFromIdent(std::string_view ident) noexcept {
  for (const TModeName& n : kModeNames)
    if (n.Ident == ident) return n.Mode;
  return std::nullopt;
}

std::string_view LongMessageModeWord(TLongMessageMode mode) noexcept {
  for (const TModeName& n : kModeNames)
    if (n.Mode == mode) return n.Word;
  return kModeNames[0].Word;
}

std::optional<TLongMessageMode> LongMessageModeFromWord(std::string_view word) noexcept {
  for (const TModeName& n : kModeNames)
    if (n.Word == word) return n.Mode;
  return std::nullopt;
}

size_t SinglePartCapacity(TTextCoding coding) noexcept {
  switch (coding) {
    case TTextCoding::tcLatin1:
      return 140;
    case TTextCoding::tcUcs2:
      return 70;
    default:
      return 160;  // septets
  }
}

size_t ConcatPartCapacity(TTextCoding coding, TLongMessageMode mode) noexcept {
  if (mode == TLongMessageMode::lmSplit || mode == TLongMessageMode::lmPayload)
    return SinglePartCapacity(coding);
  // A header of 6 octets (7 with a 16-bit reference) takes its room from the 140 octets of a
  // short message: 7 (8) septets of the 160. SAR parts leave the same room, so that an SMSC can
  // put the header in front when it delivers them.
  const bool wide = mode == TLongMessageMode::lmUdh16;
  switch (coding) {
    case TTextCoding::tcLatin1:
      return wide ? 133 : 134;
    case TTextCoding::tcUcs2:
      return wide ? 66 : 67;
    default:
      return wide ? 152 : 153;
  }
}

bool SplitMessage(const TEncodedText& text, TLongMessageMode mode, uint16_t reference,
                  std::vector<TMessagePart>& parts, std::string& error) {
  parts.clear();
  error.clear();
  if (text.Units() <= SinglePartCapacity(text.Coding)) {
    parts.push_back(TMessagePart{.ShortMessage = text.Octets,
                                 .Payload = {},
                                 .EsmClass = 0,
                                 .SarRef = 0,
                                 .SarTotal = 0,
                                 .SarSeq = 0,
                                 .Length = text.Units()});
    return true;
  }
  if (mode == TLongMessageMode::lmPayload) {
    if (text.Octets.size() > kMaxPayloadOctets) {
      error = "the message has " + std::to_string(text.Octets.size()) + " octets, more than the " +
              std::to_string(kMaxPayloadOctets) + " one message_payload carries";
      return false;
    }
    parts.push_back(TMessagePart{.ShortMessage = {},
                                 .Payload = text.Octets,
                                 .EsmClass = 0,
                                 .SarRef = 0,
                                 .SarTotal = 0,
                                 .SarSeq = 0,
                                 .Length = text.Units()});
    return true;
  }
  const size_t capacity = ConcatPartCapacity(text.Coding, mode);
  std::vector<std::pair<size_t, size_t>> cuts;
  for (size_t begin = 0; begin < text.Octets.size();) {
    const size_t end = PartEnd(text, begin, capacity);
    cuts.emplace_back(begin, end);
    begin = end;
  }
  if (mode != TLongMessageMode::lmSplit && cuts.size() > kMaxParts) {
    error = "the message needs " + std::to_string(cuts.size()) + " parts, more than the " +
            std::to_string(kMaxParts) + " of a concatenated message";
    return false;
  }
  const size_t total = cuts.size();
  for (size_t i = 0; i < total; ++i) {
    TMessagePart part;
    const std::string_view octets =
        std::string_view(text.Octets).substr(cuts[i].first, cuts[i].second - cuts[i].first);
    part.Length = octets.size() / UnitOctets(text.Coding);
    if (mode == TLongMessageMode::lmUdh || mode == TLongMessageMode::lmUdh16) {
      part.ShortMessage = UserDataHeader(mode, reference, total, i + 1);
      part.EsmClass = kEsmUdhi;
    } else if (mode == TLongMessageMode::lmSar) {
      part.SarRef = reference;
      part.SarTotal = static_cast<uint8_t>(total);
      part.SarSeq = static_cast<uint8_t>(i + 1);
    }
    part.ShortMessage.append(octets);
    parts.push_back(std::move(part));
  }
  return true;
}

bool PlanMessage(std::string_view text, std::string_view trailer, TTextCoding coding,
                 TLongMessageMode mode, uint16_t reference, TMessagePlan& plan,
                 std::string& error) {
  plan = TMessagePlan{};
  std::string message;
  if (mode == TLongMessageMode::lmSplit)
    message = text.substr(0, coding == TTextCoding::tcBytes ? 160 : Utf8Prefix(text, 160));
  else
    message = text;
  message += trailer;
  if (!EncodeText(message, coding, plan.Text, error)) return false;
  return SplitMessage(plan.Text, mode, reference, plan.Parts, error);
}

bool ReadUserDataHeader(const uint8_t* userData, size_t count, size_t& headerLength,
                        TConcatInfo& concat) {
  concat = TConcatInfo{};
  headerLength = 0;
  if (count == 0 || size_t{userData[0]} + 1 > count) return false;
  headerLength = size_t{userData[0]} + 1;
  for (size_t i = 1; i + 2 <= headerLength;) {
    const uint8_t element = userData[i];
    const size_t length = userData[i + 1];
    const uint8_t* v = userData + i + 2;
    if (i + 2 + length > headerLength) break;
    TConcatInfo found;
    if (element == kIeConcat8 && length == 3) {
      found = {v[0], v[1], v[2]};
    } else if (element == kIeConcat16 && length == 4) {
      found = {GetU16(v), v[2], v[3]};
    }
    // A part number of 0 or past the count ties nothing together.
    if (found.Total != 0 && found.Seq != 0 && found.Seq <= found.Total) concat = found;
    i += 2 + length;
  }
  return true;
}
