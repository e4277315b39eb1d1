// Profiles: the profiles' INI file, controls bound to a section's keys, and the profile bar's
// loading, saving and deleting with the password kept in the secret store.
#include "app/workbench/Profiles.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QStandardPaths>
#include <QValidator>

namespace {

const QString kProfiles = QStringLiteral("profiles");
const QString kLastUsed = QStringLiteral("last_used");

// The profile's group. Names never hold a separator (NameError), so a name is one group.
QString GroupOf(const QString& Name) {
  return kProfiles + '/' + Name;
}

// A stored value as text: INI values read back as text; numbers and flags set by a program
// before they were written are taken too, anything else (a list, a serialised object) is not.
std::optional<QString> TextOf(const QVariant& V) {
  switch (V.typeId()) {
    case QMetaType::QString:
    case QMetaType::QByteArray:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Bool:
      return V.toString();
    default:
      return std::nullopt;
  }
}

std::optional<int> IntOf(const QVariant& V) {
  const std::optional<QString> T = TextOf(V);
  bool Ok = false;
  const int N = T ? T->trimmed().toInt(&Ok) : 0;
  return Ok ? std::optional(N) : std::nullopt;
}

std::optional<bool> BoolOf(const QVariant& V) {
  const QString T = TextOf(V).value_or(QString()).trimmed().toLower();
  if (T == "true" || T == "1") return true;
  if (T == "false" || T == "0") return false;
  return std::nullopt;
}

}  // namespace

QString TProfileStore::DefaultPath() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
         "/smppwin/profiles.ini";
}

QString TProfileStore::NameError(const QString& Name) {
  if (Name.trimmed().isEmpty()) return "A profile needs a name";
  if (Name.trimmed() != Name) return "A profile's name does not begin or end with a space";
  if (Name.contains('/') || Name.contains('\\')) return "A profile's name holds no / or \\";
  if (Name.size() > kNameMax)
    return QString("A profile's name is at most %1 characters").arg(kNameMax);
  return {};
}

QStringList TProfileStore::Names() const {
  QSettings File(FPath, QSettings::IniFormat);
  File.beginGroup(kProfiles);
  QStringList Names = File.childGroups();
  // A group that a hand edit named badly cannot be loaded or saved by its name: not listed.
  Names.removeIf([](const QString& N) { return !NameError(N).isEmpty(); });
  Names.sort(Qt::CaseInsensitive);
  return Names;
}

TProfileValues TProfileStore::Values(const QString& Name) const {
  TProfileValues Values;
  if (!NameError(Name).isEmpty()) return Values;
  QSettings File(FPath, QSettings::IniFormat);
  File.beginGroup(GroupOf(Name));
  for (const QString& Section : File.childGroups()) {
    File.beginGroup(Section);
    QVariantMap& Map = Values[Section];
    for (const QString& Key : File.childKeys()) Map.insert(Key, File.value(Key));
    File.endGroup();
  }
  return Values;
}

QString TProfileStore::Save(const QString& Name, const TProfileValues& Values) {
  if (QString Error = NameError(Name); !Error.isEmpty()) return Error;
  if (!QDir().mkpath(QFileInfo(FPath).absolutePath())) return "Cannot make the folder of " + FPath;
  QSettings File(FPath, QSettings::IniFormat);
  File.remove(GroupOf(Name));
  File.beginGroup(GroupOf(Name));
  for (const auto& [Section, Map] : Values)
    for (auto It = Map.begin(); It != Map.end(); ++It)
      File.setValue(Section + '/' + It.key(), It.value());
  File.endGroup();
  File.sync();
  if (File.status() == QSettings::AccessError) return "Cannot write " + FPath;
  return {};
}

void TProfileStore::SetValue(const QString& Name, const QString& Section, const QString& Key,
                             const QVariant& Value) {
  if (!Contains(Name)) return;
  QSettings File(FPath, QSettings::IniFormat);
  File.setValue(GroupOf(Name) + '/' + Section + '/' + Key, Value);
}

void TProfileStore::Remove(const QString& Name) {
  if (!NameError(Name).isEmpty()) return;
  QSettings File(FPath, QSettings::IniFormat);
  File.remove(GroupOf(Name));
  if (File.value(kLastUsed).toString() == Name) File.remove(kLastUsed);
}

QString TProfileStore::LastUsed() const {
  const QString Name =
      TextOf(QSettings(FPath, QSettings::IniFormat).value(kLastUsed)).value_or(QString());
  return Contains(Name) ? Name : QString();
}

void TProfileStore::SetLastUsed(const QString& Name) {
  QSettings(FPath, QSettings::IniFormat).setValue(kLastUsed, Name);
}

