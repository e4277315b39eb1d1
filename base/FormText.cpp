// Form text writing and reading (the format is described in FormText.h).
#include "base/FormText.h"

#include <charconv>
#include <cstdint>
#include <vector>

namespace {

const char kHex[] = "0123456789ABCDEF";

void WriteObject(TPersistent& Object, int Depth, std::string& Out) {
  const TPublishedProperties Props = Object.PublishedProperties();
  const std::string Indent(static_cast<size_t>(Depth) * 2, ' ');
  for (const TPublishedProperty& P : Props.Items()) {
    if (P.Kind == TPropertyKind::pkObject) {
      // A nested object with nothing stored is left out, so that the text holds only what
      // differs from the declared defaults.
      std::string Inner;
      WriteObject(*P.Object, Depth + 1, Inner);
      if (Inner.empty()) continue;
      Out += Indent + P.Name + " {\n" + Inner + Indent + "}\n";
      continue;
    }
    if (!P.IsStored()) continue;
    const TPropertyValue V = P.Get();
    Out += Indent + P.Name + " = ";
    switch (P.Kind) {
      case TPropertyKind::pkInteger:
        Out += std::to_string(std::get<int32_t>(V));
        break;
      case TPropertyKind::pkBoolean:
        Out += std::get<bool>(V) ? "true" : "false";
        break;
      case TPropertyKind::pkText:
        Out += QuoteFormText(std::get<std::string>(V));
        break;
      case TPropertyKind::pkIdent:
        if (!IsValidIdent(std::get<std::string>(V)))
          throw std::invalid_argument("property " + P.Name + " holds an invalid identifier");
        Out += std::get<std::string>(V);
        break;
      case TPropertyKind::pkObject:
        break;
    }
    Out += '\n';
  }
}

bool IsBlank(char C) {
  return C == ' ' || C == '\t';
}
bool IsNameChar(char C) {
  return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') || C == '_';
}

int HexDigit(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  return -1;
}

// Reads the line's statements into the objects' setters, one line at a time.
class TFormReader {
 public:
  TFormReader(TPersistent& Root, std::string_view Text) : FText(Text) {
    FStack.push_back(Level{Root.PublishedProperties(), ""});
  }

  void Run() {
    size_t Start = 0;
    while (Start <= FText.size()) {
      size_t End = FText.find('\n', Start);
      if (End == std::string_view::npos) End = FText.size();
      std::string_view Line = FText.substr(Start, End - Start);
      if (!Line.empty() && Line.back() == '\r') Line.remove_suffix(1);
      ++FLineNo;
      Statement(Line);
      Start = End + 1;
    }
    if (FStack.size() > 1) Fail("object " + FStack.back().Name + " is not closed");
  }

 private:
  struct Level {
    TPublishedProperties Props;
    std::string Name;
  };

  [[noreturn]] void Fail(const std::string& Message) const {
    throw EFormTextError(FLineNo, Message);
  }

  static std::string_view TrimEnd(std::string_view S) {
    while (!S.empty() && IsBlank(S.back())) S.remove_suffix(1);
    return S;
  }

  void Statement(std::string_view Line) {
    size_t I = 0;
    while (I < Line.size() && IsBlank(Line[I])) ++I;
    Line = TrimEnd(Line.substr(I));
    if (Line.empty() || Line[0] == '#') return;
    if (Line == "}") {
      if (FStack.size() == 1) Fail("'}' without an open object");
      FStack.pop_back();
      return;
    }
    size_t N = 0;
    while (N < Line.size() && IsNameChar(Line[N])) ++N;
    const std::string_view Name = Line.substr(0, N);
    if (!IsValidIdent(Name)) Fail("expected a property name");
    std::string_view Rest = Line.substr(N);
    while (!Rest.empty() && IsBlank(Rest.front())) Rest.remove_prefix(1);
    const TPublishedProperty* P = FStack.back().Props.Find(Name);
    if (!P) Fail("unknown property " + std::string(Name));
    if (Rest == "{") {
      if (P->Kind != TPropertyKind::pkObject) Fail("property " + P->Name + " is not an object");
      FStack.push_back(Level{P->Object->PublishedProperties(), P->Name});
      return;
    }
    if (Rest.empty() || Rest[0] != '=') Fail("expected '=' or '{' after " + P->Name);
    Rest.remove_prefix(1);
    while (!Rest.empty() && IsBlank(Rest.front())) Rest.remove_prefix(1);
    if (P->Kind == TPropertyKind::pkObject) Fail("property " + P->Name + " is an object");
    const TPropertyValue Parsed = Value(*P, Rest);
    try {
      P->Set(Parsed);
    } catch (const std::invalid_argument& E) {
      // A setter that refuses a value of the right kind (a name that is none of its values)
      // says why; the fault is reported on this line like any other.
      Fail(E.what());
    }
  }

