// TBindFields: building the folded section, reading and checking its fields, and handing them to
// the client's settings.
#include "app/workbench/BindFields.h"

#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QToolButton>
#include <QVBoxLayout>

#include "smpp/SMPPClientInfo.h"

namespace {

// A number from 0 to 255 in decimal or as 0x hex; the range itself is checked by Read, since a
// validator would only stop the typing without saying why.
QLineEdit* NumberEdit(const QString& Text) {
  auto* Edit = new QLineEdit(Text);
  Edit->setValidator(new QRegularExpressionValidator(
      QRegularExpression("0[xX][0-9a-fA-F]{0,2}|[0-9]{0,3}"), Edit));
  Edit->setPlaceholderText("0-255 or 0x00-0xff");
  return Edit;
}

}  // namespace

void TBindFieldValues::Apply(TSMPPClientInfo& Info) const {
  Info.Set_bind_addr_ton(AddrTon);
  Info.Set_bind_addr_npi(AddrNpi);
  Info.Set_bind_address_range(AddressRange);
  Info.Set_bind_interface_version(InterfaceVersion);
}

TBindFields::TBindFields(QWidget* Parent) : QWidget(Parent) {
  auto* Column = new QVBoxLayout(this);
  Column->setContentsMargins(0, 0, 0, 0);
  Toggle = new QToolButton;
  Toggle->setText("Bind fi&elds");
  Toggle->setCheckable(true);
  Toggle->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  Toggle->setAutoRaise(true);
  Toggle->setArrowType(Qt::RightArrow);
  Toggle->setFocusPolicy(Qt::StrongFocus);
  Column->addWidget(Toggle);

  FBody = new QWidget;
  auto* Form = new QFormLayout(FBody);
  Form->setContentsMargins(0, 0, 0, 0);
  // The client's own defaults: addr_ton 0, addr_npi 0, no range, interface version 3.4.
  TBindFieldValues Defaults;
  AddrTon = NumberEdit(QString::number(Defaults.AddrTon));
  AddrNpi = NumberEdit(QString::number(Defaults.AddrNpi));
  AddressRange = new QLineEdit;
  // Printable ASCII only: the field is a C-Octet String, and no NUL may reach the encoder.
  AddressRange->setValidator(new QRegularExpressionValidator(
      QRegularExpression(QString("[\\x20-\\x7e]{0,%1}").arg(kAddressRangeMax)), AddressRange));
  AddressRange->setMaxLength(kAddressRangeMax);
  AddressRange->setPlaceholderText("any");
  InterfaceVersion = NumberEdit(QString::asprintf("0x%02x", Defaults.InterfaceVersion));
  // Labels with a mnemonic are tied to their fields.
  Form->addRow("a&ddr_ton:", AddrTon);
  Form->addRow("addr_&npi:", AddrNpi);
  Form->addRow("address_&range:", AddressRange);
  Form->addRow("&interface_version:", InterfaceVersion);
  Column->addWidget(FBody);
  FBody->hide();
  connect(Toggle, &QToolButton::toggled, this, [this](bool On) {
    Toggle->setArrowType(On ? Qt::DownArrow : Qt::RightArrow);
    FBody->setVisible(On);
  });
}

void TBindFields::SetExpanded(bool Expanded) {
  Toggle->setChecked(Expanded);
}

bool TBindFields::Expanded() const {
  return Toggle->isChecked();
}

bool TBindFields::Read(TBindFieldValues& Out, QString& Error) {
  const auto Number = [&](QLineEdit* Edit, const char* Name, int32_t& Value) {
    bool Ok = false;
    // "0x34" is hex; anything else decimal, a leading zero included (no octal surprise).
    const QString Text = Edit->text().trimmed();
    Value = Text.startsWith("0x", Qt::CaseInsensitive) ? Text.mid(2).toInt(&Ok, 16)
                                                       : Text.toInt(&Ok, 10);
    if (Ok && Value >= 0 && Value <= 255) return true;
    Error = QString("%1 must be a number from 0 to 255").arg(Name);
    SetExpanded(true);
    Edit->setFocus();
    return false;
  };
  if (!Number(AddrTon, "addr_ton", Out.AddrTon) || !Number(AddrNpi, "addr_npi", Out.AddrNpi) ||
      !Number(InterfaceVersion, "interface_version", Out.InterfaceVersion))
    return false;
  // The validator holds the field to printable ASCII, so its bytes are its characters.
  Out.AddressRange = AddressRange->text().toStdString();
  return true;
}

std::vector<QWidget*> TBindFields::TabChain() const {
  return {Toggle, AddrTon, AddrNpi, AddressRange, InterfaceVersion};
}
