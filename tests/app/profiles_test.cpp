// Profile tests: the real TWorkbench in the tests' X server with its profiles' file in a folder of
// the test's own (XDG_CONFIG_HOME): saving and switching profiles, the last one coming back, the
// password kept out of the file and in a secret store (a stand-in, and the real QtKeychain with no
// secret service), a hand-broken file, and smppwin's --profile.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <map>
#include <memory>

#include "app/Options.h"
#include "app/workbench/AnswerPanel.h"
#include "app/workbench/Profiles.h"
#include "app/workbench/Workbench.h"
#include "gtest/gtest.h"

namespace {

// A secret store in memory that answers from the event loop, or fails every job when Fails.
class TFakeSecrets : public TSecretStore {
 public:
  explicit TFakeSecrets(std::map<QString, QString>& Held) : FHeld(Held) {}
  void Write(const QString& Key, const QString& Password, TDone Done) override {
    Later([=, this] {
      FHeld[Key] = Password;
      Done({});
    });
  }
  void Read(const QString& Key, TReadDone Done) override {
    Later([=, this] { FHeld.count(Key) ? Done(FHeld[Key], {}) : Done(std::nullopt, {}); });
  }
  void Remove(const QString& Key, TDone Done) override {
    Later([=, this] {
      FHeld.erase(Key);
      Done({});
    });
  }

 private:
  void Later(std::function<void()> F) { QTimer::singleShot(0, &FContext, std::move(F)); }
  std::map<QString, QString>& FHeld;
  QObject FContext;
};

class ProfilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Config.isValid());
    setenv("XDG_CONFIG_HOME", Config.path().toLocal8Bit().constData(), 1);
    Open();
  }
  void TearDown() override {
    Wb.reset();
    TClientRunner::JoinFinished();
  }
  void Open(bool Fake = true) {
    Wb = std::make_unique<TWorkbench>();
    if (Fake) Wb->Profiles().SetSecretStore(std::make_unique<TFakeSecrets>(Held));
    Wb->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Wb.get()));
  }
  // Presses Save and answers the name dialog with Name, after checking what it offered.
  void SaveAs(const QString& Name, const QString& Offered) {
    QTimer::singleShot(0, [&] {
      (void)QTest::qWaitFor([] { return QApplication::activeModalWidget() != nullptr; }, 5000);
      if (auto* D = qobject_cast<QInputDialog*>(QApplication::activeModalWidget())) {
        EXPECT_EQ(D->textValue(), Offered);
        D->setTextValue(Name);
        D->accept();
      }
    });
    QTest::mouseClick(Wb->SaveProfileButton, Qt::LeftButton);
  }
  void Choose(const QString& Name) {
    const int I = Wb->ProfileBox->findText(Name);
    ASSERT_GE(I, 0) << Name.toStdString();
    Wb->ProfileBox->setCurrentIndex(I);
    emit Wb->ProfileBox->activated(I);
  }
  QByteArray FileBytes() {
    QFile F(TProfileStore::DefaultPath());
    return F.open(QIODevice::ReadOnly) ? F.readAll() : QByteArray();
  }

  QTemporaryDir Config;
  std::map<QString, QString> Held;  // the stand-in store's passwords
  std::unique_ptr<TWorkbench> Wb;
};

