// A file written whole or not at all: what a script reads is an earlier file or the whole new one,
// never an empty or a half-written one, and a program killed while it runs leaves none.
#pragma once

#include <string>

// Readies Path for WriteWholeFile at the start of a program: its folder must take a new file
// (one is made and removed again), and a regular file of that name, which the program is about to
// replace, is removed now, so that a program killed before the end leaves none. A Path that is no
// regular file (/dev/stdout, a pipe) is left as it is. False, with the reason, when the folder
// takes no file. Any thread.
bool PrepareWholeFile(const std::string& Path, std::string& Why);

// Writes Text into a new file beside Path (".NAME.XXXXXX" in the same folder), flushes it to the
// disk and renames it to Path. A Path that exists and is no regular file is written directly.
// False, with the reason, when any step fails; the file beside it is then removed. Any thread.
bool WriteWholeFile(const std::string& Path, const std::string& Text, std::string& Why);
