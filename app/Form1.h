// TForm1: the main window of the SMPP test client. The user types the SMSC's host, port, user id,
// password and system type, binds both connections with Bind, submits a fixed text to a phone
// number with Send, unbinds with Unbind, and watches every report of SmppClient1 arrive as a line
// of Memo1 (escaped, the newest TMemoFeed::MemoLines of them; a report log keeps them all). The
// controls, their positions and texts, SmppClient1's stored settings and the handlers wired to
// their events all come from the form resource (Form1.form), which is built into the program and
// read when the window is created.
//
// Threads. The window, its controls and its handlers live on the GUI thread. The two notification
// handlers are called on the client's worker and timer threads (and on the GUI thread for the two
// reports of Disconnect), with the connection's report lock held: they only queue the line for the
// memo (TMemoFeed) and never wait for the GUI thread, which would deadlock with Disconnect.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QWidget>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "app/MemoFeed.h"
#include "base/Component.h"
#include "base/Published.h"
#include "smpp/smppclient.h"

// Raised when a text is not a whole number, with the message the window shows.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The whole number that Text spells: blanks before it, an optional sign, decimal digits, within
// 32 bits. Raises EConvertError "'<text>' is not a valid integer value" otherwise.
int32_t StrToInt(const QString& Text);

class TForm1 : public QWidget, public TComponent, public TPersistent {
 public:
  // Creates the controls and SmppClient1 (which starts with its own defaults), then reads the
  // form resource into the form, its controls and SmppClient1. Raises EFormTextError when the
  // resource cannot be read. GUI thread.
  explicit TForm1(QWidget* Parent = nullptr);
  // Destroys SmppClient1 first, whatever state its connections are in: once it is gone no
  // notification runs, and the memo feed and the controls follow. GUI thread.
  ~TForm1() override;

  // ---- Published fields, in declared order. The controls are owned by the window as its
  // children; SmppClient1 by the form.
  QPushButton* Button1;
  std::unique_ptr<TSmppClient> SmppClient1;
  QPlainTextEdit* Memo1;
  QPushButton* Button2;
  QPushButton* Button3;
  QLineEdit* Edit1;
  QLineEdit* Edit2;
  QLabel* Label1;
  QLabel* Label2;
  QLineEdit* Edit3;
  QLineEdit* Edit4;
  QLabel* Label3;
  QLabel* Label4;
  QLineEdit* Edit5;
  QLabel* Label5;
  QLineEdit* Edit6;
  QLabel* Label6;

  // ---- Published handlers.
  // Bind: copies the edits into SmppClient1.ClientInfo (Host, Port, UserID, Password,
  // SystemType, in that order) and connects. A port text that is not a whole number raises
  // EConvertError after Host has been copied; nothing else changes. GUI thread.
  void Button1Click();
  // Send: submits "Hello" from "1234" to the number in Edit1. GUI thread.
  void Button2Click();
  // Unbind: SmppClient1.Disconnect, which holds the GUI thread for its 2-second wait.
  void Button3Click();
  // Queue Sender's Rcx.rcxData / Tcx.tcxData as the memo's next line. Any thread, also while the
  // window is being destroyed (until SmppClient1's destruction has returned).
  void SmppClient1RcxOnData(TSmppClient* Sender);
  void SmppClient1TcxOnData(TSmppClient* Sender);

  // The form's stored properties, then its components in declared order. GUI thread.
  void PublishProperties(TPublishedProperties& Props) override;

  // The form resource built into the program.
  static std::string_view Resource();

  // The line queue between the notifications and Memo1.
  TMemoFeed& MemoFeed() { return *FMemoFeed; }

  // The handlers that the resource can name, for buttons and for the client's notifications.
  using TClickHandler = void (TForm1::*)();
  using TNotifyHandler = void (TForm1::*)(TSmppClient*);
  static TClickHandler FindClickHandler(std::string_view Name);
  static TNotifyHandler FindNotifyHandler(std::string_view Name);

 protected:
  void resizeEvent(QResizeEvent* Event) override;
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  class TControlProps;
  class TClientProps;
  class TScrollBarProps;

  // Runs a button's handler as the application does: an exception is shown in a message box.
  void RunClickHandler(TClickHandler Handler);
  // Chains the controls' focus order by their TabOrder.
  void ApplyTabOrder();
  // The stored property object of the component or control with this name.
  TPersistent* Part(std::string_view Name) const;

  QScrollArea* FScroll = nullptr;  // fills the form; owned by the form
  QWidget* FClient = nullptr;      // the scrolled client area, parent of the controls
  std::unique_ptr<TMemoFeed> FMemoFeed;
  std::vector<std::unique_ptr<TControlProps>> FControls;
  std::unique_ptr<TClientProps> FClientProps;
  std::unique_ptr<TScrollBarProps> FHorzScrollBar, FVertScrollBar;
  std::string FActiveControl;
  std::string FColor = "clBtnFace";
  int32_t FPixelsPerInch = 96;
  int32_t FTextHeight = 0;
  int32_t FTextWidth = 0;
};
