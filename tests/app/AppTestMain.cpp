// The window tests' program: starts its own X server (Xvfb, on a display number it picks itself),
// creates the application object on it and runs the GoogleTest cases on the GUI thread, with a
// configuration folder of its own. Listing the tests needs no display, so CTest's discovery starts
// no server.
#include <QApplication>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/GuiWakeup.h"
#include "app/XvfbProcess.h"
#include "base/MainThreadQueue.h"
#include "gtest/gtest.h"

int main(int Argc, char** Argv) {
  ::testing::InitGoogleTest(&Argc, Argv);
  if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();

  smpptest::XvfbProcess Xvfb;
  std::string Error;
  const std::string Display = Xvfb.Start(Error);
  if (Display.empty()) {
    std::fprintf(stderr, "window tests: %s\n", Error.c_str());
    return 1;
  }
  setenv("DISPLAY", Display.c_str(), 1);
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  // The windows' profiles live in a folder of the run's own, and no test reaches the desktop's
  // session bus and its secret store: the tester's own profiles and passwords stay untouched.
  QTemporaryDir Config;
  setenv("XDG_CONFIG_HOME", Config.path().toLocal8Bit().constData(), 1);
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  int QtArgc = 1;
  QApplication App(QtArgc, Argv);
  QApplication::setApplicationName("smppwin");
  TGuiWakeup MainCalls([] { ProcessMainThreadCalls(); });
  SetMainThreadWakeup([&MainCalls] { MainCalls.Wake(); });
  const int Status = RUN_ALL_TESTS();
  SetMainThreadWakeup(nullptr);
  return Status;
}
