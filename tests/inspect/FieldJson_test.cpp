// Tests of the JSON form of dissected PDUs and of hex text parsed into bytes.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "inspect/FieldJson.h"

namespace {

TPduField Leaf(std::string Name, TFieldKind Kind, uint64_t Integer, std::string Text,
               std::string Meaning = {}) {
  TPduField F;
  F.Name = std::move(Name);
  F.Offset = 16;
  F.Length = 2;
  F.Kind = Kind;
  F.Integer = Integer;
  F.Text = std::move(Text);
  F.Meaning = std::move(Meaning);
  return F;
}

TEST(FieldJson, EachKindOfValueAndTheNesting) {
  const std::pair<TPduField, std::string> Cases[] = {
      {Leaf("esm_class", TFieldKind::fkInteger, 64, "", "UDHI"),
       R"({"name":"esm_class","offset":16,"length":2,"value":64,"meaning":"UDHI"})"},
      // Bytes from the wire stay readable and the JSON valid: a control byte, invalid UTF-8.
      {Leaf("source_addr", TFieldKind::fkText, 0, std::string("a\x1b\xff\0b", 5)),
       R"({"name":"source_addr","offset":16,"length":2,"value":"a\\x1b\\xff\\x00b"})"},
      {Leaf("short_message", TFieldKind::fkOctets, 0, std::string("\x00\x7f\xff", 3)),
       R"({"name":"short_message","offset":16,"length":2,"value":"00 7F FF"})"},
      {Leaf("error", TFieldKind::fkError, 0, "", "the PDU ends at octet 18"),
       R"({"name":"error","offset":16,"length":2,"value":null,"meaning":"the PDU ends at octet 18"})"},
  };
  for (const auto& [Field, Json] : Cases) {
    SCOPED_TRACE(Field.Name);
    EXPECT_EQ(FieldJson(Field), Json);
  }
  TPduField Pdu = Leaf("enquire_link", TFieldKind::fkGroup, 0, "");
  Pdu.Fields = {Leaf("command_id", TFieldKind::fkInteger, 21, "", "enquire_link")};
  const nlohmann::json J = nlohmann::json::parse(FieldJson(Pdu));
  EXPECT_TRUE(J["value"].is_null());
  EXPECT_EQ(J["fields"][0]["meaning"], "enquire_link");
  EXPECT_FALSE(J["fields"][0].contains("fields"));
}

TEST(FieldJson, HexTextIsParsedOrRefusedWithTheReason) {
  struct Case {
    const char* Text;
    std::vector<uint8_t> Bytes;
    std::string Error;
  };
  const Case Cases[] = {
      {"00 00 00 10 80", {0, 0, 0, 0x10, 0x80}, ""},
      {"0x0000001aBc", {0, 0, 0, 0x1a, 0xbc}, ""},
      {"de:ad\tbe ef\r\n", {0xde, 0xad, 0xbe, 0xef}, ""},
      {"00 0g", {}, "character 5 is not a hex digit"},
      {"000", {}, "an odd number of hex digits"},
      {"  ", {}, "no hex digits"},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Text);
    std::vector<uint8_t> Bytes;
    std::string Error;
    EXPECT_EQ(ParseHexPdu(C.Text, Bytes, Error), C.Error.empty());
    EXPECT_EQ(Error, C.Error);
    if (C.Error.empty()) {
      EXPECT_EQ(Bytes, C.Bytes);
    }
  }
}

}  // namespace
