// TWorkbench: the tester's window beside Form1. A connection panel (host, port, TLS, system id,
// password, system type, bind mode, the bind fields folded away; Bind and Unbind) with a live state
// per connection, the traffic table of every PDU with a filter, the inspector (field tree beside
// the bytes, the selected field's bytes highlighted) and the report lines.
//
// Threads: everything here runs on the GUI thread. The client lives on its runner's thread
// (Connect, Disconnect's wait and its destruction happen there); its report lines and PDUs reach
// the window through the runner's sink, drained by a timer at most 30 times a second.
#pragma once

#include <QMainWindow>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/MemoFeed.h"
#include "app/workbench/BindFields.h"
#include "app/workbench/ClientRunner.h"
#include "app/workbench/Profiles.h"
#include "inspect/ConnectionStates.h"
#include "inspect/PduTraceRing.h"
#include "inspect/TrafficExport.h"
#include "smpp/SMPPClientInfo.h"

class QAction;
class QCheckBox;
class QComboBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSplitter;
class QTabWidget;
class QTableView;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;
class TAnswerPanel;
class TBindFields;
class TComposerPanel;
class TRequestPanel;
class THexView;
class TJourneyView;
class TLoadCharts;
class TLoadPanel;
class TTrafficFilter;
class TTrafficModel;
struct TJourneyPdu;
struct TPduField;

// The connection panel's values, as Bind hands them to the client's thread (and a load run to
// each of its binds).
struct TBindSettings {
  std::string Host, SystemId, Password, SystemType, CaFile;
  int32_t Port = 0;
  bool Tls = false, Verify = true;
  TBindMode Mode = TBindMode::bmPair;
  TBindFieldValues Fields;
};

class TWorkbench : public QMainWindow {
 public:
  // How often the sink is drained: at most 30 times a second.
  static constexpr int kDrainIntervalMs = 34;
  // While a load run goes and the workbench's own client is idle, four times a second: the table
  // gets a burst a second then, and each turn of the drain costs the run's process a wake-up.
  static constexpr int kLoadDrainIntervalMs = 250;
  // While a load run goes, the table gets bursts of this many PDUs of its bind 1, one a second.
  static constexpr int kLoadSampleBurst = 10;
  static constexpr int64_t kLoadSampleIntervalNs = 1'000'000'000;

  explicit TWorkbench(QWidget* Parent = nullptr);
  // Hands the client to its runner for destruction and returns at once.
  ~TWorkbench() override;

  // Bind with what the panel holds; Unbind. Each does nothing when it cannot act.
  void Bind();
  void Unbind();
  // Writes every row held as a pcapng capture to Path. Returns the error, or an empty text.
  std::string ExportPcapng(const std::string& Path);
  // Drains the sink now (the timer's work).
  void Drain();
  int DrainIntervalMs() const;

  // Export, copy and the request linked to its response (WorkbenchExport.cpp).
  // Writes the table as Format to Path: for CSV and JSON lines the rows the view shows, in its
  // order; for pcapng every row held (ExportPcapng). Returns the error, or an empty text.
  std::string ExportTable(const std::string& Path, TTrafficFormat Format);
  // Writes the report lines, one a line, as the reports pane shows them. Returns the error.
  std::string ExportReports(const std::string& Path);
  // Puts the selected rows, in view order, on the clipboard as tab-separated text with a header.
  void CopyRows();
  // Selects and shows the partner of the current row (its response, or its request); when the
  // filter hides it or there is none, says so in the status bar.
  void JumpToPartner();
  // Starts a load run with what the load panel, the connection panel and the composer hold, or
  // says in the status bar why not (WorkbenchLoad.cpp).
  void StartLoad();

  TConnectionStates& States() { return FStates; }
  // The client's runner: a task posted here runs on the client's thread (tests send with it).
  TClientRunner& Runner() { return *FRunner; }
  TMemoFeed& ReportFeed() { return *FReportFeed; }
  TTrafficModel& Traffic() { return *FTraffic; }
  TTrafficFilter& Filtered() { return *FFiltered; }

  // Profiles (WorkbenchProfiles.cpp): the profile bar's logic. A part of the window whose values
  // profiles keep registers its section here, before the constructor loads the last profile.
  TProfiles& Profiles() { return *FProfiles; }
  void AddSettingsSection(TSettingsSection Section);

