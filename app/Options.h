// The options of smppwin: --host and --port fill the Host and Port edits before the window shows,
// --help prints the usage. Nothing else is configured from outside the window.
#pragma once

#include <optional>
#include <string>

class TForm1;

struct TOptions {
  std::optional<std::string> Host;
  std::optional<std::string> Port;
  bool Help = false;
};

// The usage text that --help prints.
const char* UsageText();

// Reads Argv[1..Argc-1] ("--host HOST", "--host=HOST", "--port PORT", "--port=PORT", "--help").
// Gives false with the reason in Error for anything else or a missing value. Any thread.
bool ParseOptions(int Argc, const char* const* Argv, TOptions& Options, std::string& Error);

// Puts the given host and port texts into Form's Host and Port edits, as typed. GUI thread.
void ApplyOptions(TForm1& Form, const TOptions& Options);
