// The trace log of the socket stack: a process-wide in-memory ring of the last 512 trace lines,
// each prefixed with the id of the thread that wrote it. Nothing reads it in normal operation; it
// is there to be inspected in a debugger or a core dump. The ring is never destroyed, so threads
// that still trace while the program ends never touch a destroyed object.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Number of lines the ring keeps.
constexpr int32_t TraceRingSize = 512;

// Writes one trace line: "(" + the calling thread's OS id in decimal + ") " + Text. Leaves the
// thread's OS error number (errno) as it was, so callers may trace between an OS call and the
// reading of its error. Callable from any thread at any time, also during program end.
void LogMsg(std::string_view Text);
// The same line given in pieces, written one after the other: a hot path traces without building
// the line first.
void LogMsg(std::string_view A, std::string_view B, std::string_view C = {},
            std::string_view D = {});

// Lines written since program start: line N (counting from 1) goes to slot (N - 1) modulo 512.
// Any thread.
int64_t TraceLineCount();

// Slot of the line written last, -1 before the first line. Any thread.
int32_t TraceIndex();

// How many times writing has started over at slot 0. Any thread.
int32_t TraceWraps();

// A copy of the line in `Slot` (0..511; empty text for a slot never written or out of range).
// For tests and diagnostics. Any thread.
std::string TraceLine(int32_t Slot);

// A copy of line N (counting from 1) into Line, when the ring holds it: false for a line not yet
// written, not yet stored by its writer, or already replaced by line N + 512. For tests and
// diagnostics. Any thread.
bool TraceLineNumber(int64_t Number, std::string& Line);
