// Tests of the local SMSC and of its test harness, driven by a minimal SMPP client over raw
// loopback sockets, so that they hold independently of the project's own PDU codec.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "SmscProcess.h"
#include "tests/smpp/PduTestUtil.h"

namespace {

using smpptest::SmscProcess;
using namespace std::chrono_literals;

// The bit that makes a command id a response's.
constexpr uint32_t kResp = 0x80000000;

// ---- Raw PDU building and parsing -----------------------------------------------------------

std::string u8(uint8_t v) {
  return std::string(1, static_cast<char>(v));
}
std::string u32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}
std::string cstr(std::string_view s) {
  return std::string(s) + '\0';
}
// An optional parameter: tag, length and value.
std::string tlv(uint16_t tag, std::string_view value) {
  return u32(uint32_t{tag} << 16 | static_cast<uint16_t>(value.size())) + std::string(value);
}

std::string pdu(uint32_t id, uint32_t status, uint32_t seq, const std::string& body = {}) {
  const Bytes b = PduOf(id, status, seq, Bytes(body.begin(), body.end()));
  return std::string(b.begin(), b.end());
}

std::string bindBody(std::string_view systemId, std::string_view password) {
  return cstr(systemId) + cstr(password) + cstr("") + u8(0x34) + u8(0) + u8(0) + cstr("");
}

std::string submitBody(std::string_view src, std::string_view dst, std::string_view text,
                       uint8_t registeredDelivery, std::string_view validity = "") {
  return cstr("") + u8(0) + u8(0) + cstr(src) + u8(1) + u8(1) + cstr(dst) + u8(0) + u8(0) + u8(0) +
         cstr("") + cstr(validity) + u8(registeredDelivery) + u8(0) + u8(0) + u8(0) +
         u8(static_cast<uint8_t>(text.size())) + std::string(text);
}

std::string submitMultiBody(std::string_view src, const std::vector<std::string>& dsts,
                            std::string_view text, uint8_t registeredDelivery) {
  std::string body = cstr("") + u8(0) + u8(0) + cstr(src) + u8(static_cast<uint8_t>(dsts.size()));
  for (const auto& d : dsts) body += u8(1) + u8(1) + u8(1) + cstr(d);
  return body + u8(0) + u8(0) + u8(0) + cstr("") + cstr("") + u8(registeredDelivery) + u8(0) +
         u8(0) + u8(0) + u8(static_cast<uint8_t>(text.size())) + std::string(text);
}

struct Pdu {
  uint32_t id = 0, status = 0, seq = 0;
  std::string body;
};

// Walks a PDU body; reads past the end give empty values instead of faults.
struct BodyReader {
  const std::string& b;
  size_t pos = 0;
  std::string cstring() {
    size_t end = b.find('\0', pos);
    if (end == std::string::npos) end = b.size();
    std::string s = b.substr(std::min(pos, b.size()), end - std::min(pos, b.size()));
    pos = end + 1;
    return s;
  }
  uint8_t byte() { return pos < b.size() ? static_cast<uint8_t>(b[pos++]) : (pos++, 0); }
  uint16_t u16() { return static_cast<uint16_t>((byte() << 8) | byte()); }
  std::string bytes(size_t n) {
    std::string s = pos < b.size() ? b.substr(pos, n) : std::string();
    pos += n;
    return s;
  }
};

struct Delivery {
  std::string src, dst, text;
  uint8_t esm = 0xFF;
};

Delivery parseDeliverSm(const std::string& body) {
  BodyReader r{body};
  Delivery d;
  r.cstring();         // service_type
  r.byte(), r.byte();  // source ton, npi
  d.src = r.cstring();
  r.byte(), r.byte();  // destination ton, npi
  d.dst = r.cstring();
  d.esm = r.byte();
  r.byte(), r.byte();                      // protocol_id, priority_flag
  r.cstring(), r.cstring();                // schedule_delivery_time, validity_period
  r.byte(), r.byte(), r.byte(), r.byte();  // registered_delivery, replace, data_coding, default id
  d.text = r.bytes(r.byte());
  return d;
}

Delivery parseDataSm(const std::string& body, uint16_t* firstTag) {
  BodyReader r{body};
  Delivery d;
  r.cstring();
  r.byte(), r.byte();
  d.src = r.cstring();
  r.byte(), r.byte();
  d.dst = r.cstring();
  d.esm = r.byte();
  r.byte(), r.byte();  // registered_delivery, data_coding
  *firstTag = r.u16();
  d.text = r.bytes(r.u16());
  return d;
}

