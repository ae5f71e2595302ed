// Substring scans over the raw bytes of a mapped window: the candidate
// filter of the fast search. They compare bytes only; whether a candidate is
// a hit is decided on the line's display text afterwards.
#pragma once

#include <cstddef>
#include <string>

namespace search_detail {

class RawNeedle {
 public:
  RawNeedle() = default;
  // fold: compare with ASCII letters folded (a-z equals A-Z at every byte,
  // whatever the byte before it), so the scan can only find more, never less,
  // than an upper-cased line holds.
  RawNeedle(std::string bytes, bool fold);

  size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }
  const std::string& bytes() const { return bytes_; }
  bool fold() const { return fold_; }

  // First / last start position in [text, text + length) where the needle
  // occurs, or nullptr.
  const char* FindFirst(const char* text, size_t length) const;
  const char* FindLast(const char* text, size_t length) const;

  // Whether the needle occurs at text (size() bytes readable).
  bool MatchesAt(const char* text) const;

 private:
  std::string bytes_;  // folded to upper case when fold_
  bool fold_ = false;
  // Per-byte AND masks for the first and last needle bytes: 0xDF folds a
  // letter's case bit away, 0xFF keeps any other byte exact.
  unsigned char firstMask_ = 0xFF;
  unsigned char lastMask_ = 0xFF;
};

}  // namespace search_detail
