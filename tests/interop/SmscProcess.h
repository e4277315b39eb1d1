// Test helper that runs the local SMSC (tools/smsc/smsc.js) as a child process on a port the OS
// chooses, collects every line it prints, lets a test wait for a line and send it commands, and
// always stops it again: the destructor never leaves a process behind and never hangs.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#ifndef SMPP_SOURCE_DIR
#error "SMPP_SOURCE_DIR must name the project's source folder"
#endif

extern char** environ;

namespace smpptest {

using namespace std::chrono_literals;

// One local SMSC process. Threads: construct, start, send, stop and destroy it on the test's
// thread; the waiting and reading operations (waitFor, lines, mark) may be called from any
// thread. A private reader thread collects the output and never calls back into the test.
class SmscProcess {
 public:
  using Clock = std::chrono::steady_clock;
  using Predicate = std::function<bool(const std::string&)>;

  // extraArgs are appended to "node smsc.js --port 0", for example {"--quiet"}.
  explicit SmscProcess(std::vector<std::string> extraArgs = {})
      : FExtraArgs(std::move(extraArgs)) {}
  SmscProcess(const SmscProcess&) = delete;
  SmscProcess& operator=(const SmscProcess&) = delete;
  ~SmscProcess() { stop(); }

  // Runs our minimal C++ SMSC, tools/smsc_sink, instead of smsc.js; call before start.
  void useSink() { FSink = true; }
  // Runs the adversary SMSC, tools/smsc_adversary (its fault options among the extra arguments),
  // instead of smsc.js; call before start.
  void useAdversary() {
    FSink = true;
    FAdversary = true;
  }

  // Starts the SMSC and waits until it listens. Gives false, with the reason in error(), when
  // node or the script cannot run or no "listening" line comes within the timeout.
  bool start(std::chrono::milliseconds timeout = 15s) {
    if (FPid > 0) return true;
    const std::string script = std::string(SMPP_SOURCE_DIR) + "/tools/smsc/smsc.js";
    const std::string modules = std::string(SMPP_SOURCE_DIR) + "/tools/smsc/node_modules/smpp";
#ifdef SMPP_BINARY_DIR
    const std::string sink =
        std::string(SMPP_BINARY_DIR) + (FAdversary ? "/tools/smsc_adversary" : "/tools/smsc_sink");
#else
    const std::string sink = FAdversary ? "smsc_adversary" : "smsc_sink";
#endif
    if (!FSink && access(script.c_str(), R_OK) != 0) return fail("cannot read " + script);
    if (!FSink && access(modules.c_str(), R_OK) != 0) {
      return fail("the npm package smpp is not installed; run scripts/bootstrap");
    }
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0) return fail(errnoText("pipe"));
    if (pipe2(out, O_CLOEXEC) != 0) {
      closeAll({in[0], in[1]});
      return fail(errnoText("pipe"));
    }
    if (pipe2(err, O_CLOEXEC) != 0) {
      closeAll({in[0], in[1], out[0], out[1]});
      return fail(errnoText("pipe"));
    }
    std::vector<std::string> args = {"node", script, "--port", "0"};
    if (FSink) args = {sink, "--port", "0"};
    args.insert(args.end(), FExtraArgs.begin(), FExtraArgs.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    // posix_spawn instead of fork: the test may already run threads, and the child needs
    // nothing but its three pipes. dup2 clears close-on-exec on the child's copies only.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // The child starts with no blocked signals and default handling of the ones that stop it,
    // whatever the test program has set for itself.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int rc =
        posix_spawnp(&pid, FSink ? sink.c_str() : "node", &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    closeAll({in[0], out[1], err[1]});
    if (rc != 0) {
      closeAll({in[1], out[0], err[0]});
      return fail(std::string("cannot start node: ") + std::strerror(rc));
    }
    FPid = pid;
    FStdin = in[1];
    FReader = std::thread([this, o = out[0], e = err[0]] { readLoop(o, e); });

    auto line = waitFor(
        [](const std::string& l) { return l.rfind("listening 127.0.0.1:", 0) == 0; }, timeout, 0);
    if (!line) {
      stop();
      return fail("the SMSC did not report listening; output:\n" + joinedLines());
    }
    FPort = static_cast<uint16_t>(std::stoi(line->substr(line->rfind(':') + 1)));
    return true;
  }

  uint16_t port() const {
    return FPort;
  }
  pid_t pid() const {
    return FPid;
  }
  const std::string& error() const {
    return FError;
  }

  // The number of lines printed so far; pass it to waitFor to look only at later lines.
  size_t mark() const {
    std::lock_guard lock(FMutex);
    return FLines.size();
  }

  // Waits until a line at index `from` or later satisfies the predicate and gives it, or gives
  // nothing when the timeout passes or the SMSC has ended without printing one.
  std::optional<std::string> waitFor(const Predicate& match, std::chrono::milliseconds timeout,
                                     size_t from = 0, size_t* index = nullptr) {
    const auto deadline = Clock::now() + timeout;
    std::unique_lock lock(FMutex);
    size_t next = from;
    for (;;) {
      for (; next < FLines.size(); ++next) {
        if (match(FLines[next])) {
          if (index) *index = next;
          return FLines[next];
        }
      }
      if (FEof) return std::nullopt;
      if (FChanged.wait_until(lock, deadline) == std::cv_status::timeout && next == FLines.size()) {
        return std::nullopt;
      }
    }
  }

  // Waits for a line that begins with `prefix` and contains every one of `parts`.
  std::optional<std::string> waitFor(std::string_view prefix, std::vector<std::string> parts = {},
                                     size_t from = 0, std::chrono::milliseconds timeout = 10s) {
    std::string p(prefix);
    return waitFor(
        [p, parts](const std::string& l) {
          if (l.rfind(p, 0) != 0) return false;
          for (const auto& part : parts)
            if (l.find(part) == std::string::npos) return false;
          return true;
        },
        timeout, from);
  }

  // Every line printed so far, stderr lines prefixed with "stderr: ".
  std::vector<std::string> lines() const {
    std::lock_guard lock(FMutex);
    return FLines;
  }

  std::string joinedLines() const {
    std::string all;
    for (const auto& l : lines()) all += l + "\n";
    return all;
  }

  // Writes one command line to the SMSC's standard input.
  bool send(std::string_view command) {
    if (FStdin < 0) return false;
    std::string line(command);
    line += '\n';
    // A write to the pipe of an SMSC that has ended raises SIGPIPE, which would end the whole
    // test program. The signal is blocked on this thread for the write and, if it came, taken
    // off the thread's pending set before the mask is restored; the write then fails with EPIPE.
    sigset_t pipeSet, oldSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &oldSet);
    bool ok = true;
    size_t done = 0;
    while (done < line.size()) {
      ssize_t n = write(FStdin, line.data() + done, line.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ok = false;
        break;
      }
      done += static_cast<size_t>(n);
    }
    if (!ok && errno == EPIPE) {
      const timespec zero{0, 0};
      while (sigtimedwait(&pipeSet, nullptr, &zero) == SIGPIPE) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &oldSet, nullptr);
    return ok;
  }

