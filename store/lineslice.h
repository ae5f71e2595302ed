// A line of any length, read a slice at a time. GetLine gives a line's first
// 2047 bytes of text; the functions here reach every byte of a line through
// the mapped window, a window's worth or less at a time, so that no caller
// ever holds a whole long line: a window may end inside a line, and a line
// may be longer than any window.
//
// Offsets are bytes: "raw" offsets count the line's bytes in the file from
// its first byte; "text" offsets count the display text (each TAB as
// TabWidth blanks), as GetLine's text counts them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "store/slots.h"
#include "store/textpieces.h"

// The longest slice one call gives: any range this long lies in one window.
constexpr size_t kMaxSliceBytes = static_cast<size_t>(kWindowStep);

// Where a line's bytes lie in the file: [begin, end), its line feed and a CR
// just before it left out; the last line of a file without a final line
// feed ends at the file's end. ok is false for a line that does not exist.
struct LineBounds {
  uint64_t begin = 0;
  uint64_t end = 0;
  bool ok = false;
  uint64_t length() const { return end - begin; }
};
LineBounds GetLineBounds(FileSlot& slot, int32_t line);

// A view of bytes of the mapped window; valid until the next call that may
// map another window of the slot.
struct LineSlice {
  const char* data = nullptr;
  size_t size = 0;
};
// Raw bytes [from, from + want) of the line, cut at its end and at
// kMaxSliceBytes. Empty past the line's end or when the bytes cannot be
// mapped.
LineSlice GetLineSlice(FileSlot& slot, int32_t line, uint64_t from, size_t want);
// The same within bounds GetLineBounds gave (the line's end is not looked up
// again: a reader of many slices maps each window once).
LineSlice GetLineSlice(FileSlot& slot, const LineBounds& bounds, uint64_t from, size_t want);

// The text offset where raw offset raw of the line stands (each TAB before
// it as TabWidth blanks), read a slice at a time. False when the bytes
// before raw hold a line feed (the file changed under its index: the text
// ends there) or, with stopAtZero, a zero byte, or cannot be read.
bool TextOffsetOfRaw(FileSlot& slot, const LineBounds& bounds, uint64_t raw, bool stopAtZero,
                     uint64_t& text);

// What bytes [data, data + size) hold of what ends or widens a line's text.
struct LineByteCounts {
  uint64_t tabs = 0;
  bool feed = false;  // a line feed
  bool zero = false;  // a zero byte
};
LineByteCounts CountLineBytes(const char* data, size_t size);
// Adds the TABs among raw bytes [from, to) of the line to tabs; false as for
// TextOffsetOfRaw (tabs then holds part of the count).
bool TabsInLine(FileSlot& slot, const LineBounds& bounds, uint64_t from, uint64_t to,
                bool stopAtZero, uint64_t& tabs);
// The text offset of raw offset raw with tabs TABs before it.
uint64_t TextOffsetOfTabs(uint64_t raw, uint64_t tabs);

// GetLineSlice without moving the window: bytes the window holds are given
// from it, others are read from the file into scratch (room for
// kMaxSliceBytes or want, whichever is less), so that a reader hopping
// between lines far apart (a page of long lines) maps nothing. A compressed
// document's bytes come through its window, as GetLineSlice gives them.
LineSlice PeekLineSlice(FileSlot& slot, const LineBounds& bounds, uint64_t from, size_t want,
                        char* scratch);

// The display text of one line from a raw offset on, a piece at a time: the
// bytes as they are, each TAB as TabWidth blanks (none when TabWidth <= 0),
// ending where the line ends. A line feed met inside the line's bounds (the
// file changed under its index) ends the text there, as GetLine ends it.
class LineTextReader : public TextPieces {
 public:
  // from: a raw offset into the line; text: the text offset it stands at
  // (callers that start at 0 pass 0).
  LineTextReader(FileSlot& slot, int32_t line, uint64_t from = 0, uint64_t text = 0);
  bool ok() const { return bounds_.ok; }
  // The text as it was made with another tab width (a saved search hit).
  void SetTabWidth(int32_t width) { tabWidth_ = width; }
  // Ends the text after the line's first length raw bytes (the line as it
  // was before its file grew), where the line is that long.
  void EndAfter(uint64_t length) {
    if (length < bounds_.length()) bounds_.end = bounds_.begin + length;
  }
  const LineBounds& bounds() const { return bounds_; }
  // At most cap bytes of text into out; 0 only at the end of the line.
  size_t Read(char* out, size_t cap) override;
  // Passes over up to count bytes of text without giving them (TAB blanks
  // counted, not made); returns the bytes passed.
  uint64_t Skip(uint64_t count);
  bool AtEnd() const override { return blanks_ == 0 && pos_ >= bounds_.end; }
  // The offsets reached: the next text byte Read gives stands at text()
  // and comes from raw byte raw() of the line (while TAB blanks are pending,
  // raw() is past the TAB).
  uint64_t text() const { return text_; }
  uint64_t raw() const { return pos_ - bounds_.begin; }

 private:
  FileSlot& slot_;
  LineBounds bounds_;
  uint64_t pos_ = 0;     // file offset of the next raw byte
  uint64_t text_ = 0;    // text bytes given so far (plus the start offset)
  uint64_t blanks_ = 0;  // blanks of a TAB still to give
  int32_t tabWidth_ = TabWidth;
};