// ---- A minimal SMPP client on a loopback socket ---------------------------------------------

class RawClient {
 public:
  RawClient() = default;
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;
  ~RawClient() {
    if (FFd >= 0) close(FFd);
  }

  bool connect(uint16_t port) {
    FFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (FFd < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(FFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }

  bool write(std::string_view bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(FFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  // The next whole PDU, or nothing when none completes in time or the peer closed first.
  std::optional<Pdu> read(std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (FBuffered.size() >= 16) {
        BodyReader r{FBuffered};
        const uint32_t length = (uint32_t{r.u16()} << 16) | r.u16();
        if (length < 16) return std::nullopt;
        if (FBuffered.size() >= length) {
          Pdu p;
          p.id = (uint32_t{r.u16()} << 16) | r.u16();
          p.status = (uint32_t{r.u16()} << 16) | r.u16();
          p.seq = (uint32_t{r.u16()} << 16) | r.u16();
          p.body = FBuffered.substr(16, length - 16);
          FBuffered.erase(0, length);
          return p;
        }
      }
      if (!fill(deadline)) return std::nullopt;
    }
  }

  // True when the peer closes the connection (after any PDUs still unread) within the timeout.
  bool closedByPeer(std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (fill(deadline)) {
    }
    return FEof;
  }

  // Sends a request and gives the next PDU, which should be its answer.
  std::optional<Pdu> call(uint32_t id, uint32_t seq, const std::string& body = {}) {
    if (!write(pdu(id, 0, seq, body))) return std::nullopt;
    return read();
  }

 private:
  bool fill(std::chrono::steady_clock::time_point deadline) {
    if (FEof) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{FFd, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left.count()));
    if (r <= 0) return r < 0 && errno == EINTR;
    char buf[65536];
    ssize_t n = recv(FFd, buf, sizeof buf, 0);
    if (n <= 0) {
      FEof = true;
      return false;
    }
    FBuffered.append(buf, static_cast<size_t>(n));
    return true;
  }

  int FFd = -1;
  std::string FBuffered;
  bool FEof = false;
};

// ---- Fixture --------------------------------------------------------------------------------

class LocalSmsc : public ::testing::Test {
 protected:
  explicit LocalSmsc(std::vector<std::string> args = {}) : FSmsc(std::move(args)) {}
  void SetUp() override { ASSERT_TRUE(FSmsc.start()) << FSmsc.error(); }

  void TearDown() override {
    if (HasFailure()) ADD_FAILURE() << "SMSC output:\n" << FSmsc.joinedLines();
  }

  // Connects and binds; the test fails when the bind is not accepted.
  void bind(RawClient& c, uint32_t bindId, std::string_view systemId = "alice") {
    ASSERT_TRUE(c.connect(FSmsc.port()));
    auto resp = c.call(bindId, FSeq++, bindBody(systemId, "pw"));
    ASSERT_TRUE(resp);
    ASSERT_EQ(resp->id, bindId | kResp);
    ASSERT_EQ(resp->status, 0u);
  }

  // Submits one message and gives the message id of the answer.
  std::string submit(RawClient& tx, std::string_view text, uint8_t registeredDelivery,
                     const std::string& tlvs = {}) {
    const uint32_t seq = FSeq++;
    auto resp = tx.call(kSubmitSm, seq, submitBody("1234", "555", text, registeredDelivery) + tlvs);
    if (!resp) return "<no answer>";
    EXPECT_EQ(resp->id, kSubmitSm | kResp);
    EXPECT_EQ(resp->status, 0u);
    EXPECT_EQ(resp->seq, seq);
    BodyReader r{resp->body};
    return r.cstring();
  }

  SmscProcess FSmsc;
  uint32_t FSeq = 1;
};

// Message ids of the local SMSC are lower-case hexadecimal.
bool isMessageId(const std::string& id) {
  return !id.empty() && id.size() <= 65 &&
         id.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// True when text equals pattern, where each '#' of the pattern stands for one decimal digit.
bool matchesDigits(const std::string& text, const std::string& pattern) {
  if (text.size() != pattern.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (pattern[i] == '#' ? !std::isdigit(static_cast<unsigned char>(text[i]))
                          : text[i] != pattern[i]) {
      return false;
    }
  }
  return true;
}

// ---- Tests ----------------------------------------------------------------------------------

TEST_F(LocalSmsc, AnswersEveryBindKindWithItsResponse) {
  const struct {
    const char* name;
    uint32_t id;
  } cases[] = {{"bind_receiver", kBindReceiver},
               {"bind_transmitter", kBindTransmitter},
               {"bind_transceiver", kBindTransceiver}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t from = FSmsc.mark();
    RawClient client;
    ASSERT_TRUE(client.connect(FSmsc.port()));
    auto resp = client.call(c.id, 77, bindBody("alice", "pw"));
    ASSERT_TRUE(resp);
    EXPECT_EQ(resp->id, c.id | kResp);
    EXPECT_EQ(resp->status, 0u);
    EXPECT_EQ(resp->seq, 77u);
    EXPECT_TRUE(FSmsc.waitFor(c.name, {"seq=77", "system_id=alice", "status=0"}, from));
    // A second bind on a bound session is refused as already bound.
    auto again = client.call(c.id, 78, bindBody("alice", "pw"));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 0x05u);
  }
}

TEST(LocalSmscCredentials, RefusesWrongSystemIdOrPassword) {
  SmscProcess smsc({"--system-id", "alice", "--password", "secret"});
  ASSERT_TRUE(smsc.start()) << smsc.error();
  const struct {
    const char* systemId;
    const char* password;
    uint32_t status;
  } cases[] = {{"alice", "secret", 0x00}, {"alice", "wrong", 0x0E}, {"bob", "secret", 0x0F}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.systemId) + "/" + c.password);
    RawClient client;
    ASSERT_TRUE(client.connect(smsc.port()));
    auto resp = client.call(kBindTransmitter, 5, bindBody(c.systemId, c.password));
    ASSERT_TRUE(resp);
    EXPECT_EQ(resp->id, kBindTransmitter | kResp);
    EXPECT_EQ(resp->status, c.status);
    // A refused session stays open but unbound: it may not submit.
    auto sub = client.call(kSubmitSm, 6, submitBody("1", "2", "x", 0));
    ASSERT_TRUE(sub);
    EXPECT_EQ(sub->status, c.status == 0 ? 0x00u : 0x04u);
  }
}

