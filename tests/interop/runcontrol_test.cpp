// smppcli's load run when it does not go as planned: answers that are generic_nack and sessions
// the hostile test SMSC ends, an SMSC that restarts, a user who stops the run with a signal, a run
// killed outright, summaries merged twice, and argument bytes in errors. Each run's exit status,
// summary and JSON are what a script reads.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/interop/CliRun.h"
#include "tests/interop/SmscProcess.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using smpptest::CliRun;
using smpptest::RunCli;
using smpptest::SmscProcess;
using Clock = std::chrono::steady_clock;

std::string ReadFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  std::stringstream Text;
  Text << In.rdbuf();
  return Text.str();
}

// A fresh, empty folder for one test's files.
std::string NewFolder() {
  std::string Pattern = std::string(SMPP_BINARY_DIR) + "/runcontrol_XXXXXX";
  return mkdtemp(Pattern.data()) ? Pattern : std::string();
}

std::vector<std::string> Entries(const std::string& Folder) {
  std::vector<std::string> Names;
  if (DIR* D = opendir(Folder.c_str())) {
    while (const dirent* E = readdir(D))
      if (std::string(E->d_name) != "." && std::string(E->d_name) != "..")
        Names.push_back(E->d_name);
    closedir(D);
  }
  return Names;
}

// The adversary started with these options, or a failure.
std::unique_ptr<SmscProcess> Adversary(std::vector<std::string> Args) {
  auto A = std::make_unique<SmscProcess>(std::move(Args));
  A->useAdversary();
  if (!A->start()) {
    ADD_FAILURE() << A->error();
    return nullptr;
  }
  return A;
}

// Our minimal SMSC, with a receipt for every submit: the partner of runs whose SMSC behaves.
std::unique_ptr<SmscProcess> Sink() {
  auto S = std::make_unique<SmscProcess>(std::vector<std::string>{"--receipts"});
  S->useSink();
  if (!S->start()) {
    ADD_FAILURE() << S->error();
    return nullptr;
  }
  return S;
}

// smppcli running as a child of the test, its output in a file, so that the test can signal it.
class Cli {
 public:
  explicit Cli(const std::vector<std::string>& Args) {
    FOut = std::string(SMPP_BINARY_DIR) + "/runcontrol_cli_" + std::to_string(getpid()) + ".out";
    std::vector<std::string> All = {std::string(SMPP_BINARY_DIR) + "/tools/smppcli"};
    All.insert(All.end(), Args.begin(), Args.end());
    std::vector<char*> Argv;
    for (std::string& A : All) Argv.push_back(A.data());
    Argv.push_back(nullptr);
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 1, FOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&Actions, 1, 2);
    posix_spawnattr_t Attr;
    posix_spawnattr_init(&Attr);
    sigset_t None, Defaults;
    sigemptyset(&None);
    sigemptyset(&Defaults);
    for (int Sig : {SIGPIPE, SIGINT, SIGTERM}) sigaddset(&Defaults, Sig);
    posix_spawnattr_setsigmask(&Attr, &None);
    posix_spawnattr_setsigdefault(&Attr, &Defaults);
    posix_spawnattr_setflags(&Attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (posix_spawn(&FPid, Argv[0], &Actions, &Attr, Argv.data(), environ) != 0) FPid = -1;
    posix_spawnattr_destroy(&Attr);
    posix_spawn_file_actions_destroy(&Actions);
  }
  ~Cli() {
    if (FPid > 0) kill(FPid, SIGKILL), Wait(10s);
    unlink(FOut.c_str());
  }
  // Waits until its output holds Text.
  bool WaitForOutput(const std::string& Text, std::chrono::seconds Timeout = 20s) {
    for (const auto Until = Clock::now() + Timeout; Clock::now() < Until;) {
      if (Output().find(Text) != std::string::npos) return true;
      std::this_thread::sleep_for(20ms);  // paces the polling only
    }
    return false;
  }
  void Signal(int Sig) { kill(FPid, Sig); }
  // Its exit status, -1 when a signal ended it, -2 when it still runs after Timeout.
  int Wait(std::chrono::seconds Timeout = 60s) {
    for (const auto Until = Clock::now() + Timeout; Clock::now() < Until;) {
      int Status = 0;
      if (waitpid(FPid, &Status, WNOHANG) == FPid) {
        FPid = -1;
        return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
      }
      std::this_thread::sleep_for(20ms);  // paces the polling only
    }
    return -2;
  }
  std::string Output() const { return ReadFile(FOut); }

