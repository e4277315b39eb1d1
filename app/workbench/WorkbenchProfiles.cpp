// TWorkbench's profiles: the profile bar, the "Remember password" rows, the connection panel's
// section of a profile, and loading the last profile at start.
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>

#include "app/workbench/AnswerPanel.h"
#include "app/workbench/BindFields.h"
#include "app/workbench/ComposerPanel.h"
#include "app/workbench/Workbench.h"

QWidget* TWorkbench::MakeProfileBar() {
  auto* Bar = new QWidget;
  auto* Row = new QHBoxLayout(Bar);
  Row->setContentsMargins(0, 0, 0, 0);
  ProfileBox = new QComboBox;
  ProfileBox->setToolTip("Choosing a profile loads it; a bound session stays as it is");
  ProfileBox->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  ProfileBox->setMinimumContentsLength(8);
  SaveProfileButton = new QPushButton("Save...");
  SaveProfileButton->setToolTip("Save the connection and composer settings as a profile");
  DeleteProfileButton = new QPushButton("Delete...");
  Row->addWidget(ProfileBox, 1);
  Row->addWidget(SaveProfileButton);
  Row->addWidget(DeleteProfileButton);
  return Bar;
}

void TWorkbench::AddRememberRows(QFormLayout* Form) {
  RememberPassword = new QCheckBox("Remem&ber password");
  RememberPassword->setToolTip(
      "Keep the password in the desktop's secret store under the profile's name; it is never "
      "written to the profile's file");
  // Rows of the form itself, so that the note's wrapped lines get their height.
  PasswordNote = new QLabel;
  Form->addRow(RememberPassword);
  Form->addRow(PasswordNote);
}

void TWorkbench::StartProfiles() {
  FProfiles = new TProfiles(
      {ProfileBox, SaveProfileButton, DeleteProfileButton, Password, RememberPassword,
       PasswordNote},
      [this](const QString& Text) { statusBar()->showMessage(Text, 10000); },
      MakeKeychainStore("smppwin"), TProfileStore(), this);
  // The password is not among the values: it goes to the secret store, or nowhere.
  AddSettingsSection(BoundSection(
      TProfiles::kConnection,
      {BoundText("host", Host), BoundText("port", Port), BoundCheck("tls", Tls),
       BoundCheck("verify", TlsVerify), BoundText("ca_file", TlsCaFile),
       BoundText("system_id", SystemId), BoundText("system_type", SystemType),
       BoundIndex("bind_mode", BindMode), BoundText("addr_ton", BindFields->AddrTon),
       BoundText("addr_npi", BindFields->AddrNpi),
       BoundText("address_range", BindFields->AddressRange),
       BoundText("interface_version", BindFields->InterfaceVersion),
       BoundComboText("answer_status", Answers->Status,
                      [](const QString& T) { return ParseAnswerStatus(T).has_value(); }),
       BoundSpin("answer_delay_ms", Answers->DelayMs), BoundCheck("no_answer", Answers->NoAnswer),
       BoundCheck(TProfiles::kRememberKey, RememberPassword)},
      // The answers loaded reach the client at once, as a change typed there would.
      [this] { Answers->Apply(); }));
  AddSettingsSection({"composer", [this] { return Composer->Settings(); },
                      [this](const QVariantMap& Values) { Composer->ApplySettings(Values); }});
  // The profile bar first, the box after the password.
  QWidget::setTabOrder(ProfileBox, SaveProfileButton);
  QWidget::setTabOrder(SaveProfileButton, DeleteProfileButton);
  QWidget::setTabOrder(DeleteProfileButton, Host);
  QWidget::setTabOrder(Password, RememberPassword);
  QWidget::setTabOrder(RememberPassword, SystemType);
  FProfiles->LoadLastUsed();
}

void TWorkbench::AddSettingsSection(TSettingsSection Section) {
  FProfiles->AddSection(std::move(Section));
}
