// TMemoFeed: carries report lines from the client's worker and timer threads to the memo on the
// GUI thread. Adding a line never waits for the GUI thread: the line is queued and the GUI thread
// is woken; the GUI thread appends what is queued in batches, a few milliseconds of work per turn
// of its event loop, so a burst of lines never freezes the window and no line is lost.
//
// Each line is shown escaped (EscapedReportLine): control characters and bytes that are not UTF-8
// cannot break it, move it or reach the clipboard raw. The memo keeps the newest MemoLines lines;
// older ones leave it, and one notice line at its top says how many have left. With a report log
// every line also goes, with the time it came, to the log file, batch by batch.
#pragma once

#include <QPlainTextEdit>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "app/GuiWakeup.h"
#include "app/ReportLog.h"

class TMemoFeed {
 public:
  // Most work one turn of the event loop spends on appending before it yields.
  static constexpr std::chrono::milliseconds TurnBudget{8};
  // The lines the memo keeps unless told otherwise: enough for a long session, and a bounded
  // memory (a line of the memo costs some hundred bytes).
  static constexpr qsizetype DefaultMemoLines = 100000;

  // GUI thread. Memo must outlive the feed.
  explicit TMemoFeed(QPlainTextEdit* Memo);
  // Writes the lines still queued to the log. GUI thread, once no thread adds lines any more.
  ~TMemoFeed();

  // Queues Line as the memo's next line (an empty text makes an empty line). Lines added by one
  // thread appear in the order added. Any thread; never blocks on the GUI thread.
  void Add(std::string Line);

  // Appends everything queued now, without yielding. GUI thread.
  void FlushAll();

  // Lines queued and not yet in the memo. Any thread.
  size_t Pending() const;

  // The most lines the memo keeps, the notice line not counted; at least 1. Lowering it takes
  // effect with the next lines. GUI thread.
  qsizetype MemoLines() const { return FMemoLines; }
  void SetMemoLines(qsizetype Lines);
  // The lines that have left the memo so far. GUI thread.
  qint64 Removed() const { return FRemoved; }

  // From now on every line also goes to Log. GUI thread.
  void SetLog(std::unique_ptr<TReportLog> Log);

 private:
  struct TQueued {
    TReportLog::TClock::time_point When;
    std::string Text;
  };

  // Appends queued lines until the queue is empty or the turn's budget is spent. GUI thread.
  void Flush(bool Yield);
  // Appends Lines, each as one new last line of the memo, and scrolls the memo to its end.
  void AppendLines(const QStringList& Lines);
  // Takes the oldest lines out of the memo beyond MemoLines and updates the notice line.
  void Trim();

  QPlainTextEdit* FMemo;
  TGuiWakeup FWakeup;
  std::unique_ptr<TReportLog> FLog;  // GUI thread
  qsizetype FMemoLines = DefaultMemoLines;
  qint64 FRemoved = 0;
  QString FNotice;  // the notice line as last written
  // Guards FLines and FWakePending. A leaf: Add takes it under the connection's report lock, and
  // nothing else is ever taken while it is held.
  mutable std::mutex FLock;
  std::deque<TQueued> FLines;  // FLock
  bool FWakePending = false;   // FLock; a wake-up is on its way or a flush is running
};
