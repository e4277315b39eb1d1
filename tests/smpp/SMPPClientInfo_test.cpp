// Tests of the account settings object: starting values, its stored form, and reading it back.
#include "smpp/SMPPClientInfo.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <vector>

#include "base/FormText.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(SMPPClientInfo, StoresWhatDiffersFromTheDeclaredDefaults) {
  TSMPPClientInfo info;
  EXPECT_EQ(info.Host(), "");
  EXPECT_EQ(info.submit_source_addr_npi(), 0);
  EXPECT_EQ(info.submit_dest_addr_ton(), 0);
  EXPECT_EQ(info.submit_dest_addr_npi(), 0);
  EXPECT_EQ(WriteFormText(info),
            "Host = \"\"\n"
            "Port = 0\n"
            "UserID = \"\"\n"
            "Password = \"\"\n"
            "SystemType = \"\"\n"
            "bind_addr_npi = 0\n"
            "submit_source_addr_npi = 0\n"
            "submit_dest_addr_ton = 0\n"
            "submit_dest_addr_npi = 0\n");
  // Values equal to their declared defaults are left out, others written.
  info.Set_submit_source_addr_ton(5);
  info.Set_submit_source_addr_npi(1);
  info.Set_submit_dest_addr_ton(1);
  info.Set_submit_dest_addr_npi(1);
  EXPECT_EQ(WriteFormText(info).substr(79), "submit_source_addr_ton = 5\n");
}

TEST(SMPPClientInfo, ReadsAStoredFormOverItsStartingValues) {
  TSMPPClientInfo info;
  ReadFormText(info,
               "Host = \"127.0.0.1\"\n"
               "Port = 3389\n"
               "UserID = \"myuid\"\n"
               "Password = \"\\xE9\"\n"
               "SystemType = \"tcp\"\n"
               "bind_addr_npi = -3\n"
               "submit_dest_addr_ton = 2\n");
  EXPECT_EQ(info.Host(), "127.0.0.1");
  EXPECT_EQ(info.Port(), 3389);
  EXPECT_EQ(info.UserID(), "myuid");
  EXPECT_EQ(info.Password(), "\xE9");
  EXPECT_EQ(info.SystemType(), "tcp");
  EXPECT_EQ(info.bind_addr_npi(), -3);
  EXPECT_EQ(info.submit_dest_addr_ton(), 2);
  EXPECT_EQ(info.submit_dest_addr_npi(), 0);
  const auto creds = info.BindCredentials();
  EXPECT_EQ(creds.UserID + "|" + creds.Password + "|" + creds.SystemType, "myuid|\xE9|tcp");
}

