// Codings and long messages against the local SMSC (the npm package smpp): what the client sends
// in each coding and mode is read back by that package as the same text, concatenation
// references count up per destination, and a text the coding cannot carry never leaves.
#include <memory>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "tests/ClientReports.h"
#include "tests/interop/SmscProcess.h"

using smpptest::SmscProcess;

namespace {

std::string Repeat(const std::string& s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

class LongMessagesAgainstSmsc : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(smsc.start()) << smsc.error();
    client = std::make_unique<TSmppClient>(nullptr);
    reports = std::make_unique<ClientReports>(*client);
    UseShortTimers(*client);
    client->ClientInfo().SetHost("127.0.0.1");
    client->ClientInfo().SetPort(smsc.port());
    client->Connect();
    ASSERT_TRUE(reports->waitFor(On::Tcx, "bind Tcx OK")) << reports->dump();
  }
  void TearDown() override {
    client.reset();
    reports.reset();
  }
  // Sends Text to Destination in that coding and mode; gives the SMSC's line for the whole
  // message.
  std::string SendAndRead(TTextCoding coding, TLongMessageMode mode, const std::string& text,
                          const std::string& destination = "5551234") {
    client->ClientInfo().Set_submit_coding(coding);
    client->ClientInfo().Set_submit_long_mode(mode);
    const size_t from = smsc.mark();
    EXPECT_GT(client->Send("1234", destination, "", text), 0);
    const auto line = smsc.waitFor("message ", {" dst=" + destination + " "}, from);
    EXPECT_TRUE(line) << smsc.joinedLines();
    return line.value_or("");
  }

  SmscProcess smsc;
  std::unique_ptr<TSmppClient> client;
  std::unique_ptr<ClientReports> reports;
};

TEST_F(LongMessagesAgainstSmsc, EachCodingAndModeIsReadBackAsTheSameText) {
  const std::string gsm = Repeat("Grüße {€} @home ", 12);  // 216 septets with the escapes
  const std::string cyrillic = Repeat("Привет ", 20);
  const std::string emoji = Repeat("😀", 40);  // 80 units: a pair at every part boundary
  struct Case {
    TTextCoding Coding;
    TLongMessageMode Mode;
    std::string Text;
    const char* Parts;  // the line's parts= and what follows up to data_coding
  };
  const Case cases[] = {
      {TTextCoding::tcGsm, TLongMessageMode::lmUdh, gsm, "parts=2 ref="},
      {TTextCoding::tcGsm, TLongMessageMode::lmSar, gsm, "parts=2 ref="},
      {TTextCoding::tcAuto, TLongMessageMode::lmUdh16, cyrillic, "parts=3 ref="},
      {TTextCoding::tcUcs2, TLongMessageMode::lmUdh, emoji, "parts=2 ref="},
      {TTextCoding::tcUcs2, TLongMessageMode::lmSar, emoji, "parts=2 ref="},
      {TTextCoding::tcLatin1, TLongMessageMode::lmUdh, Repeat("café ", 40), "parts=2 ref="},
      {TTextCoding::tcLatin1, TLongMessageMode::lmPayload, Repeat("café ", 60), "parts=1 "},
      {TTextCoding::tcUcs2, TLongMessageMode::lmPayload, cyrillic, "parts=1 "},
      {TTextCoding::tcAuto, TLongMessageMode::lmUdh, "Hello [€]", "parts=1 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(TextCodingWord(c.Coding)) + " " +
                 std::string(LongMessageModeWord(c.Mode)));
    const std::string line = SendAndRead(c.Coding, c.Mode, c.Text);
    EXPECT_NE(line.find(c.Parts), std::string::npos) << line;
    const std::string expected = "text=\"" + c.Text + TSmppClient::SignatureTrailer + "\"";
    ASSERT_GE(line.size(), expected.size());
    EXPECT_EQ(line.substr(line.size() - expected.size()), expected);
  }
}

TEST_F(LongMessagesAgainstSmsc, ReferencesCountUpPerDestination) {
  const std::string text = Repeat("x", 200);
  auto ref = [](const std::string& line) {
    std::smatch m;
    return std::regex_search(line, m, std::regex(" ref=(\\d+) ")) ? std::stoi(m[1]) : -1;
  };
  struct Case {
    TLongMessageMode Mode;
    int Modulo;
  };
  for (const Case& c : {Case{TLongMessageMode::lmUdh, 256}, Case{TLongMessageMode::lmUdh16, 65536},
                        Case{TLongMessageMode::lmSar, 65536}}) {
    SCOPED_TRACE(LongMessageModeWord(c.Mode));
    const int first = ref(SendAndRead(TTextCoding::tcGsm, c.Mode, text, "111"));
    const int other = ref(SendAndRead(TTextCoding::tcGsm, c.Mode, text, "222"));
    const int second = ref(SendAndRead(TTextCoding::tcGsm, c.Mode, text, "111"));
    ASSERT_GE(first, 0);
    ASSERT_GE(other, 0);
    EXPECT_EQ(second, (first + 1) % c.Modulo);
  }
}

TEST_F(LongMessagesAgainstSmsc, ATextTheCodingCannotCarryNeverLeaves) {
  client->ClientInfo().Set_submit_coding(TTextCoding::tcLatin1);
  client->ClientInfo().Set_submit_long_mode(TLongMessageMode::lmUdh);
  const size_t from = smsc.mark();
  const size_t reportsFrom = reports->mark();
  EXPECT_EQ(client->Send("1234", "5551234", "", "price 5 €"), -1);
  EXPECT_TRUE(reports->waitFor(On::Tcx,
                               "Tcx send refused: character 9 of the text (U+20AC \"€\") does not "
                               "fit Latin-1",
                               reportsFrom));
  // The next message is the first the SMSC sees.
  EXPECT_GT(client->Send("1234", "5551234", "", "price 5 EUR"), 0);
  const auto line = smsc.waitFor("submit_sm ", {}, from);
  ASSERT_TRUE(line) << smsc.joinedLines();
  EXPECT_NE(line->find("price 5 EUR"), std::string::npos) << *line;
}

}  // namespace
