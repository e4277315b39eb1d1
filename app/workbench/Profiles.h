// Profiles: named sets of the workbench's settings, kept in an INI file in the user's
// configuration folder ($XDG_CONFIG_HOME/smppwin/profiles.ini), and the window's profile bar.
//
// A profile holds sections of values, one per part of the window that registers a
// TSettingsSection (the connection panel, the composer); the file also remembers the profile used
// last, which the window loads at start. A password is never written to the file nor anywhere
// else on disk: when "Remember password" is ticked it goes to a TSecretStore under the profile's
// name, and where the store does not answer the window says so and keeps it in memory for the
// session only.
//
// Threads: everything here runs on the GUI thread.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "app/workbench/SecretStore.h"

class QAbstractButton;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

// A part of the window whose values a profile holds: Save gives them, Load puts them back. Load
// gets every key Save gave, or fewer (an older or hand-edited file): a value missing or not
// readable leaves the control at its default.
struct TSettingsSection {
  QString Name;
  std::function<QVariantMap()> Save;
  std::function<void(const QVariantMap&)> Load;
};

// The values of one profile, by section name.
using TProfileValues = std::map<QString, QVariantMap>;

// The profiles' file. Every call opens it afresh, so that two windows see each other's saves; a
// file that does not parse gives what QSettings could read of it, and never an exception.
class TProfileStore {
 public:
  // The file in the user's configuration folder, as it is now (XDG_CONFIG_HOME respected).
  static QString DefaultPath();
  // Why Name cannot name a profile, or an empty text: it must not be empty, begin or end with a
  // space, hold a '/' or '\' (the file's group separators) or be longer than kNameMax.
  static QString NameError(const QString& Name);
  static constexpr int kNameMax = 64;

  explicit TProfileStore(QString Path = DefaultPath()) : FPath(std::move(Path)) {}

  const QString& Path() const { return FPath; }
  // The profiles' names, sorted.
  QStringList Names() const;
  bool Contains(const QString& Name) const { return Names().contains(Name); }
  // A profile's values; nothing for a profile that is not there.
  TProfileValues Values(const QString& Name) const;
  // Replaces the profile Name with Values. Returns the error, or an empty text.
  QString Save(const QString& Name, const TProfileValues& Values);
  // Sets one value of a saved profile; does nothing when there is no such profile.
  void SetValue(const QString& Name, const QString& Section, const QString& Key,
                const QVariant& Value);
  void Remove(const QString& Name);
  // The profile used last, or an empty text when none is or it has gone.
  QString LastUsed() const;
  void SetLastUsed(const QString& Name);

 private:
  QString FPath;
};

// One control bound to a key of a section: Get reads the control; Set puts a stored value in it
// and says whether the value read (a value of another type, out of range or refused by the
// control's validator does not).
struct TBoundField {
  QString Key;
  std::function<QVariant()> Get;
  std::function<bool(const QVariant&)> Set;
};
TBoundField BoundText(const QString& Key, QLineEdit* Edit);
TBoundField BoundCheck(const QString& Key, QAbstractButton* Box);
// The combo's index: a number from 0 to count - 1.
TBoundField BoundIndex(const QString& Key, QComboBox* Box);
// An editable combo's text, when Reads accepts it.
TBoundField BoundComboText(const QString& Key, QComboBox* Box,
                           std::function<bool(const QString&)> Reads);
TBoundField BoundSpin(const QString& Key, QSpinBox* Box);
// A section of bound fields. The controls' values now are the defaults that a missing or
// unreadable value leaves; Loaded runs after every load (to apply what was loaded).
TSettingsSection BoundSection(const QString& Name, std::vector<TBoundField> Fields,
                              std::function<void()> Loaded = {});

// The profile bar's logic: the names in the combo, loading, saving and deleting profiles, and the
// password's trip to and from the secret store.
class TProfiles : public QObject {
 public:
  // What the window says when no store answered; shown next to the checkbox.
  static inline const QString kSessionOnly =
      QStringLiteral("No secret store answered: the password is kept for this session only");
  // The section that holds the "Remember password" box, and its key.
  static inline const QString kConnection = QStringLiteral("connection");
  static inline const QString kRememberKey = QStringLiteral("remember_password");

  struct TControls {
    QComboBox* Names;
    QPushButton* SaveButton;
    QPushButton* DeleteButton;
    QLineEdit* Password;
    QCheckBox* Remember;
    QLabel* Note;  // shown when the store did not answer
  };

  // Say shows a message in the window's status bar.
  TProfiles(TControls Controls, std::function<void(const QString&)> Say,
            std::unique_ptr<TSecretStore> Secrets, TProfileStore Store, QObject* Parent);

  // Registered sections are saved and loaded in their order.
  void AddSection(TSettingsSection Section);
  void SetSecretStore(std::unique_ptr<TSecretStore> Secrets) { FSecrets = std::move(Secrets); }
  TProfileStore& Store() { return FStore; }
  // The profile loaded or saved last, or an empty text.
  const QString& Current() const { return FCurrent; }

  // Loads Name into the window: every section, then the password when it is remembered (at once
  // when this session keeps it, otherwise when the store answers). Binds nothing. False when there
  // is no such profile.
  bool Load(const QString& Name);
  // Loads the profile used last, when there is one.
  void LoadLastUsed();
  // Saves the window's settings as Name, which becomes current, and the password to the store
  // when "Remember password" is ticked (removes it otherwise). Returns the error, or an empty text.
  QString Save(const QString& Name);
  // Deletes the profile and its stored password.
  void Remove(const QString& Name);
  // The buttons' work: asks for a name (offering the current one) and saves; asks to confirm and
  // deletes the current profile.
  void AskAndSave();
  void AskAndRemove();

 private:
  void FillNames();
  void RememberClicked(bool On);
  void WritePassword(const QString& Name, const QString& Password);
  // The store did not do what was asked: say so, under the box too when Shown (the profile it
  // concerns is the one shown); the password stays for this session.
  void NoStore(const QString& Error, bool Shown);
  void StoreAnswered();

  TControls FControls;
  std::function<void(const QString&)> FSay;
  std::unique_ptr<TSecretStore> FSecrets;
  TProfileStore FStore;
  std::vector<TSettingsSection> FSections;
  QString FCurrent;
  // Passwords in memory, by profile: those the store has not taken yet, and those it did not
  // take (Refused), kept for this session only.
  struct TSessionPassword {
    QString Password;
    bool Refused = false;
  };
  std::map<QString, TSessionPassword> FSessionPasswords;
  // Counts the loads, so that a password read for an earlier one is not filled into a later one.
  uint64_t FLoads = 0;
};
