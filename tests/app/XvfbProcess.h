// Test helper that runs an X server of its own (Xvfb) for the window tests and the window
// benchmark: it picks a free display number itself (-displayfd), so runs never collide, and it is
// stopped again when the helper goes; should the program die first, the server ends as soon as its
// last client has gone (-terminate).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

extern char** environ;

namespace smpptest {

// The X server of this test run.
class XvfbProcess {
 public:
  // Starts Xvfb and gives the display it serves (":N"), or an empty text with the reason in Error.
  std::string Start(std::string& Error) {
    int Fds[2];
    if (pipe2(Fds, O_CLOEXEC) != 0) return Error = "pipe failed", "";
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    // The child's fd 3 is the pipe's write end: Xvfb writes its display number there when ready.
    posix_spawn_file_actions_adddup2(&Actions, Fds[1], 3);
    posix_spawn_file_actions_addopen(&Actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&Actions, 2, "/dev/null", O_WRONLY, 0);
    const char* Argv[] = {"Xvfb",    "-displayfd", "3",           "-nolisten",  "tcp",
                          "-screen", "0",          "1366x768x24", "-terminate", nullptr};
    const int Rc = posix_spawnp(&Pid, "Xvfb", &Actions, nullptr, const_cast<char**>(Argv), environ);
    posix_spawn_file_actions_destroy(&Actions);
    close(Fds[1]);
    if (Rc != 0) {
      close(Fds[0]);
      Pid = -1;
      return Error = std::string("cannot run Xvfb: ") + std::strerror(Rc), "";
    }
    std::string Number;
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (Number.find('\n') == std::string::npos) {
      const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
          Deadline - std::chrono::steady_clock::now());
      pollfd P{Fds[0], POLLIN, 0};
      if (Left.count() <= 0 || poll(&P, 1, static_cast<int>(Left.count())) <= 0) break;
      char Buf[16];
      const ssize_t N = read(Fds[0], Buf, sizeof Buf);
      if (N <= 0) break;
      Number.append(Buf, static_cast<size_t>(N));
    }
    close(Fds[0]);
    if (Number.find('\n') == std::string::npos) return Error = "Xvfb did not start", "";
    return ":" + Number.substr(0, Number.find('\n'));
  }

  ~XvfbProcess() {
    if (Pid <= 0) return;
    kill(Pid, SIGTERM);
    int Status;
    waitpid(Pid, &Status, 0);
  }

 private:
  pid_t Pid = -1;
};

}  // namespace smpptest