 private:
  pid_t FPid = -1;
  std::string FOut;
};

json ReadJson(const std::string& Path) {
  return json::parse(ReadFile(Path), nullptr, false);
}

// True when the adversary's log (complete once it has stopped) shows a PDU of this command read.
bool LogHas(const std::string& Log, uint32_t CommandId) {
  char Word[32];
  std::snprintf(Word, sizeof Word, " in 0x%08x ", CommandId);
  return ReadFile(Log).find(Word) != std::string::npos;
}

// A generic_nack is an answer: to a submit, a rejection with its status, at once; to a bind, a
// failed bind, named with the status, and a connection that never bound gets no unbind.
TEST(RunControl, GenericNackAnswersASubmitOrABindAtOnce) {
  const std::string Folder = NewFolder();
  const struct {
    const char* Name;
    std::vector<std::string> Smsc, Cli;
    std::string Error;
    long Rejected;
  } Cases[] = {
      {"every second submit",
       {"--nack-submit-every", "2:0x00000003"},
       {"--count", "6"},
       "smppcli: 3 of 6 submits were rejected by the SMSC\n",
       3},
      {"the binds",
       {"--nack-bind", "0x0000000D"},
       {"--count", "1"},
       " answered with generic_nack ESME_RBINDFAIL (0x0000000D)\n",
       0},
      {"the binds of two",
       {"--nack-bind", "0x0000000D"},
       {"--count", "1", "--binds", "2"},
       "smppcli: bind ",
       0},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    const std::string Log = Folder + "/adversary.log", Json = Folder + "/run.json";
    std::vector<std::string> Smsc = C.Smsc;
    Smsc.insert(Smsc.end(), {"--log", Log});
    auto A = Adversary(Smsc);
    ASSERT_TRUE(A);
    std::vector<std::string> Args = {
        "--port", std::to_string(A->port()), "--quiet", "--json", Json, "--wait", "60"};
    Args.insert(Args.end(), C.Cli.begin(), C.Cli.end());
    const CliRun R = RunCli(Args);
    A->stop();
    EXPECT_EQ(R.status, 1) << R.out;
    EXPECT_NE(R.out.find(C.Error), std::string::npos) << R.out;
    const json J = ReadJson(Json);
    ASSERT_TRUE(J.is_object()) << R.out;
    EXPECT_EQ(J["counts"]["rejected"], C.Rejected);
    EXPECT_EQ(J["counts"]["unanswered"], 0);
    EXPECT_EQ(J["statuses"].value("0x00000003", 0L), C.Rejected);
    EXPECT_EQ(LogHas(Log, 0x00000006), C.Rejected > 0) << "an unbind only on bound sessions";
  }
}

