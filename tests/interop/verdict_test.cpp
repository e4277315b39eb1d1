// smppcli's verdict against a hostile SMSC (tools/smsc_adversary): for each misbehaviour the
// summary's counts are compared with what the SMSC's own log of the wire says, and the exit status
// is 1 whenever something the run expected did not happen, 0 only when everything did.
#include <unistd.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/interop/CliRun.h"
#include "tests/interop/SmscProcess.h"

using smpptest::CliRun;
using smpptest::RunCli;
using smpptest::SmscProcess;

namespace {

// What the adversary's log says of one run: the PDUs it read and wrote, by kind.
struct TWire {
  long SubmitsIn = 0, ResponsesOut = 0;
  long EarlyResponses = 0;  // written before a submit with their sequence number was read
  long FinalReceipts = 0, Intermediates = 0;
  long DuplicateReceipts = 0;              // final receipts for an id and destination sent before
  std::set<std::string> ReceiptedIds;      // ids with a final receipt
  std::set<std::string> ReceiptedSources;  // destinations with a final receipt
  std::map<std::string, long> States;      // final receipts by stat
};

std::vector<uint8_t> FromHex(const std::string& Hex) {
  std::vector<uint8_t> Bytes;
  for (size_t I = 0; I + 1 < Hex.size(); I += 2)
    Bytes.push_back(static_cast<uint8_t>(std::stoul(Hex.substr(I, 2), nullptr, 16)));
  return Bytes;
}

// The source_addr, esm_class and short message of a deliver_sm's bytes.
void ReadDeliver(const std::vector<uint8_t>& B, std::string& Source, uint8_t& Esm,
                 std::string& Text) {
  size_t At = 16;
  auto CString = [&] {
    std::string S;
    while (At < B.size() && B[At] != 0) S += static_cast<char>(B[At++]);
    ++At;
    return S;
  };
  CString();  // service_type
  At += 2;
  Source = CString();
  At += 2;
  CString();  // destination_addr
  Esm = At < B.size() ? B[At] : 0;
  At += 3;  // esm_class, protocol_id, priority_flag
  CString();
  CString();  // schedule_delivery_time, validity_period
  At += 4;    // registered_delivery, replace_if_present_flag, data_coding, sm_default_msg_id
  const size_t Length = At < B.size() ? B[At++] : 0;
  Text.assign(B.begin() + static_cast<long>(std::min(At, B.size())),
              B.begin() + static_cast<long>(std::min(At + Length, B.size())));
}

// The value of label ("id:", "stat:") in a receipt's text.
std::string Label(const std::string& Text, const std::string& Name) {
  const size_t At = Text.find(Name);
  if (At == std::string::npos) return {};
  const size_t From = At + Name.size();
  return Text.substr(From, Text.find(' ', From) - From);
}

// The log's lines of the connections in Conns (all when empty).
TWire ReadLog(const std::string& Path, const std::set<std::string>& Conns = {}) {
  TWire W;
  std::ifstream In(Path);
  std::string Line;
  std::set<std::pair<std::string, std::string>> SubmitsRead;  // conn, sequence
  std::set<std::pair<std::string, std::string>> Receipted;    // id, destination
  while (std::getline(In, Line)) {
    std::istringstream L(Line);
    std::string Ns, Conn, Dir, Command, Status, Sequence, Hex;
    L >> Ns >> Conn >> Dir >> Command >> Status >> Sequence >> Hex;
    if (!Conns.empty() && !Conns.count(Conn)) continue;
    if (Dir == "in" && (Command == "0x00000004" || Command == "0x00000021")) {
      ++W.SubmitsIn;
      SubmitsRead.insert({Conn, Sequence});
    }
    if (Dir == "out" && (Command == "0x80000004" || Command == "0x80000021")) {
      ++W.ResponsesOut;
      W.EarlyResponses += !SubmitsRead.count({Conn, Sequence});
    }
    if (Dir == "out" && Command == "0x00000005") {
      std::string Source, Text;
      uint8_t Esm = 0;
      ReadDeliver(FromHex(Hex), Source, Esm, Text);
      const std::string Stat = Label(Text, "stat:"), Id = Label(Text, "id:");
      if ((Esm & 0x3C) == 0x20 || Stat == "ENROUTE") {
        ++W.Intermediates;
      } else if ((Esm & 0x3C) == 0x04) {
        ++W.FinalReceipts;
        ++W.States[Stat];
        W.DuplicateReceipts += !Receipted.insert({Id, Source}).second;
        W.ReceiptedIds.insert(Id);
        W.ReceiptedSources.insert(Source);
      }
    }
  }
  return W;
}

// A run of smppcli against an adversary started with Adversary, and what its log says.
struct TRun {
  CliRun Cli;
  nlohmann::json Summary, Counts;
  TWire Wire;
};

class Verdict : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const std::string& P : FFiles) unlink(P.c_str());
  }
  std::string TempFile(const char* Stem) {
    char Path[64];
    std::snprintf(Path, sizeof Path, "/tmp/verdict_%s_%d_%zu", Stem, getpid(), FFiles.size());
    FFiles.push_back(Path);
    return Path;
  }
  // The adversary's options with a log, whose path goes to Log.
  std::vector<std::string> WithLog(std::vector<std::string> Adversary, std::string& Log) {
    Log = TempFile("log");
    Adversary.insert(Adversary.end(), {"--log", Log});
    return Adversary;
  }
  // smppcli against Smsc with these options, quiet and with a summary in JSON.
  TRun RunOn(const SmscProcess& Smsc, std::vector<std::string> Cli) {
    TRun R;
    const std::string Json = TempFile("json");
    Cli.insert(Cli.end(), {"--port", std::to_string(Smsc.port()), "--quiet", "--json", Json});
    R.Cli = RunCli(Cli);
    std::ifstream In(Json);
    R.Summary = nlohmann::json::parse(In, nullptr, false);
    if (R.Summary.is_object()) R.Counts = R.Summary["counts"];
    return R;
  }
  // One adversary, one run, and the log read once the adversary has stopped.
  TRun RunAgainst(std::vector<std::string> Adversary, std::vector<std::string> Cli) {
    std::string Log;
    SmscProcess Smsc(WithLog(std::move(Adversary), Log));
    Smsc.useAdversary();
    if (!Smsc.start()) {
      ADD_FAILURE() << Smsc.error();
      return {};
    }
    TRun R = RunOn(Smsc, std::move(Cli));
    Smsc.stop();
    R.Wire = ReadLog(Log);
    return R;
  }

 private:
  std::vector<std::string> FFiles;
};

