// The filter's bits of shown lines at their edges: rank and select across
// 64-line words, 512-line blocks and 65,536-line chunks, chunks with no
// line or every line shown, pieces of the workers that end inside a word,
// and the open last line examined again when it grows, shown before or not.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "store/linefilter.h"
#include "store/workers.h"
#include "support/growingfile.h"

namespace {

// Shows the lines whose text ends in 's', a run of them at a time.
class EndsInS : public LineTest {
 public:
  void Decide(const LineBatch& batch, ShownBits& shown) override {
    char text[2048];
    int run = -1;  // the first line of the run of shown lines that k ends
    for (int k = 0; k <= batch.count; ++k) {
      const int length = k < batch.count ? batch.text(k, text) : 0;
      const bool show = length > 0 && text[length - 1] == 's';
      if (show && run < 0) run = k;
      if (!show && run >= 0) {
        // A run of one by Add, a longer one by AddRange.
        if (k - run == 1) {
          shown.Add(run);
        } else {
          shown.AddRange(run, k);
        }
        run = -1;
      }
    }
  }
  std::unique_ptr<LineTest> Clone() const override { return std::make_unique<EndsInS>(); }
};

// Extends the filter over the file as it stands and waits for it.
void ExtendOver(const GrowingFile& file, LineFilter& filter) {
  filter.Extend(file.Lines(), file.size());
  for (int i = 0; i < 16000 && !filter.CaughtUp(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(filter.CaughtUp());
}

// Every rank selects its line, and every line (and a few past the last)
// ranks as the shown lines before it.
void ExpectShown(const LineFilter& filter, const std::vector<int32_t>& shown, int32_t lines) {
  ASSERT_EQ(filter.ShownCount(), static_cast<int32_t>(shown.size()));
  for (size_t r = 0; r < shown.size(); ++r) {
    if (filter.ShownLine(static_cast<int32_t>(r)) != shown[r]) {
      FAIL() << "rank " << r << " selects " << filter.ShownLine(static_cast<int32_t>(r))
             << ", not line " << shown[r];
    }
  }
  for (int32_t n = 0; n < lines + 70; ++n) {
    const auto rank = std::lower_bound(shown.begin(), shown.end(), n) - shown.begin();
    if (filter.RankOf(n) != rank) FAIL() << "line " << n << " ranks " << filter.RankOf(n);
  }
}

uint32_t Hash(uint32_t n) {
  n = (n ^ 61) ^ (n >> 16);
  n *= 9;
  n ^= n >> 4;
  n *= 0x27d4eb2d;
  return n ^ (n >> 15);
}

TEST(LineFilterBitsTest, RankAndSelectAcrossWordsBlocksAndChunks) {
  const struct {
    const char* name;
    std::function<bool(int32_t)> shown;
  } kPatterns[] = {
      {"none", [](int32_t) { return false; }},
      {"all", [](int32_t) { return true; }},
      {"edges of words, blocks and chunks",
       [](int32_t n) {
         return n % 64 == 0 || n % 64 == 63 || n % 512 == 511 || n % 65536 == 65535;
       }},
      {"a chunk with none, then a chunk with all",
       [](int32_t n) { return n < 65536 ? n % 3 == 0 : n >= 131072; }},
      {"sparse and dense at random",
       [](int32_t n) { return Hash(static_cast<uint32_t>(n)) % (n < 100000 ? 997 : 4) != 0; }},
  };
  struct WorkerReset {
    ~WorkerReset() { SetWorkerCountForTest(0); }
  } reset;
  // The last line open on a chunk's (and word's) first line, and inside a
  // word; its first text shown or not, its end the other way.
  for (const auto& pattern : kPatterns) {
    for (const int32_t lines : {196609, 200003}) {
      for (const bool openShown : {true, false}) {
        for (const int workers : {1, 3}) {
          SCOPED_TRACE(std::string(pattern.name) + ", " + std::to_string(lines) + " lines, " +
                       (openShown ? "open line shown" : "open line hidden") + ", " +
                       std::to_string(workers) + " workers");
          SetWorkerCountForTest(workers);
          GrowingFile file;
          std::vector<int32_t> shown;
          std::string text;
          const int32_t open = lines - 1;
          for (int32_t n = 0; n < open; ++n) {
            text += std::to_string(n) + (pattern.shown(n) ? " s\n" : " h\n");
            if (pattern.shown(n)) shown.push_back(n);
          }
          file.Append(text + std::to_string(open) + (openShown ? " s" : " h"));
          // Runs of about 1,400 lines: pieces of 256 lines from anywhere.
          LineFilter filter(LineFilter::Job{0, file.fd(), file.index(), 4,
                                            std::make_unique<EndsInS>(), nullptr, 10007},
                            nullptr);
          ExtendOver(file, filter);
          std::vector<int32_t> before = shown;
          if (openShown) before.push_back(open);
          ExpectShown(filter, before, lines);

          file.Append(openShown ? "h\n" : "s\n");
          if (!openShown) shown.push_back(open);
          text.clear();
          for (int32_t n = lines; n < lines + 700; ++n) {
            text += std::to_string(n) + (pattern.shown(n) ? " s\n" : " h\n");
            if (pattern.shown(n)) shown.push_back(n);
          }
          file.Append(text);
          ExtendOver(file, filter);
          ExpectShown(filter, shown, lines + 700);
        }
      }
    }
  }
}

}  // namespace
