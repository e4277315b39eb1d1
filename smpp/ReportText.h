// Report lines as they are shown to a person: on a terminal, in the window's memo, in a log file.
//
// A report line carries text from the network (a short message, a message id, an address), which
// may hold any byte. Shown raw it could end the line early, start a new one, move a terminal's
// cursor or reach the clipboard as something other than what was received. The escaped form is
// one line of valid UTF-8 from which the original bytes can be read back.
//
// Pure functions of their arguments: any thread may call them, several at once.
#pragma once

#include <string>
#include <string_view>

// Line with every byte that could do harm written as an escape:
//
//   backslash                                   \\ (so that an escape is never ambiguous)
//   line feed, carriage return, tab             \n, \r, \t
//   other C0 controls (0x00 is the GSM '@'), DEL \xhh
//   C1 controls U+0080..U+009F                  \xhh per byte of their UTF-8 sequence
//   U+2028, U+2029 (line and paragraph          \xhh per byte; text widgets and many viewers
//   separators)                                 start a new line at them
//   noncharacters U+FDD0..U+FDEF, U+nFFFE,      \xhh per byte; never meant for interchange, and
//   U+nFFFF                                     text widgets use some as internal markers
//   a byte that starts no valid UTF-8 sequence  \xhh
//
// Everything else, printable ASCII and valid UTF-8 included, is kept as it is. Hex digits are
// lower case.
std::string EscapedReportLine(std::string_view Line);
