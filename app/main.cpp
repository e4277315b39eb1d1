// smppwin: the SMPP test client's window. Opens the report log of --log when given, starts the
// application, creates Form1 from its form resource (or, with --workbench, the workbench), fills
// Host and Port from --host and --port when given, and runs the event loop until the window is
// closed; the window and its client are destroyed on the way out, the log's last lines written.
// --profile NAME loads that profile into the workbench before --host and --port apply. --help and
// --version print and return before anything needs a display.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "app/Form1.h"
#include "app/GuiWakeup.h"
#include "app/Options.h"
#include "app/ReportLog.h"
#include "app/workbench/Workbench.h"
#include "base/FormText.h"
#include "base/MainThreadQueue.h"
#include "base/Version.h"

int main(int Argc, char** Argv) {
  TOptions O;
  std::string Error;
  if (!ParseOptions(Argc, Argv, O, Error)) {
    std::fprintf(stderr, "smppwin: %s\n\n%s", Error.c_str(), UsageText());
    return 2;
  }
  if (O.Help) {
    std::fputs(UsageText(), stdout);
    return 0;
  }
  if (O.Version) {
    std::printf("smppwin (%s) %s\n%s", kPackageName, kPackageVersion, kVersionNotice);
    return 0;
  }
  if (O.Profile) {
    const TProfileStore Profiles;
    if (!Profiles.Contains(QString::fromLocal8Bit(*O.Profile))) {
      const QStringList Names = Profiles.Names();
      const QString Known =
          Names.isEmpty() ? QString("there are none") : "there are: " + Names.join(", ");
      std::fprintf(stderr, "smppwin: no profile '%s' in %s; %s\n", O.Profile->c_str(),
                   Profiles.Path().toLocal8Bit().constData(), Known.toLocal8Bit().constData());
      return 2;
    }
  }
  std::unique_ptr<TReportLog> Log;
  if (O.Log && !(Log = TReportLog::Open(*O.Log, Error))) {
    std::fprintf(stderr, "smppwin: %s\n", Error.c_str());
    return 2;
  }
  if (O.TlsInsecure)
    std::fprintf(stderr,
                 "smppwin: WARNING: --tls-insecure: the SMSC's certificate is NOT checked; anyone "
                 "on the way can read and change this traffic\n");
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
    if (O.Workbench) {
      auto Workbench = std::make_unique<TWorkbench>();
      if (O.Profile) Workbench->Profiles().Load(QString::fromLocal8Bit(*O.Profile));
      ApplyOptions(*Workbench, O);
      if (Log) Workbench->ReportFeed().SetLog(std::move(Log));
      Workbench->show();
      Status = App.exec();
      Workbench.reset();
      // The workbench's client is destroyed on its own thread; wait for it before exit.
      TClientRunner::JoinFinished();
      SetMainThreadWakeup(nullptr);
      ProcessMainThreadCalls();
      return Status;
    }
    auto Form = std::make_unique<TForm1>();
    ApplyOptions(*Form, O);
    if (Log) Form->MemoFeed().SetLog(std::move(Log));
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