TEST_F(LocalSmsc, SubmitGetsMessageIdAndOnlyRequestedReceiptsReachTheReceiver) {
  RawClient rx, tx;
  bind(rx, kBindReceiver);
  bind(tx, kBindTransmitter);
  const std::string noReceipt = submit(tx, "first", 0x00);
  const std::string failureOnly = submit(tx, "second", 0x02);
  const std::string withReceipt = submit(tx, "Hello receipt", 0x11);
  for (const auto& id : {noReceipt, failureOnly, withReceipt}) {
    EXPECT_TRUE(isMessageId(id)) << id;
  }
  EXPECT_NE(noReceipt, withReceipt);
  EXPECT_TRUE(FSmsc.waitFor("submit_sm", {"id=" + withReceipt, "src=1234", "dst=555",
                                          "registered_delivery=0x11", "text=\"Hello receipt\""}));

  // The first delivery is the receipt of the third message: the others asked for none.
  auto receipt = rx.read();
  ASSERT_TRUE(receipt);
  ASSERT_EQ(receipt->id, kDeliverSm);
  const Delivery d = parseDeliverSm(receipt->body);
  EXPECT_EQ(d.esm, 0x04);
  EXPECT_EQ(d.src, "555");
  EXPECT_EQ(d.dst, "1234");
  EXPECT_TRUE(matchesDigits(d.text, "id:" + withReceipt +
                                        " sub:001 dlvrd:001 submit date:########## "
                                        "done date:########## stat:DELIVRD err:000 "
                                        "text:Hello receipt"))
      << d.text;

  ASSERT_TRUE(rx.write(pdu(kDeliverSm | kResp, 0, receipt->seq, cstr(""))));
  EXPECT_TRUE(FSmsc.waitFor("deliver_sm_resp",
                            {"seq=" + std::to_string(receipt->seq), "status=0", "for=receipt"}));
  // Nothing else is on its way to the receiver.
  EXPECT_FALSE(rx.read(300ms));
}

