// Tests of the account settings object: starting values, its stored form, and reading it back.
#include "smpp/SMPPClientInfo.h"

#include <gtest/gtest.h>

#include "base/FormText.h"

namespace {

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

}  // namespace
