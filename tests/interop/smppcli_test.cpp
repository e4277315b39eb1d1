// The console client as scripts use it: exit status, the lines it prints and its messages, against
// the local SMSC and against peers that refuse or never answer.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/ClientReports.h"
#include "tests/interop/CliRun.h"
#include "tests/interop/SmscProcess.h"

using namespace std::chrono_literals;
using smpptest::CliRun;
using smpptest::RunCli;
using smpptest::SmscProcess;

namespace {

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(Smppcli, SendsAndWaitsForEveryAnswerAndReceipt) {
  SmscProcess smsc;
  ASSERT_TRUE(smsc.start()) << smsc.error();
  const std::string port = std::to_string(smsc.port());
  struct Case {
    std::vector<std::string> args;
    size_t queued;    // "+IN_QUEUE ID=" lines: one per submit_sm answered
    size_t receipts;  // one per submit_sm, one per destination of a submit_multi
  };
  const Case cases[] = {
      {{"--count", "3"}, 3, 3},
      {{"--count", "50", "--window", "1"}, 50, 50},  // sent from the transmitter's thread
      {{"--text", std::string(300, 'y')}, 2, 2},     // one message, two submits
      {{"--destination", "111,222"}, 0, 2},          // submit_multi_resp has no line of its own
      {{"--destination", "111,"}, 0, 1},             // an empty piece is no destination
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--port", port, "--wait", "20"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const CliRun r = RunCli(args);
    SCOPED_TRACE(r.out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(Count(r.out, "bind Rcx OK"), 1u);
    EXPECT_EQ(Count(r.out, "bind Tcx OK"), 1u);
    EXPECT_EQ(Count(r.out, "+IN_QUEUE ID="), c.queued);
    EXPECT_EQ(Count(r.out, "+QUERY_RES "), c.receipts);
    EXPECT_NE(r.out.find("rcx disconnected"), std::string::npos);
  }
}

TEST(Smppcli, FailsClearlyWhenItCannotBindOrGetAnswers) {
  SmscProcess guarded({"--password", "right"});
  ASSERT_TRUE(guarded.start()) << guarded.error();
  // A peer that accepts connections and never says a word.
  const int mute = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(mute, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(mute, 8), 0);
  socklen_t len = sizeof a;
  getsockname(mute, reinterpret_cast<sockaddr*>(&a), &len);

  std::string tooMany = "1";
  for (int i = 0; i < 254; ++i) tooMany += ",1";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  const Case cases[] = {
      {{"--port", std::to_string(UnusedLoopbackPort())}, 1, "cannot connect"},
      {{"--port", std::to_string(UnusedLoopbackPort()), "--trace"},
       1,
       "Rcx connect failed: connection refused"},
      {{"--port", std::to_string(guarded.port()), "--password", "wrong"},
       1,
       "refused by the SMSC (status 0x0000000E)"},
      {{"--port", std::to_string(ntohs(a.sin_port)), "--wait", "1"},
       1,
       "did not accept both binds within the wait"},
      {{"--port", std::to_string(guarded.port()), "--password", "right", "--destination", tooMany},
       1,
       "the message cannot be built as a PDU"},
      {{"--count", "0"}, 2, "--count must be a positive number"},
      {{"--validity", "12"}, 2, "--validity must be five digits"},
      {{"--port", "70000"}, 2, "--port must be a number"},
      {{"--pcap", "/nonexistent/x"}, 2, "cannot create the capture /nonexistent/x: No such file"},
      {{"--port", std::to_string(guarded.port()), "--password", "right", "--pcap", "/dev/full"},
       1,
       "the --pcap capture is incomplete: cannot write the capture /dev/full: No space left"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back("--wait");
    args.push_back("5");
    if (c.message.find("within the wait") != std::string::npos) args.back() = "1";
    const CliRun r = RunCli(args);
    SCOPED_TRACE(r.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.out.find(c.message), std::string::npos);
    EXPECT_LT(r.seconds, 20.0);  // never hangs: the wait plus the bounded unbind
  }
  close(mute);
}

// Text from the network cannot forge lines or terminal sequences in the output, and a GSM '@'
// (0x00) does not cut a line short.
TEST(Smppcli, PrintsControlCharactersEscaped) {
  SmscProcess smsc;
  ASSERT_TRUE(smsc.start()) << smsc.error();
  // "A", line feed, "B", ESC "[31m", "C", 0x00, "D", backslash, "E", the C1 control U+009B, "Ж".
  ASSERT_TRUE(smsc.send("deliverhex 1111 2222 41 0a 42 1b 5b 33 31 6d 43 00 44 5c 45 c2 9b d0 96"));
  ASSERT_TRUE(smsc.waitFor("queued deliver_sm"));  // for the receiver smppcli binds
  const CliRun r = RunCli({"--port", std::to_string(smsc.port()), "--wait", "20"});
  SCOPED_TRACE(r.out);
  EXPECT_EQ(r.status, 0);
  const std::string escaped = R"(:1111:2222:A\nB\x1b[31mC\x00D\\E\xc2\x9b)"
                              "\xD0\x96\n";
  const size_t at = r.out.find(escaped);
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(r.out.rfind("\n+DELIVER ", at), at - 25);  // one whole line
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(r.out.find('\0'), std::string::npos);
}

// The number after "key": in the JSON summary, or -1 when the key is absent.
double JsonNumber(const std::string& json, const std::string& key) {
  const size_t at = json.find("\"" + key + "\":");
  return at == std::string::npos ? -1 : std::atof(json.c_str() + at + key.size() + 3);
}

std::string ReadFile(const std::string& path) {
  std::string text;
  if (FILE* f = std::fopen(path.c_str(), "r")) {
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    std::fclose(f);
  }
  return text;
}

// smppcli with these options against our minimal SMSC started with sinkArgs, quiet, its summary
// written to json (removed first).
CliRun RunAgainstSink(const std::vector<std::string>& sinkArgs, const std::vector<std::string>& cli,
                      const std::string& json) {
  SmscProcess sink(sinkArgs);
  sink.useSink();
  if (!sink.start()) {
    ADD_FAILURE() << sink.error();
    return {};
  }
  std::vector<std::string> args = {"--port", std::to_string(sink.port()), "--quiet", "--json",
                                   json};
  args.insert(args.end(), cli.begin(), cli.end());
  std::remove(json.c_str());
  return RunCli(args);
}

// Our minimal SMSC answers as told: receipts whose ids are decimal where the responses' are
// hexadecimal, receipts sent before their responses, receipts for messages never sent, and
// throttled answers. Only what belongs to this run counts, and throttling slows smppcli down.
TEST(Smppcli, CountsOnlyItsOwnAnswersAndBacksOffWhenThrottled) {
  const std::string json = std::string(SMPP_BINARY_DIR) + "/smppcli_test_summary.json";
  struct Case {
    const char* name;
    std::vector<std::string> sink, cli;
    int status;
    std::string message;
    std::vector<std::pair<std::string, double>> want;  // fields of the JSON summary
  };
  const Case cases[] = {
      {"receipt ids in decimal, before their responses, three of other messages",
       {"--receipts", "--decimal-receipts", "--receipts-first", "--stray-receipts", "3"},
       {"--count", "2000"},
       0,
       "3 receipts for no message id of this run",
       {{"receipts", 2000}, {"unmatched_receipts", 3}, {"unmatched_responses", 0}}},
      {"three receipts, none of them ours",
       {"--stray-receipts", "3"},
       {"--count", "3", "--wait", "2"},
       1,
       "only 0 of 3 delivery receipts came",
       {{"answered", 3}, {"receipts", 0}, {"unmatched_receipts", 3}}},
      {"every 20th submit throttled",
       {"--throttle-every", "20"},
       {"--tps", "400", "--duration", "2", "--no-receipts"},
       1,
       "submits were rejected by the SMSC",
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CliRun r = RunAgainstSink(c.sink, c.cli, json);
    SCOPED_TRACE(r.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.out.find(c.message), std::string::npos);
    const std::string summary = ReadFile(json);
    SCOPED_TRACE(summary);
    for (const auto& [key, value] : c.want) EXPECT_EQ(JsonNumber(summary, key), value) << key;
    if (c.sink[0] == "--throttle-every") {
      // Unthrottled it would send 800; each throttle halves the rate for a while.
      const double submits = JsonNumber(summary, "submits");
      EXPECT_GE(JsonNumber(summary, "back_offs"), 1);
      EXPECT_EQ(JsonNumber(summary, "throttled"), std::floor(submits / 20));
      EXPECT_LT(submits, 700);
      EXPECT_NE(r.out.find("backed off"), std::string::npos);
    }
  }
}

// Verdicts a long or multi-part run must not fool: --wait is a silence, not the length of the
// run; each part is one submit of the rate and one place in the window; a receipt in a state not
// expected fails the run.
TEST(Smppcli, VerdictsOfLongRunsPartsAndReceiptStates) {
  const std::string json = std::string(SMPP_BINARY_DIR) + "/smppcli_test_verdicts.json";
  const std::string text(400, 'x');  // three parts in GSM with a user data header
  const std::vector<std::string> udh = {"--coding", "gsm", "--long", "udh", "--text", text};
  struct Case {
    const char* name;
    std::vector<std::string> sink, cli;
    bool parts;  // the three-part text
    int status;
    std::string message;
    std::vector<std::pair<std::string, double>> want;  // fields of the JSON summary, within 1%
  };
  const Case cases[] = {
      {"a run ten times as long as --wait",
       {},
       {"--no-receipts", "--duration", "3", "--wait", "0.3"},
       false,
       0,
       "messages in",
       {{"unanswered", 0}}},
      {"three-part messages at --tps 300",
       {},
       {"--no-receipts", "--duration", "3", "--tps", "300"},
       true,
       0,
       "300 messages in 900 submits",
       {{"submits", 900}, {"submits_per_s", 300}}},
      {"parts beyond the window",
       {},
       {"--window", "2"},
       true,
       2,
       "a message of 3 parts does not fit a --window of 2",
       {}},
      {"parts beyond the rate", {}, {"--tps", "2"}, true, 2, "raise --tps to at least 3", {}},
      {"every fourth receipt UNDELIV",
       {"--receipts", "--undeliv-every", "4"},
       {"--count", "20"},
       false,
       1,
       "5 of 20 delivery receipts ended in a state not expected (UNDELIV 5; --expect-stat DELIVRD)",
       {{"receipts", 20}}},
      {"UNDELIV expected",
       {"--receipts", "--undeliv-every", "1"},
       {"--count", "5", "--expect-stat", "undeliv,expired"},
       false,
       0,
       "receipt states: UNDELIV 5; err: 001 5; ids compared auto",
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> cli = c.cli;
    if (c.parts) cli.insert(cli.end(), udh.begin(), udh.end());
    const CliRun r = RunAgainstSink(c.sink, cli, json);
    SCOPED_TRACE(r.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.out.find(c.message), std::string::npos);
    const std::string summary = ReadFile(json);
    for (const auto& [key, value] : c.want)
      EXPECT_NEAR(JsonNumber(summary, key), value, value / 100) << key << " in " << summary;
  }
}

// --tps against the local SMSC over a few seconds: the count comes out right and no second is
// over; the summary carries every field a script reads; and no progress line when standard error
// is no terminal, but one under a pseudo-terminal.
TEST(Smppcli, KeepsTheRateAndReportsAsJsonAndOnATerminal) {
  SmscProcess smsc({"--quiet"});
  ASSERT_TRUE(smsc.start()) << smsc.error();
  const std::string json = std::string(SMPP_BINARY_DIR) + "/smppcli_test_rate.json";
  const std::string port = std::to_string(smsc.port());
  std::remove(json.c_str());
  const CliRun r =
      RunCli({"--port", port, "--tps", "300", "--duration", "3", "--quiet", "--json", json});
  SCOPED_TRACE(r.out);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.find("in flight"), std::string::npos);
  const std::string summary = ReadFile(json);
  SCOPED_TRACE(summary);
  EXPECT_NEAR(JsonNumber(summary, "submits"), 900, 18);
  EXPECT_EQ(JsonNumber(summary, "receipts"), JsonNumber(summary, "submits"));
  for (const char* key : {"tps",
                          "window",
                          "messages",
                          "answered",
                          "accepted",
                          "rejected",
                          "unanswered",
                          "receipts_missing",
                          "unmatched_responses",
                          "unmatched_receipts",
                          "throttled",
                          "queue_full",
                          "back_offs",
                          "seconds",
                          "submits_per_s",
                          "cpu_us_per_message",
                          "p50_us",
                          "p90_us",
                          "p99_us",
                          "p99_9_us",
                          "max_us",
                          "exit_status",
                          "0x00000000"})
    EXPECT_GE(JsonNumber(summary, key), 0) << key;
  EXPECT_NE(summary.find("\"receipt_latency\":{\"count\":"), std::string::npos);

  // Under a pseudo-terminal: standard error is the terminal, standard output is not.
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const std::string cli = std::string(SMPP_BINARY_DIR) + "/tools/smppcli";
    freopen("/dev/null", "w", stdout);
    execl(cli.c_str(), cli.c_str(), "--port", port.c_str(), "--tps", "200", "--duration", "2.5",
          "--quiet", static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string tty;
  char buf[4096];
  for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) tty.append(buf, static_cast<size_t>(n));
  int st = 0;
  waitpid(pid, &st, 0);
  close(master);
  SCOPED_TRACE(tty);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  EXPECT_GE(Count(tty, "in flight"), 2u);
  EXPECT_NE(tty.find("\r\033[Ksent "), std::string::npos);
  EXPECT_NE(tty.find("submits/s"), std::string::npos);
}

TEST(Smppcli, DryRunShowsTheCodingAndThePartsWithoutConnecting) {
  const std::string a300(300, 'a');
  std::string zh70;
  for (int i = 0; i < 70; ++i) zh70 += "Ж";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;
  };
  const Case cases[] = {
      {{"--coding", "gsm", "--long", "udh", "--text", a300},
       0,
       "coding: gsm (data_coding 0)\nlong messages: udh\nparts: 3\npart 1: 153 septets\n"
       "part 2: 153 septets\npart 3: 17 septets\n"},
      // Auto picks UCS-2 for Cyrillic: 70 characters and the trailer are 93 units.
      {{"--coding", "auto", "--long", "sar", "--text", zh70},
       0,
       "coding: ucs2 (data_coding 8)\nlong messages: sar\nparts: 2\npart 1: 134 octets\n"
       "part 2: 52 octets\n"},
      {{"--coding", "latin1", "--long", "payload", "--text", a300},
       0,
       "coding: latin1 (data_coding 3)\nlong messages: payload\nparts: 1\n"
       "part 1: 323 octets in message_payload\n"},
      // The defaults: the text as bytes, cut at 160 and split in two.
      {{"--text", a300},
       0,
       "coding: bytes (data_coding 0)\nlong messages: split\nparts: 2\npart 1: 160 octets\n"
       "part 2: 23 octets\n"},
      {{"--coding", "latin1", "--text", "a€"},
       2,
       "smppcli: cannot send the text: character 2 of the text (U+20AC \"€\") does not fit "
       "Latin-1\n"},
      {{"--long", "concat"}, 2, "smppcli: --long must be udh, udh16, payload, sar or split\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--dry-run", "--port", "1"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const CliRun r = RunCli(args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
  }
}

// Concatenated MO messages are joined into one line when their last part comes, each part keeping
// its own line.
TEST(Smppcli, JoinsTheConcatenatedMessagesItReceives) {
  SmscProcess smsc;
  ASSERT_TRUE(smsc.start()) << smsc.error();
  std::string gsm, cyrillic, emoji;
  for (int i = 0; i < 12; ++i) gsm += "Grüße {€} @home ";
  for (int i = 0; i < 20; ++i) cyrillic += "Привет ";
  for (int i = 0; i < 40; ++i) emoji += "😀";
  gsm += "end";  // the SMSC takes its command lines without trailing blanks
  cyrillic += "end";
  // Queued for the receiver smppcli binds.
  ASSERT_TRUE(smsc.send("concat udh 111 222 " + gsm));
  ASSERT_TRUE(smsc.send("concat udh16 333 444 " + cyrillic));
  ASSERT_TRUE(smsc.send("concat sar 555 666 " + emoji));
  ASSERT_TRUE(smsc.waitFor("queued deliver_sm src=555"));
  const CliRun r =
      RunCli({"--port", std::to_string(smsc.port()), "--wait", "20", "--coding", "gsm"});
  SCOPED_TRACE(r.out);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\n+CONCAT 111:222:2:" + gsm + "\n"), std::string::npos);
  EXPECT_NE(r.out.find("\n+CONCAT 333:444:3:" + cyrillic + "\n"), std::string::npos);
  EXPECT_NE(r.out.find("\n+CONCAT 555:666:2:" + emoji + "\n"), std::string::npos);
  EXPECT_EQ(Count(r.out, "+CONCAT "), 3u);
  EXPECT_EQ(Count(r.out, "+DELIVER "), 7u);  // every part keeps its own line
}

// --decode dissects without connecting; its exit status tells a whole PDU from a broken one and
// from input that is not hex, and one bad line does not hide the others.
TEST(Smppcli, DecodePrintsEachPduAsJsonAndTellsBrokenFromBadInput) {
  const std::string enquire = "00000010 00000015 00000000 00000001";
  struct Case {
    std::vector<std::string> args;
    std::string input;
    int status;
    size_t jsonLines;
    std::string has;
  };
  const Case cases[] = {
      {{"--decode", "00000011 80000004 00000058 00000007 00"},
       "",
       0,
       1,
       R"({"name":"command_status","offset":8,"length":4,"value":88,"meaning":"ESME_RTHROTTLED"})"},
      {{"--decode", "0000001080000004"}, "", 1, 1, R"("name":"error","offset":8,"length":0)"},
      {{"--decode", "-"}, enquire + "\n\n" + enquire + "\n", 0, 2, R"("meaning":"enquire_link")"},
      {{"--decode", "-"},
       enquire + "\nzz\n00000010000000150000000000000001",
       2,
       2,
       "smppcli: --decode: line 2: character 1 is not a hex digit\n"},
      {{"--decode", "-"}, "0000001000000015\n" + enquire, 1, 2, R"("name":"error")"},
      {{"--decode", ""}, "", 2, 0, "smppcli: --decode needs a hex PDU, or - for standard input\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back() + " " + c.input);
    const CliRun r = RunCli(c.args, c.input);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(Count("\n" + r.out, "\n{"), c.jsonLines) << r.out;
    EXPECT_NE(r.out.find(c.has), std::string::npos) << r.out;
  }
}

}  // namespace

namespace {

// --bind trx, --tlv and the submit fields, --query, --cancel and --raw, and our answers to
// deliveries, each against a local SMSC of its own, whose log shows what reached it.
TEST(Smppcli, BindsAsTransceiverSendsAnyFieldOrRequestAndChoosesItsAnswers) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> says;     // in smppcli's output
    std::vector<std::string> smscLog;  // in the SMSC's
  };
  const Case cases[] = {
      {{"--bind", "trx", "--tlv", "user_message_reference=int2:7", "--tlv", "0x1403=hex:0a0b",
        "--tlv", "5124=str:ab", "--service-type", "CMT"},
       0,
       {"Trx Connected.", "bind Trx OK", "+QUERY_RES 0000000001:2:000", "trx disconnected"},
       {"bind_transceiver session=1",
        "tag=0x0204 name=user_message_reference length=2 value=0x0007",
        "tag=0x1403 name=unknown length=2 value=0x0a0b",
        "tag=0x1404 name=unknown length=3 value=0x616200"}},
      {{"--query", "ffff"},
       1,
       {"Tcx query_sm_resp seq 3 ESME_RQUERYFAIL",
        "the query_sm was answered with ESME_RQUERYFAIL"},
       {"query_sm session=", "id=ffff status=103"}},
      {{"--cancel", "ffff"},
       1,
       {"Tcx cancel_sm_resp seq 3 ESME_RCANCELFAIL"},
       {"cancel_sm session="}},
      {{"--raw", "00000010 00000099 00000000 00000063"},
       0,
       {"Tcx generic_nack seq 99 ESME_RINVCMDID (raw PDU)"},
       {"seq=99 command_id=0x00000099"}},
      // The first receipt is answered with "throttled": it comes again while the second message
      // is on its way.
      {{"--count", "2", "--tps", "2", "--deliver-status", "0x58"},
       0,
       {"+QUERY_RES 0000000001:2:000\n+QUERY_RES 0000000001:2:000"},
       {"seq=1 status=88 for=receipt", "seq=2 attempt=1 reason=status:0x00000058"}},
      {{"--bind", "both"}, 2, {"smppcli: --bind must be pair or trx"}, {}},
      {{"--tlv", "x=int1:1"}, 2, {"smppcli: --tlv: tag 'x' is neither a number"}, {}},
      {{"--service-type", "TOOLONG"},
       2,
       {"smppcli: --service-type: submit_service_type is at most 5 characters, not 7"},
       {}},
  };
  for (const Case& c : cases) {
    SmscProcess smsc({"--retry-delay", "100"});
    ASSERT_TRUE(smsc.start()) << smsc.error();
    std::vector<std::string> args = {"--port", std::to_string(smsc.port()), "--wait", "10"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const CliRun r = RunCli(args);
    SCOPED_TRACE(r.out);
    EXPECT_EQ(r.status, c.status);
    for (const std::string& s : c.says) EXPECT_NE(r.out.find(s), std::string::npos) << s;
    for (const std::string& s : c.smscLog)
      EXPECT_TRUE(
          smsc.waitFor([&](const std::string& l) { return l.find(s) != std::string::npos; }, 5s))
          << s;
  }
}

}  // namespace