  TPropertyValue Value(const TPublishedProperty& P, std::string_view V) const {
    switch (P.Kind) {
      case TPropertyKind::pkInteger: {
        int64_t X = 0;
        const char* First = V.data();
        const char* Last = V.data() + V.size();
        auto [ptr, ec] = std::from_chars(First, Last, X);
        if (V.empty() || ec == std::errc::invalid_argument || ptr != Last)
          Fail("property " + P.Name + " expects an integer");
        if (ec == std::errc::result_out_of_range || X < INT32_MIN || X > INT32_MAX)
          Fail("value of " + P.Name + " is out of range");
        return static_cast<int32_t>(X);
      }
      case TPropertyKind::pkBoolean:
        if (V == "true") return true;
        if (V == "false") return false;
        Fail("property " + P.Name + " expects true or false");
      case TPropertyKind::pkIdent:
        if (!IsValidIdent(V)) Fail("property " + P.Name + " expects a name");
        return std::string(V);
      case TPropertyKind::pkText:
        return Unquote(P, V);
      case TPropertyKind::pkObject:
        break;
    }
    Fail("property " + P.Name + " is an object");
  }

  std::string Unquote(const TPublishedProperty& P, std::string_view V) const {
    if (V.empty() || V[0] != '"') Fail("property " + P.Name + " expects a quoted text");
    std::string Out;
    size_t I = 1;
    for (;;) {
      if (I >= V.size()) Fail("text of " + P.Name + " is not closed");
      const char C = V[I++];
      if (C == '"') break;
      if (C != '\\') {
        Out += C;
        continue;
      }
      if (I >= V.size()) Fail("text of " + P.Name + " ends inside an escape");
      const char E = V[I++];
      switch (E) {
        case '\\':
        case '"':
          Out += E;
          break;
        case 'n':
          Out += '\n';
          break;
        case 'r':
          Out += '\r';
          break;
        case 't':
          Out += '\t';
          break;
        case 'x': {
          const int Hi = I < V.size() ? HexDigit(V[I]) : -1;
          const int Lo = I + 1 < V.size() ? HexDigit(V[I + 1]) : -1;
          if (Hi < 0 || Lo < 0) Fail("bad \\x escape in text of " + P.Name);
          Out += static_cast<char>(Hi * 16 + Lo);
          I += 2;
          break;
        }
        default:
          Fail("unknown escape in text of " + P.Name);
      }
    }
    if (I != V.size()) Fail("unexpected characters after the text of " + P.Name);
    return Out;
  }

  std::string_view FText;
  std::vector<Level> FStack;
  int FLineNo = 0;
};

}  // namespace

EFormTextError::EFormTextError(int Line, const std::string& Message)
    : std::runtime_error("line " + std::to_string(Line) + ": " + Message), FLine(Line) {}

std::string QuoteFormText(std::string_view Value) {
  std::string Out;
  Out.reserve(Value.size() + 2);
  Out += '"';
  for (const char Ch : Value) {
    const auto C = static_cast<unsigned char>(Ch);
    switch (C) {
      case '"':
        Out += "\\\"";
        break;
      case '\\':
        Out += "\\\\";
        break;
      case '\n':
        Out += "\\n";
        break;
      case '\r':
        Out += "\\r";
        break;
      case '\t':
        Out += "\\t";
        break;
      default:
        if (C < 0x20 || C >= 0x7F) {
          Out += "\\x";
          Out += kHex[C >> 4];
          Out += kHex[C & 15];
        } else {
          Out += Ch;
        }
    }
  }
  Out += '"';
  return Out;
}

std::string WriteFormText(TPersistent& Object) {
  std::string Out;
  WriteObject(Object, 0, Out);
  return Out;
}

void ReadFormText(TPersistent& Object, std::string_view Text) {
  TFormReader Reader(Object, Text);
  Reader.Run();
}