  // Stops the SMSC: "quit", then the end of its input, then SIGTERM and SIGKILL if it lingers.
  // Gives the exit status as waitpid reports it, or -1 when it was not running.
  int stop() {
    int status = -1;
    if (FPid > 0) {
      send("quit");
      closeFd(FStdin);
      if (!reap(3s, &status)) {
        kill(FPid, SIGTERM);
        if (!reap(2s, &status)) {
          kill(FPid, SIGKILL);
          reap(std::chrono::hours(1), &status);
        }
      }
      FPid = -1;
    }
    closeFd(FStdin);
    if (FReader.joinable()) FReader.join();
    return status;
  }

  // The value of "key=" in a line of the SMSC, up to the next blank; empty when absent.
  static std::string field(const std::string& line, std::string_view key) {
    const std::string k = " " + std::string(key) + "=";
    size_t at = line.find(k);
    if (at == std::string::npos) return {};
    at += k.size();
    return line.substr(at, line.find(' ', at) - at);
  }

 private:
  bool fail(std::string why) {
    FError = std::move(why);
    return false;
  }

  static std::string errnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
  }

  static void closeAll(std::initializer_list<int> fds) {
    for (int fd : fds) close(fd);
  }

  static void closeFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
  }

  // Waits for the child to end; the polling interval only paces the check, it synchronises
  // nothing. Gives false when the child is still running after the timeout.
  bool reap(std::chrono::milliseconds timeout, int* status) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      pid_t r = waitpid(FPid, status, WNOHANG);
      if (r == FPid || (r < 0 && errno != EINTR)) return true;
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(5ms);
    }
  }

  // Reads stdout and stderr until both end, splitting them into lines. Runs on FReader.
  void readLoop(int outFd, int errFd) {
    std::string partial[2];
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    int open = 2;
    char buf[65536];
    while (open > 0) {
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        ssize_t n = read(fds[i].fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          close(fds[i].fd);
          fds[i].fd = -1;
          --open;
          if (!partial[i].empty()) addLines("\n", partial[i], i == 1);
          continue;
        }
        addLines(std::string(buf, static_cast<size_t>(n)), partial[i], i == 1);
      }
    }
    for (auto& fd : fds)
      if (fd.fd >= 0) close(fd.fd);
    std::lock_guard lock(FMutex);
    FEof = true;
    FChanged.notify_all();
  }

  void addLines(const std::string& chunk, std::string& partial, bool isStderr) {
    std::vector<std::string> complete;
    std::string text = partial + chunk;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
      complete.push_back((isStderr ? "stderr: " : "") + text.substr(start, nl - start));
    }
    partial = text.substr(start);
    if (complete.empty()) return;
    std::lock_guard lock(FMutex);
    for (auto& l : complete) FLines.push_back(std::move(l));
    FChanged.notify_all();
  }

  std::vector<std::string> FExtraArgs;
  bool FSink = false;
  bool FAdversary = false;  // with FSink: the adversary instead of the sink
  std::string FError;
  pid_t FPid = -1;
  int FStdin = -1;  // Our end of the SMSC's standard input; test thread only.
  uint16_t FPort = 0;
  std::thread FReader;

  mutable std::mutex FMutex;  // Guards FLines and FEof, shared by FReader and the waiters.
  std::condition_variable FChanged;
  std::vector<std::string> FLines;
  bool FEof = false;
};

}  // namespace smpptest
