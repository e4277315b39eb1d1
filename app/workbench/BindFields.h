// TBindFields: the connection panel's folded "Bind fields" section. A checkable tool button with
// an arrow shows or hides addr_ton, addr_npi, address_range and interface_version, the bind's
// fields that the client takes from its settings (bind_addr_ton, bind_addr_npi,
// bind_address_range, bind_interface_version). Numbers are typed in decimal or as 0x hex.
//
// Threads: the widget and Read on the GUI thread; a TBindFieldValues is a plain copy that Apply
// writes into the client's settings on the client's thread.
#pragma once

#include <QWidget>
#include <cstdint>
#include <string>
#include <vector>

class QLineEdit;
class QToolButton;
class TSMPPClientInfo;

struct TBindFieldValues {
  int32_t AddrTon = 0;
  int32_t AddrNpi = 0;
  std::string AddressRange;
  int32_t InterfaceVersion = 0x34;

  // Writes the values into the client's settings; lets std::invalid_argument through for a value
  // the settings refuse. The client's thread.
  void Apply(TSMPPClientInfo& Info) const;
};

class TBindFields : public QWidget {
 public:
  // The longest address_range the bind's encoder takes.
  static constexpr int kAddressRangeMax = 40;

  explicit TBindFields(QWidget* Parent = nullptr);

  // Folds the section open or shut, as a click on Toggle does.
  void SetExpanded(bool Expanded);
  bool Expanded() const;
  // Reads the fields into Out. On a value out of range returns false with the reason in Error;
  // the section is opened and the field focused, so that the tester sees what to fix.
  bool Read(TBindFieldValues& Out, QString& Error);
  // The section's controls in their tab order, starting with Toggle.
  std::vector<QWidget*> TabChain() const;

  QToolButton* Toggle;
  QLineEdit* AddrTon;
  QLineEdit* AddrNpi;
  QLineEdit* AddressRange;
  QLineEdit* InterfaceVersion;

 private:
  QWidget* FBody;
};
