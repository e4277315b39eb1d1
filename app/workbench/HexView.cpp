// THexView: the hex dump's layout and its highlight.
#include "app/workbench/HexView.h"

#include <QFontDatabase>
#include <QTextBlock>
#include <algorithm>

namespace {

// Columns of a line: "0010  " then "xx " per byte, one more space, then the characters.
constexpr int kHexColumn = 6;
constexpr int kCharColumn = kHexColumn + THexView::kBytesPerLine * 3 + 1;

}  // namespace

THexView::THexView(QWidget* Parent) : QPlainTextEdit(Parent) {
  setReadOnly(true);
  setUndoRedoEnabled(false);
  setLineWrapMode(QPlainTextEdit::NoWrap);
  setTabChangesFocus(true);
  setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
}

void THexView::SetBytes(std::span<const uint8_t> Bytes) {
  FSize = Bytes.size();
  QString Text;
  Text.reserve(static_cast<qsizetype>((Bytes.size() / kBytesPerLine + 1) * (kCharColumn + 17)));
  for (size_t Line = 0; Line * kBytesPerLine < Bytes.size(); ++Line) {
    if (Line) Text += u'\n';
    Text += QString::asprintf("%04zx  ", Line * kBytesPerLine);
    QString Chars;
    for (int I = 0; I < kBytesPerLine; ++I) {
      const size_t At = Line * kBytesPerLine + static_cast<size_t>(I);
      if (At < Bytes.size()) {
        Text += QString::asprintf("%02x ", Bytes[At]);
        Chars += Bytes[At] >= 0x20 && Bytes[At] < 0x7f ? QChar(Bytes[At]) : QChar(u'.');
      } else {
        Text += QStringLiteral("   ");
      }
    }
    Text += u' ';
    Text += Chars;
  }
  setPlainText(Text);
  Highlight(0, 0);
}

void THexView::Highlight(size_t Offset, size_t Length) {
  FOffset = std::min(Offset, FSize);
  FLength = std::min(Length, FSize - FOffset);
  QList<QTextEdit::ExtraSelection> Selections;
  QTextCharFormat Format;
  Format.setBackground(palette().highlight());
  Format.setForeground(palette().highlightedText());
  bool Scrolled = false;
  for (size_t At = FOffset; At < FOffset + FLength;) {
    const size_t Line = At / kBytesPerLine;
    const size_t End = std::min(FOffset + FLength, (Line + 1) * kBytesPerLine);
    const int First = static_cast<int>(At % kBytesPerLine);
    const int Count = static_cast<int>(End - At);
    const int Start = document()->findBlockByNumber(static_cast<int>(Line)).position();
    for (auto [From, To] :
         {std::pair{Start + kHexColumn + 3 * First, Start + kHexColumn + 3 * (First + Count) - 1},
          std::pair{Start + kCharColumn + First, Start + kCharColumn + First + Count}}) {
      QTextEdit::ExtraSelection S;
      S.format = Format;
      S.cursor = QTextCursor(document());
      S.cursor.setPosition(From);
      S.cursor.setPosition(To, QTextCursor::KeepAnchor);
      Selections << S;
    }
    if (!Scrolled) {
      QTextCursor C(document());
      C.setPosition(Start);
      setTextCursor(C);
      ensureCursorVisible();
      Scrolled = true;
    }
    At = End;
  }
  setExtraSelections(Selections);
}
