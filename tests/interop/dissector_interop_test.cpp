// The dissector against PDUs another implementation builds: every SMPP 3.4 command as the npm
// package smpp encodes it (tests/interop/npm_pdus.js) dissects to the fields that were set, in
// order, with their values, and without an error record.
#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "inspect/FieldJson.h"
#include "inspect/PduDissector.h"

namespace {

// The fields of a dissection in reading order, the tree walked depth first.
void Flatten(const TPduField& Field, std::vector<const TPduField*>& Out) {
  Out.push_back(&Field);
  for (const TPduField& Child : Field.Fields) Flatten(Child, Out);
}

TEST(DissectorInterop, EveryCommandAsTheNpmPackageBuildsIt) {
  const std::string Command = "node " + std::string(SMPP_SOURCE_DIR) + "/tests/interop/npm_pdus.js";
  FILE* P = popen(Command.c_str(), "r");
  ASSERT_NE(P, nullptr);
  std::string Out;
  char Buf[4096];
  for (size_t N; (N = fread(Buf, 1, sizeof Buf, P)) > 0;) Out.append(Buf, N);
  ASSERT_EQ(pclose(P), 0) << Out;
  size_t Pdus = 0;
  for (size_t Start = 0, End; (End = Out.find('\n', Start)) != std::string::npos; Start = End + 1) {
    const nlohmann::json Line = nlohmann::json::parse(Out.substr(Start, End - Start));
    const std::string Name = Line["command"];
    SCOPED_TRACE(Name);
    std::vector<uint8_t> Bytes;
    std::string Error;
    ASSERT_TRUE(ParseHexPdu(Line["hex"].get<std::string>(), Bytes, Error)) << Error;
    const TPduField Pdu = DissectPdu(Bytes.data(), Bytes.size());
    EXPECT_EQ(Pdu.Name, Name);
    EXPECT_EQ(Pdu.Length, Bytes.size());
    std::vector<const TPduField*> Fields;
    Flatten(Pdu, Fields);
    for (const TPduField* F : Fields) EXPECT_NE(F->Kind, TFieldKind::fkError) << F->Meaning;
    // Each field that was set is found after the one before it, with its value.
    size_t At = 0;
    for (const auto& Expected : Line["fields"]) {
      const std::string Field = Expected[0];
      SCOPED_TRACE(Field);
      while (At < Fields.size() && Fields[At]->Name != Field) ++At;
      ASSERT_LT(At, Fields.size()) << FieldJson(Pdu);
      const TPduField& F = *Fields[At++];
      if (Expected[1].is_number())
        EXPECT_EQ(F.Integer, Expected[1].get<uint64_t>());
      else
        EXPECT_EQ(F.Text, Expected[1].get<std::string>());
    }
    ++Pdus;
  }
  EXPECT_EQ(Pdus, 27u);
}

}  // namespace
