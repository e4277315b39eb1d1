// Runs the built smppcli as a script would: its exit status, what it printed and how long it took.
#pragma once

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace smpptest {

struct CliRun {
  int status = -1;
  std::string out;  // standard output and standard error together
  double seconds = 0;
};

// Runs the built smppcli with these arguments and, when given, this text on standard input.
inline CliRun RunCli(const std::vector<std::string>& args, const std::string& input = {}) {
  std::string cmd = std::string(SMPP_BINARY_DIR) + "/tools/smppcli";
  for (const std::string& a : args) cmd += " '" + a + "'";
  char inputFile[] = "/tmp/smppcli_input_XXXXXX";
  if (!input.empty()) {
    const int fd = mkstemp(inputFile);
    if (fd < 0 || write(fd, input.data(), input.size()) != static_cast<ssize_t>(input.size()))
      return {};
    close(fd);
    cmd += std::string(" < ") + inputFile;
  }
  cmd += " 2>&1";
  CliRun r;
  const auto t0 = std::chrono::steady_clock::now();
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (!input.empty()) unlink(inputFile);
  return r;
}

}  // namespace smpptest