TBoundField BoundText(const QString& Key, QLineEdit* Edit) {
  return {Key, [Edit] { return QVariant(Edit->text()); },
          [Edit](const QVariant& V) {
            std::optional<QString> T = TextOf(V);
            if (!T || T->size() > Edit->maxLength()) return false;
            int Pos = 0;
            if (Edit->validator() && Edit->validator()->validate(*T, Pos) != QValidator::Acceptable)
              return false;
            Edit->setText(*T);
            return true;
          }};
}

TBoundField BoundCheck(const QString& Key, QAbstractButton* Box) {
  return {Key, [Box] { return QVariant(Box->isChecked()); },
          [Box](const QVariant& V) {
            const std::optional<bool> On = BoolOf(V);
            if (On) Box->setChecked(*On);
            return On.has_value();
          }};
}

TBoundField BoundIndex(const QString& Key, QComboBox* Box) {
  return {Key, [Box] { return QVariant(Box->currentIndex()); },
          [Box](const QVariant& V) {
            const std::optional<int> I = IntOf(V);
            if (!I || *I < 0 || *I >= Box->count()) return false;
            Box->setCurrentIndex(*I);
            return true;
          }};
}

TBoundField BoundComboText(const QString& Key, QComboBox* Box,
                           std::function<bool(const QString&)> Reads) {
  return {Key, [Box] { return QVariant(Box->currentText()); },
          [Box, Reads](const QVariant& V) {
            const std::optional<QString> T = TextOf(V);
            if (!T || !Reads(*T)) return false;
            Box->setEditText(*T);
            return true;
          }};
}

TBoundField BoundSpin(const QString& Key, QSpinBox* Box) {
  return {Key, [Box] { return QVariant(Box->value()); },
          [Box](const QVariant& V) {
            const std::optional<int> N = IntOf(V);
            if (!N || *N < Box->minimum() || *N > Box->maximum()) return false;
            Box->setValue(*N);
            return true;
          }};
}

TSettingsSection BoundSection(const QString& Name, std::vector<TBoundField> Fields,
                              std::function<void()> Loaded) {
  QVariantMap Defaults;
  for (const TBoundField& F : Fields) Defaults.insert(F.Key, F.Get());
  auto Shared = std::make_shared<const std::vector<TBoundField>>(std::move(Fields));
  return {Name,
          [Shared] {
            QVariantMap Values;
            for (const TBoundField& F : *Shared) Values.insert(F.Key, F.Get());
            return Values;
          },
          [Shared, Defaults, Loaded](const QVariantMap& Values) {
            for (const TBoundField& F : *Shared)
              if (!Values.contains(F.Key) || !F.Set(Values.value(F.Key)))
                F.Set(Defaults.value(F.Key));
            if (Loaded) Loaded();
          }};
}

TProfiles::TProfiles(TControls Controls, std::function<void(const QString&)> Say,
                     std::unique_ptr<TSecretStore> Secrets, TProfileStore Store, QObject* Parent)
    : QObject(Parent),
      FControls(Controls),
      FSay(std::move(Say)),
      FSecrets(std::move(Secrets)),
      FStore(std::move(Store)) {
  FControls.Names->setPlaceholderText("(none)");
  // Two lines of their own rather than wrapped ones: a scrolled panel gives a wrapped label the
  // height of one line.
  FControls.Note->setText(QString(kSessionOnly).replace(": ", ":\n"));
  FControls.Note->hide();
  FillNames();
  connect(FControls.Names, &QComboBox::activated, this,
          [this](int Index) { Load(FControls.Names->itemText(Index)); });
  connect(FControls.SaveButton, &QPushButton::clicked, this, &TProfiles::AskAndSave);
  connect(FControls.DeleteButton, &QPushButton::clicked, this, &TProfiles::AskAndRemove);
  // Clicked, not toggled: a load sets the box without touching the store.
  connect(FControls.Remember, &QCheckBox::clicked, this, &TProfiles::RememberClicked);
}

void TProfiles::AddSection(TSettingsSection Section) {
  FSections.push_back(std::move(Section));
}

void TProfiles::FillNames() {
  const QStringList Names = FStore.Names();
  FControls.Names->clear();
  FControls.Names->addItems(Names);
  FControls.Names->setCurrentIndex(static_cast<int>(Names.indexOf(FCurrent)));
  FControls.DeleteButton->setEnabled(!FCurrent.isEmpty());
}

