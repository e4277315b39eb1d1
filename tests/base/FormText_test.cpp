// Tests of published properties and the form text: what is written, what is read back, and the
// faults a reader reports.
#include "base/FormText.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

// A nested settings object with one property of each scalar kind.
class TInner : public TPersistent {
 public:
  int32_t Count = 0;
  std::string Name;
  void PublishProperties(TPublishedProperties& props) override {
    props.Integer("Count", Count, 10);
    props.Text("Name", Name);
  }
};

// An outer object: properties with and without declared defaults, and two nested objects.
class TOuter : public TPersistent {
 public:
  int32_t Port = 0;
  int32_t Level = 0;
  bool Active = false;
  std::string Host;
  std::string Color = "clNone";
  TInner First, Second;
  void PublishProperties(TPublishedProperties& props) override {
    props.Text("Host", Host);
    props.Integer("Port", Port);
    props.Integer("Level", Level, 1);
    props.Boolean("Active", Active, false);
    props.Ident("Color", Color, "clNone");
    props.Object("First", First);
    props.Object("Second", Second);
  }
};

TEST(FormText, WritesInStreamingOrderOnlyWhatDiffersFromDeclaredDefaults) {
  TOuter o;
  o.Host = "h";
  o.Level = 1;  // equals its default: left out
  o.Active = true;
  o.Color = "clBackground";
  o.Second.Count = 10;  // equals its default: only the name, which has none, is stored
  o.First.Count = -5;
  EXPECT_EQ(WriteFormText(o),
            "Host = \"h\"\n"
            "Port = 0\n"
            "Active = true\n"
            "Color = clBackground\n"
            "First {\n"
            "  Count = -5\n"
            "  Name = \"\"\n"
            "}\n"
            "Second {\n"
            "  Name = \"\"\n"
            "}\n");
}

TEST(FormText, RoundTripsEveryValue) {
  struct Case {
    const char* what;
    std::string text;
    int32_t number;
  };
  const Case cases[] = {
      {"empty text", "", 0},
      {"quotes", "say \"hi\" '", -1},
      {"backslashes", "a\\b\\\\", INT32_MIN},
      {"bytes above 127", std::string("p\xE9\x80\xFF\xC3\xA9", 6), INT32_MAX},
      {"control bytes", std::string("\n\r\t\x01\x1F\x7F\0end", 10), 42},
      {"braces and equals", "x = { }", -2147483647},
      {"escape look-alike", "\\x41 \\n", 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TOuter o;
    o.Host = c.text;
    o.Port = c.number;
    o.First.Name = c.text;
    o.First.Count = c.number;
    const std::string text = WriteFormText(o);
    EXPECT_EQ(text.find('\0'), std::string::npos);
    // Every line of the text is plain printable ASCII.
    for (char ch : text)
      EXPECT_TRUE(ch == '\n' || (ch >= 0x20 && ch < 0x7F)) << int(static_cast<unsigned char>(ch));
    TOuter back;
    back.Host = "constructor";
    back.Port = 99;
    ReadFormText(back, text);
    EXPECT_EQ(back.Host, c.text);
    EXPECT_EQ(back.Port, c.number);
    EXPECT_EQ(back.First.Name, c.text);
    EXPECT_EQ(back.First.Count, c.number);
  }
}

TEST(FormText, ReadingAssignsOverConstructorValuesAndKeepsUnmentionedOnes) {
  TOuter o;
  o.Level = 7;
  o.Active = true;
  o.First.Count = 3;
  ReadFormText(o,
               "# stored values\n"
               "\n"
               "Port = 2775\r\n"
               "   Active = false   \n"
               "First {\n"
               "\tName = \"n\"\n"
               "}\n");
  EXPECT_EQ(o.Port, 2775);
  EXPECT_FALSE(o.Active);
  EXPECT_EQ(o.Level, 7);
  EXPECT_EQ(o.First.Count, 3);
  EXPECT_EQ(o.First.Name, "n");
}

TEST(FormText, ReportsFaultsWithTheirLine) {
  struct Case {
    const char* text;
    int line;
    const char* message;
  };
  const Case cases[] = {
      {"Port = 1\nNope = 2\n", 2, "unknown property Nope"},
      {"Port = \"1\"", 1, "expects an integer"},
      {"Port = 2147483648", 1, "out of range"},
      {"Port = 99999999999999999999", 1, "out of range"},
      {"Active = yes", 1, "true or false"},
      {"Color = \"clRed\"", 1, "expects a name"},
      {"Host = 5", 1, "quoted text"},
      {"Host = \"open", 1, "not closed"},
      {"Host = \"a\" b", 1, "after the text"},
      {"Host = \"\\q\"", 1, "unknown escape"},
      {"Host = \"\\x4\"", 1, "bad \\x escape"},
      {"First {\nCount = 1\n", 3, "not closed"},
      {"}\n", 1, "without an open object"},
      {"Port 5", 1, "expected '='"},
      {"First = 1", 1, "is an object"},
      {"First {\nHost = \"x\"\n}", 2, "unknown property Host"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TOuter o;
    try {
      ReadFormText(o, c.text);
      ADD_FAILURE() << "no error";
    } catch (const EFormTextError& e) {
      EXPECT_EQ(e.Line(), c.line);
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
}

}  // namespace
