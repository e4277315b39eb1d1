// TRequestPanel: the workbench's requests about a message already sent, and raw PDUs. The message
// chosen in the traffic table or the journey fills its id, source and destination; Query, Cancel
// and Replace (with a new text) send query_sm, cancel_sm and replace_sm for it. The raw box sends
// any bytes typed as hex, deliberately broken ones too, optionally with the next sequence number
// put in; the line under it says what the bytes are before they go.
//
// Threads: the widget on the GUI thread. A request is a task posted to the client's thread with
// plain copies of the fields; the answers come back as the client's report lines.
#pragma once

#include <QWidget>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/workbench/ClientRunner.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// What hex text for a raw PDU holds, in one line: "23 octets · submit_sm · command_length 23",
// with " (not the 23 octets sent)" when the length field disagrees, or why it cannot be sent.
// Bytes receives the octets; false when there are none to send. Blanks, tabs, newlines, colons
// and a leading 0x are allowed around the hex pairs.
bool ReadRawPduText(const QString& Text, std::vector<uint8_t>& Bytes, QString& Line);

class TRequestPanel : public QWidget {
 public:
  // Post runs a task on the client's thread; Bound says whether the transmitter (or transceiver)
  // is bound; Say puts a line in the window's status bar.
  TRequestPanel(std::function<void(TClientRunner::TTask)> Post, std::function<bool()> Bound,
                std::function<void(const QString&)> Say, QWidget* Parent = nullptr);

  // Fills the message the requests act on (the chosen message of the table or the journey).
  void ChooseMessage(const QString& Id, const QString& Source, const QString& Destination);
  // Puts Bytes into the raw box as hex, 16 octets a line.
  void SetRawBytes(const uint8_t* Bytes, size_t Length);

  // Each sends its request when the fields allow and the client is bound; otherwise says why in
  // the status bar. True when posted.
  bool Query();
  bool Cancel();
  bool Replace();
  bool SendRaw();

  // The controls in their tab order.
  std::vector<QWidget*> TabChain() const;

  QLineEdit* MessageId;
  QLineEdit* Source;
  QLineEdit* Destination;
  QLineEdit* NewText;
  QPushButton* QueryButton;
  QPushButton* CancelButton;
  QPushButton* ReplaceButton;
  QPlainTextEdit* RawHex;
  QCheckBox* PatchSequence;
  QLabel* RawNote;
  QPushButton* TakeRowButton;  // "Take the row's PDU": the window connects it
  QPushButton* SendRawButton;

 private:
  bool Ready(const char* What, bool NeedsId);
  void RawEdited();

  std::function<void(TClientRunner::TTask)> FPost;
  std::function<bool()> FBound;
  std::function<void(const QString&)> FSay;
};