TEST(SMPPClientInfo, TextSettingsAreStoredByNameAndMistypedNamesRefused) {
  TSMPPClientInfo info;
  // A stored form from before these settings loads with the client's behaviour of then.
  ReadFormText(info, "Host = \"10.0.0.1\"\nsubmit_dest_addr_ton = 1\n");
  EXPECT_EQ(info.SubmitText().coding, TTextCoding::tcBytes);
  EXPECT_EQ(info.SubmitText().long_mode, TLongMessageMode::lmSplit);
  EXPECT_EQ(info.deliver_default_alphabet(), TTextCoding::tcBytes);
  info.Set_submit_coding(TTextCoding::tcUcs2);
  info.Set_submit_long_mode(TLongMessageMode::lmUdh16);
  info.Set_deliver_default_alphabet(TTextCoding::tcGsm);
  const std::string text = WriteFormText(info);
  EXPECT_EQ(text.substr(text.find("submit_coding")),
            "submit_coding = tcUcs2\n"
            "submit_long_mode = lmUdh16\n"
            "deliver_default_alphabet = tcGsm\n");
  TSMPPClientInfo back;
  ReadFormText(back, text);
  EXPECT_EQ(back.SubmitText().coding, TTextCoding::tcUcs2);
  EXPECT_EQ(back.SubmitText().long_mode, TLongMessageMode::lmUdh16);
  EXPECT_EQ(back.deliver_default_alphabet(), TTextCoding::tcGsm);

  const struct {
    const char* Text;
    const char* Error;
  } cases[] = {
      {"submit_coding = tcKlingon", "line 2: submit_coding cannot be tcKlingon"},
      {"submit_long_mode = udh", "line 2: submit_long_mode cannot be udh"},
      {"deliver_default_alphabet = tcUcs2",
       "line 2: deliver_default_alphabet is tcBytes or tcGsm, not tcUcs2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text);
    try {
      ReadFormText(back, std::string("Port = 1\n") + c.Text);
      ADD_FAILURE() << "accepted";
    } catch (const EFormTextError& e) {
      EXPECT_STREQ(e.what(), c.Error);
    }
  }
  EXPECT_EQ(back.SubmitText().coding, TTextCoding::tcUcs2);
}

TEST(SMPPClientInfo, TlsSettingsStartOffAndAreStoredOnlyWhenChanged) {
  TSMPPClientInfo info;
  EXPECT_FALSE(info.UseTLS());
  EXPECT_TRUE(info.TLSVerifyPeer());
  const std::string plain = WriteFormText(info);
  EXPECT_EQ(plain.find("TLS"), std::string::npos);
  info.SetUseTLS(true);
  info.SetTLSVerifyPeer(false);
  info.SetTLSCAFile("/etc/ca.pem");
  info.SetTLSServerName("smsc.example");
  const std::string tls = WriteFormText(info);
  EXPECT_EQ(tls.substr(plain.size()),
            "UseTLS = true\n"
            "TLSVerifyPeer = false\n"
            "TLSCAFile = \"/etc/ca.pem\"\n"
            "TLSServerName = \"smsc.example\"\n");
  TSMPPClientInfo back;
  ReadFormText(back, tls);
  EXPECT_TRUE(back.UseTLS());
  EXPECT_FALSE(back.TLSVerifyPeer());
  EXPECT_EQ(back.TLSCAFile() + "|" + back.TLSServerName(), "/etc/ca.pem|smsc.example");
}

TEST(SMPPClientInfo, FieldSettersRefuseWhatDoesNotFitWithTheReason) {
  using Info = TSMPPClientInfo;
  const std::string kTime = "submit_schedule_delivery_time";
  const struct {
    std::function<void(Info&)> Set;
    std::string Error;
  } cases[] = {
      {[](Info& i) { i.Set_bind_addr_ton(256); }, "bind_addr_ton must be 0 to 255, not 256"},
      {[](Info& i) { i.Set_submit_protocol_id(-1); },
       "submit_protocol_id must be 0 to 255, not -1"},
      {[](Info& i) { i.Set_bind_address_range(std::string(41, '1')); },
       "bind_address_range is at most 40 characters, not 41"},
      {[](Info& i) { i.Set_submit_service_type("CMTxyz"); },
       "submit_service_type is at most 5 characters, not 6"},
      {[](Info& i) { i.Set_submit_service_type(std::string("a\0b", 3)); },
       "submit_service_type cannot hold a NUL character"},
      {[](Info& i) { i.Set_submit_schedule_delivery_time("2612312359590"); },
       kTime + " is empty or 16 characters, not 13"},
      {[](Info& i) { i.Set_submit_schedule_delivery_time("261231235959004X"); },
       kTime + " ends with +, - (absolute) or R (relative)"},
      {[](Info& i) { i.Set_submit_schedule_delivery_time("2612312359590a4+"); },
       kTime + " has digits before its last one"},
      {[](Info& i) { i.Set_submit_schedule_delivery_time("000001000000100R"); },
       kTime + " relative ends with 000R"},
      {[](Info& i) { i.Set_submit_schedule_delivery_time("261331235959004+"); },
       kTime + " has no month 13"},
      {[](Info& i) { i.Set_submit_schedule_delivery_time("261200235959004-"); },
       kTime + " has no day 00"},
      {[](Info& i) { i.Set_submit_schedule_delivery_time("261231245959004+"); },
       kTime + " has no time of day 245959"},
      {[](Info& i) { i.Set_submit_schedule_delivery_time("261231235959049+"); },
       kTime + " is more than 48 quarter hours from UTC"},
      {[](Info& i) { i.Set_submit_esm_class(0x43); },
       "submit_esm_class cannot hold 0x40 (UDHI): the client sets it for a user data header"},
      {[](Info& i) {
         i.SetExtraTlvs({{0x1400, Bytes(65536)}});
       },
       "optional parameter 0x1400 has 65536 octets; a value holds at most 65535"},
      {[](Info& i) {
         i.SetExtraTlvs({{1, Bytes(4980)}, {2, Bytes(4980)}});
       },
       "the optional parameters take 9968 octets; a PDU has room for at most 9967"},
  };
  Info info;
  info.SetExtraTlvs({{0x1400, Bytes{1}}});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Error);
    try {
      c.Set(info);
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(e.what(), c.Error);
    }
  }
  // Each refused value left its setting as it was; the bounds themselves are taken.
  Info fresh;
  EXPECT_EQ(WriteFormText(info), WriteFormText(fresh));
  EXPECT_EQ(info.ExtraTlvs(), (std::vector<TTlv>{{0x1400, Bytes{1}}}));
  info.SetExtraTlvs({{1, Bytes(9963)}});
  info.Set_submit_schedule_delivery_time("991231235959948-");
  info.Set_submit_schedule_delivery_time("000001000000000R");
  info.Set_submit_esm_class(0xBF);
  info.Set_bind_address_range(std::string(40, '1'));
  EXPECT_EQ(info.submit_schedule_delivery_time(), "000001000000000R");
}

TEST(SMPPClientInfo, FieldSettingsAreStoredOnlyWhenChangedAndReadBack) {
  TSMPPClientInfo info;
  const std::string plain = WriteFormText(info);
  info.Set_bind_address_range("^44");
  info.Set_bind_interface_version(0x33);
  info.Set_submit_schedule_delivery_time("000001000000000R");
  info.Set_submit_registered_delivery(0);
  const std::string text = WriteFormText(info);
  EXPECT_EQ(text.substr(plain.size()),
            "bind_address_range = \"^44\"\n"
            "bind_interface_version = 51\n"
            "submit_schedule_delivery_time = \"000001000000000R\"\n"
            "submit_registered_delivery = 0\n");
  TSMPPClientInfo back;
  ReadFormText(back, text);
  EXPECT_EQ(WriteFormText(back), text);
}

}  // namespace
