// TLoadPanel: the workbench's load runs. What to send (a count or a duration, the rate, the window
// and binds, where the destinations and the text come from), Start and Stop, the running totals,
// and at the end the same summary as smppcli with "Save JSON". The run itself is a
// load::TBackgroundRun that the window starts from these values, the connection panel and the
// composer; this panel reads its figures on a timer twice a second and feeds the charts the
// seconds that ended, never a call per message.
//
// Threads: the GUI thread only.
#pragma once

#include <QWidget>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "load/BackgroundRun.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTimer;
class TLoadCharts;

class TLoadPanel : public QWidget {
 public:
  static constexpr int kPollMs = 500;

  explicit TLoadPanel(TLoadCharts* Charts, QWidget* Parent = nullptr);
  // A run under way is stopped; its own thread closes the binds.
  ~TLoadPanel() override;

  // Takes a run just started. Options are the values it was started with, as the summary's
  // "options" gives them; Receipts whether it waits for receipts.
  void Started(std::unique_ptr<load::TBackgroundRun> Run, nlohmann::ordered_json Options,
               bool Receipts);
  // Ends the sending of the run under way; its answers are still waited for.
  void Stop();
  // Whether a run is under way (binding, sending, waiting or closing).
  bool Running() const;
  // Reads the run's figures now (the timer's work).
  void Poll();
  // Writes the last run's summary as JSON to Path. Gives the error, or an empty text.
  std::string SaveJson(const std::string& Path) const;
  // The last run's summary in JSON, null while none has ended.
  const nlohmann::ordered_json& SummaryJson() const { return FJson; }

  std::vector<QWidget*> TabChain() const;

  QSpinBox* Amount;
  QComboBox* AmountUnit;  // messages or seconds
  QSpinBox* Rate;         // submits a second of the whole run; 0 unlimited
  QSpinBox* Window;       // per bind
  QSpinBox* Binds;
  QComboBox* DestinationKind;  // the composer's, a range, a file
  QLineEdit* DestinationValue;
  QComboBox* Order;
  QSpinBox* Seed;
  QLineEdit* TextTemplate;  // empty: the composer's text
  QCheckBox* WaitReceipts;
  QPushButton* StartButton;
  QPushButton* StopButton;
  QLabel* Totals;
  QPlainTextEdit* SummaryText;
  QPushButton* SaveButton;

 private:
  void ChooseJsonFile();
  void UpdateControls();
  void Ended();

  TLoadCharts* FCharts;
  std::unique_ptr<load::TBackgroundRun> FRun;
  nlohmann::ordered_json FOptions, FJson;
  bool FReceipts = true;
  size_t FSecondsRead = 0;
  // The phase the totals last told of: they change with it, or with a second's figures.
  load::TBackgroundRun::TPhase FShownPhase = load::TBackgroundRun::TPhase::Binding;
  QTimer* FPoll;
};
