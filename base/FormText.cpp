// Form text writing and reading (the format is described in FormText.h).
#include "base/FormText.h"

#include <charconv>
#include <cstdint>
#include <vector>

namespace {

const char kHex[] = "0123456789ABCDEF";

void WriteObject(TPersistent& object, int depth, std::string& out) {
  const TPublishedProperties props = object.PublishedProperties();
  const std::string indent(static_cast<size_t>(depth) * 2, ' ');
  for (const TPublishedProperty& p : props.Items()) {
    if (p.Kind == TPropertyKind::pkObject) {
      // A nested object with nothing stored is left out, so that the text holds only what
      // differs from the declared defaults.
      std::string inner;
      WriteObject(*p.Object, depth + 1, inner);
      if (inner.empty()) continue;
      out += indent + p.Name + " {\n" + inner + indent + "}\n";
      continue;
    }
    if (!p.IsStored()) continue;
    const TPropertyValue v = p.Get();
    out += indent + p.Name + " = ";
    switch (p.Kind) {
      case TPropertyKind::pkInteger:
        out += std::to_string(std::get<int32_t>(v));
        break;
      case TPropertyKind::pkBoolean:
        out += std::get<bool>(v) ? "true" : "false";
        break;
      case TPropertyKind::pkText:
        out += QuoteFormText(std::get<std::string>(v));
        break;
      case TPropertyKind::pkIdent:
        if (!IsValidIdent(std::get<std::string>(v)))
          throw std::invalid_argument("property " + p.Name + " holds an invalid identifier");
        out += std::get<std::string>(v);
        break;
      case TPropertyKind::pkObject:
        break;
    }
    out += '\n';
  }
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}
bool IsNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Reads the line's statements into the objects' setters, one line at a time.
class TFormReader {
 public:
  TFormReader(TPersistent& root, std::string_view text) : FText(text) {
    FStack.push_back(Level{root.PublishedProperties(), ""});
  }

  void Run() {
    size_t start = 0;
    while (start <= FText.size()) {
      size_t end = FText.find('\n', start);
      if (end == std::string_view::npos) end = FText.size();
      std::string_view line = FText.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      ++FLineNo;
      Statement(line);
      start = end + 1;
    }
    if (FStack.size() > 1) Fail("object " + FStack.back().Name + " is not closed");
  }

 private:
  struct Level {
    TPublishedProperties Props;
    std::string Name;
  };

  [[noreturn]] void Fail(const std::string& message) const {
    throw EFormTextError(FLineNo, message);
  }

  static std::string_view TrimEnd(std::string_view s) {
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
  }

  void Statement(std::string_view line) {
    size_t i = 0;
    while (i < line.size() && IsBlank(line[i])) ++i;
    line = TrimEnd(line.substr(i));
    if (line.empty() || line[0] == '#') return;
    if (line == "}") {
      if (FStack.size() == 1) Fail("'}' without an open object");
      FStack.pop_back();
      return;
    }
    size_t n = 0;
    while (n < line.size() && IsNameChar(line[n])) ++n;
    const std::string_view name = line.substr(0, n);
    if (!IsValidIdent(name)) Fail("expected a property name");
    std::string_view rest = line.substr(n);
    while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
    const TPublishedProperty* p = FStack.back().Props.Find(name);
    if (!p) Fail("unknown property " + std::string(name));
    if (rest == "{") {
      if (p->Kind != TPropertyKind::pkObject) Fail("property " + p->Name + " is not an object");
      FStack.push_back(Level{p->Object->PublishedProperties(), p->Name});
      return;
    }
    if (rest.empty() || rest[0] != '=') Fail("expected '=' or '{' after " + p->Name);
    rest.remove_prefix(1);
    while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
    if (p->Kind == TPropertyKind::pkObject) Fail("property " + p->Name + " is an object");
    const TPropertyValue value = Value(*p, rest);
    try {
      p->Set(value);
    } catch (const std::invalid_argument& e) {
      // A setter that refuses a value of the right kind (a name that is none of its values)
      // says why; the fault is reported on this line like any other.
      Fail(e.what());
    }
  }

  TPropertyValue Value(const TPublishedProperty& p, std::string_view v) const {
    switch (p.Kind) {
      case TPropertyKind::pkInteger: {
        int64_t x = 0;
        const char* first = v.data();
        const char* last = v.data() + v.size();
        auto [ptr, ec] = std::from_chars(first, last, x);
        if (v.empty() || ec == std::errc::invalid_argument || ptr != last)
          Fail("property " + p.Name + " expects an integer");
        if (ec == std::errc::result_out_of_range || x < INT32_MIN || x > INT32_MAX)
          Fail("value of " + p.Name + " is out of range");
        return static_cast<int32_t>(x);
      }
      case TPropertyKind::pkBoolean:
        if (v == "true") return true;
        if (v == "false") return false;
        Fail("property " + p.Name + " expects true or false");
      case TPropertyKind::pkIdent:
        if (!IsValidIdent(v)) Fail("property " + p.Name + " expects a name");
        return std::string(v);
      case TPropertyKind::pkText:
        return Unquote(p, v);
      case TPropertyKind::pkObject:
        break;
    }
    Fail("property " + p.Name + " is an object");
  }

  std::string Unquote(const TPublishedProperty& p, std::string_view v) const {
    if (v.empty() || v[0] != '"') Fail("property " + p.Name + " expects a quoted text");
    std::string out;
    size_t i = 1;
    for (;;) {
      if (i >= v.size()) Fail("text of " + p.Name + " is not closed");
      const char c = v[i++];
      if (c == '"') break;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (i >= v.size()) Fail("text of " + p.Name + " ends inside an escape");
      const char e = v[i++];
      switch (e) {
        case '\\':
        case '"':
          out += e;
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'x': {
          const int hi = i < v.size() ? HexDigit(v[i]) : -1;
          const int lo = i + 1 < v.size() ? HexDigit(v[i + 1]) : -1;
          if (hi < 0 || lo < 0) Fail("bad \\x escape in text of " + p.Name);
          out += static_cast<char>(hi * 16 + lo);
          i += 2;
          break;
        }
        default:
          Fail("unknown escape in text of " + p.Name);
      }
    }
    if (i != v.size()) Fail("unexpected characters after the text of " + p.Name);
    return out;
  }

  std::string_view FText;
  std::vector<Level> FStack;
  int FLineNo = 0;
};

}  // namespace

EFormTextError::EFormTextError(int line, const std::string& message)
    : std::runtime_error("line " + std::to_string(line) + ": " + message), FLine(line) {}

std::string QuoteFormText(std::string_view value) {
  std::string out;
  out.reserve(value.size() + 2);
  out += '"';
  for (const char ch : value) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          out += "\\x";
          out += kHex[c >> 4];
          out += kHex[c & 15];
        } else {
          out += ch;
        }
    }
  }
  out += '"';
  return out;
}

std::string WriteFormText(TPersistent& object) {
  std::string out;
  WriteObject(object, 0, out);
  return out;
}

void ReadFormText(TPersistent& object, std::string_view text) {
  TFormReader reader(object, text);
  reader.Run();
}
