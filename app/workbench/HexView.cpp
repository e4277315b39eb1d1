// THexView: the hex dump's layout and its highlight.
#include "app/workbench/HexView.h"

#include <QFontDatabase>
#include <QScrollBar>
#include <QTextBlock>
#include <algorithm>

namespace {

// Columns of a line: "0010  " then "xx " per byte, one more space, then the characters.
constexpr int kHexColumn = 6;
int CharColumn(int BytesPerLine) {
  return kHexColumn + BytesPerLine * 3 + 1;
}

}  // namespace

THexView::THexView(QWidget* Parent) : QPlainTextEdit(Parent) {
  setReadOnly(true);
  setUndoRedoEnabled(false);
  setLineWrapMode(QPlainTextEdit::NoWrap);
  setTabChangesFocus(true);
  setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
}

int THexView::FittingBytesPerLine() const {
  const int Room = viewport()->width() - 2 * static_cast<int>(document()->documentMargin());
  const int Char = fontMetrics().horizontalAdvance(u'0');
  for (int N : {16, 8})
    if ((CharColumn(N) + N) * Char <= Room) return N;
  return 4;
}

void THexView::resizeEvent(QResizeEvent* Event) {
  QPlainTextEdit::resizeEvent(Event);
  if (FittingBytesPerLine() != FBytesPerLine) Render();
}

void THexView::SetBytes(std::span<const uint8_t> Bytes) {
  FBytes.assign(Bytes.begin(), Bytes.end());
  FOffset = FLength = 0;
  Render();
}

void THexView::Render() {
  FBytesPerLine = FittingBytesPerLine();
  const size_t N = static_cast<size_t>(FBytesPerLine);
  QString Text;
  for (size_t Line = 0; Line * N < FBytes.size(); ++Line) {
    if (Line) Text += u'\n';
    Text += QString::asprintf("%04zx  ", Line * N);
    QString Chars;
    for (size_t I = 0; I < N; ++I) {
      const size_t At = Line * N + I;
      if (At < FBytes.size()) {
        Text += QString::asprintf("%02x ", FBytes[At]);
        Chars += FBytes[At] >= 0x20 && FBytes[At] < 0x7f ? QChar(FBytes[At]) : QChar(u'.');
      } else {
        Text += QStringLiteral("   ");
      }
    }
    Text += u' ';
    Text += Chars;
  }
  setPlainText(Text);
  Highlight(FOffset, FLength);
}

void THexView::Highlight(size_t Offset, size_t Length) {
  FOffset = std::min(Offset, FBytes.size());
  FLength = std::min(Length, FBytes.size() - FOffset);
  const size_t N = static_cast<size_t>(FBytesPerLine);
  QList<QTextEdit::ExtraSelection> Selections;
  QTextCharFormat Format;
  Format.setBackground(palette().highlight());
  Format.setForeground(palette().highlightedText());
  bool Scrolled = false;
  for (size_t At = FOffset; At < FOffset + FLength;) {
    const size_t Line = At / N;
    const size_t End = std::min(FOffset + FLength, (Line + 1) * N);
    const int First = static_cast<int>(At % N);
    const int Count = static_cast<int>(End - At);
    const int Start = document()->findBlockByNumber(static_cast<int>(Line)).position();
    const int Chars = Start + CharColumn(FBytesPerLine);
    for (auto [From, To] :
         {std::pair{Start + kHexColumn + 3 * First, Start + kHexColumn + 3 * (First + Count) - 1},
          std::pair{Chars + First, Chars + First + Count}}) {
      QTextEdit::ExtraSelection S;
      S.format = Format;
      S.cursor = QTextCursor(document());
      S.cursor.setPosition(From);
      S.cursor.setPosition(To, QTextCursor::KeepAnchor);
      Selections << S;
    }
    if (!Scrolled) {
      // The first highlighted line in view, the view kept at its left edge.
      QTextCursor C(document());
      C.setPosition(Start);
      setTextCursor(C);
      ensureCursorVisible();
      horizontalScrollBar()->setValue(0);
      Scrolled = true;
    }
    At = End;
  }
  setExtraSelections(Selections);
}
