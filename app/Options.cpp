// The options of smppwin: parsing and applying them to the window.
#include "app/Options.h"

#include <string>
#include <string_view>

#include <QCheckBox>
#include <QLineEdit>

#include "app/Form1.h"
#include "app/workbench/Workbench.h"

const char* UsageText() {
  static const std::string Text =
      "Usage: smppwin [options]\n"
      "Opens the SMPP test client's window.\n\n"
      "  --workbench     open the workbench instead: connection state, every PDU in\n"
      "                  a table, each field inspected beside its bytes\n"
      "  --profile NAME  open the workbench (implies --workbench) with the profile\n"
      "                  NAME loaded instead of the one used last; --host, --port\n"
      "                  and --tls* apply after it\n"
      "  --host HOST     put HOST into the Host edit\n"
      "  --port PORT     put PORT into the Port edit\n"
      "  --tls           bind over TLS, the SMSC's certificate checked against the\n"
      "                  system's store and the host\n"
      "  --tls-ca FILE   with --tls: trust the authorities in this PEM file instead\n"
      "  --tls-insecure  with --tls: do not check the certificate (unsafe)\n"
      "  --log FILE      append every report line, with its local time, to FILE\n"
      "  --help          this text\n"
      "  --version       print the package version\n\n"
      "Everything else comes from the window: Bind, Send and Unbind use what the\n"
      "edits hold when they are pressed. Needs an X display (DISPLAY).\n\n"
      "The memo keeps the newest " +
      std::to_string(TMemoFeed::DefaultMemoLines) +
      " report lines; a line at its top counts those\n"
      "that have left it (--log keeps them all). Control characters and bytes that\n"
      "are not UTF-8 are shown escaped, as smppcli prints them: \\x1b, \\x00, \\n, \\\\.\n";
  return Text.c_str();
}

bool ParseOptions(int Argc, const char* const* Argv, TOptions& Options, std::string& Error) {
  for (int I = 1; I < Argc; ++I) {
    const std::string_view A = Argv[I];
    if (A == "--help" || A == "-h") {
      Options.Help = true;
      continue;
    }
    if (A == "--version") {
      Options.Version = true;
      continue;
    }
    if (A == "--workbench") {
      Options.Workbench = true;
      continue;
    }
    if (A == "--tls" || A == "--tls-insecure") {
      (A == "--tls" ? Options.Tls : Options.TlsInsecure) = true;
      continue;
    }
    std::optional<std::string>* Target = nullptr;
    for (auto [Name, Field] : {std::pair{std::string_view("--host"), &Options.Host},
                               std::pair{std::string_view("--port"), &Options.Port},
                               std::pair{std::string_view("--tls-ca"), &Options.TlsCA},
                               std::pair{std::string_view("--log"), &Options.Log},
                               std::pair{std::string_view("--profile"), &Options.Profile}}) {
      if (A == Name) {
        if (I + 1 >= Argc) {
          Error = std::string(Name) + " needs a value";
          return false;
        }
        *Field = Argv[++I];
        Target = Field;
      } else if (A.substr(0, Name.size() + 1) == std::string(Name) + "=") {
        *Field = std::string(A.substr(Name.size() + 1));
        Target = Field;
      }
    }
    if (!Target) {
      Error = "unknown argument '" + std::string(A) + "'";
      return false;
    }
  }
  if (Options.Profile) Options.Workbench = true;
  if (!Options.Tls && (Options.TlsCA || Options.TlsInsecure)) {
    Error = "--tls-ca and --tls-insecure need --tls";
    return false;
  }
  return true;
}

void ApplyOptions(TForm1& Form, const TOptions& Options) {
  if (Options.Host) Form.Edit4->setText(QString::fromLocal8Bit(*Options.Host));
  if (Options.Port) Form.Edit5->setText(QString::fromLocal8Bit(*Options.Port));
  if (Options.Tls) {
    TSMPPClientInfo& Info = Form.SmppClient1->ClientInfo();
    Info.SetUseTLS(true);
    Info.SetTLSCAFile(Options.TlsCA.value_or(""));
    Info.SetTLSVerifyPeer(!Options.TlsInsecure);
  }
}

void ApplyOptions(TWorkbench& Workbench, const TOptions& Options) {
  if (Options.Host) Workbench.Host->setText(QString::fromLocal8Bit(*Options.Host));
  if (Options.Port) Workbench.Port->setText(QString::fromLocal8Bit(*Options.Port));
  if (Options.Tls) {
    Workbench.Tls->setChecked(true);
    Workbench.TlsCaFile->setText(QString::fromLocal8Bit(Options.TlsCA.value_or("")));
    Workbench.TlsVerify->setChecked(!Options.TlsInsecure);
  }
}
