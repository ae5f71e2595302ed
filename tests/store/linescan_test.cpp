// Both line-feed scanners and both markers against a plain loop, on text with
// few and many line feeds, and with the room for records running out at
// every place.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "store/linescan.h"

namespace {

struct Scan {
  std::vector<uint64_t> offsets;
  size_t consumed;
  bool operator==(const Scan&) const = default;
};

Scan Reference(const std::string& text, uint64_t base, size_t room) {
  Scan scan{{}, text.size()};
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n') continue;
    scan.offsets.push_back(base + i + 1);
    if (scan.offsets.size() == room) {
      scan.consumed = i + 1;
      break;
    }
  }
  return scan;
}

using Scanner = size_t (*)(const std::string&, uint64_t, uint64_t*, size_t, size_t*);

Scan RunScanner(Scanner scanner, const std::string& text, uint64_t base, size_t room) {
  std::vector<uint64_t> out(room, 0xDEADBEEF);
  Scan scan{{}, 0};
  const size_t written = scanner(text, base, out.data(), room, &scan.consumed);
  for (size_t k = 0; k < written; ++k) scan.offsets.push_back(out[k]);
  return scan;
}

TEST(LineScanTest, ScannersAgreeWithAPlainLoop) {
  struct Density {
    const char* name;
    unsigned one_in;  // a line feed about every one_in bytes
  };
  const std::vector<Density> densities = {
      {"NoLineFeed", 0}, {"Sparse", 300}, {"LogLines", 27}, {"Dense", 3}, {"AllLineFeeds", 1},
  };
  const std::vector<std::pair<const char*, Scanner>> scanners = {
      {"Baseline",
       [](const std::string& t, uint64_t b, uint64_t* o, size_t r, size_t* c) {
         return RecordLineStartsBaseline(t.data(), t.size(), b, o, r, c);
       }},
      {"Dispatched", [](const std::string& t, uint64_t b, uint64_t* o, size_t r,
                        size_t* c) { return RecordLineStarts(t.data(), t.size(), b, o, r, c); }},
      // Offsets from the text's first byte, read back through a listed
      // FeedBits as starts.
      {"Offsets",
       [](const std::string& t, uint64_t b, uint64_t* o, size_t r, size_t* c) {
         std::vector<uint32_t> offsets(r, 0xDEADBEEF);
         FeedBits bits;
         bits.begin = b;
         bits.listed = offsets.data();
         bits.feeds = RecordLineOffsets(t.data(), t.size(), offsets.data(), r, c);
         size_t at = 0;
         EXPECT_EQ(bits.feeds, bits.Starts(&at, o, r));
         if (bits.feeds > 0) {
           EXPECT_EQ(o[bits.feeds - 1], bits.LastStart());
         }
         return bits.feeds;
       }},
      {"OffsetsBaseline",
       [](const std::string& t, uint64_t b, uint64_t* o, size_t r, size_t* c) {
         std::vector<uint32_t> offsets(r, 0xDEADBEEF);
         const size_t n = RecordLineOffsetsBaseline(t.data(), t.size(), offsets.data(), r, c);
         for (size_t k = 0; k < n; ++k) o[k] = b + offsets[k];
         return n;
       }},
  };
  std::mt19937 random(7);
  for (const Density& density : densities) {
    std::string text(5000 + random() % 64, 'x');
    for (char& c : text) {
      if (density.one_in != 0 && random() % density.one_in == 0) c = '\n';
    }
    for (size_t room : {size_t{1}, size_t{2}, size_t{63}, size_t{64}, size_t{65}, size_t{100},
                        size_t{1000}, size_t{8191}}) {
      for (const auto& [name, scanner] : scanners) {
        SCOPED_TRACE(std::string(density.name) + " room " + std::to_string(room) + " " + name);
        EXPECT_EQ(Reference(text, 1000, room), RunScanner(scanner, text, 1000, room));
      }
      // The marked line feeds, read back room starts at a time; the text
      // ends inside a 64-byte step, its last word's bits past it clear.
      for (const bool baseline : {true, false}) {
        SCOPED_TRACE(std::string(density.name) + " room " + std::to_string(room) +
                     (baseline ? " MarkBaseline" : " MarkDispatched"));
        std::vector<uint64_t> words((text.size() + 63) / 64, ~uint64_t{0});
        FeedBits bits;
        bits.begin = 1000;
        bits.words = words.data();
        bits.word_count = words.size();
        bits.feeds = baseline ? MarkLineFeedsBaseline(text.data(), text.size(), words.data())
                              : MarkLineFeeds(text.data(), text.size(), words.data());
        const Scan all = Reference(text, 1000, text.size() + 1);
        ASSERT_EQ(all.offsets.size(), bits.feeds);
        std::vector<uint64_t> got;
        std::vector<uint64_t> out(room);
        size_t at = 0;
        for (size_t n; (n = bits.Starts(&at, out.data(), room)) > 0;) {
          got.insert(got.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
        }
        EXPECT_EQ(all.offsets, got);
        if (bits.feeds > 0) {
          EXPECT_EQ(all.offsets.back(), bits.LastStart());
        }
      }
    }
  }
}

}  // namespace
