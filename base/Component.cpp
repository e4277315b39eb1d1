// The component base: owner bookkeeping, name and the "being destroyed" flag.
#include "base/Component.h"

#include <strings.h>
#include <algorithm>

TComponent::TComponent(TComponent* AOwner) : FOwner(AOwner) {
  if (AOwner) AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
  MarkDestroying();
  // Components still listed lose their owner rather than keep a pointer to a destroyed object;
  // their memory belongs to whoever created them.
  std::vector<TComponent*> Owned;
  {
    std::lock_guard<std::mutex> Guard(FComponentsLock);
    Owned.swap(FComponents);
  }
  for (TComponent* C : Owned) C->FOwner.store(nullptr, std::memory_order_release);
  if (TComponent* O = FOwner.load(std::memory_order_acquire)) O->RemoveComponent(this);
}

std::string TComponent::Name() const {
  std::lock_guard<std::mutex> Guard(FNameLock);
  return FName;
}

void TComponent::SetName(const std::string& Value) {
  std::lock_guard<std::mutex> Guard(FNameLock);
  FName = Value;
}

std::vector<TComponent*> TComponent::Components() const {
  std::lock_guard<std::mutex> Guard(FComponentsLock);
  return FComponents;
}

int TComponent::ComponentCount() const {
  std::lock_guard<std::mutex> Guard(FComponentsLock);
  return static_cast<int>(FComponents.size());
}

TComponent* TComponent::FindComponent(const std::string& AName) const {
  if (AName.empty()) return nullptr;
  for (TComponent* C : Components()) {
    if (::strcasecmp(C->Name().c_str(), AName.c_str()) == 0) return C;
  }
  return nullptr;
}

void TComponent::InsertComponent(TComponent* AComponent) {
  std::lock_guard<std::mutex> Guard(FComponentsLock);
  FComponents.push_back(AComponent);
}

void TComponent::RemoveComponent(TComponent* AComponent) {
  std::lock_guard<std::mutex> Guard(FComponentsLock);
  FComponents.erase(std::remove(FComponents.begin(), FComponents.end(), AComponent),
                    FComponents.end());
}
