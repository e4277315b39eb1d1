// TAG=TYPE:VALUE: names and numbers for the tag, each type's octets and range, and exact reasons
// for what cannot be read.
#include "inspect/TlvText.h"

#include <gtest/gtest.h>

#include "tests/smpp/PduTestUtil.h"

namespace {

TEST(TlvText, ReadsTagTypeAndValueOrSaysWhatIsWrong) {
  const struct {
    const char* text;
    int tag;  // -1: refused with error
    Bytes value;
    std::string error;
  } cases[] = {
      {"user_message_reference=int2:7", 0x0204, Hex("0007"), ""},
      {"0x1403=hex:0a 0b:0C", 0x1403, Hex("0a0b0c"), ""},
      {"5123=str:ab", 5123, Wire("'ab' 00"), ""},
      {"65535=int4:0xFFFFFFFF", 0xFFFF, Hex("ffffffff"), ""},
      {"0x1400=hex:", 0x1400, {}, ""},
      {"0x0019=int1:256", -1, {}, "value '256' is not a number from 0 to 255 (int1)"},
      {"65536=int1:1",
       -1,
       {},
       "tag '65536' is neither a number from 0 to 65535 nor a name SMPP "
       "3.4 defines"},
      {"no_such_name=int1:1",
       -1,
       {},
       "tag 'no_such_name' is neither a number from 0 to 65535 "
       "nor a name SMPP 3.4 defines"},
      {"0x1400=int8:1", -1, {}, "type 'int8' is not int1, int2, int4, str or hex"},
      {"0x1400=hex:abc", -1, {}, "value 'abc' has an odd number of hex digits"},
      {"0x1400=hex:zz", -1, {}, "value 'zz' is not hex pairs"},
      {"0x1400", -1, {}, "'0x1400' is not TAG=TYPE:VALUE"},
      {"0x1400=int2:-1", -1, {}, "value '-1' is not a number from 0 to 65535 (int2)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    uint16_t tag = 0;
    Bytes value;
    std::string error;
    EXPECT_EQ(ParseTlvText(c.text, tag, value, error), c.tag >= 0);
    EXPECT_EQ(error, c.error);
    if (c.tag < 0) continue;
    EXPECT_EQ(tag, c.tag);
    EXPECT_EQ(value, c.value);
  }
}

}  // namespace
