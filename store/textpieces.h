// A line's display text given a piece at a time, by whoever can read the
// line (the slot's window, the filter's own descriptor), so that one matcher
// decides on every byte of a line of any length without holding it whole.
#pragma once

#include <cstddef>

class TextPieces {
 public:
  virtual ~TextPieces() = default;
  // At most cap bytes of text into out; 0 only at the end of the text.
  virtual size_t Read(char* out, size_t cap) = 0;
  // No text is left to read.
  virtual bool AtEnd() const = 0;
};