// A session the SMSC ends counts its submits in flight unanswered at once; the run goes on over
// the bind made again 5 s later, and fails saying how many sessions ended, how many binds were
// made again (the number counts.reconnects gives) and for how long no transmitter was bound.
TEST(RunControl, ASessionTheSmscEndsFailsTheRunAndSaysSo) {
  const std::string Folder = NewFolder(), Json = Folder + "/run.json";
  {
    SCOPED_TRACE("closed after every 20th submit");
    auto A = Adversary({"--close-after", "20"});
    ASSERT_TRUE(A);
    const CliRun R = RunCli({"--port", std::to_string(A->port()), "--quiet", "--json", Json,
                             "--count", "60", "--tps", "30", "--no-receipts", "--wait", "60"});
    EXPECT_EQ(R.status, 1) << R.out;
    EXPECT_NE(R.out.find("smppcli: 3 of 60 submits were never answered: the session they went on "
                         "ended (2 binds made again, "),
              std::string::npos)
        << R.out;
    const json J = ReadJson(Json);
    ASSERT_TRUE(J.is_object()) << R.out;
    EXPECT_EQ(J["counts"]["reconnects"], 2);
    EXPECT_EQ(J["counts"]["sessions_lost"], 3);
    EXPECT_EQ(J["counts"]["unanswered"], 3);
    EXPECT_EQ(J["counts"]["answered"], 57);
    EXPECT_GT(J["unbound_s"].get<double>(), 0);
  }
  {
    SCOPED_TRACE("restarted on its port");
    // The sink, which takes its port again at once after a stop.
    auto Sink = std::make_unique<SmscProcess>();
    Sink->useSink();
    ASSERT_TRUE(Sink->start()) << Sink->error();
    const std::string Port = std::to_string(Sink->port());
    Cli Run({"--port", Port, "--json", Json, "--duration", "14", "--tps", "20", "--no-receipts"});
    ASSERT_TRUE(Run.WaitForOutput("+IN_QUEUE ID=")) << Run.Output();
    Sink->stop();
    Sink = std::make_unique<SmscProcess>(std::vector<std::string>{"--port", Port, "--per-second"});
    Sink->useSink();
    ASSERT_TRUE(Sink->start()) << Sink->error();
    EXPECT_EQ(Run.Wait(), 1) << Run.Output();
    const std::string Out = Run.Output();
    EXPECT_NE(Out.find("smppcli: the SMSC ended 2 sessions during the run (2 binds made again, "),
              std::string::npos)
        << Out;
    EXPECT_NE(Out.find("smppcli: the SMSC ended 2 sessions during the run: 2 binds made again, "),
              std::string::npos)
        << Out;
    const json J = ReadJson(Json);
    ASSERT_TRUE(J.is_object()) << Out;
    EXPECT_EQ(J["counts"]["reconnects"], 2);
    EXPECT_GT(J["unbound_s"].get<double>(), 0);
    EXPECT_LT(J["unbound_s"].get<double>(), 14);
    // Made again in time to send on the SMSC that came back.
    EXPECT_TRUE(Sink->waitFor("second ", {}, 0, 1s)) << Sink->joinedLines();
  }
}

// SIGINT and SIGTERM stop the run: it stops sending, waits briefly for answers, writes its summary
// saying it was stopped and after how long, and exits 1. SIGPIPE changes nothing.
TEST(RunControl, ASignalStopsTheRunAndFailsIt) {
  const std::string Folder = NewFolder(), Json = Folder + "/run.json";
  auto A = Sink();
  ASSERT_TRUE(A);
  const struct {
    int Signal;
    std::vector<std::string> Args;
    int Status;
  } Cases[] = {
      {SIGINT, {"--duration", "60", "--tps", "20"}, 1},
      {SIGTERM, {"--duration", "60", "--tps", "20"}, 1},
      {SIGPIPE, {"--count", "40", "--tps", "20"}, 0},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Signal);
    std::vector<std::string> Args = {"--port", std::to_string(A->port()), "--json", Json};
    Args.insert(Args.end(), C.Args.begin(), C.Args.end());
    Cli Run(Args);
    ASSERT_TRUE(Run.WaitForOutput("+IN_QUEUE ID=")) << Run.Output();
    Run.Signal(C.Signal);
    EXPECT_EQ(Run.Wait(), C.Status) << Run.Output();
    const json J = ReadJson(Json);
    ASSERT_TRUE(J.is_object()) << Run.Output();
    EXPECT_EQ(J["stopped"], C.Status != 0);
    EXPECT_EQ(J["exit_status"], C.Status);
    if (C.Status == 0) continue;
    EXPECT_GT(J["stopped_after_s"].get<double>(), 0);
    EXPECT_LT(J["stopped_after_s"].get<double>(), J["seconds"].get<double>());
    EXPECT_EQ(J["error"].get<std::string>().rfind("stopped by the user after ", 0), 0u);
    EXPECT_NE(Run.Output().find("smppcli: stopped by the user after "), std::string::npos);
  }
}

