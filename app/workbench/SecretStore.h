// TSecretStore: where a remembered password is kept, out of every file: the desktop's secret store
// through QtKeychain (MakeKeychainStore), or a stand-in the tests give. Every call is asynchronous
// and ends with exactly one call of its callback, with an error text when the store did not do
// it; a store that does not answer in time counts as an error, so that a missing session bus or
// a stuck secret service never leaves the window waiting.
//
// Threads: the GUI thread only. Callbacks run on it, from its event loop, never inside the call
// that started the job; none runs after the store is destroyed.
#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <optional>

class TSecretStore {
 public:
  // Error is empty when the store did what was asked.
  using TDone = std::function<void(const QString& Error)>;
  // Password is empty with an empty Error when the store answered but holds nothing for the key.
  using TReadDone =
      std::function<void(const std::optional<QString>& Password, const QString& Error)>;

  virtual ~TSecretStore() = default;
  virtual void Write(const QString& Key, const QString& Password, TDone Done) = 0;
  virtual void Read(const QString& Key, TReadDone Done) = 0;
  // Removing a key the store does not hold is no error.
  virtual void Remove(const QString& Key, TDone Done) = 0;
};

// How long a job of the desktop's store may take before it counts as failed.
inline constexpr int kSecretStoreTimeoutMs = 10000;

// The desktop's secret store through QtKeychain, under the service name Service, with no plain
// text fallback. A job that has not ended after TimeoutMs ends with an error.
std::unique_ptr<TSecretStore> MakeKeychainStore(const QString& Service,
                                                int TimeoutMs = kSecretStoreTimeoutMs);
