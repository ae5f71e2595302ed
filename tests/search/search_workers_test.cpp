// The scan with the workers' filter against the line-by-line oracle, with 1,
// 2, 3 and 8 workers, down and up, single and continuous: documents of many
// blocks whose needles sit at block edges, in CR LF lines, in double-byte
// text (a raw candidate on a trail byte is no hit), in the file's last line,
// and in blocks far apart; ignore case, a regex with a required run and
// regexes without one.
#include <random>
#include <string>
#include <tuple>

#include "search_fixture.h"
#include "store/slots.h"
#include "store/workers.h"

namespace {

// Lines of 8 to 60 bytes over `blocks` blocks; a needle goes into the lines
// of `places` (line numbers), each in one of several shapes.
std::string ManyBlocks(int blocks, const std::vector<int32_t>& places, uint64_t seed) {
  std::mt19937_64 random(seed);
  std::string bytes;
  size_t next = 0;
  const int32_t lines = blocks * kLinesPerBlock + 100;
  for (int32_t line = 0; line < lines; ++line) {
    const size_t length = 8 + random() % 53;
    for (size_t i = 0; i < length; ++i) bytes += static_cast<char>('a' + random() % 20);
    if (next < places.size() && places[next] == line) {
      switch (next++ % 5) {
        case 0:
          bytes += "xZQXJy";
          break;
        case 1:
          bytes += "\t zqxj";  // lower case: only ignore case finds it
          break;
        case 2:
          bytes +=
              "\x83\x5a"
              "ZQXJ";  // after a double-byte character
          break;
        case 3:
          bytes += "\x88ZQXJ\x88";  // its first byte a trail byte: no plain hit
          break;
        default:
          bytes += std::string(3000, 'a') + "ZQXJ";  // a line longer than its text
          break;
      }
    }
    bytes += random() % 3 == 0 ? "\r\n" : "\n";
  }
  bytes += "last ZQXJ";  // the file's last line, without a line feed
  return bytes;
}

class WorkersSearchTest : public SearchTest {
 protected:
  void TearDown() override {
    SetWorkerCountForTest(0);
    SearchTest::TearDown();
  }
};

TEST_F(WorkersSearchTest, EveryWorkerCountGivesTheOraclesHits) {
  const int blocks = 40;
  const std::vector<int32_t> places = {0,
                                       kLinesPerBlock - 1,
                                       kLinesPerBlock,
                                       3 * kLinesPerBlock + 17,
                                       10 * kLinesPerBlock - 1,
                                       10 * kLinesPerBlock,
                                       25 * kLinesPerBlock + 4000,
                                       25 * kLinesPerBlock + 4001,
                                       39 * kLinesPerBlock + 8191};
  Open(ManyBlocks(blocks, places, 1));
  const int32_t count = SlotTable[CurrentSlot].LineCount;
  struct Query {
    const char* name;
    std::string pattern;
    bool ignoreCase, regex;
  };
  const std::vector<Query> queries = {
      {"Plain", "ZQXJ", false, false},
      {"IgnoreCase", "ZQXJ", true, false},
      {"RegexWithARun", "ZQX[J]", false, true},
      {"Absent", "QQQQQ", false, false},
      // No required run: the workers match joined lines, or line by line.
      {"RegexJoined", "[Z][Q][X][J]", false, true},
      {"RegexJoinedIgnoreCase", "[z]q[x]j", true, true},
      {"RegexEachLine", "[Z][^a-z][X][J]", false, true},
  };
  for (const int workers : {1, 2, 3, 8}) {
    SetWorkerCountForTest(workers);
    for (const Query& query : queries) {
      for (const bool down : {true, false}) {
        SCOPED_TRACE(std::string(query.name) + (down ? " down" : " up") + " with " +
                     std::to_string(workers) + " workers");
        options_ = SearchOptions{query.ignoreCase, query.regex, true, down};
        RunBoth(query.pattern, down ? 0 : count - 1, true);
        options_.Continuous = false;
        for (const int32_t top : {0, kLinesPerBlock - 1, 5 * kLinesPerBlock, 26 * kLinesPerBlock,
                                  count - 2, count - 1}) {
          RunBoth(query.pattern, top);
        }
      }
    }
  }
}

// Blocks with more starts of the needle than the workers list (every 30th
// line), with a list of them (every 150th), and the line after such a block:
// the scan takes the listed starts, and reads the crowded block itself.
TEST_F(WorkersSearchTest, ListedAndCrowdedBlocksGiveTheOraclesHits) {
  std::vector<int32_t> places;
  for (int32_t line = 2 * kLinesPerBlock; line < 3 * kLinesPerBlock; line += 30) {
    places.push_back(line);
  }
  for (int32_t line = 5 * kLinesPerBlock + 7; line < 6 * kLinesPerBlock; line += 150) {
    places.push_back(line);
  }
  places.push_back(6 * kLinesPerBlock);
  Open(ManyBlocks(8, places, 2));
  for (const int workers : {2, 3}) {
    SetWorkerCountForTest(workers);
    for (const auto& [pattern, ignoreCase, regex] :
         {std::tuple{"ZQXJ", false, false}, {"zqXJ", true, false}, {"ZQX[J]", false, true}}) {
      for (const bool down : {true, false}) {
        SCOPED_TRACE(std::string(pattern) + (down ? " down" : " up") + " with " +
                     std::to_string(workers) + " workers");
        options_ = SearchOptions{ignoreCase, regex, true, down};
        RunBoth(pattern, down ? 0 : SlotTable[CurrentSlot].LineCount - 1, true);
        options_.Continuous = false;
        for (const int32_t top : {2 * kLinesPerBlock + 31, 5 * kLinesPerBlock + 157,
                                  5 * kLinesPerBlock + 158, 6 * kLinesPerBlock - 1}) {
          RunBoth(pattern, top);
        }
      }
    }
  }
}

}  // namespace
