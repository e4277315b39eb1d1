// The component base: a non-visual object with an owner, a name and a flag telling that it is
// being destroyed. Components such as the socket and the SMPP client derive from it.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

// Ownership of the memory is expressed with std::unique_ptr by whoever creates a component; the
// owner recorded here is the logical owner (the form or component it belongs to), used for
// naming and look-up. An owner keeps a list of the components it owns; a component removes
// itself from that list when destroyed, and an owner that is destroyed first clears the owner of
// the components still listed, so no pointer is left dangling either way.
class TComponent {
 public:
  // Registers with `AOwner` (may be null). Any thread; normally the GUI thread.
  explicit TComponent(TComponent* AOwner = nullptr);
  // Marks the component as being destroyed, then leaves its owner's list.
  virtual ~TComponent();

  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  // The logical owner, or null. Set at construction; cleared when the owner is destroyed first.
  // Any thread, as long as owner and component are not being destroyed concurrently.
  TComponent* Owner() const { return FOwner.load(std::memory_order_acquire); }

  // The component's name (a copy, so it is safe to read while another thread renames it).
  // Any thread.
  std::string Name() const;
  // Sets the name. Any thread; virtual so that components can react (for example by renaming
  // the threads they use).
  virtual void SetName(const std::string& Value);

  // True once destruction has begun. A derived destructor calls `MarkDestroying()` as its first
  // step so that callbacks arriving on other threads during its teardown see the flag.
  // Readable from any thread.
  bool IsDestroying() const { return FDestroying.load(std::memory_order_acquire); }
  void MarkDestroying() { FDestroying.store(true, std::memory_order_release); }

  // The components owned by this one, in creation order (a snapshot). Any thread.
  std::vector<TComponent*> Components() const;
  int ComponentCount() const;
  // The owned component with this name (names compare case-insensitively, as form names do), or
  // null. Any thread.
  TComponent* FindComponent(const std::string& AName) const;

 private:
  void InsertComponent(TComponent* AComponent);
  void RemoveComponent(TComponent* AComponent);

  std::atomic<TComponent*> FOwner{nullptr};
  mutable std::mutex FNameLock;  // guards FName
  std::string FName;
  std::atomic<bool> FDestroying{false};
  mutable std::mutex FComponentsLock;  // guards FComponents
  std::vector<TComponent*> FComponents;
};
