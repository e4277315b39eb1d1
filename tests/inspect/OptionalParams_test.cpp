// The optional parameter walk: names, types and meanings by tag, wrong lengths, and where a
// truncated parameter breaks the walk.
#include "inspect/OptionalParams.h"

#include <gtest/gtest.h>

#include "tests/inspect/FieldSummary.h"

namespace {

// The records of the parameters in Wire(Params), placed after two octets of something else so
// that every offset counts from the start of the bytes.
std::string DissectAfterPrefix(const char* Params) {
  Bytes Source = Wire(std::string("AA BB ") + Params);
  THeapBytes Heap(Source);
  std::vector<TPduField> Out;
  DissectOptionalParams(Heap.Data.get(), 2, Heap.Size, Out);
  return Summaries(Out);
}

struct TCase {
  const char* Params;
  const char* Expected;
};

TEST(OptionalParams, EachParameterIsNamedTypedAndExplained) {
  const TCase kCases[] = {
      {"0427 0001 02", "message_state@2+5=2 (DELIVERED)"},
      {"0006 0001 09", "dest_network_type@2+5=9 (reserved)"},
      {"020B 0002 0BB8", "destination_port@2+6=3000"},
      {"0017 0004 00000E10", "qos_time_to_live@2+8=3600"},
      {"0010 0002 0102", "source_telematics_id@2+6=258"},
      {"0030 0001 81", "ms_msg_wait_facilities@2+5=129 (indication active; fax message waiting)"},
      {"0302 0001 07", "callback_num_pres_ind@2+5=7 (presentation restricted; network provided)"},
      {"0501 0001 21", "ussd_service_op@2+5=33 (vendor specific)"},
      {"0210 0001 34", "sc_interface_version@2+5=52 (3.4)"},
      {"001E 0004 '123' 00", "receipted_message_id@2+8='123'"},
      {"001E 0003 '1' 00 '2'", "receipted_message_id@2+7='1' (octets follow the terminating zero)"},
      {"001D 0003 'abc'", "additional_status_info_text@2+7='abc' (not terminated by a zero octet)"},
      {"0424 0002 'hi'", "message_payload@2+6=[68 69]"},
      {"130C 0000", "alert_on_message_delivery@2+4=[] (alert the user on delivery)"},
      {"0423 0003 03 0022",
       "network_error_code@2+7=[03 00 22] {network type@6+1=3 (GSM), "
       "error code@7+2=34}"},
      {"0381 0006 01 01 01 '123'",
       "callback_num@2+10=[01 01 01 31 32 33] {digit mode indicator@6+1=1 (ASCII), "
       "addr_ton@7+1=1 (International), addr_npi@8+1=1 (ISDN (E163/E164)), "
       "number_digits@9+3='123'}"},
      {"0303 0003 00 'ab'",
       "callback_num_atag@2+7=[00 61 62] {data_coding@6+1=0, "
       "display characters@7+2=[61 62]}"},
      {"0202 0003 A0 0102",
       "source_subaddress@2+7=[A0 01 02] {type@6+1=160 (user specified), "
       "subaddress@7+2=[01 02]}"},
      {"1383 0002 07 05",
       "its_session_info@2+6=[07 05] {session number@6+1=7, "
       "sequence number@7+1=2, end of session@7+1=1 (end of session)}"},
      {"1403 0002 0102", "0x1403@2+6=[01 02] (unknown tag)"},
      {"0427 0002 0001", "message_state@2+6=[00 01] (wrong length: 2 octets, expected 1)"},
      {"0010 0000", "source_telematics_id@2+4=[] (wrong length: 0 octets, expected 1 or 2)"},
      {"0423 0002 0300", "network_error_code@2+6=[03 00] (wrong length: 2 octets, expected 3)"},
      {"0381 0003 010101",
       "callback_num@2+7=[01 01 01] (wrong length: 3 octets, expected at least 4)"},
  };
  for (const TCase& C : kCases) {
    SCOPED_TRACE(C.Params);
    EXPECT_EQ(DissectAfterPrefix(C.Params), C.Expected);
  }
}

TEST(OptionalParams, WalkGoesOnToTheEndAndStopsAtABrokenParameter) {
  const TCase kCases[] = {
      {"", ""},
      {"0205 0001 07 0205 0001 08", "user_response_code@2+5=7 | user_response_code@7+5=8"},
      {"0204 0002 0001 0427",
       "user_message_reference@2+6=1 | error@8+0 (2 octets left where an optional parameter "
       "needs 4 for its tag and length)"},
      {"0424 012C 0102",
       "error@2+0 (optional parameter 0x0424 (message_payload) says 300 octets, only 2 remain)"},
      {"1403 0005 01 0205 0001 08",
       "0x1403@2+9=[01 02 05 00 01] (unknown tag) | error@11+0 (1 octet left where an optional "
       "parameter needs 4 for its tag and length)"},
  };
  for (const TCase& C : kCases) {
    SCOPED_TRACE(C.Params);
    EXPECT_EQ(DissectAfterPrefix(C.Params), C.Expected);
  }
}

// Every tag with a name is dissected under that name, every other one under its number.
TEST(OptionalParams, NamesAgreeWithTheWalkForEveryTag) {
  int Named = 0;
  for (unsigned Tag = 0; Tag <= 0xFFFF; ++Tag) {
    THeapBytes Heap(Bytes{static_cast<uint8_t>(Tag >> 8), static_cast<uint8_t>(Tag), 0, 0});
    std::vector<TPduField> Out;
    DissectOptionalParams(Heap.Data.get(), 0, Heap.Size, Out);
    const std::string Name = OptionalParamName(static_cast<uint16_t>(Tag));
    Named += !Name.empty();
    ASSERT_EQ(Out.size(), 1u);
    char Hex[8];
    std::snprintf(Hex, sizeof Hex, "0x%04X", Tag);
    EXPECT_EQ(Out[0].Name, Name.empty() ? std::string(Hex) : Name);
  }
  EXPECT_EQ(Named, 44);
}

TEST(OptionalParams, AMessagePayloadHoldsUserDataLikeAShortMessage) {
  const struct {
    uint8_t EsmClass;
    const char* Params;
    const char* Expected;
  } kCases[] = {
      {0x40, "0424 0008 05 00 03 07 02 01 'hi'",
       "message_payload@0+12=[05 00 03 07 02 01 68 69] {user_data_header@4+6 {UDHL@4+1=5, "
       "concatenated short messages, 8-bit reference@5+5=[07 02 01] (part 1 of 2) "
       "{reference@7+1=7, total parts@8+1=2, part number@9+1=1}}}"},
      {0x04, "0424 0011 'id:7 stat:DELIVRD'",
       "message_payload@0+21=[69 64 3A 37 20 73 74 61 74 3A 44 45 4C 49 56 52 44] "
       "{id@7+1='7', stat@14+7='DELIVRD' (delivered)}"},
  };
  for (const auto& C : kCases) {
    SCOPED_TRACE(C.Params);
    THeapBytes Heap(Wire(C.Params));
    std::vector<TPduField> Out;
    DissectOptionalParams(Heap.Data.get(), 0, Heap.Size, Out, C.EsmClass, 0);
    EXPECT_EQ(Summaries(Out), C.Expected);
  }
}

}  // namespace