long Count(const TRun& R, const char* Key) {
  return R.Counts.is_object() && R.Counts.contains(Key) ? R.Counts[Key].get<long>() : -1;
}
long State(const TRun& R, const char* Word) {
  const auto& S = R.Summary["receipt_states"];
  return S.contains(Word) ? S[Word].get<long>() : 0;
}

// Every response is either the answer to one submit or unexpected: what the wire shows.
void ExpectResponsesAccountedFor(const TRun& R) {
  EXPECT_EQ(Count(R, "submits"), R.Wire.SubmitsIn);
  EXPECT_EQ(Count(R, "answered") + Count(R, "unexpected_responses"), R.Wire.ResponsesOut);
  EXPECT_EQ(Count(R, "unanswered"), Count(R, "submits") - Count(R, "answered"));
}

TEST_F(Verdict, ResponsesOnlyAnswerSubmitsOnTheWire) {
  const struct {
    const char* Name;
    std::vector<std::string> Adversary;
    int Exit;
  } Cases[] = {
      {"clean", {}, 0},
      // Sequence numbers 3 to 60 before any submit: 50 submits take 3 to 52, so at least the
      // last eight answer nothing ever sent.
      {"responses before their submits", {"--phantom", "3-60"}, 1},
      {"every response twice", {"--answer-twice"}, 1},
      {"wrong sequence numbers", {"--wrong-sequence"}, 1},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    const TRun R = RunAgainst(C.Adversary, {"--count", "50", "--wait", "2", "--no-receipts"});
    EXPECT_EQ(R.Cli.status, C.Exit) << R.Cli.out;
    ExpectResponsesAccountedFor(R);
    if (C.Exit == 0) EXPECT_EQ(Count(R, "unexpected_responses"), 0);
    // Read before its submit went, a response is never taken for its answer: none of those the
    // adversary wrote for numbers never sent is.
    if (C.Exit == 1) EXPECT_GE(Count(R, "unexpected_responses"), 8);
  }
}

