// Published property lists: binding property names to fields or accessors.
#include "base/Published.h"

#include <utility>

bool TPublishedProperty::IsStored() const {
  if (Kind == TPropertyKind::pkObject) return true;
  if (!HasDefault) return true;
  return Get() != Default;
}

TPublishedProperty& TPublishedProperties::Add(std::string_view name, TPropertyKind kind,
                                              std::function<TPropertyValue()> get,
                                              std::function<void(const TPropertyValue&)> set) {
  TPublishedProperty& p = FItems.emplace_back();
  p.Name = std::string(name);
  p.Kind = kind;
  p.Get = std::move(get);
  p.Set = std::move(set);
  return p;
}

void TPublishedProperties::Integer(std::string_view name, int32_t& field,
                                   std::optional<int32_t> def) {
  Integer(
      name, [&field] { return field; }, [&field](int32_t v) { field = v; }, def);
}

void TPublishedProperties::Integer(std::string_view name, std::function<int32_t()> get,
                                   std::function<void(int32_t)> set, std::optional<int32_t> def) {
  TPublishedProperty& p = Add(
      name, TPropertyKind::pkInteger, [get = std::move(get)] { return TPropertyValue(get()); },
      [set = std::move(set)](const TPropertyValue& v) { set(std::get<int32_t>(v)); });
  if (def) {
    p.HasDefault = true;
    p.Default = *def;
  }
}

void TPublishedProperties::Boolean(std::string_view name, bool& field, std::optional<bool> def) {
  Boolean(
      name, [&field] { return field; }, [&field](bool v) { field = v; }, def);
}

void TPublishedProperties::Boolean(std::string_view name, std::function<bool()> get,
                                   std::function<void(bool)> set, std::optional<bool> def) {
  TPublishedProperty& p = Add(
      name, TPropertyKind::pkBoolean, [get = std::move(get)] { return TPropertyValue(get()); },
      [set = std::move(set)](const TPropertyValue& v) { set(std::get<bool>(v)); });
  if (def) {
    p.HasDefault = true;
    p.Default = *def;
  }
}

void TPublishedProperties::Text(std::string_view name, std::string& field,
                                std::optional<std::string> def) {
  Text(
      name, [&field] { return field; }, [&field](const std::string& v) { field = v; },
      std::move(def));
}

void TPublishedProperties::Text(std::string_view name, std::function<std::string()> get,
                                std::function<void(const std::string&)> set,
                                std::optional<std::string> def) {
  TPublishedProperty& p = Add(
      name, TPropertyKind::pkText, [get = std::move(get)] { return TPropertyValue(get()); },
      [set = std::move(set)](const TPropertyValue& v) { set(std::get<std::string>(v)); });
  if (def) {
    p.HasDefault = true;
    p.Default = std::move(*def);
  }
}

void TPublishedProperties::Ident(std::string_view name, std::string& field,
                                 std::optional<std::string> def) {
  Ident(
      name, [&field] { return field; }, [&field](const std::string& v) { field = v; },
      std::move(def));
}

void TPublishedProperties::Ident(std::string_view name, std::function<std::string()> get,
                                 std::function<void(const std::string&)> set,
                                 std::optional<std::string> def) {
  TPublishedProperty& p = Add(
      name, TPropertyKind::pkIdent, [get = std::move(get)] { return TPropertyValue(get()); },
      [set = std::move(set)](const TPropertyValue& v) { set(std::get<std::string>(v)); });
  if (def) {
    p.HasDefault = true;
    p.Default = std::move(*def);
  }
}

void TPublishedProperties::Object(std::string_view name, TPersistent& object) {
  TPublishedProperty p;
  p.Name = std::string(name);
  p.Kind = TPropertyKind::pkObject;
  p.Object = &object;
  FItems.push_back(std::move(p));
}

const TPublishedProperty* TPublishedProperties::Find(std::string_view name) const {
  for (const auto& p : FItems)
    if (p.Name == name) return &p;
  return nullptr;
}

TPublishedProperties TPersistent::PublishedProperties() {
  TPublishedProperties props;
  PublishProperties(props);
  return props;
}

bool IsValidIdent(std::string_view text) {
  if (text.empty()) return false;
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  if (!letter(text[0])) return false;
  for (char c : text)
    if (!letter(c) && !(c >= '0' && c <= '9')) return false;
  return true;
}
