// The options of smppwin: --workbench opens the workbench instead of Form1, --host and --port fill
// the Host and Port edits before the window shows,
// --tls, --tls-ca and --tls-insecure set SmppClient1's TLS settings (the form has no control for
// them), --log names the file that every report line is appended to, --profile loads a profile
// into the workbench (and implies --workbench), --help prints the usage, --version the package
// version.
#pragma once

#include <optional>
#include <string>

class TForm1;
class TWorkbench;

struct TOptions {
  std::optional<std::string> Host;
  std::optional<std::string> Port;
  bool Help = false;
  bool Version = false;
  bool Workbench = false;
  bool Tls = false;
  std::optional<std::string> TlsCA;
  bool TlsInsecure = false;
  std::optional<std::string> Log;
  std::optional<std::string> Profile;
};

// The usage text that --help prints.
const char* UsageText();

// Reads Argv[1..Argc-1] ("--host HOST", "--host=HOST", "--port PORT", "--port=PORT", "--tls",
// "--tls-ca FILE", "--tls-ca=FILE", "--tls-insecure", "--log FILE", "--log=FILE", "--workbench",
// "--profile NAME", "--profile=NAME", "--help", "--version"); --profile sets Workbench too.
// --tls-ca and --tls-insecure need --tls. The log file is opened by the program, not here.
// Gives false with the reason in Error for anything else or a missing value. Any thread.
bool ParseOptions(int Argc, const char* const* Argv, TOptions& Options, std::string& Error);

// Puts the given host and port texts into Form's Host and Port edits, as typed, and the TLS
// options into SmppClient1.ClientInfo. GUI thread.
void ApplyOptions(TForm1& Form, const TOptions& Options);

// The same for the workbench: host and port into its Host and Port fields, the TLS options into
// its TLS controls. GUI thread.
void ApplyOptions(TWorkbench& Workbench, const TOptions& Options);
