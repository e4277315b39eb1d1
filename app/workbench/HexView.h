// THexView: the inspector's bytes as offset, hex and characters, sixteen a line (eight or four
// when the view is too narrow for a full line, so that nothing is cut off), with one range of
// bytes highlighted in both the hex and the character columns.
#pragma once

#include <QPlainTextEdit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

class THexView : public QPlainTextEdit {
 public:
  explicit THexView(QWidget* Parent = nullptr);
  // Shows a copy of Bytes and clears the highlight. GUI thread.
  void SetBytes(std::span<const uint8_t> Bytes);
  // Highlights Length bytes from Offset (cut to the bytes shown); Length 0 clears it.
  void Highlight(size_t Offset, size_t Length);
  // The bytes highlighted now: first and count.
  size_t HighlightOffset() const { return FOffset; }
  size_t HighlightLength() const { return FLength; }
  // Bytes a line shows now: 16, 8 or 4.
  int BytesPerLine() const { return FBytesPerLine; }

 protected:
  void resizeEvent(QResizeEvent* Event) override;

 private:
  // The most bytes a line can show at the view's width.
  int FittingBytesPerLine() const;
  void Render();

  std::vector<uint8_t> FBytes;
  int FBytesPerLine = 16;
  size_t FOffset = 0, FLength = 0;
};
