// The composer's live line: the text encoded and split by the codec's own functions, the result
// summed up in words, and the characters that do not fit found one by one.
#include "inspect/ComposerText.h"

namespace {

std::string_view CodingName(TTextCoding Coding) {
  switch (Coding) {
    case TTextCoding::tcGsm:
      return "GSM";
    case TTextCoding::tcLatin1:
      return "Latin-1";
    case TTextCoding::tcUcs2:
      return "UCS-2";
    default:
      return "bytes";
  }
}

std::string_view UnitName(TTextCoding Coding) {
  switch (Coding) {
    case TTextCoding::tcGsm:
      return "septets";
    case TTextCoding::tcLatin1:
    case TTextCoding::tcUcs2:
      return "characters";
    default:
      return "octets";
  }
}

// "153 × 11 + 47": the lengths of the parts, a run of equal ones written once with its count.
std::string PartLengths(const std::vector<TMessagePart>& Parts) {
  std::string Out;
  for (size_t I = 0; I < Parts.size();) {
    size_t Run = 1;
    while (I + Run < Parts.size() && Parts[I + Run].Length == Parts[I].Length) ++Run;
    if (!Out.empty()) Out += " + ";
    Out += std::to_string(Parts[I].Length);
    if (Run > 1) Out += " × " + std::to_string(Run);
    I += Run;
  }
  return Out;
}

// Every character of Text that Coding refuses, each tried alone through EncodeText, so that the
// codec stays the one place that knows what a coding carries.
std::vector<TTextSpan> UnfitCharacters(std::string_view Text, TTextCoding Coding) {
  std::vector<TTextSpan> Unfit;
  TEncodedText Scratch;
  std::string Error;
  size_t Units = 0;
  for (size_t I = 0; I < Text.size();) {
    char32_t Cp = 0;
    const size_t N = ReadUtf8(Text, I, Cp);
    if (N == 0) {
      // A byte that is not UTF-8: a text editor shows it as one replacement character.
      Unfit.push_back({Units, 1});
      ++Units;
      ++I;
      continue;
    }
    const size_t Width = Cp > 0xFFFF ? 2 : 1;
    if (!EncodeText(Text.substr(I, N), Coding, Scratch, Error)) Unfit.push_back({Units, Width});
    Units += Width;
    I += N;
  }
  return Unfit;
}

}  // namespace

TComposerText ComposeText(std::string_view Text, TTextCoding Coding, TLongMessageMode Mode) {
  TComposerText R;
  TEncodedText Encoded;
  if (!EncodeText(Text, Coding, Encoded, R.Error)) {
    R.Unfit = UnfitCharacters(Text, Coding);
    return R;
  }
  std::vector<TMessagePart> Parts;
  if (!SplitMessage(Encoded, Mode, 0, Parts, R.Error)) return R;
  R.Ok = true;
  R.Coding = Encoded.Coding;
  R.Parts = Parts.size();
  const std::string Coded(CodingName(Encoded.Coding));
  if (Parts.size() == 1 && !Parts[0].Payload.empty()) {
    R.Line = "1 message · payload · " + Coded + " · " + std::to_string(Parts[0].Payload.size()) +
             " octets";
    return R;
  }
  const bool Independent = Mode == TLongMessageMode::lmSplit && Parts.size() > 1;
  const char* Noun = Independent ? " message" : " part";
  std::string Unit(UnitName(Encoded.Coding));
  if (Parts.size() == 1 && Parts[0].Length == 1) Unit.pop_back();  // "1 septet"
  R.Line = std::to_string(Parts.size()) + Noun + (Parts.size() == 1 ? "" : "s") + " · " + Coded +
           " · " + PartLengths(Parts) + " " + Unit;
  return R;
}
