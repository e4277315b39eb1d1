// Published property lists: binding property names to fields or accessors.
#include "base/Published.h"

#include <utility>

bool TPublishedProperty::IsStored() const {
  if (Kind == TPropertyKind::pkObject) return true;
  if (!HasDefault) return true;
  return Get() != Default;
}

TPublishedProperty& TPublishedProperties::Add(std::string_view Name, TPropertyKind Kind,
                                              std::function<TPropertyValue()> Get,
                                              std::function<void(const TPropertyValue&)> Set) {
  TPublishedProperty& P = FItems.emplace_back();
  P.Name = std::string(Name);
  P.Kind = Kind;
  P.Get = std::move(Get);
  P.Set = std::move(Set);
  return P;
}

void TPublishedProperties::Integer(std::string_view Name, int32_t& Field,
                                   std::optional<int32_t> Def) {
  Integer(
      Name, [&Field] { return Field; }, [&Field](int32_t V) { Field = V; }, Def);
}

void TPublishedProperties::Integer(std::string_view Name, std::function<int32_t()> Get,
                                   std::function<void(int32_t)> Set, std::optional<int32_t> Def) {
  TPublishedProperty& P = Add(
      Name, TPropertyKind::pkInteger, [Get = std::move(Get)] { return TPropertyValue(Get()); },
      [Set = std::move(Set)](const TPropertyValue& V) { Set(std::get<int32_t>(V)); });
  if (Def) {
    P.HasDefault = true;
    P.Default = *Def;
  }
}

void TPublishedProperties::Boolean(std::string_view Name, bool& Field, std::optional<bool> Def) {
  Boolean(
      Name, [&Field] { return Field; }, [&Field](bool V) { Field = V; }, Def);
}

void TPublishedProperties::Boolean(std::string_view Name, std::function<bool()> Get,
                                   std::function<void(bool)> Set, std::optional<bool> Def) {
  TPublishedProperty& P = Add(
      Name, TPropertyKind::pkBoolean, [Get = std::move(Get)] { return TPropertyValue(Get()); },
      [Set = std::move(Set)](const TPropertyValue& V) { Set(std::get<bool>(V)); });
  if (Def) {
    P.HasDefault = true;
    P.Default = *Def;
  }
}

void TPublishedProperties::Text(std::string_view Name, std::string& Field,
                                std::optional<std::string> Def) {
  Text(
      Name, [&Field] { return Field; }, [&Field](const std::string& V) { Field = V; },
      std::move(Def));
}

void TPublishedProperties::Text(std::string_view Name, std::function<std::string()> Get,
                                std::function<void(const std::string&)> Set,
                                std::optional<std::string> Def) {
  TPublishedProperty& P = Add(
      Name, TPropertyKind::pkText, [Get = std::move(Get)] { return TPropertyValue(Get()); },
      [Set = std::move(Set)](const TPropertyValue& V) { Set(std::get<std::string>(V)); });
  if (Def) {
    P.HasDefault = true;
    P.Default = std::move(*Def);
  }
}

void TPublishedProperties::Ident(std::string_view Name, std::string& Field,
                                 std::optional<std::string> Def) {
  Ident(
      Name, [&Field] { return Field; }, [&Field](const std::string& V) { Field = V; },
      std::move(Def));
}

void TPublishedProperties::Ident(std::string_view Name, std::function<std::string()> Get,
                                 std::function<void(const std::string&)> Set,
                                 std::optional<std::string> Def) {
  TPublishedProperty& P = Add(
      Name, TPropertyKind::pkIdent, [Get = std::move(Get)] { return TPropertyValue(Get()); },
      [Set = std::move(Set)](const TPropertyValue& V) { Set(std::get<std::string>(V)); });
  if (Def) {
    P.HasDefault = true;
    P.Default = std::move(*Def);
  }
}

void TPublishedProperties::Object(std::string_view Name, TPersistent& Object) {
  TPublishedProperty P;
  P.Name = std::string(Name);
  P.Kind = TPropertyKind::pkObject;
  P.Object = &Object;
  FItems.push_back(std::move(P));
}

const TPublishedProperty* TPublishedProperties::Find(std::string_view Name) const {
  for (const auto& P : FItems)
    if (P.Name == Name) return &P;
  return nullptr;
}

TPublishedProperties TPersistent::PublishedProperties() {
  TPublishedProperties Props;
  PublishProperties(Props);
  return Props;
}

bool IsValidIdent(std::string_view Text) {
  if (Text.empty()) return false;
  auto Letter = [](char C) { return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || C == '_'; };
  if (!Letter(Text[0])) return false;
  for (char C : Text)
    if (!Letter(C) && !(C >= '0' && C <= '9')) return false;
  return true;
}
