// TMemoFeed: queued report lines, appended to the memo in batches on the GUI thread.
#include "app/MemoFeed.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <vector>

namespace {
// Lines taken from the queue at once; small enough that one batch stays well inside the budget.
constexpr size_t BatchLines = 512;
}  // namespace

TMemoFeed::TMemoFeed(QPlainTextEdit* Memo) : FMemo(Memo), FWakeup([this] { Flush(true); }) {}

void TMemoFeed::Add(std::string Line) {
  bool Wake = false;
  {
    std::lock_guard<std::mutex> Guard(FLock);
    FLines.push_back(std::move(Line));
    if (!FWakePending) Wake = FWakePending = true;
  }
  if (Wake) FWakeup.Wake();
}

size_t TMemoFeed::Pending() const {
  std::lock_guard<std::mutex> Guard(FLock);
  return FLines.size();
}

void TMemoFeed::FlushAll() {
  Flush(false);
}

void TMemoFeed::Flush(bool Yield) {
  using Clock = std::chrono::steady_clock;
  const auto Deadline = Clock::now() + TurnBudget;
  QStringList Batch;
  for (;;) {
    Batch.clear();
    {
      std::lock_guard<std::mutex> Guard(FLock);
      if (FLines.empty()) {
        // Cleared under the lock that Add takes, so a line added from now on wakes us again.
        FWakePending = false;
        return;
      }
      const size_t N = std::min(BatchLines, FLines.size());
      Batch.reserve(static_cast<qsizetype>(N));
      for (size_t I = 0; I < N; ++I) {
        const std::string& L = FLines.front();
        Batch.push_back(QString::fromLocal8Bit(L.data(), static_cast<qsizetype>(L.size())));
        FLines.pop_front();
      }
    }
    AppendLines(FMemo, Batch);
    if (Yield && Clock::now() >= Deadline) {
      // Let the event loop paint and take input; the rest follows in the next turn. FWakePending
      // stays set, so Add does not wake us a second time meanwhile.
      FWakeup.Wake();
      return;
    }
  }
}

void TMemoFeed::AppendLines(QPlainTextEdit* Memo, const QStringList& Lines) {
  if (Lines.isEmpty()) return;
  // The memo's text is its lines, each ended by a line break, so an empty report is a visible
  // empty line and the next line always starts a block of its own. Text typed by the user after
  // the last line break is ended first.
  QTextCursor Cursor(Memo->document());
  Cursor.movePosition(QTextCursor::End);
  QString Text;
  if (!Cursor.block().text().isEmpty()) Text += u'\n';
  for (const QString& L : Lines) {
    // One report is one line: line breaks inside it are shown as their control pictures.
    for (QChar C : L) {
      if (C == u'\n' || C == QChar::ParagraphSeparator)
        Text += QChar(0x240A);
      else if (C == u'\r')
        Text += QChar(0x240D);
      else
        Text += C;
    }
    Text += u'\n';
  }
  Cursor.insertText(Text);
  QScrollBar* Bar = Memo->verticalScrollBar();
  Bar->setValue(Bar->maximum());
}
