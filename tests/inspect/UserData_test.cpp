// What the user data holds: the elements of a user data header and the fields of a receipt text,
// each at its offset in the bytes.
#include "inspect/UserData.h"

#include <gtest/gtest.h>

#include "tests/inspect/FieldSummary.h"

namespace {

struct TCase {
  uint8_t EsmClass;
  uint8_t DataCoding;
  const char* UserData;
  const char* Expected;
};

// The fields found in Wire(UserData), which follows one octet of something else.
std::string Dissect(const TCase& C) {
  THeapBytes Heap(Wire(std::string("AA ") + C.UserData));
  TPduField Field;
  DissectUserData(Heap.Data.get(), 1, Heap.Size - 1, C.EsmClass, C.DataCoding, Field);
  return Summaries(Field.Fields);
}

void Check(const TCase& C) {
  SCOPED_TRACE(C.UserData);
  EXPECT_EQ(Dissect(C), C.Expected);
}

TEST(UserData, HeaderElementsAndWhereTheHeaderBreaks) {
  const TCase kCases[] = {
      {0x40, 0, "05 00 03 2A 02 01 'hi'",
       "user_data_header@1+6 {UDHL@1+1=5, concatenated short messages, 8-bit reference@2+5=[2A 02 "
       "01] (part 1 of 2) {reference@4+1=42, total parts@5+1=2, part number@6+1=1}}"},
      {0x40, 0, "06 08 04 1234 03 02",
       "user_data_header@1+7 {UDHL@1+1=6, concatenated short messages, 16-bit reference@2+6=[12 "
       "34 03 02] (part 2 of 3) {reference@4+2=4660, total parts@6+1=3, part number@7+1=2}}"},
      {0x40, 0, "05 00 03 01 02 00",
       "user_data_header@1+6 {UDHL@1+1=5, concatenated short messages, 8-bit reference@2+5=[01 02 "
       "00] (part 0 of 2, which cannot be) {reference@4+1=1, total parts@5+1=2, part "
       "number@6+1=0}}"},
      {0x40, 0, "06 05 04 0B84 23F0",
       "user_data_header@1+7 {UDHL@1+1=6, application port addressing, 16-bit@2+6=[0B 84 23 F0] "
       "{destination port@4+2=2948, originator port@6+2=9200}}"},
      {0x40, 0, "0B 80 01 FF 02 00 24 01 01 01 02 80 03",
       "user_data_header@1+12 {UDHL@1+1=11, information element 0x80@2+3=[FF] (SME to SME "
       "specific use), information element 0x02@5+2=[] (reserved), national language single "
       "shift@7+3=[01] (Turkish), error@10+0 (information element 0x01 says 2 octets, only 1 "
       "remains in the header)}"},
      {0x40, 0, "04 01 02 80 03",
       "user_data_header@1+5 {UDHL@1+1=4, special SMS message "
       "indication@2+4=[80 03] (voice message waiting: 3; store)}"},
      {0x40, 0, "04 00 02 01 02",
       "user_data_header@1+5 {UDHL@1+1=4, concatenated short messages, 8-bit reference@2+4=[01 "
       "02] (wrong length: 2 octets, expected 3)}"},
      {0x40, 0, "01 00",
       "user_data_header@1+2 {UDHL@1+1=1, error@2+0 (information element 0x00 has no length "
       "octet before the end of the header)}"},
      {0x40, 0, "07 00 03 01 02",
       "user_data_header@1+5 {UDHL@1+1=7, error@2+0 (UDHL says 7 octets, only 4 follow)}"},
      {0x40, 0, "", "user_data_header@1+0 {error@1+0 (UDHI is set but the user data is empty)}"},
      {0x00, 0, "05 00 03 2A 02 01", ""},
  };
  for (const TCase& C : kCases) Check(C);
}

TEST(UserData, ReceiptFieldsByTheirLabels) {
  const TCase kCases[] = {
      {0x04, 0,
       "'id:12 sub:001 dlvrd:001 submit date:2101011200 done date:2101011201 stat:DELIVRD err:000 "
       "text:Hi you'",
       "id@4+2='12' | sub@11+3='001' | dlvrd@21+3='001' | submit date@37+10='2101011200' "
       "(2021-01-01 12:00) | done date@58+10='2101011201' (2021-01-01 12:01) | stat@74+7='DELIVRD' "
       "(delivered) | err@86+3='000' | text@95+6='Hi you'"},
      {0x20, 0, "'STAT:undeliv  ID:9 Err:5 id:8'",
       "stat@6+7='undeliv' (undeliverable) | id@18+1='9' | err@24+1='5'"},
      {0x04, 0, "'stat:GONE submit date:210101120000 done date:2113011200'",
       "stat@6+4='GONE' (not a receipt state) | submit date@23+12='210101120000' (2021-01-01 "
       "12:00:00) | done date@46+10='2113011200' (not a date of the form YYMMDDhhmm)"},
      {0x04, 0, "'junk text:a id:1'", "text@11+6='a id:1'"},
      {0x44, 0, "02 70 00 'id:5'",
       "user_data_header@1+3 {UDHL@1+1=2, information element 0x70@2+2=[] (SIM toolkit security "
       "header)} | id@7+1='5'"},
      {0x04, 8, "'id:5'", ""},
      {0x00, 0, "'id:5'", ""},
  };
  for (const TCase& C : kCases) Check(C);
}

}  // namespace
