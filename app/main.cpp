// smppwin: the SMPP test client's window. Starts the application, creates Form1 from its form
// resource, fills Host and Port from --host and --port when given, and runs the event loop until
// the window is closed; the form and SmppClient1 are destroyed on the way out.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "app/Form1.h"
#include "app/GuiWakeup.h"
#include "base/FormText.h"
#include "base/MainThreadQueue.h"

namespace {

void Usage(FILE* Out) {
  std::fprintf(Out,
               "Usage: smppwin [--host HOST] [--port PORT]\n"
               "Opens the SMPP test client's window.\n\n"
               "  --host HOST   put HOST into the Host edit\n"
               "  --port PORT   put PORT into the Port edit\n"
               "  --help        this text\n\n"
               "Everything else comes from the window: Bind, Send and Unbind use what the\n"
               "edits hold when they are pressed. Needs an X display (DISPLAY).\n");
}

struct TOptions {
  const char* Host = nullptr;
  const char* Port = nullptr;
};

// Gives 0 to go on, or the exit status to end with.
int ParseOptions(int Argc, char** Argv, TOptions& O) {
  for (int I = 1; I < Argc; ++I) {
    const char* A = Argv[I];
    const char** Target = nullptr;
    size_t NameLength = 0;
    if (std::strcmp(A, "--help") == 0 || std::strcmp(A, "-h") == 0) {
      Usage(stdout);
      return -1;
    }
    if (std::strncmp(A, "--host", 6) == 0 && (A[6] == 0 || A[6] == '=')) {
      Target = &O.Host;
      NameLength = 6;
    } else if (std::strncmp(A, "--port", 6) == 0 && (A[6] == 0 || A[6] == '=')) {
      Target = &O.Port;
      NameLength = 6;
    } else {
      std::fprintf(stderr, "smppwin: unknown argument '%s'\n\n", A);
      Usage(stderr);
      return 2;
    }
    if (A[NameLength] == '=') {
      *Target = A + NameLength + 1;
    } else if (I + 1 < Argc) {
      *Target = Argv[++I];
    } else {
      std::fprintf(stderr, "smppwin: %s needs a value\n", A);
      return 2;
    }
  }
  return 0;
}

}  // namespace

int main(int Argc, char** Argv) {
  TOptions O;
  if (int Status = ParseOptions(Argc, Argv, O)) return Status < 0 ? 0 : Status;
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") &&
      !std::getenv("QT_QPA_PLATFORM")) {
    std::fprintf(stderr, "smppwin: no display (DISPLAY is not set)\n");
    return 1;
  }
  // Our own options are taken; Qt sees only the program name.
  int QtArgc = 1;
  QApplication App(QtArgc, Argv);
  QApplication::setApplicationName("smppwin");

  // Calls that other threads hand to the main thread run in the GUI event loop.
  TGuiWakeup MainCalls([] { ProcessMainThreadCalls(); });
  SetMainThreadWakeup([&MainCalls] { MainCalls.Wake(); });

  int Status = 0;
  try {
    auto Form = std::make_unique<TForm1>();
    if (O.Host) Form->Edit4->setText(QString::fromLocal8Bit(O.Host));
    if (O.Port) Form->Edit5->setText(QString::fromLocal8Bit(O.Port));
    Form->show();
    Status = App.exec();
  } catch (const EFormTextError& E) {
    std::fprintf(stderr, "smppwin: form resource, line %d: %s\n", E.Line(), E.what());
    Status = 1;
  } catch (const std::exception& E) {
    // A stored value that the form cannot take (an unknown handler or colour, for example).
    std::fprintf(stderr, "smppwin: form resource: %s\n", E.what());
    Status = 1;
  }
  SetMainThreadWakeup(nullptr);
  ProcessMainThreadCalls();
  return Status;
}
