// Captures read back by the tools testers open them with: tcpdump, and tshark with its SMPP
// dissector (scripts/bootstrap installs both).
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace capturetest {

// The lines a command prints; a command that fails is a test failure.
inline std::vector<std::string> OutputOf(const std::string& Command) {
  std::vector<std::string> Lines;
  FILE* Out = popen((Command + " 2>/dev/null").c_str(), "r");
  char Line[4096];
  while (std::fgets(Line, sizeof Line, Out)) Lines.emplace_back(Line, std::strcspn(Line, "\n"));
  const int Status = pclose(Out);
  EXPECT_EQ(Status, 0) << Command
                       << (WEXITSTATUS(Status) == 127
                               ? "\nnot installed; scripts/bootstrap installs it"
                               : "");
  return Lines;
}

// Reads the capture at Path with tshark, SMPP on SmscPort and the checksums checked (Wireshark does
// not by default), and returns the SMPP command ids of its frames in order. Every frame must be
// well formed: the handshake and the closing exchange are remarked on as chats and notes, while
// warnings and errors would be faults. Frames is set to the number of frames.
inline std::vector<uint32_t> TsharkSmppIds(const std::string& Path, uint16_t SmscPort,
                                           size_t& Frames) {
  const std::vector<std::string> Lines =
      OutputOf("tshark -r " + Path + " -o ip.check_checksum:TRUE -o tcp.check_checksum:TRUE" +
               " -d tcp.port==" + std::to_string(SmscPort) + ",smpp -T fields -E separator=';'" +
               " -e smpp.command_id -e _ws.malformed -e _ws.expert.severity");
  Frames = Lines.size();
  std::vector<uint32_t> Ids;
  for (const std::string& L : Lines) {
    std::istringstream In(L);
    std::string Id, Malformed, Severity;
    std::getline(std::getline(std::getline(In, Id, ';'), Malformed, ';'), Severity);
    // A frame may carry several PDUs.
    for (std::istringstream List(Id); std::getline(List, Id, ',');)
      Ids.push_back(static_cast<uint32_t>(std::stoul(Id, nullptr, 16)));
    EXPECT_EQ(Malformed, "") << L;
    for (std::istringstream List(Severity); std::getline(List, Severity, ',');)
      EXPECT_LT(std::stoul(Severity), 0x00600000u) << L;  // below a warning
  }
  return Ids;
}

}  // namespace capturetest