  // The controls, for the options and the tests.
  QLineEdit* Host;
  QLineEdit* Port;
  QCheckBox* Tls;
  QCheckBox* TlsVerify;
  QLineEdit* TlsCaFile;
  QLineEdit* SystemId;
  QLineEdit* Password;
  QLineEdit* SystemType;
  QComboBox* BindMode;
  TBindFields* BindFields;  // folded away at start
  QPushButton* BindButton;
  QPushButton* UnbindButton;
  QLabel* StateLabels[3];  // by TPduConnection
  TAnswerPanel* Answers;   // "Our answers": how deliver_sm and data_sm are answered
  QTabWidget* LeftTabs;    // the connection panel and the composer
  TComposerPanel* Composer;
  TRequestPanel* Requests;  // query, cancel and replace of the chosen message; raw PDUs
  QLineEdit* Filter;
  QTableView* Table;
  QTreeWidget* Fields;
  THexView* Hex;
  QPlainTextEdit* Reports;
  // Under the inspector: the report lines and the message journey.
  QTabWidget* BottomTabs;
  TJourneyView* Journey;
  QLabel* Counts;
  QAction* BindAction;
  QAction* UnbindAction;
  QAction* FilterAction;
  QAction* ClearAction;
  QAction* ExportAction;
  QAction* ExportReportsAction;
  QAction* CopyAction;
  QAction* JumpAction;
  QAction* SendAction;  // the composer's Send
  QLabel* PartnerLabel;
  QPushButton* PartnerButton;
  // The profile bar at the top of the connection panel, and the box next to the password.
  QComboBox* ProfileBox;
  QPushButton* SaveProfileButton;
  QPushButton* DeleteProfileButton;
  QCheckBox* RememberPassword;
  QLabel* PasswordNote;  // says when no secret store answered
  // The load panel (a tab beside the composer) and its charts (a tab under the inspector).
  TLoadPanel* Load;
  TLoadCharts* LoadCharts;
  QAction* StartLoadAction;
  QAction* StopLoadAction;
  QLabel* SampledNote;  // above the table while a load run goes

 protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  QWidget* MakeConnectionPanel();
  QWidget* MakeTrafficPane();
  void MakeActions();
  void UpdateControls();
  // The connection panel's values, or nothing when one is wrong (the status bar says which).
  std::optional<TBindSettings> ReadBindSettings();
  // Sets a client's connection settings (its thread); throws what the client's setters throw.
  static void ApplyBindSettings(TSMPPClientInfo& Info, const TBindSettings& S);
  void ShowRow();
  void AddFieldItems(QTreeWidgetItem* Parent, const TPduField& Field);
  void ChooseExportFile();
  // WorkbenchExport.cpp: the actions and the partner line of export, copy and jump.
  void MakeExportActions();
  QWidget* WithPartnerBar(QWidget* Inspector);
  void ShowPartner();
  void ChooseReportsFile();
  // The rows the view shows, as indexes into the store, in the view's order.
  std::vector<size_t> ShownRows() const;
  std::optional<size_t> CurrentStoreRow() const;
  // WorkbenchProfiles.cpp: the profile bar, the "Remember password" box, and the profiles' start
  // (the connection panel's section registered, the last profile loaded).
  QWidget* MakeProfileBar();
  void AddRememberRows(QFormLayout* Form);
  void StartProfiles();
  // WorkbenchCompose.cpp: the tabs of the connection panel and the composer, the Send action,
  // and the composer's place in the tab order after the connection panel's Last.
  QWidget* MakeLeftTabs(QWidget* ConnectionPanel);
  void MakeComposerActions(QWidget* Last);
  // The requests act on the message chosen in the journey, and take a raw PDU from the table.
  void LinkRequests();
  // WorkbenchLoad.cpp: the load panel in its scroll area, and the Load menu's actions.
  QWidget* MakeLoadTab();
  void MakeLoadActions();
  // Whether the connection that submits is bound.
  bool CanSubmit() const;
  // WorkbenchJourney.cpp: the tabs under the inspector, ReportPane the first, and the links
  // between the journey and the traffic table.
  QWidget* MakeBottomTabs(QWidget* ReportPane);
  // Selects the traffic row of Pdu when the filter shows it; the status bar says why not.
  void ShowInTraffic(const TJourneyPdu& Pdu);

  std::shared_ptr<TClientSink> FSink = std::make_shared<TClientSink>();
  std::unique_ptr<TClientRunner> FRunner;
  TConnectionStates FStates;
  std::unique_ptr<TMemoFeed> FReportFeed;
  TTrafficModel* FTraffic;
  TTrafficFilter* FFiltered;
  QTimer* FDrainTimer = nullptr;
  std::vector<TPduTraceRecord> FRecords;
  std::vector<TReportEvent> FReports;
  // The sample of a load run's PDUs, drained into the table only (neither the states nor the
  // journey: the run's binds are not the window's).
  std::shared_ptr<TPduTraceRing> FLoadRing = std::make_shared<TPduTraceRing>(1024);
  std::vector<TPduTraceRecord> FLoadRecords;
  QSplitter* FTrafficSplit = nullptr;  // the table, the inspector and the tabs under them
  // PDUs the trace ring dropped before the window took them.
  uint64_t FRingDropped = 0;
  bool FColumnsSized = false;
  // The table's scroll position the last follow left, -1 when the view was not followed.
  int FFollowedTo = -1;
  TProfiles* FProfiles = nullptr;  // owned by the window as its child
};
