// Byte-exact tests of every PDU the encoder builds, of sequence numbering, and of the capacity
// rule.
#include <gtest/gtest.h>

#include <thread>

#include "PduTestUtil.h"

namespace {

class PduEncoder : public ::testing::Test {
 protected:
  PduEncoder() {
    info.Set_submit_source_addr_ton(0x105);  // only the low 8 bits go out
    info.Set_submit_source_addr_npi(1);
    info.Set_submit_dest_addr_ton(2);
    info.Set_submit_dest_addr_npi(3);
  }

  // The PDU as hex, encoded into a 10000-byte buffer.
  std::string Encode(TPDU& pdu, int dataCoding = 0) {
    Bytes buf(kPduBufferSize);
    size_t length = 12345;
    codec.EncodePdu(buf.data(), buf.size(), length, pdu, dataCoding);
    return ToHex(buf.data(), length);
  }
  std::string Encode(uint32_t commandId) {
    TPDU pdu = Make(commandId);
    return Encode(pdu);
  }
  static TPDU Make(uint32_t commandId, std::string_view destination = "",
                   std::string_view text = "", std::string_view validity = "",
                   std::string_view source = "1") {
    TPDU pdu;
    pdu.command_id = commandId;
    pdu.submit.source_addr = source;
    pdu.submit.destination_addr = std::string(destination);
    pdu.submit.short_message = text;
    pdu.submit.validity_period = validity;
    return pdu;
  }

