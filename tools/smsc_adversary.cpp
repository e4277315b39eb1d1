// smsc_adversary: an SMSC on 127.0.0.1 whose every misbehaviour is an option, so that a test (or
// a tester reproducing a field report) can make it answer early, late, twice, wrongly or not at
// all, and send receipts and deliver_sm that break the rules. The SMSC itself is smsc/'s
// TSmscServer around its core; this program reads the options, opens the log, and waits on its
// main thread for a way to stop (standard input, a signal, --max-seconds).
#include <getopt.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/Version.h"
#include "smsc/PduLog.h"
#include "smsc/SmscFaults.h"
#include "smsc/SmscServer.h"

namespace {

using smsc::TSmscFaults;

const char* const kUsage =
    "Usage: smsc_adversary [options]\n"
    "An SMSC on 127.0.0.1 whose every misbehaviour is an option; the options combine.\n"
    "Prints \"listening 127.0.0.1:PORT\" when ready. Stops when standard input (a pipe or a\n"
    "terminal) ends or reads a line \"quit\", on SIGTERM or SIGINT, or after --max-seconds.\n"
    "Counting (\"every Nth\", \"after N\") is per connection and starts at 1. STATUS is a\n"
    "command_status, decimal or 0x hexadecimal.\n\n"
    "Port and life:\n"
    "  --port N                 port (default 0: the OS chooses)\n"
    "  --max-seconds S          end on its own after S seconds (default 600)\n"
    "  --log PATH               one line per PDU read or written, from the raw bytes:\n"
    "                           <monotonic_ns> <conn> <in|out> <command_id> <command_status>\n"
    "                           <sequence> <hex of the whole PDU>\n"
    "Binds:\n"
    "  --refuse-bind STATUS     answer every bind with this command_status\n"
    "  --nack-bind STATUS       answer every bind with generic_nack of this status\n"
    "  --close-after N          close the connection on reading its Nth submit, unanswered\n"
    "  --silent-after N         the Nth submit and later ones get no response\n"
    "Responses to submits (submit_sm, submit_multi, data_sm):\n"
    "  --phantom FIRST-LAST     right after a transmitter or transceiver binds, answer the\n"
    "                           sequence numbers FIRST..LAST before any submit with them came;\n"
    "                           the submits with those numbers later get no second answer\n"
    "  --unanswered-every N     leave every Nth submit unanswered\n"
    "  --reverse-batches N      send the responses in batches of N, each reversed (a partial\n"
    "                           batch goes after 100 ms)\n"
    "  --answer-twice           send every response twice\n"
    "  --wrong-sequence         answer with sequence_number + 1000000\n"
    "  --nack-submit-every N:STATUS  answer every Nth submit with generic_nack of STATUS\n"
    "  --reject-every N:STATUS  answer every Nth submit with a response of STATUS\n"
    "Message ids:\n"
    "  --ids dec|hex|constant|hex-dec  dec (default): 10-digit zero-padded decimal; hex:\n"
    "                           lowercase hexadecimal; constant: --constant-id for every\n"
    "                           submit; hex-dec: hex in the response, decimal in the receipt\n"
    "  --constant-id TEXT       the constant id (default 42)\n"
    "  --id-start N             the first id's number (default 1)\n"
    "Receipts (to the receiver or transceiver bound last with the submitter's system_id):\n"
    "  --no-receipts            never send receipts\n"
    "  --receipt-delay MS       each receipt MS ms after its response\n"
    "  --receipt-spread MS      plus a uniform random 0..MS ms\n"
    "  --seed N                 seed of the spread and of the state mix (default 1)\n"
    "  --receipts-first         each receipt before its response\n"
    "  --receipt-twice-every N  every Nth receipt is sent twice\n"
    "  --receipt-drop-every N   every Nth receipt is never sent\n"
    "  --stray-receipts N       when a receiver binds, N receipts for ids never given\n"
    "                           (9999999000 up)\n"
    "  --enroute N              N intermediate notifications before each final receipt\n"
    "  --enroute-as notification|receipt  esm_class 0x20 (default) or 0x04, stat ENROUTE\n"
    "  --states WORD:WEIGHT,... the final states drawn from this mix (default DELIVRD:1)\n"
    "  --multi-receipts per-destination|one-destination  a submit_multi's receipts: one per\n"
    "                           destination from it (default), or all from the first\n"
    "deliver_sm that break the rules, MO traffic (to every bound receiver/transceiver):\n"
    "  --bad-deliver overrun|unterminated  right after a receiver binds, one deliver_sm\n"
    "                           whose sm_length runs past its end, or whose source_addr has\n"
    "                           no terminator\n"
    "  --mo-rate N              N mobile-originated deliver_sm a second (text \"mo <n>\")\n"
    "  --help                   print this help\n"
    "  --version                print the package version\n";

// ---- Option values.

bool Count(const char* Text, uint64_t& Out) {
  if (!Text || !*Text || *Text == '-') return false;
  char* End = nullptr;
  errno = 0;
  Out = std::strtoull(Text, &End, 10);
  return errno == 0 && End != Text && !*End;
}

bool Status(const char* Text, uint32_t& Out) {
  if (!Text || !*Text || *Text == '-') return false;
  char* End = nullptr;
  errno = 0;
  const bool IsHex = Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X');
  const unsigned long long V = std::strtoull(IsHex ? Text + 2 : Text, &End, IsHex ? 16 : 10);
  if (errno != 0 || End == Text + (IsHex ? 2 : 0) || *End || V > 0xFFFFFFFFull) return false;
  Out = static_cast<uint32_t>(V);
  return true;
}

bool Seconds(const char* Text, double& Out) {
  if (!Text || !*Text) return false;
  char* End = nullptr;
  Out = std::strtod(Text, &End);
  return End != Text && !*End && std::isfinite(Out) && Out >= 0;
}

// "N:STATUS" with N at least 1.
bool EveryStatus(const char* Text, uint64_t& N, uint32_t& S) {
  const char* Colon = std::strchr(Text, ':');
  if (!Colon) return false;
  return Count(std::string(Text, Colon).c_str(), N) && N > 0 && Status(Colon + 1, S);
}

bool Range(const char* Text, uint32_t& First, uint32_t& Last) {
  const char* Dash = std::strchr(Text, '-');
  uint64_t A = 0, B = 0;
  if (!Dash || !Count(std::string(Text, Dash).c_str(), A) || !Count(Dash + 1, B)) return false;
  // At most a million numbers: each is answered at once when a transmitter binds.
  if (A > B || B > 0xFFFFFFFFull || B - A >= 1000000) return false;
  First = static_cast<uint32_t>(A);
  Last = static_cast<uint32_t>(B);
  return true;
}

bool States(const char* Text, std::vector<smsc::TStateWeight>& Out) {
  Out.clear();
  std::string All(Text);
  size_t At = 0;
  for (;;) {
    const size_t Comma = All.find(',', At);
    const std::string Item =
        All.substr(At, Comma == std::string::npos ? std::string::npos : Comma - At);
    const size_t Colon = Item.find(':');
    uint64_t W = 0;
    if (Colon == 0 || Colon == std::string::npos || Colon > 20 ||
        !Count(Item.substr(Colon + 1).c_str(), W) || W > 1000000)
      return false;
    // The word goes into the receipt's text as it is: printable, without blanks.
    for (size_t I = 0; I < Colon; ++I)
      if (Item[I] <= ' ' || Item[I] > '~') return false;
    Out.push_back({Item.substr(0, Colon), static_cast<uint32_t>(W)});
    if (Comma == std::string::npos) break;
    At = Comma + 1;
  }
  uint64_t Total = 0;
  for (const auto& S : Out) Total += S.Weight;
  return Total > 0;
}

struct TProgramOptions {
  int Port = 0;
  double MaxSeconds = 600;
  std::string LogPath;
  TSmscFaults Faults;
};

// Parses the command line; false (with the message printed) for a bad option.
bool ParseOptions(int Argc, char** Argv, TProgramOptions& O, bool& Done) {
  enum : int {
    oPort = 256,
    oMaxSeconds,
    oLog,
    oRefuseBind,
    oNackBind,
    oCloseAfter,
    oSilentAfter,
    oPhantom,
    oUnansweredEvery,
    oReverseBatches,
    oAnswerTwice,
    oWrongSequence,
    oNackSubmitEvery,
    oRejectEvery,
    oIds,
    oConstantId,
    oIdStart,
    oNoReceipts,
    oReceiptDelay,
    oReceiptSpread,
    oSeed,
    oReceiptsFirst,
    oReceiptTwiceEvery,
    oReceiptDropEvery,
    oStrayReceipts,
    oEnroute,
    oEnrouteAs,
    oStates,
    oMultiReceipts,
    oBadDeliver,
    oMoRate,
    oHelp,
    oVersion
  };
  static const option Long[] = {
      {"port", required_argument, nullptr, oPort},
      {"max-seconds", required_argument, nullptr, oMaxSeconds},
      {"log", required_argument, nullptr, oLog},
      {"refuse-bind", required_argument, nullptr, oRefuseBind},
      {"nack-bind", required_argument, nullptr, oNackBind},
      {"close-after", required_argument, nullptr, oCloseAfter},
      {"silent-after", required_argument, nullptr, oSilentAfter},
      {"phantom", required_argument, nullptr, oPhantom},
      {"unanswered-every", required_argument, nullptr, oUnansweredEvery},
      {"reverse-batches", required_argument, nullptr, oReverseBatches},
      {"answer-twice", no_argument, nullptr, oAnswerTwice},
      {"wrong-sequence", no_argument, nullptr, oWrongSequence},
      {"nack-submit-every", required_argument, nullptr, oNackSubmitEvery},
      {"reject-every", required_argument, nullptr, oRejectEvery},
      {"ids", required_argument, nullptr, oIds},
      {"constant-id", required_argument, nullptr, oConstantId},
      {"id-start", required_argument, nullptr, oIdStart},
      {"no-receipts", no_argument, nullptr, oNoReceipts},
      {"receipt-delay", required_argument, nullptr, oReceiptDelay},
      {"receipt-spread", required_argument, nullptr, oReceiptSpread},
      {"seed", required_argument, nullptr, oSeed},
      {"receipts-first", no_argument, nullptr, oReceiptsFirst},
      {"receipt-twice-every", required_argument, nullptr, oReceiptTwiceEvery},
      {"receipt-drop-every", required_argument, nullptr, oReceiptDropEvery},
      {"stray-receipts", required_argument, nullptr, oStrayReceipts},
      {"enroute", required_argument, nullptr, oEnroute},
      {"enroute-as", required_argument, nullptr, oEnrouteAs},
      {"states", required_argument, nullptr, oStates},
      {"multi-receipts", required_argument, nullptr, oMultiReceipts},
      {"bad-deliver", required_argument, nullptr, oBadDeliver},
      {"mo-rate", required_argument, nullptr, oMoRate},
      {"help", no_argument, nullptr, oHelp},
      {"version", no_argument, nullptr, oVersion},
      {nullptr, 0, nullptr, 0}};
  TSmscFaults& F = O.Faults;
  opterr = 0;
  for (;;) {
    const int Index = optind;
    const int C = getopt_long(Argc, Argv, "", Long, nullptr);
    if (C == -1) break;
    const char* A = optarg;
    const std::string Name = Index < Argc ? Argv[Index] : "";
    auto Bad = [&](const char* Why) {
      std::fprintf(stderr, "smsc_adversary: %s: %s\n%s", Name.c_str(), Why,
                   "Try 'smsc_adversary --help'.\n");
      return false;
    };
    uint64_t N = 0;
    double D = 0;
    switch (C) {
      case oPort:
        if (!Count(A, N) || N > 65535) return Bad("a port number 0-65535 is wanted");
        O.Port = static_cast<int>(N);
        break;
      case oMaxSeconds:
        if (!Seconds(A, D) || D <= 0 || D > 31536000)
          return Bad("a number of seconds above 0 (at most a year) is wanted");
        O.MaxSeconds = D;
        break;
      case oLog:
        if (!*A) return Bad("a file name is wanted");
        O.LogPath = A;
        break;
      case oRefuseBind:
        if (!Status(A, F.RefuseBindStatus)) return Bad("a command_status is wanted");
        F.RefuseBind = true;
        break;
      case oNackBind:
        if (!Status(A, F.NackBindStatus)) return Bad("a command_status is wanted");
        F.NackBind = true;
        break;
      case oCloseAfter:
        if (!Count(A, F.CloseAfter) || F.CloseAfter == 0)
          return Bad("a count of 1 or more is wanted");
        break;
      case oSilentAfter:
        if (!Count(A, F.SilentAfter) || F.SilentAfter == 0)
          return Bad("a count of 1 or more is wanted");
        break;
      case oPhantom:
        if (!Range(A, F.PhantomFirst, F.PhantomLast))
          return Bad("FIRST-LAST sequence numbers are wanted (at most 1000000 of them)");
        F.Phantom = true;
        break;
      case oUnansweredEvery:
        if (!Count(A, F.UnansweredEvery) || F.UnansweredEvery == 0)
          return Bad("a count of 1 or more is wanted");
        break;
      case oReverseBatches:
        if (!Count(A, N) || N == 0 || N > 1000000)
          return Bad("a batch size of 1 to 1000000 is wanted");
        F.ReverseBatches = static_cast<uint32_t>(N);
        break;
      case oAnswerTwice:
        F.AnswerTwice = true;
        break;
      case oWrongSequence:
        F.WrongSequence = true;
        break;
      case oNackSubmitEvery:
        if (!EveryStatus(A, F.NackSubmitEvery, F.NackSubmitStatus))
          return Bad("N:STATUS is wanted");
        break;
      case oRejectEvery:
        if (!EveryStatus(A, F.RejectEvery, F.RejectStatus)) return Bad("N:STATUS is wanted");
        break;
      case oIds:
        if (!std::strcmp(A, "dec"))
          F.Ids = smsc::TIdStyle::isDec;
        else if (!std::strcmp(A, "hex"))
          F.Ids = smsc::TIdStyle::isHex;
        else if (!std::strcmp(A, "constant"))
          F.Ids = smsc::TIdStyle::isConstant;
        else if (!std::strcmp(A, "hex-dec"))
          F.Ids = smsc::TIdStyle::isHexDec;
        else
          return Bad("dec, hex, constant or hex-dec is wanted");
        break;
      case oConstantId:
        if (!*A || std::strlen(A) > 64) return Bad("an id of 1 to 64 characters is wanted");
        F.ConstantId = A;
        break;
      case oIdStart:
        if (!Count(A, F.IdStart)) return Bad("a number is wanted");
        break;
      case oNoReceipts:
        F.NoReceipts = true;
        break;
      case oReceiptDelay:
      case oReceiptSpread:
        if (!Count(A, N) || N > 86400000) return Bad("milliseconds (at most a day) are wanted");
        (C == oReceiptDelay ? F.ReceiptDelayMs : F.ReceiptSpreadMs) = static_cast<int64_t>(N);
        break;
      case oSeed:
        if (!Count(A, F.Seed)) return Bad("a number is wanted");
        break;
      case oReceiptsFirst:
        F.ReceiptsFirst = true;
        break;
      case oReceiptTwiceEvery:
        if (!Count(A, F.ReceiptTwiceEvery) || F.ReceiptTwiceEvery == 0)
          return Bad("a count of 1 or more is wanted");
        break;
      case oReceiptDropEvery:
        if (!Count(A, F.ReceiptDropEvery) || F.ReceiptDropEvery == 0)
          return Bad("a count of 1 or more is wanted");
        break;
      case oStrayReceipts:
        if (!Count(A, F.StrayReceipts) || F.StrayReceipts > 1000000)
          return Bad("a count of at most 1000000 is wanted");
        break;
      case oEnroute:
        if (!Count(A, N) || N > 100) return Bad("a count of at most 100 is wanted");
        F.Enroute = static_cast<uint32_t>(N);
        break;
      case oEnrouteAs:
        if (!std::strcmp(A, "notification"))
          F.EnrouteAs = smsc::TEnrouteAs::eaNotification;
        else if (!std::strcmp(A, "receipt"))
          F.EnrouteAs = smsc::TEnrouteAs::eaReceipt;
        else
          return Bad("notification or receipt is wanted");
        break;
      case oStates:
        if (!States(A, F.States))
          return Bad("WORD:WEIGHT,... is wanted (words of at most 20 characters, no blanks)");
        break;
      case oMultiReceipts:
        if (!std::strcmp(A, "per-destination"))
          F.MultiReceipts = smsc::TMultiReceipts::mrPerDestination;
        else if (!std::strcmp(A, "one-destination"))
          F.MultiReceipts = smsc::TMultiReceipts::mrOneDestination;
        else
          return Bad("per-destination or one-destination is wanted");
        break;
      case oBadDeliver:
        if (!std::strcmp(A, "overrun"))
          F.BadDeliver = smsc::TBadDeliver::bdOverrun;
        else if (!std::strcmp(A, "unterminated"))
          F.BadDeliver = smsc::TBadDeliver::bdUnterminated;
        else
          return Bad("overrun or unterminated is wanted");
        break;
      case oMoRate:
        if (!Seconds(A, D) || D <= 0 || D > 1000000)
          return Bad("a rate above 0 (at most 1000000) is wanted");
        F.MoRate = D;
        break;
      case oHelp:
        std::fputs(kUsage, stdout);
        Done = true;
        return true;
      case oVersion:
        std::printf("smsc_adversary (%s) %s\n%s", kPackageName, kPackageVersion, kVersionNotice);
        Done = true;
        return true;
      default:
        return Bad(C == ':' || (optopt && Index < Argc) ? "unknown option or missing value"
                                                        : "unknown option");
    }
  }
  if (optind < Argc) {
    std::fprintf(stderr, "smsc_adversary: %s: unexpected argument\nTry 'smsc_adversary --help'.\n",
                 Argv[optind]);
    return false;
  }
  return true;
}

}  // namespace