TEST_F(Verdict, SubmitMultiReceiptsAreToldApartByDestination) {
  const struct {
    const char* Name;
    std::vector<std::string> Adversary;
    int Exit;
    long Receipts, Duplicates;
  } Cases[] = {
      {"one per destination", {}, 0, 20, 0},
      {"all from the first destination", {"--multi-receipts", "one-destination"}, 1, 10, 10},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    const TRun R =
        RunAgainst(C.Adversary, {"--count", "10", "--destination", "111,222", "--wait", "2"});
    EXPECT_EQ(R.Cli.status, C.Exit) << R.Cli.out;
    EXPECT_EQ(R.Wire.FinalReceipts, 20);
    EXPECT_EQ(Count(R, "receipts"), C.Receipts);
    EXPECT_EQ(Count(R, "receipts"), R.Wire.FinalReceipts - R.Wire.DuplicateReceipts);
    EXPECT_EQ(Count(R, "duplicate_receipts"), C.Duplicates);
    EXPECT_EQ(Count(R, "duplicate_receipts"), R.Wire.DuplicateReceipts);
    EXPECT_EQ(Count(R, "receipts_missing"), 20 - C.Receipts);
  }
}

TEST_F(Verdict, DuplicatesNeverFillInForMissingReceipts) {
  const struct {
    const char* Name;
    std::vector<std::string> Adversary;
    long DuplicateIds;
  } Cases[] = {
      // One id for all: its receipts cannot be told apart, whatever comes.
      {"one id for every submit", {"--ids", "constant", "--receipt-twice-every", "2"}, 49},
      // Distinct ids: a receipt twice for some, none for others.
      {"twice for some, none for others",
       {"--receipt-twice-every", "2", "--receipt-drop-every", "3"},
       0},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    const TRun R = RunAgainst(C.Adversary, {"--count", "50", "--wait", "2"});
    EXPECT_EQ(R.Cli.status, 1) << R.Cli.out;
    EXPECT_EQ(Count(R, "duplicate_message_ids"), C.DuplicateIds);
    if (C.DuplicateIds == 0) {
      EXPECT_EQ(Count(R, "receipts"), static_cast<long>(R.Wire.ReceiptedIds.size()));
      EXPECT_EQ(Count(R, "duplicate_receipts"), R.Wire.DuplicateReceipts);
      EXPECT_EQ(Count(R, "receipts_missing"), 50 - static_cast<long>(R.Wire.ReceiptedIds.size()));
      EXPECT_GT(Count(R, "receipts_missing"), 0);
    }
  }
}

// Receipts of an earlier run (hex ids in responses, decimal in receipts, seconds late) reach the
// next run on the same system_id: none is taken for one of its own.
TEST_F(Verdict, AnEarlierRunsReceiptsAreNotTheNewRuns) {
  const struct {
    const char* Ids;
    int Exit;
    long Receipts;
  } Cases[] = {{"exact", 1, 0}, {"auto", 1, 0}, {"hex-dec", 0, 20}};
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Ids);
    std::string Log;
    SmscProcess Smsc(WithLog({"--ids", "hex-dec", "--receipt-delay", "4000"}, Log));
    Smsc.useAdversary();
    ASSERT_TRUE(Smsc.start()) << Smsc.error();
    // The first run asks for receipts and leaves before they come.
    const TRun First = RunOn(Smsc, {"--count", "20", "--no-receipts"});
    ASSERT_EQ(First.Cli.status, 0) << First.Cli.out;
    const TRun R = RunOn(Smsc, {"--count", "20", "--receipt-ids", C.Ids, "--wait", "6"});
    Smsc.stop();
    const TWire Wire = ReadLog(Log);
    EXPECT_EQ(Wire.FinalReceipts, 40);  // both runs' receipts were sent
    EXPECT_EQ(R.Cli.status, C.Exit) << R.Cli.out;
    EXPECT_EQ(Count(R, "receipts"), C.Receipts);
    if (std::string(C.Ids) == "auto") {
      EXPECT_GT(Count(R, "doubtful_receipts"), 0);
      EXPECT_NE(R.Cli.out.find("--receipt-ids hex-dec would settle it"), std::string::npos)
          << R.Cli.out;
    }
  }
}

TEST_F(Verdict, IntermediateNotificationsNeverStandForTheReceipt) {
  const struct {
    const char* Name;
    std::vector<std::string> Adversary;
    int Exit;
  } Cases[] = {
      {"as notifications", {"--enroute", "2"}, 0},
      {"as receipts in state ENROUTE", {"--enroute", "2", "--enroute-as", "receipt"}, 0},
      {"before their response", {"--enroute", "1", "--receipts-first"}, 0},
      {"the final receipt never comes", {"--enroute", "1", "--receipt-drop-every", "5"}, 1},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    const TRun R = RunAgainst(C.Adversary, {"--count", "50", "--wait", "2"});
    EXPECT_EQ(R.Cli.status, C.Exit) << R.Cli.out;
    EXPECT_GT(R.Wire.Intermediates, 0);
    EXPECT_EQ(State(R, "ENROUTE"), R.Wire.Intermediates);
    EXPECT_EQ(State(R, "DELIVRD"),
              R.Wire.States.count("DELIVRD") ? R.Wire.States.at("DELIVRD") : 0);
    EXPECT_EQ(Count(R, "receipts"), R.Wire.FinalReceipts);
    EXPECT_EQ(Count(R, "receipts_missing"), 50 - R.Wire.FinalReceipts);
  }
}