bool TProfiles::Load(const QString& Name) {
  if (!FStore.Contains(Name)) return false;
  const TProfileValues Values = FStore.Values(Name);
  for (const TSettingsSection& S : FSections) {
    const auto It = Values.find(S.Name);
    S.Load(It == Values.end() ? QVariantMap() : It->second);
  }
  FCurrent = Name;
  FStore.SetLastUsed(Name);
  FillNames();
  const uint64_t Load = ++FLoads;
  FControls.Password->clear();
  FControls.Note->hide();
  if (!FControls.Remember->isChecked()) return true;
  if (const auto It = FSessionPasswords.find(Name); It != FSessionPasswords.end()) {
    FControls.Password->setText(It->second.Password);
    FControls.Note->setVisible(It->second.Refused);
    return true;
  }
  FSecrets->Read(Name, [this, Load](const std::optional<QString>& Password, const QString& Error) {
    if (Load != FLoads) return;  // another profile was loaded meanwhile
    if (!Error.isEmpty()) return NoStore(Error, true);
    StoreAnswered();
    // Typing while the store was asked wins over what it answers.
    if (Password && FControls.Password->text().isEmpty()) FControls.Password->setText(*Password);
  });
  return true;
}

void TProfiles::LoadLastUsed() {
  if (const QString Name = FStore.LastUsed(); !Name.isEmpty()) Load(Name);
}

QString TProfiles::Save(const QString& Name) {
  TProfileValues Values;
  for (const TSettingsSection& S : FSections) Values[S.Name] = S.Save();
  if (QString Error = FStore.Save(Name, Values); !Error.isEmpty()) return Error;
  FCurrent = Name;
  FStore.SetLastUsed(Name);
  FillNames();
  ++FLoads;  // a password still being read for the profile loaded before is not wanted now
  if (FControls.Remember->isChecked()) {
    WritePassword(Name, FControls.Password->text());
  } else {
    FSessionPasswords.erase(Name);
    FSecrets->Remove(Name, [](const QString&) {});
  }
  FSay("Saved the profile " + Name);
  return {};
}

void TProfiles::Remove(const QString& Name) {
  FStore.Remove(Name);
  FSessionPasswords.erase(Name);
  FSecrets->Remove(Name, [](const QString&) {});
  if (FCurrent == Name) FCurrent.clear();
  FillNames();
}

void TProfiles::AskAndSave() {
  auto* Parent = FControls.SaveButton->window();
  bool Ok = false;
  const QString Name =
      QInputDialog::getText(Parent, "Save the profile", "Name:", QLineEdit::Normal, FCurrent, &Ok);
  if (!Ok) return;
  // Spaces around a name typed are a slip, not part of it.
  if (const QString Error = Save(Name.trimmed()); !Error.isEmpty()) FSay("Not saved: " + Error);
}

void TProfiles::AskAndRemove() {
  if (FCurrent.isEmpty()) return;
  const QString Name = FCurrent;
  if (QMessageBox::question(FControls.DeleteButton->window(), "Delete the profile",
                            "Delete the profile " + Name + " and its remembered password?") !=
      QMessageBox::Yes)
    return;
  Remove(Name);
  FSay("Deleted the profile " + Name);
}

void TProfiles::RememberClicked(bool On) {
  if (FCurrent.isEmpty()) return;  // the next Save takes the box as it is
  FStore.SetValue(FCurrent, kConnection, kRememberKey, On);
  if (On) return WritePassword(FCurrent, FControls.Password->text());
  FSessionPasswords.erase(FCurrent);
  FControls.Note->hide();
  FSecrets->Remove(FCurrent, [this](const QString& Error) {
    if (!Error.isEmpty()) FSay("The secret store did not remove the password: " + Error);
  });
}

void TProfiles::WritePassword(const QString& Name, const QString& Password) {
  // Kept for the session until the store has taken it; forgotten when it has.
  FSessionPasswords[Name] = {Password, false};
  FSecrets->Write(Name, Password, [this, Name, Password](const QString& Error) {
    const auto It = FSessionPasswords.find(Name);
    // Unticked, deleted or written again meanwhile: that later word holds.
    if (It == FSessionPasswords.end() || It->second.Password != Password) return;
    if (!Error.isEmpty()) {
      It->second.Refused = true;
      return NoStore(Error, Name == FCurrent);
    }
    FSessionPasswords.erase(It);
    if (Name == FCurrent) StoreAnswered();
  });
}

void TProfiles::NoStore(const QString& Error, bool Shown) {
  // The note speaks of the profile shown; the status bar of any.
  if (Shown) FControls.Note->show();
  FSay(kSessionOnly + " (" + Error + ")");
}

void TProfiles::StoreAnswered() {
  FControls.Note->hide();
}
