// THexView: the inspector's bytes, sixteen a line as offset, hex and characters, with one range of
// bytes highlighted in both the hex and the character columns.
#pragma once

#include <QPlainTextEdit>
#include <cstddef>
#include <cstdint>
#include <span>

class THexView : public QPlainTextEdit {
 public:
  explicit THexView(QWidget* Parent = nullptr);
  // Shows Bytes (a copy is not kept) and clears the highlight. GUI thread.
  void SetBytes(std::span<const uint8_t> Bytes);
  // Highlights Length bytes from Offset (cut to the bytes shown); Length 0 clears it.
  void Highlight(size_t Offset, size_t Length);
  // The bytes highlighted now: first and count.
  size_t HighlightOffset() const { return FOffset; }
  size_t HighlightLength() const { return FLength; }

  static constexpr int kBytesPerLine = 16;

 private:
  size_t FSize = 0;
  size_t FOffset = 0, FLength = 0;
};