  TSMPPClientInfo info;
  TSequenceCounter counter;
  TPduCodec codec{info, counter};
};

TEST_F(PduEncoder, EnquireLinkOfANewClientIsTheFirstNumberedHeader) {
  EXPECT_EQ(Encode(kEnquireLink), "00 00 00 10 00 00 00 15 00 00 00 00 00 00 00 01");
}

TEST_F(PduEncoder, BindsCutTheirTexts) {
  struct Case {
    uint32_t id;
    const char *user, *password, *systemType, *hex;
  };
  const Case cases[] = {
      {kBindTransmitter, "ABCDEFGHIJKLMNOPQRST", "pwd", "",
       "00 00 00 29 00 00 00 02 00 00 00 00 00 00 00 01 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E "
       "4F 00 70 77 64 00 00 34 00 00 00"},
      {kBindReceiver, "u", "0123456789abcdefXY", "SYSTEMTYPE1234",
       "00 00 00 33 00 00 00 01 00 00 00 00 00 00 00 02 75 00 30 31 32 33 34 35 36 37 38 39 61 62 "
       "63 64 65 00 53 59 53 54 45 4D 54 59 50 45 31 32 00 34 00 00 00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.user);
    info.SetUserID(c.user);
    info.SetPassword(c.password);
    info.SetSystemType(c.systemType);
    EXPECT_EQ(Encode(c.id), c.hex);
  }
}

TEST_F(PduEncoder, SubmitSm) {
  // service_type, ton 5 (of 0x105), npi 1, "1", ton 2, npi 3, "2", esm_class, protocol_id,
  // priority_flag and schedule_delivery_time.
  const std::string head = "00 05 01 31 00 02 03 32 00 00 00 00 00";
  std::string emojiAtCut(126, 'b');
  emojiAtCut += "\xF0\x9F\x98\x80";  // one character, two code units: units 127 and 128
  struct Case {
    const char* what;
    std::string text, validity;
    int dataCoding;
    std::string tail;  // from validity_period on; for long texts only up to sm_length
    size_t tailBytes;  // for long texts: the size of the tail
  };
  const Case cases[] = {
      {"plain", "Hello", "", 0, "00 11 00 00 00 05 48 65 6C 6C 6F", 0},
      {"relative validity", "x", "000001000000000R", 0,
       "30 30 30 30 30 31 30 30 30 30 30 30 30 30 30 52 00 11 00 00 00 01 78", 0},
      {"validity's 16th character becomes R", "x", "0000010000000001", 0,
       "30 30 30 30 30 31 30 30 30 30 30 30 30 30 30 52 00 11 00 00 00 01 78", 0},
      {"short validity", "x", "12", 0, "31 32 52 00 11 00 00 00 01 78", 0},
      {"absolute validity keeps its sign", "x", "261208101500008-", 0,
       "32 36 31 32 30 38 31 30 31 35 30 30 30 30 38 2D 00 11 00 00 00 01 78", 0},
      {"octets", "\x01\xFF", "", 0xF0, "00 11 00 F0 00 02 01 FF", 0},
      {"other coding: single bytes", "Hi", "", 0x103, "00 11 00 03 00 02 48 69", 0},
      {"coding 0x108 goes out as 8: UCS-2", "H\xC3\xA9", "", 0x108, "00 11 00 08 00 04 00 48 00 E9",
       0},
      {"UCS-2", "H\xC3\xA9", "", 8, "00 11 00 08 00 04 00 48 00 E9", 0},
      {"UCS-2 stops at a zero", std::string("a\0b", 3), "", 8, "00 11 00 08 00 02 00 61", 0},
      {"UCS-2 of an invalid byte", "\xFF", "", 8, "00 11 00 08 00 02 00 3F", 0},
      {"UCS-2 surrogate pair", "\xF0\x9F\x98\x80", "", 8, "00 11 00 08 00 04 D8 3D DE 00", 0},
      {"UCS-2 cut to 127 units", std::string(160, 'a'), "", 8, "00 11 00 08 00 FE", 6 + 254},
      {"UCS-2 cut never splits a pair", emojiAtCut, "", 8, "00 11 00 08 00 FC", 6 + 252},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TPDU pdu = Make(kSubmitSm, "2", c.text, c.validity);
    const Bytes b = Hex(Encode(pdu, c.dataCoding));
    ASSERT_GT(b.size(), 29u);
    EXPECT_EQ(GetU32(b.data()), b.size());
    EXPECT_EQ(GetU32(b.data() + 4), kSubmitSm);
    EXPECT_EQ(ToHex(b.data() + 16, 13), head);
    const std::string tail = ToHex(b.data() + 29, b.size() - 29);
    if (c.tailBytes) {
      EXPECT_EQ(b.size() - 29, c.tailBytes);
      EXPECT_EQ(tail.substr(0, c.tail.size()), c.tail);
    } else {
      EXPECT_EQ(tail, c.tail);
    }
  }
}

TEST_F(PduEncoder, StoredSubmitTextsAreCutToTheirCapacity) {
  TSubmit s;
  s.source_addr = std::string(25, 's');
  s.short_message = std::string(200, 'm');
  EXPECT_EQ(s.source_addr.View(), std::string(21, 's'));
  EXPECT_EQ(s.short_message.size(), 160u);
}

TEST_F(PduEncoder, SubmitMultiDestinationLists) {
  // Entries are dest_flag 1, ton 2, npi 3 and the address; validity and data coding are empty and
  // 0 whatever the record and the argument hold.
  const std::string tail = "00 00 00 00 00 11 00 00 00 02 48 69";
  std::string most, tooMany;
  for (int i = 0; i < 254; ++i) most += "5,";
  tooMany = most + "6";
  const std::pair<std::string, std::string> cases[] = {
      {" 111 ,\t222 ,  333\r", "03 01 02 03 31 31 31 00 01 02 03 32 32 32 00 01 02 03 33 33 33 00"},
      {"111,", "01 01 02 03 31 31 31 00"},
      {",111, ,", "01 01 02 03 31 31 31 00"},
      {std::string(25, '7') + ",8",
       "02 01 02 03 " + ToHex(Text(std::string(20, '7'))) + " 00 01 02 03 38 00"},
      {most, "FE"},  // and 254 entries
      {tooMany, ""},
      {" , ,", ""},
      {"", ""},
  };
  for (const auto& [list, entries] : cases) {
    SCOPED_TRACE(list.substr(0, 40));
    TPDU pdu = Make(kSubmitMulti, list, "Hi", "000001000000000R", "9");
    const uint32_t before = counter.Value();
    const std::string got = Encode(pdu, 8);
    if (entries.empty()) {
      EXPECT_EQ(got, "");  // not built, and no number drawn
      EXPECT_EQ(counter.Value(), before);
      continue;
    }
    EXPECT_EQ(got.substr(12, 11), "00 00 00 21");
    EXPECT_EQ(got.substr(48, 15 + entries.size()), "00 05 01 39 00 " + entries);
    EXPECT_EQ(got.substr(got.size() - tail.size()), tail);
  }
  // The most destinations there can be, each as long as an address can be, fit one PDU.
  std::string longest;
  for (int i = 0; i < 254; ++i) longest += std::string(20, '1') + ",";
  TPDU pdu = Make(kSubmitMulti, longest, std::string(160, 'x'), "", std::string(20, '9'));
  EXPECT_EQ(Hex(Encode(pdu)).size(), 16u + 3 + 21 + 1 + 254 * 24 + 9 + 1 + 160);
}

TEST_F(PduEncoder, SubmitSmAddressesAreCutToTwentyCharacters) {
  TPDU pdu = Make(kSubmitSm, std::string(21, '2'), "x", "", std::string(25, '1'));
  const Bytes b = Hex(Encode(pdu));
  EXPECT_EQ(ToHex(b.data() + 16, 48), "00 05 01 " + ToHex(Text(std::string(20, '1'))) +
                                          " 00 02 03 " + ToHex(Text(std::string(20, '2'))) +
                                          " 00 00");
}

TEST_F(PduEncoder, QuerySmHasAFixedSource) {
  TPDU pdu = Make(kQuerySm);
  pdu.message_id = "ab12";
  EXPECT_EQ(Encode(pdu),
            "00 00 00 1C 00 00 00 03 00 00 00 00 00 00 00 01 61 62 31 32 00 00 01 38 38 37 37 00");
}

TEST_F(PduEncoder, ResponsesRepeatTheRequestNumberAndLeaveTheCounter) {
  counter.SetValue(40);
  const std::pair<uint32_t, const char*> cases[] = {
      {kDeliverSmResp, "00 00 00 11 80 00 00 05 00 00 00 00 00 00 00 4D 00"},
      {kDataSmResp, "00 00 00 11 80 00 01 03 00 00 00 00 00 00 00 4D 00"},
      {kEnquireLinkResp, "00 00 00 10 80 00 00 15 00 00 00 00 00 00 00 4D"},
      {kUnbindResp, "00 00 00 10 80 00 00 06 00 00 00 00 00 00 00 4D"},
      {kGenericNack, "00 00 00 10 80 00 00 00 00 00 00 02 00 00 00 4D"},
  };
  for (const auto& [id, hex] : cases) {
    TPDU pdu = Make(id);
    pdu.command_status = id == kGenericNack ? 2 : 0;
    pdu.sequence_number = 77;
    EXPECT_EQ(Encode(pdu), hex);
    EXPECT_EQ(counter.Value(), 40u);
  }
  // The unbind constant takes no number either; the next request takes the counter's next.
  EXPECT_EQ(Encode(kUnbind), "00 00 00 10 00 00 00 06 00 00 00 00 00 00 01 D3");
  EXPECT_EQ(Encode(kUnbind), "00 00 00 10 00 00 00 06 00 00 00 00 00 00 01 D3");
  EXPECT_EQ(Encode(kEnquireLink), "00 00 00 10 00 00 00 15 00 00 00 00 00 00 00 29");
}

TEST_F(PduEncoder, CounterWrapsFromFFFFFFFAToThreeAcrossCommands) {
  counter.SetValue(0xFFFFFFF9u);
  EXPECT_EQ(Encode(kEnquireLink).substr(36), "FF FF FF FA");
  EXPECT_EQ(Encode(kBindReceiver).substr(36, 11), "00 00 00 03");
  EXPECT_EQ(Encode(kDataSm), "");  // not built: takes no number
  EXPECT_EQ(Encode(kSubmitSmResp), "");
  EXPECT_EQ(Encode(kEnquireLink).substr(36), "00 00 00 04");
}

// For every layout: a capacity one byte short of the PDU builds nothing, writes nothing past the
// capacity and draws no number; the exact capacity builds the same PDU.
TEST_F(PduEncoder, NeverWritesPastTheCapacity) {
  info.SetUserID(std::string(20, 'u'));
  TPDU query = Make(kQuerySm);
  query.message_id = "1234";
  std::string manyDestinations;
  for (int i = 0; i < 254; ++i) manyDestinations += std::string(20, '4') + ",";
  const TPDU pdus[] = {
      Make(kBindReceiver),
      Make(kBindTransmitter),
      Make(kEnquireLink),
      Make(kUnbind),
      Make(kDeliverSmResp),
      Make(kGenericNack),
      query,
      Make(kSubmitSm, std::string(300, '9'), std::string(160, 'x'), "v"),
      Make(kSubmitMulti, "1, 2,3,4 ,5,", "text"),
      Make(kSubmitMulti, manyDestinations, "text"),
  };
  for (const TPDU& original : pdus) {
    SCOPED_TRACE(original.command_id);
    TPDU probe = original;
    Bytes full(64000);
    size_t needed = 0;
    codec.EncodePdu(full.data(), full.size(), needed, probe, 0);
    ASSERT_GE(needed, 16u);

    const uint32_t before = counter.Value();
    TPDU pdu = original;
    pdu.sequence_number = 99;
    Bytes buf(needed + 8, 0xEE);
    size_t length = 1;
    codec.EncodePdu(buf.data(), needed - 1, length, pdu, 0);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(pdu.sequence_number, 99u);
    EXPECT_EQ(counter.Value(), before);
    EXPECT_EQ(std::count(buf.begin() + needed - 1, buf.end(), 0xEE), 9);

    codec.EncodePdu(buf.data(), needed, length, pdu, 0);
    EXPECT_EQ(length, needed);
    EXPECT_EQ(buf[needed], 0xEE);
    EXPECT_TRUE(std::equal(buf.begin() + 16, buf.begin() + needed, full.begin() + 16));
  }
}

// Binds encoded on a worker while the application changes the account read whole texts (and, in
// the ThreadSanitizer build, without a data race).
TEST_F(PduEncoder, BindsReadTheSettingsWhileTheApplicationChangesThem) {
  std::atomic<bool> stop{false};
  std::thread app([&] {
    for (int i = 0; !stop; ++i) {
      info.SetUserID(i % 2 ? "alice" : "a-much-longer-user-name");
      info.SetPassword(i % 2 ? "pw" : "a-much-longer-password");
    }
  });
  int torn = 0;
  for (int i = 0; i < 20000; ++i) {
    TPDU pdu = Make(kBindTransmitter);
    Bytes buf(kPduBufferSize);
    size_t length = 0;
    codec.EncodePdu(buf.data(), buf.size(), length, pdu, 0);
    const char* user = reinterpret_cast<const char*>(buf.data() + 16);
    const std::string u = user, p = user + u.size() + 1;
    torn += (u != "" && u != "alice" && u != "a-much-longer-u") ||
            (p != "" && p != "pw" && p != "a-much-longer-p");
  }
  stop = true;
  app.join();
  EXPECT_EQ(torn, 0);
}

}  // namespace
