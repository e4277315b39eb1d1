// The composer's live line: what a message text becomes in a coding and a long-message mode, said
// in one line under the text ("2 parts · GSM · 153 + 47 septets"), and the characters the coding
// cannot carry, placed so that a text editor can mark them before anything is sent.
//
// Pure: any thread may call it, several at once.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "smpp/LongMessage.h"
#include "smpp/TextCoding.h"

// A stretch of the text, in UTF-16 code units (what a QString and a QTextCursor count): a
// character outside the Basic Multilingual Plane is two of them.
struct TTextSpan {
  size_t Position = 0;
  size_t Length = 0;
  friend bool operator==(const TTextSpan&, const TTextSpan&) = default;
};

struct TComposerText {
  // True when the text can be sent as it is: every character fits the coding and the parts fit
  // their limits.
  bool Ok = false;
  // The line under the text, for example
  //   "2 parts · GSM · 153 + 47 septets"       concatenated (lmUdh, lmUdh16, lmSar)
  //   "3 messages · GSM · 160 × 2 + 12 septets" independent short messages (lmSplit)
  //   "1 message · payload · UCS-2 · 300 octets" one message_payload
  //   "1 part · UCS-2 · 12 characters"
  // Runs of equal part lengths are written "153 × 11". GSM counts septets, Latin-1 and UCS-2
  // characters (UCS-2: UTF-16 code units), bytes octets. Empty when the text cannot be sent.
  std::string Line;
  // Why the text cannot be sent: the first character that does not fit (as EncodeText says it), or
  // the parts or payload past their limit (as SplitMessage says it). Empty when Ok.
  std::string Error;
  // Every character the coding cannot carry, and every byte that is not valid UTF-8, in order.
  std::vector<TTextSpan> Unfit;
  // The coding the text goes in (tcAuto resolved), and the number of short messages.
  TTextCoding Coding = TTextCoding::tcBytes;
  size_t Parts = 0;
};

// The line and checks of Text (UTF-8) in Coding and Mode, by EncodeText and SplitMessage.
TComposerText ComposeText(std::string_view Text, TTextCoding Coding, TLongMessageMode Mode);