TEST_F(LocalSmsc, SubmitMultiAnswersWithoutUnsuccessfulDestinations) {
  RawClient rx, tx;
  bind(rx, kBindReceiver);
  bind(tx, kBindTransmitter);
  auto resp = tx.call(kSubmitMulti, 9, submitMultiBody("1234", {"111", "222", "333"}, "multi", 1));
  ASSERT_TRUE(resp);
  EXPECT_EQ(resp->id, kSubmitMulti | kResp);
  EXPECT_EQ(resp->status, 0u);
  BodyReader r{resp->body};
  const std::string id = r.cstring();
  EXPECT_TRUE(isMessageId(id)) << id;
  EXPECT_EQ(r.byte(), 0) << "no_unsuccess";
  EXPECT_EQ(r.pos, resp->body.size());

  std::vector<std::string> sources;
  for (int i = 0; i < 3; ++i) {
    auto receipt = rx.read();
    ASSERT_TRUE(receipt);
    const Delivery d = parseDeliverSm(receipt->body);
    EXPECT_EQ(d.esm, 0x04);
    EXPECT_EQ(d.text.rfind("id:" + id + " ", 0), 0u) << d.text;
    sources.push_back(d.src);
  }
  EXPECT_EQ(sources, (std::vector<std::string>{"111", "222", "333"}));
}

TEST_F(LocalSmsc, QuerySmKnowsOnlyAcceptedMessages) {
  RawClient tx;
  bind(tx, kBindTransmitter);
  const std::string id = submit(tx, "query me", 0);
  const struct {
    std::string id;
    uint32_t status;
  } cases[] = {{id, 0x00}, {"ffffff", 0x67}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    auto resp = tx.call(kQuerySm, 40, cstr(c.id) + u8(0) + u8(1) + cstr("8877"));
    ASSERT_TRUE(resp);
    EXPECT_EQ(resp->id, kQuerySm | kResp);
    EXPECT_EQ(resp->status, c.status);
    EXPECT_EQ(resp->seq, 40u);
    if (c.status != 0) continue;
    BodyReader r{resp->body};
    EXPECT_EQ(r.cstring(), c.id);
    EXPECT_EQ(r.cstring().size(), 16u) << "final_date";
    EXPECT_EQ(r.byte(), 2) << "message_state DELIVERED";
    EXPECT_EQ(r.byte(), 0) << "error_code";
  }
}