// The rest of the adversary's misbehaviours: whatever the SMSC does, every count of the summary is
// what its log of the wire says, and the run passes only when everything it expected happened.
TEST_F(Verdict, EveryCountIsWhatTheWireSays) {
  const struct {
    const char* Name;
    std::vector<std::string> Adversary;
    int Exit;
    long Strays;  // receipts for ids never given, sent when the receiver binds
  } Cases[] = {
      {"every fifth submit unanswered", {"--unanswered-every", "5"}, 1, 0},
      {"answers in reversed batches", {"--reverse-batches", "7"}, 0, 0},
      {"silent after 20 submits", {"--silent-after", "20"}, 1, 0},
      {"a bind refused", {"--refuse-bind", "0x0000000F"}, 1, 0},
      {"hexadecimal ids", {"--ids", "hex"}, 0, 0},
      {"receipts late by a spread", {"--receipt-spread", "300", "--seed", "7"}, 0, 0},
      {"receipts before their responses", {"--receipts-first"}, 0, 0},
      {"receipts for ids never given", {"--stray-receipts", "5"}, 0, 5},
      {"a mix of final states", {"--states", "DELIVRD:1,UNDELIV:1", "--seed", "3"}, 1, 0},
      {"a deliver_sm whose sm_length runs past its end", {"--bad-deliver", "overrun"}, 0, 0},
      {"a deliver_sm whose string has no terminator", {"--bad-deliver", "unterminated"}, 0, 0},
      {"MO messages between the receipts", {"--mo-rate", "200"}, 0, 0},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    const TRun R = RunAgainst(C.Adversary, {"--count", "50", "--wait", "2"});
    EXPECT_EQ(R.Cli.status, C.Exit) << R.Cli.out;
    ExpectResponsesAccountedFor(R);
    EXPECT_EQ(Count(R, "unexpected_responses"), 0);
    EXPECT_EQ(Count(R, "receipts"), R.Wire.FinalReceipts - C.Strays);
    EXPECT_EQ(Count(R, "unmatched_receipts"), C.Strays);
    EXPECT_EQ(Count(R, "receipts_missing"), Count(R, "accepted") - Count(R, "receipts"));
    if (C.Strays == 0)
      for (const auto& [Word, N] : R.Wire.States) EXPECT_EQ(State(R, Word.c_str()), N) << Word;
  }
}

}  // namespace

namespace {

// Clean runs pass against the Node.js local SMSC too: receipts (in each of its styles) and a
// submit_multi's receipts, one per destination.
TEST(VerdictLocalSmsc, CleanRunsPass) {
  const struct {
    const char* Name;
    std::vector<std::string> Smsc, Cli;
    long Receipts;
  } Cases[] = {
      {"receipts", {"--quiet"}, {"--count", "20"}, 20},
      {"receipts as data_sm", {"--quiet", "--receipt-style", "datasm"}, {"--count", "20"}, 20},
      {"submit_multi", {"--quiet"}, {"--count", "10", "--destination", "111,222,333"}, 30},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    SmscProcess Smsc(C.Smsc);
    ASSERT_TRUE(Smsc.start()) << Smsc.error();
    char Json[64];
    std::snprintf(Json, sizeof Json, "/tmp/verdict_local_%d.json", getpid());
    std::vector<std::string> Cli = C.Cli;
    Cli.insert(Cli.end(), {"--port", std::to_string(Smsc.port()), "--quiet", "--json", Json});
    const CliRun R = RunCli(Cli);
    EXPECT_EQ(R.status, 0) << R.out;
    std::ifstream In(Json);
    const nlohmann::json S = nlohmann::json::parse(In, nullptr, false);
    unlink(Json);
    ASSERT_TRUE(S.is_object()) << R.out;
    EXPECT_EQ(S["counts"]["receipts"], C.Receipts);
    for (const char* Key : {"unexpected_responses", "duplicate_message_ids", "duplicate_receipts",
                            "doubtful_receipts", "receipts_missing"})
      EXPECT_EQ(S["counts"][Key], 0) << Key;
  }
}

}  // namespace
