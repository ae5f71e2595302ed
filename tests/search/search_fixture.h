// Runs a search through both scans (the fast one and the line-by-line oracle)
// on a document opened from bytes, and records everything the scan hands out.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "search/search.h"
#include "store/slots.h"
#include "support/testfiles.h"

struct Hit {
  int slot = 0;
  int32_t line = 0;
  std::string text;
  bool operator==(const Hit&) const = default;
};

// What one call, or a run of calls until -1, leaves behind.
struct Outcome {
  std::vector<int32_t> lines;  // every result, the final -1 included
  int32_t matchStart = -7;     // out parameters, seeded with -7 / -9
  int32_t matchEnd = -9;
  std::vector<Hit> hits;  // the hit hook's calls
  int32_t topLine = 0;    // the slot's TopLine afterwards
  bool operator==(const Outcome&) const = default;
};

inline void PrintTo(const Hit& hit, std::ostream* out) {
  *out << "{slot " << hit.slot << ", line " << hit.line << ", " << hit.text.size() << " bytes}";
}

inline void PrintTo(const Outcome& outcome, std::ostream* out) {
  *out << "{lines [";
  for (size_t i = 0; i < outcome.lines.size() && i < 20; ++i) *out << outcome.lines[i] << ' ';
  if (outcome.lines.size() > 20) *out << "... (" << outcome.lines.size() << ")";
  *out << "], match " << outcome.matchStart << ".." << outcome.matchEnd << ", hits "
       << outcome.hits.size() << ", top " << outcome.topLine << "}";
}

using SearchFunction = int (*)(const std::string&, int32_t&, int32_t&);

class SearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSlotTable();
    CurrentSlot = 0;
    TabWidth = 4;
    SearchRunning = true;
    SearchHooks& hooks = SearchHooksRef();
    hooks.options = [this] { return options_; };
    hooks.hit = [this](int slot, int32_t line, std::string_view text, const HitSpan&) {
      hits_.push_back(Hit{slot, line, std::string(text)});
    };
    hooks.progress = nullptr;
    // Progress by time would make the calls differ from run to run; the
    // tests that need it set their own interval.
    hooks.poll_interval_ms = 3600 * 1000;
  }

  void TearDown() override {
    SearchHooksRef() = SearchHooks{};
    ResetSlotTable();
    TabWidth = 4;
  }

  // Opens bytes as the current slot's document.
  void Open(const std::string& bytes) {
    const std::string path = dir_.Write("doc" + std::to_string(files_++) + ".txt", bytes);
    ASSERT_EQ(OpenDocument(path), 0);
  }

  // One call, or calls until -1 when all is true, starting from topLine.
  Outcome Run(SearchFunction function, const std::string& pattern, int32_t topLine,
              bool all = false) {
    hits_.clear();
    SlotTable[CurrentSlot].TopLine = topLine;
    SearchRunning = true;
    Outcome outcome;
    for (;;) {
      const int line = function(pattern, outcome.matchStart, outcome.matchEnd);
      outcome.lines.push_back(line);
      if (!all || line < 0 || outcome.lines.size() > 2000000) break;
    }
    outcome.hits = hits_;
    outcome.topLine = SlotTable[CurrentSlot].TopLine;
    return outcome;
  }

  // Runs the fast scan and the oracle; they must agree. Returns the result.
  Outcome RunBoth(const std::string& pattern, int32_t topLine, bool all = false) {
    const Outcome reference = Run(SearchNextReference, pattern, topLine, all);
    const Outcome fast = Run(SearchNext, pattern, topLine, all);
    EXPECT_EQ(fast, reference) << "pattern \"" << pattern << "\" from line " << topLine;
    return fast;
  }

  SearchOptions options_;
  std::vector<Hit> hits_;
  TempDir dir_;
  int files_ = 0;
};