int main(int Argc, char** Argv) {
  TProgramOptions O;
  bool Done = false;
  if (!ParseOptions(Argc, Argv, O, Done)) return 2;
  if (Done) return 0;

  // The stop signals are taken by the main thread alone (sigtimedwait below); every thread made
  // from here on inherits the mask. SIGUSR1 is how the standard input thread asks for the stop.
  sigset_t Stops;
  sigemptyset(&Stops);
  sigaddset(&Stops, SIGTERM);
  sigaddset(&Stops, SIGINT);
  sigaddset(&Stops, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &Stops, nullptr);
  signal(SIGPIPE, SIG_IGN);

  smsc::TPduLog Log;
  if (!O.LogPath.empty()) {
    std::string Error;
    if (!Log.Open(O.LogPath, Error)) {
      std::fprintf(stderr, "smsc_adversary: cannot write the log: %s\n", Error.c_str());
      return 1;
    }
  }
  auto Server = std::make_unique<smsc::TSmscServer>(O.Faults, Log.IsOpen() ? &Log : nullptr);
  int Port = 0;
  std::string Error;
  if (!Server->Start(O.Port, Port, Error)) {
    std::fprintf(stderr, "smsc_adversary: cannot listen: %s\n", Error.c_str());
    return 1;
  }
  std::printf("listening 127.0.0.1:%d\n", Port);
  std::fflush(stdout);

  struct stat In {};
  if (::fstat(STDIN_FILENO, &In) == 0 && (S_ISFIFO(In.st_mode) || ::isatty(STDIN_FILENO))) {
    // The driving process has gone, or asked us to quit.
    std::thread([] {
      char Line[256];
      while (std::fgets(Line, sizeof Line, stdin) && std::strcmp(Line, "quit\n") != 0 &&
             std::strcmp(Line, "quit") != 0) {
      }
      ::kill(::getpid(), SIGUSR1);
    }).detach();
  }

  const auto Deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(O.MaxSeconds));
  for (;;) {
    const auto Left = Deadline - std::chrono::steady_clock::now();
    if (Left <= std::chrono::steady_clock::duration::zero()) break;
    const auto Ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Left).count();
    const timespec Wait{static_cast<time_t>(Ns / 1000000000), static_cast<long>(Ns % 1000000000)};
    const int Sig = sigtimedwait(&Stops, nullptr, &Wait);
    if (Sig > 0) break;
    if (Sig < 0 && errno != EINTR && errno != EAGAIN) break;
  }

  // Nothing is answered or logged any more, and the log is complete on disk, before the
  // connections are closed. Whatever happens to them, the process ends within a few seconds.
  Server->Stop();
  Log.Close();
  std::thread([] {
    std::this_thread::sleep_for(std::chrono::seconds(3));
    std::_Exit(0);
  }).detach();
  Server->CloseConnections();
  Server.reset();
  std::fflush(stdout);
  return 0;
}