TEST_F(LocalSmsc, PrintsEveryOptionalParameterAsItsBytesCame) {
  RawClient tx;
  bind(tx, kBindTransmitter);
  const struct {
    const char* name;
    std::string tlvs;
    std::vector<std::string> lines;
  } cases[] = {
      {"standard, vendor and unknown tags",
       tlv(0x0204, std::string("\0\x07", 2)) + tlv(0x1400, "abc") + tlv(0x7777, ""),
       {" tag=0x0204 name=user_message_reference length=2 value=0x0007",
        " tag=0x1400 name=unknown length=3 value=0x616263",
        " tag=0x7777 name=unknown length=0 value="}},
      {"a standard one shorter than its type, last",
       tlv(0x0204, "\x07"),
       {" tag=0x0204 name=user_message_reference length=1 value=0x07"}},
      {"one running past the end",
       u32(0x15000009) + "ab",
       {" tag=0x1500 name=unknown length=9 missing=7 value=0x6162"}},
      {"bytes too few for a tag and length",
       std::string("\x02\x04\x00", 3),
       {" length=3 value=0x020400"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t from = FSmsc.mark();
    submit(tx, "with tlvs", 0, c.tlvs);
    for (const auto& l : c.lines) {  // each line of a tlv or tlv_rest ends with its value
      auto match = [&l](const std::string& x) { return x.starts_with("tlv") && x.ends_with(l); };
      EXPECT_TRUE(FSmsc.waitFor(match, 10s, from)) << l;
    }
  }
}

// The local SMSC holding receipts back for a while, so that their messages can still change.
class LocalSmscDelayedReceipts : public LocalSmsc {
 protected:
  LocalSmscDelayedReceipts() : LocalSmsc({"--receipt-delay", "2000"}) {}

  void change(RawClient& tx, uint32_t command, const std::string& id, uint32_t status) {
    const uint32_t seq = FSeq++;
    auto resp = tx.call(command, seq,
                        command == kCancelSm ? cstr("") + cstr(id) + u8(0) + u8(0) + cstr("1234") +
                                                   u8(0) + u8(0) + cstr("555")
                                             : cstr(id) + u8(0) + u8(0) + cstr("1234") + cstr("") +
                                                   cstr("") + u8(0) + u8(0) + u8(8) + "new text");
    ASSERT_TRUE(resp);
    EXPECT_EQ(resp->id | resp->status, command | kResp | status);
    EXPECT_TRUE(FSmsc.waitFor(command == kCancelSm ? "cancel_sm" : "replace_sm",
                              {"seq=" + std::to_string(seq), "status=" + std::to_string(status)}));
  }
};

TEST_F(LocalSmscDelayedReceipts, CancelAndReplaceTakeOnlyMessagesStillOwedAReceipt) {
  RawClient rx, tx;
  bind(rx, kBindReceiver);
  bind(tx, kBindTransmitter);
  const std::string cancelled = submit(tx, "cancel me", 1);
  const std::string replaced = submit(tx, "old text", 1);
  const std::string noReceipt = submit(tx, "no receipt", 0);
  const struct {
    uint32_t command;
    std::string id;
    uint32_t status;
  } cases[] = {{kCancelSm, cancelled, 0x00},  {kCancelSm, cancelled, 0x11},
               {kReplaceSm, cancelled, 0x13}, {kReplaceSm, replaced, 0x00},
               {kCancelSm, noReceipt, 0x00},  {kCancelSm, "ffffff", 0x11},
               {kReplaceSm, "ffffff", 0x13}};
  for (const auto& c : cases) {
    SCOPED_TRACE((c.command == kCancelSm ? "cancel_sm " : "replace_sm ") + c.id);
    change(tx, c.command, c.id, c.status);
  }
  // The cancelled message's receipt was due first: the replaced one's comes alone, new text and
  // all.
  auto receipt = rx.read();
  ASSERT_TRUE(receipt);
  const std::string text = parseDeliverSm(receipt->body).text;
  EXPECT_TRUE(text.starts_with("id:" + replaced + " ") && text.ends_with(" text:new text")) << text;
  ASSERT_TRUE(rx.write(pdu(kDeliverSm | kResp, 0, receipt->seq, cstr(""))));
  ASSERT_TRUE(
      FSmsc.waitFor("deliver_sm_resp", {"seq=" + std::to_string(receipt->seq), "status=0"}));
  // Its receipt taken, the message can no longer be cancelled.
  change(tx, kCancelSm, replaced, 0x11);
}

// The local SMSC sending deliveries again soon, twice at most.
class LocalSmscRetrying : public LocalSmsc {
 protected:
  LocalSmscRetrying() : LocalSmsc({"--retry-delay", "250", "--retries", "2"}) {}
};

TEST_F(LocalSmscRetrying, SendsADeliveryAgainUntilTakenOrGivesUp) {
  constexpr int kNoAnswer = -1;
  const struct {
    const char* text;
    std::vector<int> answers;  // to each sending of the message in turn
    std::vector<std::string> lines;
  } cases[] = {
      {"error then taken", {0x58, 0}, {"retry attempt=1 reason=status:0x00000058"}},
      {"unanswered then taken", {kNoAnswer, 0}, {"retry attempt=1 reason=no_answer"}},
      {"never taken",
       {0x58, kNoAnswer, 0x45},
       {"retry attempt=1 reason=status:0x00000058", "retry attempt=2 reason=no_answer",
        "gave_up attempt=2 reason=status:0x00000045"}},
  };
  {
    RawClient rx;
    bind(rx, kBindReceiver);
    for (const auto& c : cases) {
      SCOPED_TRACE(c.text);
      const size_t from = FSmsc.mark();
      ASSERT_TRUE(FSmsc.send(std::string("deliver 1111 2222 ") + c.text));
      for (int answer : c.answers) {
        auto mo = rx.read();
        ASSERT_TRUE(mo);
        EXPECT_EQ(parseDeliverSm(mo->body).text, c.text);
        if (answer == kNoAnswer) continue;
        ASSERT_TRUE(
            rx.write(pdu(kDeliverSm | kResp, static_cast<uint32_t>(answer), mo->seq, cstr(""))));
      }
      ASSERT_TRUE(c.answers.back() ? FSmsc.waitFor("gave_up", {}, from)
                                   : FSmsc.waitFor("deliver_sm_resp", {"status=0"}, from));
      for (const auto& l : c.lines) {
        EXPECT_TRUE(FSmsc.waitFor(l.substr(0, l.find(' ') + 1), {l.substr(l.find(' '))}, from))
            << l;
      }
    }
    EXPECT_FALSE(rx.read(600ms)) << "nothing is sent after giving up";
    // A receiver gone with a delivery sent twice and unanswered leaves it to the next one, once.
    ASSERT_TRUE(FSmsc.send("deliver 1111 2222 moved on"));
    ASSERT_TRUE(rx.read() && rx.read());
  }
  RawClient next;
  bind(next, kBindReceiver);
  auto mo = next.read();
  ASSERT_TRUE(mo);
  EXPECT_EQ(parseDeliverSm(mo->body).text, "moved on");
  ASSERT_TRUE(next.write(pdu(kDeliverSm | kResp, 0, mo->seq, cstr(""))));
  EXPECT_FALSE(next.read(600ms)) << "sent once";
}

TEST_F(LocalSmsc, CommandsSendMoMessagesAndEnquireLinkToTheReceiver) {
  RawClient rx;
  bind(rx, kBindReceiver);
  ASSERT_TRUE(FSmsc.send("deliver 1111 2222 hello  world"));
  auto mo = rx.read();
  ASSERT_TRUE(mo);
  ASSERT_EQ(mo->id, kDeliverSm);
  const Delivery d = parseDeliverSm(mo->body);
  EXPECT_EQ(d.esm, 0);
  EXPECT_EQ(d.src, "1111");
  EXPECT_EQ(d.dst, "2222");
  EXPECT_EQ(d.text, "hello  world");
  ASSERT_TRUE(rx.write(pdu(kDeliverSm | kResp, 0, mo->seq, cstr(""))));
  EXPECT_TRUE(FSmsc.waitFor("deliver_sm_resp", {"seq=" + std::to_string(mo->seq), "for=mo"}));

  ASSERT_TRUE(FSmsc.send("datasm 3333 4444 data text"));
  auto data = rx.read();
  ASSERT_TRUE(data);
  ASSERT_EQ(data->id, kDataSm);
  uint16_t firstTag = 0;
  const Delivery dd = parseDataSm(data->body, &firstTag);
  EXPECT_EQ(dd.esm, 0);
  EXPECT_EQ(dd.src, "3333");
  EXPECT_EQ(dd.dst, "4444");
  EXPECT_EQ(firstTag, 0x0424) << "message_payload comes first";
  EXPECT_EQ(dd.text, "data text");
  ASSERT_TRUE(rx.write(pdu(kDataSm | kResp, 0, data->seq, cstr(""))));
  EXPECT_TRUE(FSmsc.waitFor("data_sm_resp", {"seq=" + std::to_string(data->seq), "for=mo"}));

  ASSERT_TRUE(FSmsc.send("enquire"));
  auto enquire = rx.read();
  ASSERT_TRUE(enquire);
  ASSERT_EQ(enquire->id, kEnquireLink);
  ASSERT_TRUE(rx.write(pdu(kEnquireLink | kResp, 0, enquire->seq)));
  EXPECT_TRUE(FSmsc.waitFor("enquire_link_resp", {"seq=" + std::to_string(enquire->seq)}));

  // And the other way round: the client's enquire_link is answered with its sequence number.
  auto resp = rx.call(kEnquireLink, 4242);
  ASSERT_TRUE(resp);
  EXPECT_EQ(resp->id, kEnquireLink | kResp);
  EXPECT_EQ(resp->seq, 4242u);
}

TEST_F(LocalSmsc, DeliveriesWaitForAReceiverAndUnansweredOnesGoToTheNext) {
  RawClient tx;
  bind(tx, kBindTransmitter);
  const std::string id = submit(tx, "later", 1);
  ASSERT_TRUE(FSmsc.send("deliver 1 2 queued mo"));
  ASSERT_TRUE(FSmsc.waitFor("queued", {"receipt=" + id}));
  ASSERT_TRUE(FSmsc.waitFor("queued", {"deliver_sm"}));
  {
    RawClient rx;
    bind(rx, kBindReceiver);
    auto receipt = rx.read();
    auto mo = rx.read();
    ASSERT_TRUE(receipt && mo);
    EXPECT_EQ(parseDeliverSm(receipt->body).esm, 0x04);
    EXPECT_EQ(parseDeliverSm(mo->body).text, "queued mo");
    ASSERT_TRUE(rx.write(pdu(kDeliverSm | kResp, 0, mo->seq, cstr(""))));
    ASSERT_TRUE(FSmsc.waitFor("deliver_sm_resp", {"for=mo"}));
    // The receiver goes away without answering the receipt.
  }
  ASSERT_TRUE(FSmsc.waitFor("close", {"requeued=1"}));
  RawClient rx2;
  bind(rx2, kBindReceiver);
  auto again = rx2.read();
  ASSERT_TRUE(again);
  EXPECT_NE(parseDeliverSm(again->body).text.find("id:" + id + " "), std::string::npos);
  EXPECT_FALSE(rx2.read(300ms)) << "the answered MO message is not sent again";
}

TEST_F(LocalSmsc, RefusesBadRequestsAndEndsOnlyUnframedSessions) {
  const std::string submit = submitBody("1234", "555", "cut short", 1);
  const struct {
    const char* name;
    std::string bytes;
    uint32_t respId, status;
    bool closes;
  } cases[] = {
      {"http request", "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n", kGenericNack, 0x02, true},
      {"length below the header", u32(8) + u32(kEnquireLink) + u32(0) + u32(1), kGenericNack, 0x02,
       true},
      {"length zero", std::string(16, '\0'), kGenericNack, 0x02, true},
      {"length far too large", u32(1000000) + u32(kSubmitSm) + u32(0) + u32(1), kGenericNack, 0x02,
       true},
      {"destination count beyond the body",
       pdu(kSubmitMulti, 0, 3, submitMultiBody("1", {}, "", 0).substr(0, 5) + u8(9)), kGenericNack,
       0x02, true},
      {"submit without a body", pdu(kSubmitSm, 0, 50), kSubmitSm | kResp, 0x02, false},
      {"submit ending in the source address", pdu(kSubmitSm, 0, 50, submit.substr(0, 4)),
       kSubmitSm | kResp, 0x02, false},
      {"submit ending before sm_default_msg_id",
       pdu(kSubmitSm, 0, 50, submit.substr(0, submit.size() - 11)), kSubmitSm | kResp, 0x02, false},
      {"unknown command id", pdu(0x00000999, 0, 50), kGenericNack, 0x03, false},
  };
  RawClient survivor;
  bind(survivor, kBindTransmitter);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RawClient client;
    bind(client, kBindTransmitter);
    ASSERT_TRUE(client.write(c.bytes));
    auto resp = client.read();
    ASSERT_TRUE(resp);
    EXPECT_EQ(resp->id, c.respId);
    EXPECT_EQ(resp->status, c.status);
    if (c.closes) {
      EXPECT_TRUE(client.closedByPeer());
    } else {
      EXPECT_EQ(resp->seq, 50u);
      auto ok = client.call(kSubmitSm, 51, submit);
      ASSERT_TRUE(ok);
      EXPECT_EQ(ok->status, 0u) << "the session goes on";
    }
    // Every other session goes on as before.
    auto echo = survivor.call(kEnquireLink, 99);
    ASSERT_TRUE(echo);
    EXPECT_EQ(echo->id, kEnquireLink | kResp);
  }
}

TEST_F(LocalSmsc, AnswersEachPipelinedRequestOnceAndInOrder) {
  RawClient client;
  ASSERT_TRUE(client.connect(FSmsc.port()));
  const std::string bindPdu = pdu(kBindTransmitter, 0, 1, bindBody("alice", "pw"));
  for (char ch : bindPdu) ASSERT_TRUE(client.write(std::string(1, ch)));
  std::string burst;
  for (uint32_t seq = 100; seq < 150; ++seq) {
    burst += pdu(seq % 2 ? kEnquireLink : kSubmitSm, 0, seq,
                 seq % 2 ? "" : submitBody("1", "2", "x", 0));
  }
  ASSERT_TRUE(client.write(burst));
  auto bound = client.read();
  ASSERT_TRUE(bound);
  EXPECT_EQ(bound->status, 0u);
  for (uint32_t seq = 100; seq < 150; ++seq) {
    auto resp = client.read();
    ASSERT_TRUE(resp);
    EXPECT_EQ(resp->id, (seq % 2 ? kEnquireLink : kSubmitSm) | kResp);
    EXPECT_EQ(resp->seq, seq);
  }
  EXPECT_FALSE(client.read(300ms));
}

TEST_F(LocalSmsc, UnbindIsAnsweredAndEndsTheSessionInBothDirections) {
  RawClient client;
  bind(client, kBindTransmitter);
  auto resp = client.call(kUnbind, 467);
  ASSERT_TRUE(resp);
  EXPECT_EQ(resp->id, kUnbind | kResp);
  EXPECT_EQ(resp->seq, 467u);
  EXPECT_TRUE(client.closedByPeer());

  RawClient rx;
  bind(rx, kBindReceiver);
  ASSERT_TRUE(FSmsc.send("unbind"));
  auto unbind = rx.read();
  ASSERT_TRUE(unbind);
  ASSERT_EQ(unbind->id, kUnbind);
  ASSERT_TRUE(rx.write(pdu(kUnbind | kResp, 0, unbind->seq)));
  EXPECT_TRUE(FSmsc.waitFor("unbind_resp", {"seq=" + std::to_string(unbind->seq)}));
  EXPECT_TRUE(rx.closedByPeer());
}

TEST(SmscProcessHarness, StartsAgainOnTheSamePortWhileClientsWereConnected) {
  uint16_t port = 0;
  RawClient client;
  {
    SmscProcess first;
    ASSERT_TRUE(first.start()) << first.error();
    port = first.port();
    ASSERT_TRUE(client.connect(port));
    ASSERT_TRUE(client.call(kBindTransmitter, 1, bindBody("a", "b")));
  }
  EXPECT_TRUE(client.closedByPeer());
  // A later "--port" overrides the harness's "--port 0".
  SmscProcess second({"--port", std::to_string(port)});
  ASSERT_TRUE(second.start()) << second.error();
  EXPECT_EQ(second.port(), port);
  RawClient again;
  ASSERT_TRUE(again.connect(port));
  auto resp = again.call(kBindTransmitter, 2, bindBody("a", "b"));
  ASSERT_TRUE(resp);
  EXPECT_EQ(resp->status, 0u);
}

TEST(NpmLoadClient, SubmitsEveryMessageToAQuietSmscAndReportsItsFigures) {
  SmscProcess smsc({"--quiet"});
  ASSERT_TRUE(smsc.start()) << smsc.error();
  for (const char* receiver : {"", " --receiver"}) {
    SCOPED_TRACE(receiver);
    const std::string command = std::string("node '") + SMPP_SOURCE_DIR +
                                "/bench/npm_client.js' --port " + std::to_string(smsc.port()) +
                                " --count 500 --window 50 --timeout 60" + receiver + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) output.append(buf, n);
    const int status = pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    EXPECT_NE(output.find("500 messages answered (0 refused)"), std::string::npos) << output;
    EXPECT_NE(output.find(" msg/s, CPU "), std::string::npos) << output;
    if (*receiver) {
      EXPECT_NE(output.find("500 receipts"), std::string::npos) << output;
    }
  }
  const size_t from = smsc.mark();
  ASSERT_TRUE(smsc.send("stats"));
  auto stats = smsc.waitFor("stats", {}, from);
  ASSERT_TRUE(stats);
  EXPECT_EQ(SmscProcess::field(*stats, "submit_sm"), "1000");
  EXPECT_EQ(SmscProcess::field(*stats, "receipts_sent"), "500");
  EXPECT_EQ(SmscProcess::field(*stats, "receipts_answered"), "500");
  EXPECT_EQ(SmscProcess::field(*stats, "queued"), "0");
  // Quiet: the messages were counted, not printed.
  for (const auto& line : smsc.lines()) {
    EXPECT_NE(line.rfind("submit_sm ", 0), 0u) << line;
    EXPECT_NE(line.rfind("sent deliver_sm ", 0), 0u) << line;
    EXPECT_NE(line.rfind("deliver_sm_resp ", 0), 0u) << line;
  }
}

