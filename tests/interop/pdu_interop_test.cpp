// Interop of the PDU codec with an independent SMPP implementation, the npm package smpp: it
// parses what our encoder builds, field by field, and our decoder reads what it builds.
//
// The package is driven through tools/smsc/pducodec.js, run with node for each PDU.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "smpp/smpppdu.h"

extern char** environ;

namespace {

const std::string kSmscDir = std::string(SMPP_SOURCE_DIR) + "/tools/smsc";

struct NodeResult {
  int status = -1;
  std::string out;
};

// Runs node with the codec script and args; gives its exit status and standard output. A run that
// takes longer than 30 s is killed, so a stuck node cannot hang the suite.
NodeResult RunCodec(const std::vector<std::string>& args) {
  NodeResult r;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return r;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  std::vector<std::string> argv = {"node", kSmscDir + "/pducodec.js"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, "node", &actions, nullptr, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    r.out = "cannot start node";
    return r;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  char buf[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    pollfd p{fds[0], POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
      kill(pid, SIGKILL);
      r.out += "\n(node timed out)";
      break;
    }
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    r.out.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
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

  // The fields that the package parses from the PDU our encoder builds.
  std::map<std::string, std::string> ParseOurs(TPDU& pdu, int dataCoding = 0) {
    uint8_t buf[kPduBufferSize];
    size_t length = 0;
    codec.EncodePdu(buf, sizeof buf, length, pdu, dataCoding);
    EXPECT_GT(length, 0u);
    const NodeResult r = RunCodec({"decode", ToHex(buf, length)});
    EXPECT_EQ(r.status, 0) << r.out;
    std::map<std::string, std::string> fields;
    size_t start = 0;
    while (start < r.out.size()) {
      size_t end = r.out.find('\n', start);
      if (end == std::string::npos) end = r.out.size();
      const std::string line = r.out.substr(start, end - start);
      const size_t eq = line.find('=');
      if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
      start = end + 1;
    }
    EXPECT_EQ(fields["command_length"], std::to_string(length));
    return fields;
  }

  // Our decoding of a PDU that the package builds.
  TPDU DecodeTheirs(const std::vector<std::string>& args) {
    const NodeResult r = RunCodec(args);
    EXPECT_EQ(r.status, 0) << r.out;
    std::string hex = r.out.substr(0, r.out.find('\n'));
    const std::vector<uint8_t> bytes = FromHex(hex);
    TPDU pdu;
    TPduCodec::DecodePdu(bytes.data(), bytes.size(), bytes.size(), pdu);
    EXPECT_EQ(pdu.command_length, bytes.size());
    return pdu;
  }

  static void ExpectFields(std::map<std::string, std::string>& got,
                           const std::map<std::string, std::string>& want) {
    for (const auto& [k, v] : want) EXPECT_EQ(got[k], v) << "field " << k;
  }

  TSMPPClientInfo info;
  TSequenceCounter counter;
  TPduCodec codec{info, counter};
};

TEST_F(PduInterop, TheyParseOurBindsAndHeaders) {
  struct Case {
    uint32_t id;
    uint32_t status;
    uint32_t sequence;
    std::map<std::string, std::string> fields;
  };
  const Case cases[] = {
      {kBindTransmitter,
       0,
       0,
       {{"command", "bind_transmitter"},
        {"sequence_number", "1"},
        {"system_id", "interop_user"},
        {"password", "secret"},
        {"system_type", "test"},
        {"interface_version", "52"},
        {"addr_ton", "0"},
        {"addr_npi", "0"},
        {"address_range", ""}}},
      {kBindReceiver, 0, 0, {{"command", "bind_receiver"}, {"system_id", "interop_user"}}},
      {kEnquireLink, 0, 0, {{"command", "enquire_link"}, {"sequence_number", "3"}}},
      {kDeliverSmResp,
       0,
       77,
       {{"command", "deliver_sm_resp"}, {"sequence_number", "77"}, {"message_id", ""}}},
      {kEnquireLinkResp, 0, 78, {{"command", "enquire_link_resp"}, {"sequence_number", "78"}}},
      {kUnbindResp, 0, 79, {{"command", "unbind_resp"}, {"sequence_number", "79"}}},
      {kGenericNack,
       2,
       80,
       {{"command", "generic_nack"}, {"command_status", "2"}, {"sequence_number", "80"}}},
      {kUnbind, 0, 0, {{"command", "unbind"}, {"sequence_number", "467"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    TPDU pdu;
    pdu.command_id = c.id;
    pdu.command_status = c.status;
    pdu.sequence_number = c.sequence;
    auto fields = ParseOurs(pdu);
    ExpectFields(fields, c.fields);
  }
}

TEST_F(PduInterop, TheyParseOurSubmits) {
  TPDU sm;
  sm.command_id = kSubmitSm;
  sm.submit.source_addr = "1234";
  sm.submit.destination_addr = "447700900123";
  sm.submit.validity_period = "000001000000000R";
  sm.submit.short_message = "Hello from the interop test";
  auto fields = ParseOurs(sm);
  ExpectFields(fields, {{"command", "submit_sm"},
                        {"service_type", ""},
                        {"source_addr_ton", "5"},
                        {"source_addr_npi", "0"},
                        {"source_addr", "1234"},
                        {"dest_addr_ton", "1"},
                        {"dest_addr_npi", "1"},
                        {"destination_addr", "447700900123"},
                        {"esm_class", "0"},
                        {"protocol_id", "0"},
                        {"priority_flag", "0"},
                        {"schedule_delivery_time", ""},
                        {"validity_period", "000001000000000R"},
                        {"registered_delivery", "17"},
                        {"replace_if_present_flag", "0"},
                        {"data_coding", "0"},
                        {"sm_default_msg_id", "0"},
                        {"short_message", ToHex("Hello from the interop test")}});
  EXPECT_EQ(fields.count("dest_addr_subunit"), 0u) << "bytes after the short message";

  TPDU ucs2;
  ucs2.command_id = kSubmitSm;
  ucs2.submit.source_addr = "1";
  ucs2.submit.destination_addr = "2";
  ucs2.submit.short_message = "H\xC3\xA9\xE2\x82\xAC";
  fields = ParseOurs(ucs2, 8);
  ExpectFields(fields, {{"data_coding", "8"}, {"short_message", "004800e920ac"}});

  TPDU multi;
  multi.command_id = kSubmitMulti;
  multi.submit.source_addr = "src";
  multi.submit.destination_addr = " 111 , 222,333 ";
  multi.submit.short_message = "to three";
  fields = ParseOurs(multi);
  ExpectFields(fields, {{"command", "submit_multi"},
                        {"source_addr", "src"},
                        {"dest_address.0.dest_addr_ton", "1"},
                        {"dest_address.0.destination_addr", "111"},
                        {"dest_address.1.destination_addr", "222"},
                        {"dest_address.2.dest_addr_npi", "1"},
                        {"dest_address.2.destination_addr", "333"},
                        {"registered_delivery", "17"},
                        {"data_coding", "0"},
                        {"short_message", ToHex("to three")}});
  EXPECT_EQ(fields.count("dest_address.3.destination_addr"), 0u);

  TPDU query;
  query.command_id = kQuerySm;
  query.message_id = "abc123";
  fields = ParseOurs(query);
  ExpectFields(fields, {{"command", "query_sm"},
                        {"message_id", "abc123"},
                        {"source_addr_ton", "0"},
                        {"source_addr_npi", "1"},
                        {"source_addr", "8877"}});
}

TEST_F(PduInterop, WeDecodeTheirPdus) {
  const std::string receipt =
      "id:0123456789 sub:001 dlvrd:001 submit date:2101011200 done date:2101011201 stat:DELIVRD "
      "err:000 text:Hello";
  TPDU p =
      DecodeTheirs({"encode", "deliver_sm", "sequence_number=n:41", "source_addr=s:447700900123",
                    "destination_addr=s:1234", "short_message=x:" + ToHex("Hello")});
  EXPECT_EQ(p.command_id, kDeliverSm);
  EXPECT_EQ(p.sequence_number, 41u);
  EXPECT_EQ(p.deliver.source_addr, "447700900123");
  EXPECT_EQ(p.deliver.destination_addr, "1234");
  EXPECT_EQ(p.deliver.service_type, "");
  EXPECT_EQ(p.deliver.text, "Hello");

  p = DecodeTheirs({"encode", "deliver_sm", "service_type=s:CMT", "source_addr=s:1",
                    "destination_addr=s:2", "short_message=x:" + ToHex("Hi"),
                    "user_message_reference=n:7"});
  EXPECT_EQ(p.deliver.service_type, "CMT");
  EXPECT_EQ(p.deliver.text, std::string("Hi\x02\x04\x00\x02\x00\x07", 8));

  p = DecodeTheirs({"encode", "deliver_sm", "source_addr=s:1", "destination_addr=s:2",
                    "data_coding=n:8", "short_message=x:050003010201004800e9"});
  EXPECT_EQ(p.deliver.text, "H\xC3\xA9");

  p = DecodeTheirs({"encode", "deliver_sm", "source_addr=s:1", "destination_addr=s:2",
                    "esm_class=n:4", "short_message=x:" + ToHex(receipt)});
  EXPECT_EQ(p.deliver.esm_class, 4);
  EXPECT_EQ(p.deliver.receipt_ref, receipt.substr(4, receipt.size() - 5));

  p = DecodeTheirs({"encode", "data_sm", "source_addr=s:11", "destination_addr=s:22",
                    "message_payload=x:" + ToHex("Hi there")});
  EXPECT_EQ(p.command_id, kDataSm);
  EXPECT_EQ(p.deliver.source_addr, "11");
  EXPECT_EQ(p.deliver.text, "Hi there");

  p = DecodeTheirs({"encode", "submit_sm_resp", "sequence_number=n:6", "message_id=s:1A2b-3c"});
  EXPECT_EQ(p.command_id, kSubmitSmResp);
  EXPECT_EQ(p.sequence_number, 6u);
  EXPECT_EQ(p.message_id, "12b3c");

  p = DecodeTheirs({"encode", "generic_nack", "sequence_number=n:5", "command_status=n:3"});
  EXPECT_EQ(p.command_id, kGenericNack);
  EXPECT_EQ(p.command_status, 3u);
  EXPECT_EQ(p.sequence_number, 5u);

  p = DecodeTheirs({"encode", "bind_transmitter_resp", "sequence_number=n:1", "system_id=s:SMSC"});
  EXPECT_EQ(p.command_id, kBindTransmitterResp);
  EXPECT_EQ(p.message_id, "");
}

}  // namespace
