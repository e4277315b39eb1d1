// Published properties: how an object lists the properties that a form text stores for it.
//
// An object that can be stored in a form text derives from TPersistent and lists its published
// properties, in streaming order, in PublishProperties. Each property has a kind (integer,
// boolean, text, identifier or nested object), a getter and a setter, and optionally a declared
// default. The declared default governs only what is written: a property whose value equals its
// declared default is left out of the form text, a property without one is always written. It is
// never assigned by the streaming code; objects set their own starting values in their
// constructors. Writing and reading the text itself is in base/FormText.h.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

class TPersistent;

// The kinds of published property. Identifiers are texts restricted to a name (letters, digits,
// underscores, not starting with a digit), for symbolic values such as colour names or the names of
// event handlers; they are written without quotes.
enum class TPropertyKind { pkInteger, pkBoolean, pkText, pkIdent, pkObject };

// The value of a scalar property: an integer (signed 32-bit), a boolean, or a text (texts and
// identifiers are byte strings).
using TPropertyValue = std::variant<int32_t, bool, std::string>;

// One published property. For pkObject only Object is set; for the other kinds Get and Set are set
// and, when HasDefault, Default holds the declared default.
struct TPublishedProperty {
  std::string Name;
  TPropertyKind Kind = TPropertyKind::pkInteger;
  std::function<TPropertyValue()> Get;
  std::function<void(const TPropertyValue&)> Set;
  bool HasDefault = false;
  TPropertyValue Default;
  TPersistent* Object = nullptr;

  // True when the property's current value is to be written: it has no declared default, or its
  // value differs from it. Nested objects are always visited.
  bool IsStored() const;
};

// The list that PublishProperties fills. The field overloads bind a property straight to a field
// (the getter reads it, the setter writes it, nothing else); the function overloads are for
// properties whose accessors do more, such as taking a lock.
class TPublishedProperties {
 public:
  void Integer(std::string_view Name, int32_t& Field, std::optional<int32_t> Def = std::nullopt);
  void Integer(std::string_view Name, std::function<int32_t()> Get,
               std::function<void(int32_t)> Set, std::optional<int32_t> Def = std::nullopt);

  void Boolean(std::string_view Name, bool& Field, std::optional<bool> Def = std::nullopt);
  void Boolean(std::string_view Name, std::function<bool()> Get, std::function<void(bool)> Set,
               std::optional<bool> Def = std::nullopt);

  void Text(std::string_view Name, std::string& Field,
            std::optional<std::string> Def = std::nullopt);
  void Text(std::string_view Name, std::function<std::string()> Get,
            std::function<void(const std::string&)> Set,
            std::optional<std::string> Def = std::nullopt);

  // An identifier property. Values that are not valid names are refused by the form-text writer.
  void Ident(std::string_view Name, std::string& Field,
             std::optional<std::string> Def = std::nullopt);
  void Ident(std::string_view Name, std::function<std::string()> Get,
             std::function<void(const std::string&)> Set,
             std::optional<std::string> Def = std::nullopt);

  // A nested object, stored under the property's name. The object must outlive the list.
  void Object(std::string_view Name, TPersistent& Object);

  const std::vector<TPublishedProperty>& Items() const { return FItems; }
  // The property of that exact name, or nullptr.
  const TPublishedProperty* Find(std::string_view Name) const;

 private:
  // Appends a scalar property without a declared default and returns it.
  TPublishedProperty& Add(std::string_view Name, TPropertyKind Kind,
                          std::function<TPropertyValue()> Get,
                          std::function<void(const TPropertyValue&)> Set);

  std::vector<TPublishedProperty> FItems;
};

// Base of every object whose published properties a form text stores.
//
// Threads: PublishProperties and everything that uses the resulting list (form-text writing and
// reading) run on the application's thread. The getters and setters run on that thread too; an
// object whose fields other threads also read guards them inside its accessors.
class TPersistent {
 public:
  virtual ~TPersistent() = default;

  // Appends this object's published properties to Props, in streaming order.
  virtual void PublishProperties(TPublishedProperties& Props) = 0;

  // The published properties of this object, freshly listed.
  TPublishedProperties PublishedProperties();
};

// True when Text is a valid identifier value: a letter or underscore, then letters, digits or
// underscores.
bool IsValidIdent(std::string_view Text);