TEST_F(ProfilesTest, SwitchesProfilesAndBringsTheLastBack) {
  const struct {
    QString Name, Host, Port, SystemId, Status;
    bool Tls;
    int Mode, Delay;
  } Cases[] = {{"lab", "127.0.0.7", "2776", "labuser", "ESME_RTHROTTLED", true, 1, 250},
               {"stage 2", "smsc.example", "3000", "st", "0x45", false, 0, 0}};
  QString Offered;
  for (const auto& C : Cases) {
    Wb->Host->setText(C.Host);
    Wb->Port->setText(C.Port);
    Wb->SystemId->setText(C.SystemId);
    Wb->Tls->setChecked(C.Tls);
    Wb->BindMode->setCurrentIndex(C.Mode);
    Wb->Answers->Status->setEditText(C.Status);
    Wb->Answers->DelayMs->setValue(C.Delay);
    SaveAs(C.Name, std::exchange(Offered, C.Name));
    EXPECT_EQ(Wb->ProfileBox->currentText(), C.Name);
  }
  EXPECT_EQ(Wb->Profiles().Store().Names(), QStringList({"lab", "stage 2"}));
  for (int Round = 0; Round < 3; ++Round) {
    const auto& C = Cases[Round ? 1 : 0];
    SCOPED_TRACE(C.Name.toStdString());
    if (Round < 2)
      Choose(C.Name);
    else
      Open();  // the last one used comes back in a new window
    EXPECT_EQ(Wb->ProfileBox->currentText(), C.Name);
    EXPECT_EQ(Wb->Host->text(), C.Host);
    EXPECT_EQ(Wb->Port->text(), C.Port);
    EXPECT_EQ(Wb->SystemId->text(), C.SystemId);
    EXPECT_EQ(Wb->Tls->isChecked(), C.Tls);
    EXPECT_EQ(Wb->BindMode->currentIndex(), C.Mode);
    EXPECT_EQ(Wb->Answers->Status->currentText(), C.Status);
    EXPECT_EQ(Wb->Answers->DelayMs->value(), C.Delay);
  }
  // Delete asks first; the profile goes from the file and the list.
  QTimer::singleShot(0, [] {
    (void)QTest::qWaitFor([] { return QApplication::activeModalWidget() != nullptr; }, 5000);
    if (auto* Box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
      Box->button(QMessageBox::Yes)->click();
  });
  QTest::mouseClick(Wb->DeleteProfileButton, Qt::LeftButton);
  EXPECT_EQ(Wb->Profiles().Store().Names(), QStringList({"lab"}));
  EXPECT_EQ(Wb->ProfileBox->count(), 1);
  EXPECT_EQ(Wb->Profiles().Store().LastUsed(), "");
}

TEST_F(ProfilesTest, KeepsThePasswordOutOfTheFile) {
  const QString Secret = "pw-7Qz!x";
  const struct {
    const char* Name;
    bool Remember, RealKeychain;
    QString Back;  // the password after switching away and back
    bool Note;     // "No secret store answered" shown
  } Cases[] = {{"not remembered", false, false, "", false},
               {"remembered in the store", true, false, Secret, false},
               {"QtKeychain with no secret service", true, true, Secret, true}};
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    Open(!C.RealKeychain);
    Wb->RememberPassword->setChecked(false);
    Wb->Profiles().Save("other");
    Wb->Password->setText(Secret);
    Wb->RememberPassword->setChecked(C.Remember);
    ASSERT_EQ(Wb->Profiles().Save("main"), "");
    if (!C.RealKeychain) {
      EXPECT_TRUE(QTest::qWaitFor([&] { return Held.count("main") == (C.Remember ? 1u : 0u); }));
    } else {
      ASSERT_TRUE(QTest::qWaitFor([&] { return Wb->PasswordNote->isVisible(); }, 15000));
    }
    EXPECT_TRUE(Wb->statusBar()->currentMessage().startsWith(C.Note ? TProfiles::kSessionOnly
                                                                    : "Saved the profile main"))
        << Wb->statusBar()->currentMessage().toStdString();
    EXPECT_FALSE(FileBytes().contains(Secret.toUtf8())) << FileBytes().toStdString();
    Choose("other");
    EXPECT_EQ(Wb->Password->text(), "");
    Choose("main");
    EXPECT_TRUE(QTest::qWaitFor([&] { return Wb->Password->text() == C.Back; }, 5000))
        << Wb->Password->text().toStdString();
    EXPECT_EQ(Wb->PasswordNote->isVisible(), C.Note);
    EXPECT_FALSE(FileBytes().contains(Secret.toUtf8()));
    if (!C.RealKeychain) {
      // Unticking the box takes the password out of the store.
      if (C.Remember) Wb->RememberPassword->click();
      EXPECT_TRUE(QTest::qWaitFor([&] { return Held.empty(); }, 5000));
    }
  }
}

TEST_F(ProfilesTest, AHandBrokenFileLeavesTheDefaults) {
  const struct {
    const char* Name;
    QByteArray Values;  // the connection section's lines
    QString Host, Port;
    int Mode;
    bool Tls;
  } Cases[] = {
      {"values out of range", "port=99999\nbind_mode=7\ntls=maybe\nhost=h1\n", "h1", "2775", 0,
       false},
      {"wrong types",
       "port=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x3zz)\nbind_mode=@ByteArray(1)\n"
       "host=a, b\ntls=1\n",
       "127.0.0.1", "2775", 1, true},
      {"bytes that are no INI", "\xff\xfe[[\x01=\n[unterminated\n\\\\=\x80\n", "127.0.0.1", "2775",
       0, false},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    QDir().mkpath(Config.filePath("smppwin"));
    QFile F(TProfileStore::DefaultPath());
    ASSERT_TRUE(F.open(QIODevice::WriteOnly | QIODevice::Truncate));
    F.write("last_used=bad\n[profiles]\nbad\\connection\\" +
            QByteArray(C.Values).replace("\n", "\nbad\\connection\\") + "\n");
    F.close();
    Open();
    EXPECT_EQ(Wb->Host->text(), C.Host);
    EXPECT_EQ(Wb->Port->text(), C.Port);
    EXPECT_EQ(Wb->BindMode->currentIndex(), C.Mode);
    EXPECT_EQ(Wb->Tls->isChecked(), C.Tls);
  }
}

TEST_F(ProfilesTest, ProfileOption) {
  Wb->Profiles().Save("lab");
  Wb->Profiles().Save("home");
  const struct {
    QStringList Args;
    int Status;
    QString Output;
  } Cases[] = {
      {{"--profile", "nope"},
       2,
       "no profile 'nope' in " + TProfileStore::DefaultPath() + "; there are: home, lab\n"},
      {{"--profile"}, 2, "smppwin: --profile needs a value\n"},
      {{"--help"}, 0, "  --profile NAME  open the workbench (implies --workbench)"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Args.join(' ').toStdString());
    QProcess P;
    P.start(SMPPWIN, C.Args);
    ASSERT_TRUE(P.waitForFinished(10000));
    EXPECT_EQ(P.exitCode(), C.Status);
    EXPECT_TRUE(QString(P.readAllStandardError() + P.readAllStandardOutput()).contains(C.Output));
  }
  TOptions O;
  std::string Error;
  const char* Argv[] = {"smppwin", "--profile=lab"};
  ASSERT_TRUE(ParseOptions(2, Argv, O, Error)) << Error;
  EXPECT_TRUE(O.Workbench);  // implied
  EXPECT_EQ(O.Profile, "lab");
}

}  // namespace