// --json appears whole or not at all: a run killed outright leaves no file (not even the one of
// an earlier run, which it was about to replace), a run that ends leaves exactly the summary.
TEST(RunControl, JsonIsWrittenWholeOrNotAtAll) {
  const std::string Folder = NewFolder(), Json = Folder + "/run.json";
  auto A = Sink();
  ASSERT_TRUE(A);
  std::ofstream(Json) << "an earlier run\n";
  {
    Cli Run(
        {"--port", std::to_string(A->port()), "--json", Json, "--duration", "60", "--tps", "20"});
    ASSERT_TRUE(Run.WaitForOutput("+IN_QUEUE ID=")) << Run.Output();
    Run.Signal(SIGKILL);
    EXPECT_EQ(Run.Wait(), -1);
  }
  EXPECT_EQ(Entries(Folder), std::vector<std::string>{});
  const CliRun R = RunCli({"--port", std::to_string(A->port()), "--json", Json, "--quiet"});
  EXPECT_EQ(R.status, 0) << R.out;
  EXPECT_EQ(Entries(Folder), std::vector<std::string>{"run.json"});
  EXPECT_EQ(ReadJson(Json)["counts"]["answered"], 1);
}

// Every summary has a run id of its own, and merge refuses one run given twice.
TEST(RunControl, MergeRefusesTheSameRunTwice) {
  const std::string Folder = NewFolder(), First = Folder + "/a.json", Second = Folder + "/b.json";
  auto A = Sink();
  ASSERT_TRUE(A);
  for (const std::string& Json : {First, Second}) {
    const CliRun R = RunCli({"--port", std::to_string(A->port()), "--json", Json, "--quiet"});
    ASSERT_EQ(R.status, 0) << R.out;
  }
  const std::string Id = ReadJson(First)["run_id"];
  EXPECT_EQ(Id.size(), 32u);
  EXPECT_EQ(Id.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(ReadJson(Second)["run_id"], Id);
  EXPECT_EQ(RunCli({"merge", First, Second}).status, 0);
  const CliRun R = RunCli({"merge", First, Second, First});
  EXPECT_EQ(R.status, 2);
  EXPECT_NE(R.out.find("smppcli merge: " + First + " and " + First +
                       " are summaries of the same run (run id " + Id + "): it would count twice"),
            std::string::npos)
      << R.out;
}

// Bytes of arguments quoted in error lines are escaped as report lines are: no terminal sequence
// or line break of an argument reaches the terminal.
TEST(RunControl, ArgumentBytesInErrorsAreEscaped) {
  const struct {
    std::vector<std::string> Args;
    std::string Error;
  } Cases[] = {
      {{"--count", "1", "a\x1b[2Jb"}, "smppcli: unexpected argument 'a\\x1b[2Jb'\n"},
      {{"--co\x1b[2Junt=1"}, "smppcli: unknown option '--co\\x1b[2Junt=1'\n"},
      {{"--json", "/nonexistent\n/x.json"},
       "smppcli: cannot write --json /nonexistent\\n/x.json: No such file or directory\n"},
      {{"--tls", "--tls-ca", "/no\x07where"},
       "smppcli: cannot read the --tls-ca file /no\\x07where\n"},
      {{"--tlv", "a\x1b=int1:1"},
       "smppcli: --tlv: tag 'a\\x1b' is neither a number from 0 to 65535 nor a name"},
      {{"--destination-range", "1\x1b-2"}, "smppcli: --destination-range '1\\x1b-2': digits only"},
      {{"--schedule",
        "2601011200\x1b\x9b"
        "000+"},
       "smppcli: --schedule: "},
      {{"merge", "/no\rwhere.json"},
       "smppcli merge: /no\\rwhere.json: cannot be read: No such file or directory\n"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Error);
    const CliRun R = RunCli(C.Args);
    EXPECT_EQ(R.status, 2) << R.out;
    EXPECT_NE(R.out.find(C.Error), std::string::npos) << R.out;
    EXPECT_EQ(R.out.find_first_of("\x1b\x07\r\x9b"), std::string::npos) << R.out;
  }
}

}  // namespace
