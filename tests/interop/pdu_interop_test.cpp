// Interop of the PDU codec with an independent SMPP implementation, the npm package smpp: it
// parses what our encoder builds, field by field, and our decoder reads what it builds.
//
// The package is driven through tools/smsc/pducodec.js, run with node for each PDU.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "smpp/smppclient.h"
#include "smpp/smpppdu.h"
#include "tests/smpp/PduTestUtil.h"

namespace {

const std::string kSmscDir = std::string(SMPP_SOURCE_DIR) + "/tools/smsc";

struct NodeResult {
  int status = -1;
  std::string out;
};

// Runs the codec script with node and gives its exit status and standard output. The arguments
// are hex, names and key=kind:value words without quotes, so single quotes suffice; `timeout`
// keeps a stuck node from hanging the suite.
NodeResult RunCodec(const std::vector<std::string>& args) {
  std::string command = "timeout 30 node '" + kSmscDir + "/pducodec.js'";
  for (const auto& a : args) command += " '" + a + "'";
  NodeResult r;
  FILE* f = popen(command.c_str(), "r");
  if (!f) return r;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) r.out.append(buf, n);
  const int status = pclose(f);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

std::string ToHex(const uint8_t* p, size_t n) {
  static const char d[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}
std::string ToHex(std::string_view s) {
  return ToHex(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

class PduInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    struct stat st;
    if (stat((kSmscDir + "/node_modules/smpp").c_str(), &st) != 0)
      FAIL() << kSmscDir << "/node_modules/smpp is missing: run scripts/bootstrap (npm ci)";
    info.SetUserID("interop_user");
    info.SetPassword("secret");
    info.SetSystemType("test");
    info.Set_submit_source_addr_ton(5);
    info.Set_submit_source_addr_npi(0);
    info.Set_submit_dest_addr_ton(1);
    info.Set_submit_dest_addr_npi(1);
  }

  // The fields that the package parses from the PDU our encoder builds, as key=value lines.
  std::map<std::string, std::string> ParseOurs(TPDU& pdu, int dataCoding) {
    uint8_t buf[kPduBufferSize];
    size_t length = 0;
    codec.EncodePdu(buf, sizeof buf, length, pdu, dataCoding);
    EXPECT_GT(length, 0u);
    const NodeResult r = RunCodec({"decode", ToHex(buf, length)});
    EXPECT_EQ(r.status, 0) << r.out;
    std::map<std::string, std::string> fields;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      const size_t eq = line.find('=');
      if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
    }
    EXPECT_EQ(fields["command_length"], std::to_string(length));
    return fields;
  }

  TSMPPClientInfo info;
  TSequenceCounter counter;
  TPduCodec codec{info, counter};
};

TPDU Make(uint32_t id, std::string_view destination = "", std::string_view text = "",
          uint32_t sequence = 0, uint32_t status = 0) {
  TPDU pdu;
  pdu.command_id = id;
  pdu.command_status = status;
  pdu.sequence_number = sequence;
  pdu.submit.source_addr = "1234";
  pdu.submit.destination_addr = std::string(destination);
  pdu.submit.short_message = text;
  return pdu;
}

TEST_F(PduInterop, TheyParseWhatWeEncode) {
  TPDU withValidity = Make(kSubmitSm, "447700900123", "Hello from the interop test");
  withValidity.submit.validity_period = "000001000000000R";
  TPDU query = Make(kQuerySm);
  query.message_id = "abc123";
  TPDU longAddresses = Make(kSubmitSm, std::string(21, '2'), "x");
  longAddresses.submit.source_addr = std::string(25, '1');
  struct Case {
    TPDU pdu;
    int dataCoding;
    std::string fields;  // space-separated key=value
  };
  const Case cases[] = {
      {Make(kBindTransmitter), 0,
       "command=bind_transmitter sequence_number=1 system_id=interop_user password=secret "
       "system_type=test interface_version=52 addr_ton=0 addr_npi=0 address_range="},
      {Make(kBindReceiver), 0, "command=bind_receiver system_id=interop_user address_range="},
      {Make(kEnquireLink), 0, "command=enquire_link sequence_number=3"},
      {Make(kDeliverSmResp, "", "", 77), 0,
       "command=deliver_sm_resp sequence_number=77 message_id="},
      {Make(kEnquireLinkResp, "", "", 78), 0, "command=enquire_link_resp sequence_number=78"},
      {Make(kUnbindResp, "", "", 79), 0, "command=unbind_resp sequence_number=79"},
      {Make(kGenericNack, "", "", 80, 2), 0, "command=generic_nack command_status=2"},
      {Make(kUnbind), 0, "command=unbind sequence_number=467"},
      {withValidity, 0,
       "command=submit_sm service_type= source_addr_ton=5 source_addr_npi=0 source_addr=1234 "
       "dest_addr_ton=1 dest_addr_npi=1 destination_addr=447700900123 esm_class=0 protocol_id=0 "
       "priority_flag=0 schedule_delivery_time= validity_period=000001000000000R "
       "registered_delivery=17 replace_if_present_flag=0 data_coding=0 sm_default_msg_id=0 "
       "short_message=" +
           ToHex("Hello from the interop test")},
      {Make(kSubmitSm, "2", "H\xC3\xA9\xE2\x82\xAC"), 8,
       "data_coding=8 short_message=004800e920ac"},
      {Make(kSubmitMulti, " 111 , 222,333 ", "to three"), 8,
       "command=submit_multi source_addr=1234 dest_address.0.dest_addr_ton=1 "
       "dest_address.0.destination_addr=111 dest_address.1.destination_addr=222 "
       "dest_address.2.dest_addr_npi=1 dest_address.2.destination_addr=333 registered_delivery=17 "
       "data_coding=0 short_message=" +
           ToHex("to three")},
      {Make(kSubmitMulti, "111,", "x"), 0,
       "command=submit_multi dest_address.0.destination_addr=111 "
       "short_message=78"},
      {longAddresses, 0,
       "command=submit_sm source_addr=" + std::string(20, '1') +
           " destination_addr=" + std::string(20, '2') + " short_message=78"},
      {query, 0,
       "command=query_sm message_id=abc123 source_addr_ton=0 source_addr_npi=1 source_addr=8877"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fields.substr(0, 40));
    TPDU pdu = c.pdu;
    auto got = ParseOurs(pdu, c.dataCoding);
    std::istringstream want(c.fields);
    for (std::string kv; want >> kv;) {
      const std::string key = kv.substr(0, kv.find('='));
      ASSERT_TRUE(got.count(key)) << "they found no field " << key;
      EXPECT_EQ(key + "=" + got[key], kv);
    }
    // Nothing after the last field: no stray bytes taken for optional parameters.
    EXPECT_EQ(got.count("dest_addr_subunit") + got.count("dest_address.3.destination_addr"), 0u);
  }
}

TEST_F(PduInterop, TheyParseEveryFieldWeSetAndOurRequests) {
  info.Set_bind_addr_ton(1);
  info.Set_bind_addr_npi(1);
  info.Set_bind_address_range("^44");
  info.Set_bind_interface_version(0x33);
  SetSubmitFields(info);
  info.SetExtraTlvs({{0x0204, {0x00, 0x07}}, {0x020A, {0x1F, 0x90}}});
  TPDU cancel = Make(kCancelSm);
  cancel.message_id = "abc";
  cancel.request.source_addr = "1234";
  cancel.request.destination_addr = "5678";
  TPDU replace = Make(kReplaceSm);
  replace.message_id = "abc";
  replace.request.source_addr = "1234";
  replace.request.short_message = "new";
  const std::pair<TPDU, std::string> cases[] = {
      {Make(kBindTransmitter), "interface_version=51 addr_ton=1 addr_npi=1 address_range=^44"},
      {Make(kSubmitSm, "2", "hi"),
       "service_type=WAP esm_class=131 protocol_id=127 priority_flag=3 "
       "schedule_delivery_time=261231235959004+ registered_delivery=1 replace_if_present_flag=1 "
       "sm_default_msg_id=9 short_message=6869 user_message_reference=7 source_port=8080"},
      {cancel,
       "command=cancel_sm service_type=WAP message_id=abc source_addr=1234 dest_addr_ton=1 "
       "destination_addr=5678"},
      {replace,
       "command=replace_sm message_id=abc source_addr=1234 "
       "schedule_delivery_time=261231235959004+ registered_delivery=1 sm_default_msg_id=9 "
       "short_message=6e6577"},
  };
  for (const auto& [pdu, fields] : cases) {
    SCOPED_TRACE(fields.substr(0, 40));
    TPDU copy = pdu;
    auto got = ParseOurs(copy, 0);
    std::istringstream want(fields);
    for (std::string kv; want >> kv;) {
      const std::string key = kv.substr(0, kv.find('='));
      ASSERT_TRUE(got.count(key)) << "they found no field " << key;
      EXPECT_EQ(key + "=" + got[key], kv);
    }
  }
}

TEST_F(PduInterop, WeDecodeWhatTheyEncode) {
  const std::string receipt =
      "id:0123456789 sub:001 dlvrd:001 submit date:2101011200 done date:2101011201 stat:DELIVRD "
      "err:000 text:Hello";
  const std::string ts = "12062026 143005";
  // What we make of it: the receiver's report line for deliver_sm and data_sm, otherwise the
  // sequence number, status and message id.
  auto report = [&ts](const TPDU& p) {
    if (p.command_id == kDeliverSm || p.command_id == kDataSm) return RcxDeliverLine(p, ts);
    return std::to_string(p.sequence_number) + "/" + std::to_string(p.command_status) + "|" +
           p.message_id;
  };
  struct Case {
    std::string args;  // command and fields, space-separated
    uint32_t id;
    std::string expected;
  };
  const std::string src = "source_addr=s:447700900123 destination_addr=s:1234 ";
  const std::string from = "+DELIVER " + ts + ":447700900123:1234:";
  const Case cases[] = {
      {"deliver_sm sequence_number=n:41 " + src + "short_message=x:" + ToHex("Hello"), kDeliverSm,
       from + "Hello"},
      // The package picks the coding of a text itself: UCS-2 for Cyrillic and CJK, IA5 for @.
      {"deliver_sm " + src + "short_message=s:Привет", kDeliverSm, from + "Привет"},
      {"deliver_sm " + src + "short_message=s:你好", kDeliverSm, from + "你好"},
      {"deliver_sm " + src + "short_message=s:@Home", kDeliverSm, from + std::string("\0Home", 5)},
      {"deliver_sm " + src + "esm_class=n:64 data_coding=n:8 short_message=x:050003010201004800e9",
       kDeliverSm, from + "Hé"},
      {"deliver_sm " + src + "short_message=x:4869 user_message_reference=n:7 source_port=n:80",
       kDeliverSm, from + "Hi"},
      {"deliver_sm " + src + "message_payload=x:" + ToHex("Payload"), kDeliverSm, from + "Payload"},
      {"deliver_sm " + src + "user_message_reference=n:7 message_payload=x:" + ToHex("After"),
       kDeliverSm, from + "After"},
      {"data_sm source_addr=s:11 destination_addr=s:22 source_port=n:3000 message_payload=x:" +
           ToHex("Hi there"),
       kDataSm, "+DELIVER " + ts + "::11:22:Hi there"},
      {"deliver_sm " + src + "esm_class=n:4 short_message=x:" + ToHex(receipt), kDeliverSm,
       "+QUERY_RES 0123456789:2:000"},
      {"deliver_sm " + src + "esm_class=n:4 receipted_message_id=s:5F3A9C01 message_state=n:5",
       kDeliverSm, "+QUERY_RES 5F3A9C01:5:"},
      {"deliver_sm " + src + "esm_class=n:4 short_message=x:" + ToHex(receipt) +
           " receipted_message_id=s:AB-9 message_state=n:3",
       kDeliverSm, "+QUERY_RES AB-9:3:000"},
      {"data_sm source_addr=s:11 destination_addr=s:22 esm_class=n:4 receipted_message_id=s:77 "
       "message_state=n:2",
       kDataSm, "+QUERY_RES 77:2:"},
      {"submit_sm_resp sequence_number=n:6 message_id=s:1A2b-3c", kSubmitSmResp, "6/0|1A2b-3c"},
      {"submit_multi_resp sequence_number=n:8 message_id=s:M-1", kSubmitMultiResp, "8/0|M-1"},
      {"generic_nack sequence_number=n:5 command_status=n:3", kGenericNack, "5/3|"},
      {"bind_transmitter_resp sequence_number=n:1 system_id=s:SMSC", kBindTransmitterResp, "1/0|"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.substr(0, 60));
    std::vector<std::string> args = {"encode"};
    std::istringstream words(c.args);
    for (std::string w; words >> w;) args.push_back(w);
    const NodeResult r = RunCodec(args);
    ASSERT_EQ(r.status, 0) << r.out;
    const std::vector<uint8_t> bytes = FromHex(r.out.substr(0, r.out.find('\n')));
    TPDU pdu;
    TPduCodec::DecodePdu(bytes.data(), bytes.size(), bytes.size(), pdu);
    EXPECT_EQ(pdu.command_length, bytes.size());
    EXPECT_EQ(pdu.command_id, c.id);
    EXPECT_EQ(report(pdu), c.expected);
  }
}

}  // namespace
