// TAnswerPanel: the connection panel's "Our answers" box, how the client answers each deliver_sm
// and data_sm it receives: the command_status (a usual one by name, or any number typed in decimal
// or as 0x hex), a delay before the answer, or no answer at all. Every change goes to the client
// at once, bound or not: a status when Enter is pressed, the focus leaves or an entry is picked.
// The status is checked as it is typed; one that does not read is shown as such and not applied.
//
// Threads: the widget on the GUI thread. What it applies is a plain copy of the three values,
// written into the client's settings by a task on the client's thread.
#pragma once

#include <QGroupBox>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "app/workbench/ClientRunner.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QSpinBox;

// A command_status as typed: one of the listed ESME_R... names (a list entry's text, with its
// number after it, reads too), or a number from 0 to 0xFFFFFFFF in decimal or 0x hex.
std::optional<uint32_t> ParseAnswerStatus(const QString& Text);

class TAnswerPanel : public QGroupBox {
 public:
  // The longest delay the panel offers, in milliseconds.
  static constexpr int kMaxDelayMs = 60000;

  // Post runs a task on the client's thread; the panel applies its values through it.
  explicit TAnswerPanel(std::function<void(TClientRunner::TTask)> Post, QWidget* Parent = nullptr);

  // Posts the delay, the silence and the status shown to the client; a status that does not read
  // leaves the one applied before. A Bind calls it before it connects.
  void Apply();
  // The status applied, as the client's setting holds it.
  uint32_t AppliedStatus() const { return FStatus; }
  // The box's controls in their tab order.
  std::vector<QWidget*> TabChain() const;

  QComboBox* Status;
  QLabel* StatusNote;  // the applied status's name, or why the text typed is not applied
  QSpinBox* DelayMs;
  QCheckBox* NoAnswer;

 private:
  void StatusEdited(const QString& Text);

  std::function<void(TClientRunner::TTask)> FPost;
  uint32_t FStatus = 0;
};
