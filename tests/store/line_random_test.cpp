// The index and the line text of random documents made of awkward bytes,
// against a byte-by-byte model: line starts after every line feed, and a text
// that takes at most 2047 bytes of its line (a look at the byte after them
// finds the line feed), leaves out a CR directly before the line feed, turns
// each TAB into TabWidth blanks and keeps zero bytes, 2047 bytes at most.
// Lines are fetched in random order so that windows are remapped between
// fetches; some documents put block ends and very long lines at awkward
// places. Fixed seeds: a failure repeats.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "store_fixture.h"

namespace {

struct Rng {
  uint64_t state;
  uint32_t Below(uint32_t n) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>((state >> 33) % n);
  }
  bool OneIn(uint32_t n) { return Below(n) == 0; }
};

// The display text of the line that starts at start.
std::string ModelText(const std::string& doc, size_t start, int tab) {
  std::string taken;
  bool at_feed = false;
  size_t i = start;
  while (i < doc.size() && taken.size() < size_t{kMaxLineText}) {
    if (doc[i] == '\n') {
      at_feed = true;
      break;
    }
    taken += doc[i++];
  }
  if (!at_feed && i < doc.size() && doc[i] == '\n') at_feed = true;
  if (at_feed && !taken.empty() && taken.back() == '\r') taken.pop_back();
  std::string text;
  for (char c : taken) {
    if (c == '\t') {
      text.append(static_cast<size_t>(std::max(tab, 0)), ' ');
    } else {
      text += c;
    }
  }
  return text.substr(0, kMaxLineText);
}

std::vector<size_t> ModelStarts(const std::string& doc) {
  std::vector<size_t> starts;
  size_t at = 0;
  while (at < doc.size()) {
    starts.push_back(at);
    const size_t feed = doc.find('\n', at);
    if (feed == std::string::npos) break;
    at = feed + 1;
  }
  return starts;
}

// Bytes of one line, its line feed included (none when last is true).
std::string RandomLine(Rng& rng, bool last) {
  static const std::string kAlphabet =
      std::string("\r\t\0\\ aAzZ", 10) + "\x81\x9F\xE0\xFC\xFD" + "\x40\x5C\x7E\x80\xA0";
  std::string line;
  switch (rng.Below(8)) {
    case 0:
      break;  // empty
    case 1: {
      // Around the cap: long runs with TABs and CRs at the awkward places.
      const size_t length = 2030 + rng.Below(30);
      line.assign(length, "ab\t"[rng.Below(3)]);
      for (int k = 0; k < 3; ++k) line[rng.Below(static_cast<uint32_t>(length))] = "\t\r"[k & 1];
      if (rng.OneIn(2)) line += '\r';
      break;
    }
    case 2:
      line.assign(2100 + rng.Below(3000), static_cast<char>("\tx"[rng.Below(2)]));
      break;
    default: {
      const uint32_t n = rng.Below(60);
      for (uint32_t k = 0; k < n; ++k) line += kAlphabet[rng.Below(kAlphabet.size())];
    }
  }
  if (!last) line += '\n';
  return line;
}

class RandomLineTest : public StoreTest {
 protected:
  // Opens doc and checks the line count, every record and, in a random
  // order, every text; false on the first difference.
  bool CheckDocument(Rng& rng, const std::string& doc, const std::string& name) {
    OpenBytes(doc, name);
    EXPECT_EQ(0, result) << name;
    if (result != 0) return false;
    const std::vector<size_t> starts = ModelStarts(doc);
    EXPECT_EQ(static_cast<int32_t>(starts.size()), Slot().LineCount) << name;
    if (static_cast<int32_t>(starts.size()) != Slot().LineCount) return false;
    for (size_t i = 0; i < starts.size(); ++i) {
      const uint64_t start = LineStart(Slot(), static_cast<int32_t>(i));
      if (start != starts[i]) {
        ADD_FAILURE() << name << " line " << i << " start " << start;
        return false;
      }
    }
    std::vector<int32_t> order(starts.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int32_t>(i);
    for (size_t i = order.size(); i > 1; --i) {
      std::swap(order[i - 1], order[rng.Below(static_cast<uint32_t>(i))]);
    }
    char buffer[kLineBufferSize];
    for (const int32_t line : order) {
      const int length = GetLineInto(Slot(), line, buffer);
      const std::string expected = ModelText(doc, starts[static_cast<size_t>(line)], TabWidth);
      if (std::string(buffer, static_cast<size_t>(length)) != expected) {
        ADD_FAILURE() << name << " line " << line << " tab " << TabWidth << ": " << length
                      << " bytes, expected " << expected.size();
        return false;
      }
    }
    CloseDocument();
    return true;
  }
};

TEST_F(RandomLineTest, SmallDocumentsOfAwkwardBytes) {
  Rng rng{4242};
  for (int d = 0; d < 300; ++d) {
    std::string doc;
    const int lines = 1 + static_cast<int>(rng.Below(rng.OneIn(10) ? 400 : 12));
    for (int i = 0; i < lines; ++i) doc += RandomLine(rng, i + 1 == lines && rng.OneIn(2));
    if (doc.empty()) continue;
    static const int kTabs[] = {4, 0, 1, 8, -2, 3};
    TabWidth = kTabs[rng.Below(std::size(kTabs))];
    ASSERT_TRUE(CheckDocument(rng, doc, "small" + std::to_string(d) + ".txt"));
  }
}

TEST_F(RandomLineTest, BlockEndsAndLongLinesAtAwkwardPlaces) {
  struct Shape {
    const char* name;
    int lines;         // lines before the tail
    size_t longBytes;  // length of the long lines (0: short lines only)
    int longEvery;     // every n-th line is long
    const char* tail;  // bytes after the last line feed
  };
  // 2100-byte lines, 8192 of them, outgrow a 16 MiB window; the others end
  // a block exactly at the end of the file, or one line after it.
  const Shape shapes[] = {
      {"exact_block", kLinesPerBlock, 0, 0, ""},
      {"block_and_a_tail", kLinesPerBlock, 0, 0, "x\r"},
      {"two_blocks_minus_one", 2 * kLinesPerBlock - 1, 0, 0, "\t"},
      {"long_lines_grow_the_window", kLinesPerBlock + 40, 2100, 1, "end"},
      {"a_few_huge_lines", 3 * kLinesPerBlock / 2, 3u << 20, 4000, ""},
  };
  Rng rng{99};
  for (const Shape& shape : shapes) {
    std::string doc;
    for (int i = 0; i < shape.lines; ++i) {
      if (shape.longEvery > 0 && i % shape.longEvery == shape.longEvery - 1) {
        std::string line(shape.longBytes, static_cast<char>('a' + i % 26));
        line[rng.Below(static_cast<uint32_t>(line.size()))] = '\t';
        doc += line + "\r\n";
      } else {
        doc += RandomLine(rng, false);
      }
    }
    doc += shape.tail;
    TabWidth = rng.OneIn(2) ? 4 : 0;
    ASSERT_TRUE(CheckDocument(rng, doc, std::string(shape.name) + ".txt"));
  }
}

}  // namespace
