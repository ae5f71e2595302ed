// Every occurrence of a text or every match of a regular expression in one
// line's display text, for the page's highlights: the same characters as
// the search matches (LineMatcher), found left to right without overlap.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "search/search.h"
#include "store/encoding.h"

class OccurrenceFinder {
 public:
  OccurrenceFinder();
  ~OccurrenceFinder();
  OccurrenceFinder(const OccurrenceFinder&) = delete;
  OccurrenceFinder& operator=(const OccurrenceFinder&) = delete;

  // pattern: bytes of the encoding, as typed. False when it can find
  // nothing (empty) or the expression does not compile.
  bool Init(const std::string& pattern, bool regex, bool ignoreCase, TextEncoding encoding);
  // Byte ranges [start, end) of the text, in order; empty matches are left out.
  void FindAll(const char* text, int length, std::vector<std::pair<int32_t, int32_t>>& out);

 private:
  struct State;
  std::unique_ptr<State> state_;
};