TEST(SmscProcessHarness, StopLeavesNoProcessBehind) {
  pid_t pid = -1;
  {
    SmscProcess smsc;
    ASSERT_TRUE(smsc.start()) << smsc.error();
    pid = smsc.pid();
    ASSERT_GT(pid, 0);
    EXPECT_NE(smsc.port(), 0);
  }
  // The child has been reaped, so its id names no process of ours any more.
  EXPECT_EQ(kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

TEST(SmscProcessHarness, QuitEndsTheSmscAndWaitingStopsAtItsEnd) {
  SmscProcess smsc;
  ASSERT_TRUE(smsc.start()) << smsc.error();
  ASSERT_TRUE(smsc.send("quit"));
  EXPECT_TRUE(smsc.waitFor("bye"));
  // No further line can come: waiting ends with the output, well before its timeout.
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(smsc.waitFor("never", {}, 0, 60s));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
  // Writing to the ended SMSC fails, and does not end the test program with SIGPIPE. The
  // process's last thread may still hold its input open for a moment, so keep trying.
  bool failed = false;
  for (auto deadline = std::chrono::steady_clock::now() + 10s;
       !failed && std::chrono::steady_clock::now() < deadline;) {
    failed = !smsc.send("stats");
    if (!failed) std::this_thread::sleep_for(1ms);
  }
  EXPECT_TRUE(failed);
  int status = smsc.stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(SmscProcessHarness, ReportsAnSmscThatCannotStart) {
  SmscProcess smsc({"--no-such-option"});
  EXPECT_FALSE(smsc.start(10s));
  EXPECT_NE(smsc.error().find("unknown option --no-such-option"), std::string::npos)
      << smsc.error();
}

}  // namespace
