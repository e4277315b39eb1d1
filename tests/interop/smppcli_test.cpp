// The console client as scripts use it: exit status, the lines it prints and its messages, against
// the local SMSC and against peers that refuse or never answer.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/ClientReports.h"
#include "tests/interop/SmscProcess.h"

using namespace std::chrono_literals;
using smpptest::SmscProcess;

namespace {

struct CliRun {
  int status = -1;
  std::string out;  // standard output and standard error together
  double seconds = 0;
};

CliRun RunCli(const std::vector<std::string>& args) {
  std::string cmd = std::string(SMPP_BINARY_DIR) + "/tools/smppcli";
  for (const std::string& a : args) cmd += " '" + a + "'";
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
  return r;
}

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
      {{"--text", std::string(300, 'y')}, 2, 2},  // one message, two submits
      {{"--destination", "111,222"}, 0, 2},       // submit_multi_resp has no line of its own
      {{"--destination", "111,"}, 0, 1},          // an empty piece is no destination
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

}  // namespace
