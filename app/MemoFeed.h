// TMemoFeed: carries report lines from the client's worker and timer threads to the memo on the
// GUI thread. Adding a line never waits for the GUI thread: the line is queued and the GUI thread
// is woken; the GUI thread appends what is queued in batches, a few milliseconds of work per turn
// of its event loop, so a burst of lines never freezes the window and no line is lost.
#pragma once

#include <QPlainTextEdit>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>

#include "app/GuiWakeup.h"

class TMemoFeed {
 public:
  // Most work one turn of the event loop spends on appending before it yields.
  static constexpr std::chrono::milliseconds TurnBudget{8};

  // GUI thread. Memo must outlive the feed.
  explicit TMemoFeed(QPlainTextEdit* Memo);
  // GUI thread, once no thread adds lines any more.
  ~TMemoFeed() = default;

  // Queues Line as the memo's next line (an empty text makes an empty line). Lines added by one
  // thread appear in the order added. Any thread; never blocks on the GUI thread.
  void Add(std::string Line);

  // Appends everything queued now, without yielding. GUI thread.
  void FlushAll();

  // Lines queued and not yet in the memo. Any thread.
  size_t Pending() const;

  // Appends Lines, each as one new last line of Memo, and scrolls Memo to its end. GUI thread.
  static void AppendLines(QPlainTextEdit* Memo, const QStringList& Lines);

 private:
  // Appends queued lines until the queue is empty or the turn's budget is spent. GUI thread.
  void Flush(bool Yield);

  QPlainTextEdit* FMemo;
  TGuiWakeup FWakeup;
  // Guards FLines and FWakePending. A leaf: Add takes it under the connection's report lock, and
  // nothing else is ever taken while it is held.
  mutable std::mutex FLock;
  std::deque<std::string> FLines;  // FLock
  bool FWakePending = false;       // FLock; a wake-up is on its way or a flush is running
};
