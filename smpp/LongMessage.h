// Long messages: how an encoded text that does not fit one short message is cut into parts, and
// how the parts say that they belong together (a user data header with an 8-bit or 16-bit
// reference, SAR optional parameters, or one message_payload), plus the plan of what Send submits.
//
// Pure like the text codec: any thread may call these functions, several at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "smpp/TextCoding.h"

// How a message that does not fit one short message is sent.
//
//   lmSplit    the text cut to 160 characters and sent as independent short messages of at most
//              one message's length each, no header (the client's behaviour before concatenation)
//   lmUdh      concatenated parts, each with a user data header holding an 8-bit reference
//              (information element 0x00) and the UDHI bit in esm_class
//   lmUdh16    the same with a 16-bit reference (information element 0x08)
//   lmPayload  one submit_sm whose message_payload holds the whole text; short_message is empty
//   lmSar      concatenated parts tied by the optional parameters sar_msg_ref_num,
//              sar_total_segments and sar_segment_seqnum
enum class TLongMessageMode : uint8_t { lmSplit, lmUdh, lmUdh16, lmPayload, lmSar };

std::string_view LongMessageModeIdent(TLongMessageMode Mode) noexcept;  // "lmUdh"
std::optional<TLongMessageMode> LongMessageModeFromIdent(std::string_view Ident) noexcept;
std::string_view LongMessageModeWord(TLongMessageMode Mode) noexcept;  // "udh"
std::optional<TLongMessageMode> LongMessageModeFromWord(std::string_view Word) noexcept;

// Information elements of concatenation in a user data header.
inline constexpr uint8_t kIeConcat8 = 0x00;
inline constexpr uint8_t kIeConcat16 = 0x08;
// Optional parameter tags.
inline constexpr uint16_t kTagSarMsgRefNum = 0x020C;
inline constexpr uint16_t kTagSarTotalSegments = 0x020E;
inline constexpr uint16_t kTagSarSegmentSeqnum = 0x020F;

// A concatenated message has at most 255 parts (the count is one octet).
inline constexpr size_t kMaxParts = 255;
// The longest message_payload sent: what fits one outgoing PDU with room for its fields.
inline constexpr size_t kMaxPayloadOctets = 9000;

// One short message of a text.
struct TMessagePart {
  // The short message: the user data header, if any, then the text's octets of this part. Empty
  // for a message_payload.
  std::string ShortMessage;
  // lmPayload: the whole text's octets.
  std::string Payload;
  uint8_t EsmClass = 0;
  // lmSar: the three SAR values (Total 0 means none are sent).
  uint16_t SarRef = 0;
  uint8_t SarTotal = 0;
  uint8_t SarSeq = 0;
  // The text's length in this part, in the unit its coding counts (TEncodedText::Units).
  size_t Length = 0;
};

// The most text of one short message: single (alone, without header) or as one of several parts
// in Mode, in the unit of the coding.
size_t SinglePartCapacity(TTextCoding Coding) noexcept;
size_t ConcatPartCapacity(TTextCoding Coding, TLongMessageMode Mode) noexcept;

// Cuts Text into Parts by Mode, all parts of one message carrying Reference (only its low 8 bits
// with lmUdh). A text that fits one short message is one part without header in every mode.
// Parts never end inside a GSM escape pair nor inside a UTF-16 surrogate pair. False, with Error
// set, when the text needs more than kMaxParts parts or more than kMaxPayloadOctets of payload.
bool SplitMessage(const TEncodedText& Text, TLongMessageMode Mode, uint16_t Reference,
                  std::vector<TMessagePart>& Parts, std::string& Error);

// True when the parts of this mode are tied by a reference.
inline bool ModeUsesReference(TLongMessageMode Mode) noexcept {
  return Mode == TLongMessageMode::lmUdh || Mode == TLongMessageMode::lmUdh16 ||
         Mode == TLongMessageMode::lmSar;
}

// What Send submits for a message text: the text (with lmSplit first cut to 160 characters, bytes
// for tcBytes and characters otherwise) followed by Trailer, encoded in Coding and split by Mode.
struct TMessagePlan {
  TEncodedText Text;
  std::vector<TMessagePart> Parts;
};
bool PlanMessage(std::string_view Text, std::string_view Trailer, TTextCoding Coding,
                 TLongMessageMode Mode, uint16_t Reference, TMessagePlan& Plan, std::string& Error);

// A concatenation found in received user data or optional parameters.
struct TConcatInfo {
  uint16_t Reference = 0;
  uint8_t Total = 0;  // 0: the message is not part of a concatenated one
  uint8_t Seq = 0;
};

// Reads a user data header at the start of UserData (whose first octet is its length): the
// concatenation element (0x00 or 0x08) if it has one, and the length of the whole header with its
// length octet in HeaderLength. False when the header runs past the data; elements that run past
// the header end the walk.
bool ReadUserDataHeader(const uint8_t* UserData, size_t Count, size_t& HeaderLength,
                        TConcatInfo& Concat);
