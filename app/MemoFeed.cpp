// TMemoFeed: queued report lines, escaped, appended to the memo in batches on the GUI thread and to
// the report log; the memo's oldest lines leave it beyond its limit.
#include "app/MemoFeed.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>
#include <vector>

#include "smpp/ReportText.h"

namespace {
// Lines taken from the queue at once; small enough that one batch stays well inside the budget.
constexpr size_t BatchLines = 512;
}  // namespace

TMemoFeed::TMemoFeed(QPlainTextEdit* Memo) : FMemo(Memo), FWakeup([this] { Flush(true); }) {}

TMemoFeed::~TMemoFeed() {
  // The memo is going; the log still gets every line.
  if (!FLog) return;
  for (const TQueued& L : FLines) FLog->Add(L.When, EscapedReportLine(L.Text));
  FLog->Write();
}

void TMemoFeed::Add(std::string Line) {
  const auto When = TReportLog::TClock::now();
  bool Wake = false;
  {
    std::lock_guard<std::mutex> Guard(FLock);
    FLines.push_back({When, std::move(Line)});
    if (!FWakePending) Wake = FWakePending = true;
  }
  if (Wake) FWakeup.Wake();
}

size_t TMemoFeed::Pending() const {
  std::lock_guard<std::mutex> Guard(FLock);
  return FLines.size();
}

void TMemoFeed::SetMemoLines(qsizetype Lines) {
  FMemoLines = std::max<qsizetype>(Lines, 1);
}

void TMemoFeed::SetLog(std::unique_ptr<TReportLog> Log) {
  FLog = std::move(Log);
}

void TMemoFeed::FlushAll() {
  Flush(false);
}

void TMemoFeed::Flush(bool Yield) {
  using Clock = std::chrono::steady_clock;
  const auto Deadline = Clock::now() + TurnBudget;
  std::vector<TQueued> Taken;
  QStringList Batch;
  for (;;) {
    Taken.clear();
    {
      std::lock_guard<std::mutex> Guard(FLock);
      if (FLines.empty()) {
        // Cleared under the lock that Add takes, so a line added from now on wakes us again.
        FWakePending = false;
        return;
      }
      const size_t N = std::min(BatchLines, FLines.size());
      std::move(FLines.begin(), FLines.begin() + static_cast<ptrdiff_t>(N),
                std::back_inserter(Taken));
      FLines.erase(FLines.begin(), FLines.begin() + static_cast<ptrdiff_t>(N));
    }
    // Escaped and written outside the lock, so that Add never waits for either.
    Batch.clear();
    Batch.reserve(static_cast<qsizetype>(Taken.size()));
    for (const TQueued& L : Taken) {
      const std::string Shown = EscapedReportLine(L.Text);
      if (FLog) FLog->Add(L.When, Shown);
      Batch.push_back(QString::fromUtf8(Shown.data(), static_cast<qsizetype>(Shown.size())));
    }
    if (FLog) FLog->Write();
    AppendLines(Batch);
    if (Yield && Clock::now() >= Deadline) {
      // Let the event loop paint and take input; the rest follows in the next turn. FWakePending
      // stays set, so Add does not wake us a second time meanwhile.
      FWakeup.Wake();
      return;
    }
  }
}

void TMemoFeed::AppendLines(const QStringList& Lines) {
  if (Lines.isEmpty()) return;
  // The memo's text is its lines, each ended by a line break, so an empty report is a visible
  // empty line and the next line always starts a block of its own. Text typed by the user after
  // the last line break is ended first. An escaped line holds no line break of its own.
  QTextCursor Cursor(FMemo->document());
  Cursor.movePosition(QTextCursor::End);
  QString Text;
  if (!Cursor.block().text().isEmpty()) Text += u'\n';
  for (const QString& L : Lines) {
    Text += L;
    Text += u'\n';
  }
  Cursor.insertText(Text);
  Trim();
  QScrollBar* Bar = FMemo->verticalScrollBar();
  Bar->setValue(Bar->maximum());
}

void TMemoFeed::Trim() {
  QTextDocument* Doc = FMemo->document();
  // The notice is the first line while it is there as written (the user may have edited or
  // deleted it); the last block is the empty one after the last line break.
  const bool HasNotice = !FNotice.isEmpty() && Doc->firstBlock().text() == FNotice;
  const int First = HasNotice ? 1 : 0;
  const qsizetype Excess = Doc->blockCount() - 1 - First - FMemoLines;
  if (Excess <= 0) return;
  FRemoved += Excess;
  FNotice = QStringLiteral("(%1 older %2 removed from this view")
                .arg(FRemoved)
                .arg(FRemoved == 1 ? "line" : "lines");
  if (FLog)
    FNotice += "; every line is in " + QString::fromStdString(EscapedReportLine(FLog->Path()));
  FNotice += u')';

  QTextCursor Cursor(Doc);
  Cursor.beginEditBlock();
  Cursor.setPosition(Doc->findBlockByNumber(First).position());
  Cursor.setPosition(Doc->findBlockByNumber(First + static_cast<int>(Excess)).position(),
                     QTextCursor::KeepAnchor);
  Cursor.removeSelectedText();
  Cursor.setPosition(0);
  if (HasNotice) Cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
  Cursor.insertText(HasNotice ? FNotice : FNotice + u'\n');
  Cursor.endEditBlock();
}
