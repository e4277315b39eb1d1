// TComposerPanel: the workbench's composer. Source and destinations with their TON and NPI, a
// multi-line text with its coding and long-message mode and the live line under it, the submit's
// fields (registered_delivery, validity, schedule, priority, protocol_id, service_type), a table of
// optional parameters and a repeat count. Characters the coding cannot carry are marked in the
// text as it is typed, a bad optional parameter in its row, and Send refuses while either is there.
// Send hands the client one task that sets its submit settings and sends the message Repeat times.
//
// Threads: the widgets on the GUI thread. The task copies what it sends; it shares with the panel
// only a TSendRun, whose fields are atomics.
#pragma once

#include <QPointer>
#include <QVariantMap>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/workbench/ClientRunner.h"
#include "inspect/ComposerText.h"
#include "smpp/SMPPClientInfo.h"

class QComboBox;
class QDateTimeEdit;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTableWidget;
class QTimeEdit;
class QTimer;

// A schedule or validity time as picked: none, a duration (days and a time of day's span) or,
// where offered, a date and time in the local zone.
class TSmppTimeField : public QWidget {
 public:
  enum TKind { tkNone, tkRelative, tkAbsolute };

  // MaxDays bounds the duration's days; WithAbsolute offers a date and time.
  TSmppTimeField(int MaxDays, bool WithAbsolute, QWidget* Parent = nullptr);

  TKind Choice() const;
  // The SMPP time text ("" for none), or nothing with Error saying why it cannot be written.
  std::optional<std::string> SmppText(QString& Error) const;
  // Kind as "none", "relative" or "absolute", days, time "hh:mm:ss", at (ISO date and time).
  void Save(QVariantMap& Values, const QString& Prefix) const;
  void Load(const QVariantMap& Values, const QString& Prefix);
  std::vector<QWidget*> TabChain() const;

  QComboBox* Kind;
  QSpinBox* Days;
  QTimeEdit* Span;
  QDateTimeEdit* At;

 private:
  void Show();
};

// A message as the composer sends it: the submit's settings and what Send gives the client.
struct TSubmitSettings {
  std::string Source, Destinations, Validity, Text, ServiceType, Schedule;
  int SourceTon = 0, SourceNpi = 0, DestTon = 0, DestNpi = 0;
  int RegisteredDelivery = 0, Priority = 0, ProtocolId = 0, Repeat = 1;
  TTextCoding Coding = TTextCoding::tcAuto;
  TLongMessageMode Mode = TLongMessageMode::lmUdh;
  std::vector<TTlv> Tlvs;
};

// What a repeat run has done so far, shared by the panel and the task that sends.
struct TSendRun {
  int Total = 0;             // set before the task is posted, read-only after
  std::atomic<int> Sent{0};  // messages the client took
  std::atomic<bool> Stop{false};
  // Set last, with release: the task's Error is complete when the panel sees it.
  std::atomic<bool> Done{false};
  std::string Error;  // the client's settings refused; written by the task before Done
};

class TComposerPanel : public QWidget {
 public:
  static constexpr int kMaxRepeat = 1000000;

  // Post runs a task on the client's thread; CanSend says whether the submitting connection is
  // bound; Say puts a line in the window's status bar.
  TComposerPanel(std::function<void(TClientRunner::TTask)> Post, std::function<bool()> CanSend,
                 std::function<void(const QString&)> Say, QWidget* Parent = nullptr);
  // Stops a run under way after the message it is sending.
  ~TComposerPanel() override;

  // Sends what the panel holds, or says why not. True when a task was posted.
  bool Send();
  // Stops a run under way after the message it is sending (Unbind calls it: the client's thread
  // is busy with the run until then).
  void Stop();
  // Why Send would refuse the panel's content, or empty; a load run that brings its own text or
  // destinations leaves those out.
  QString Refusal(bool WithText = true, bool WithDestinations = true) const;
  // The text as it goes: what the editor shows, lines ended by '\n'.
  QString PlainText() const;
  // What the panel holds as Send would send it; only meaningful when Refusal is empty.
  TSubmitSettings Submission() const;
  // Sets the submit settings of a client's ClientInfo (on the client's thread); throws what the
  // client's setters throw for a value they refuse.
  static void ApplySubmitSettings(TSMPPClientInfo& Info, const TSubmitSettings& S);

  // Every field, keys in lower_snake_case; the optional parameters as a list of maps with tag,
  // type and value. A missing or unreadable value gives its field the default.
  QVariantMap Settings() const;
  void ApplySettings(const QVariantMap& Values);

  // Installs Filter on the text and on every editor of the table, now and later: the window's
  // shortcuts must reach it from there.
  void InstallShortcutFilter(QObject* Filter);
  std::vector<QWidget*> TabChain() const;

  QLineEdit* Source;
  QComboBox* SourceTon;
  QComboBox* SourceNpi;
  QLineEdit* Destinations;  // commas or blanks between them; more than one is a submit_multi
  QComboBox* DestTon;
  QComboBox* DestNpi;
  QPlainTextEdit* Text;
  QComboBox* Coding;
  QComboBox* LongMode;
  QLabel* TextLine;  // what the text becomes, or why it cannot go
  QComboBox* Receipt;
  QSpinBox* ReceiptValue;  // registered_delivery as a number
  TSmppTimeField* Validity;
  TSmppTimeField* Schedule;
  QSpinBox* Priority;
  QSpinBox* ProtocolId;
  QLineEdit* ServiceType;
  QTableWidget* Tlvs;  // tag, type, value
  QPushButton* AddTlv;
  QPushButton* RemoveTlv;
  QLabel* TlvNote;  // the first bad row and why
  QSpinBox* Repeat;
  QPushButton* SendButton;
  QLabel* RunNote;  // the run under way or the last one

 private:
  QWidget* MakeAddresses();
  QWidget* MakeTextBox();
  QWidget* MakeFields();
  QWidget* MakeTlvBox();
  void TextChanged();
  void ReceiptChosen();
  int AddTlvRow(const QString& Tag, const QString& Type, const QString& Value);
  void CheckTlvs();
  void ShowRun();
  // The destinations typed, comma-separated.
  std::string DestinationList() const;

  std::function<void(TClientRunner::TTask)> FPost;
  std::function<bool()> FCanSend;
  std::function<void(const QString&)> FSay;
  QObject* FShortcutFilter = nullptr;
  // The editor the table opened last, while it lives.
  QPointer<QWidget> FTlvEditor;
  TComposerText FText;
  // The first bad optional parameter row, as said under the table; empty when none.
  QString FTlvError;
  std::shared_ptr<TSendRun> FRun;
  QTimer* FRunTimer;
};
