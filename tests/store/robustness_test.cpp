// Files that would otherwise crash the viewer or show wrong text: very long
// lines, a file truncated while open, and an index that runs out of memory.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "store_fixture.h"

namespace {

// A line whose first bytes name it, padded with letters to length bytes.
std::string LongLine(int number, size_t length) {
  std::string line = "#" + std::to_string(number) + ":";
  while (line.size() < length) line += static_cast<char>('a' + line.size() % 26);
  return line;
}

struct LongCase {
  const char* name;
  int lines;
  size_t length;
};

TEST_F(StoreTest, LongLinesReadBackWhateverTheirLength) {
  // 8192 lines of 3 KiB span 24 MiB; lines of several MiB outgrow any
  // 16 MiB window on their own, and the first page's lines too.
  const std::vector<LongCase> cases = {
      {"ThreeKiBLines", 8192 + 700, 3 * 1024},
      {"SixMiBLines", 5, 6u << 20},
      {"SeventeenMiBLine", 2, 17u << 20},
  };
  for (const LongCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes;
    for (int i = 0; i < c.lines; ++i) bytes += LongLine(i, c.length) + "\r\n";
    bytes += "tail";
    OpenBytes(bytes, std::string(c.name) + ".txt");
    ASSERT_EQ(0, result);
    ASSERT_EQ(c.lines + 1, Slot().LineCount);
    for (int line : {c.lines - 1, 0, c.lines / 2, 8191, 8192}) {
      if (line >= c.lines) continue;
      EXPECT_EQ(LongLine(line, c.length).substr(0, kMaxLineText), GetLine(Slot(), line)) << line;
    }
    EXPECT_EQ("tail", GetLine(Slot(), c.lines));
    CloseDocument();
  }
}

TEST_F(StoreTest, ATruncatedFileReadsAsEmptyPastItsNewEnd) {
  const std::string path = OpenBytes(NumberedLines(30000));
  ASSERT_EQ(0, result);
  // Cut in the middle of line 12000 (10-byte lines), well inside block 1.
  ASSERT_EQ(0, ::truncate(path.c_str(), 12000 * 10 + 4));
  events.clear();
  struct Fetch {
    int32_t line;
    std::string text;
  };
  const std::vector<Fetch> fetches = {
      {29999, ""},  // the mapped last block: its pages are gone
      {25000, ""},         {12001, ""},     {12000, "L001"},  // cut at the new end
      {11999, "L0011999"}, {0, "L0000000"}, {8191, "L0008191"}, {29000, ""},
  };
  for (const Fetch& f : fetches) EXPECT_EQ(f.text, GetLine(Slot(), f.line)) << f.line;
  EXPECT_TRUE(Slot().Truncated);
  EXPECT_EQ(uint64_t{12000 * 10 + 4}, Slot().TruncatedSize);
  // The file is followed: instead of a notice, the watcher is asked to look
  // at once, and the next pump reads the shorter file from the start.
  EXPECT_TRUE(events.empty());
  for (int i = 0; i < 2000 && Slot().Truncated; ++i) {
    PumpIndex(Slot());
    if (Slot().Truncated) ::usleep(10000);
  }
  EXPECT_FALSE(Slot().Truncated);
  EXPECT_EQ(12001, Slot().LineCount);
  EXPECT_EQ("L001", GetLine(Slot(), 12000));
  CloseDocument();
  EXPECT_FALSE(Slot().Truncated);
  // The same slot opens the shorter file as a new document.
  EXPECT_EQ(0, OpenDocument(path));
  EXPECT_EQ(12001, Slot().LineCount);
  EXPECT_FALSE(Slot().Truncated);
}

TEST_F(StoreTest, RunningOutOfIndexMemoryEndsTheOpenAndReleasesTheSlot) {
  struct Case {
    const char* name;
    int failing_append;  // batches of 65536 starts
  };
  const std::vector<Case> cases = {{"FirstBatch", 1}, {"SecondBatch", 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.Write("oom.txt", NumberedLines(70000));
    events.clear();
    FailIndexAppendAt(c.failing_append);
    EXPECT_EQ(-1, OpenDocument(path));
    std::vector<std::string> expected = {"caption 0 oom.txt", "status 1 " + path,
                                         "status 7 Shift_JIS", kStartLine()};
    expected.push_back("error メモリが不足しているため、行インデックスを作成できません: " + path);
    expected.push_back("log #*** ERROR *** ファイルオープンエラー");
    EXPECT_EQ(expected, events);
    EXPECT_EQ(nullptr, Slot().ViewBase);
    EXPECT_EQ(-1, Slot().FileHandle);
    EXPECT_EQ(-1, Slot().MapHandle);
    EXPECT_EQ(nullptr, Slot().Index);
    EXPECT_EQ(0, Slot().LineCount);
    // Nothing stays locked or half-built: the file opens at the next try.
    EXPECT_EQ(0, OpenDocument(path));
    EXPECT_EQ(70000, Slot().LineCount);
    CloseDocument();
  }
}

TEST_F(StoreTest, AWindowThatCannotBeMappedDuringTheOpen) {
  const std::string os_text = std::strerror(ENOMEM);
  struct Case {
    const char* name;
    int failing_map;  // 1: the first window, 2: the index builder's first window
    std::vector<std::string> events;
  };
  const std::string path = dir.Write("map.txt", NumberedLines(20000));
  const std::vector<Case> cases = {
      {"FirstWindow", 1, {"error " + os_text}},
      {"DuringTheScan",
       2,
       {"caption 0 map.txt", "status 1 " + path, "status 7 Shift_JIS", kStartLine(),
        "error " + os_text, "log #*** ERROR *** ファイルオープンエラー"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    events.clear();
    store_platform::FailWindowMapAt(c.failing_map);
    EXPECT_EQ(-1, OpenDocument(path));
    EXPECT_EQ(c.events, events);
    EXPECT_EQ(nullptr, Slot().ViewBase);
    EXPECT_EQ(-1, Slot().FileHandle);
    EXPECT_EQ(-1, Slot().MapHandle);
    EXPECT_EQ(nullptr, Slot().Index);
    EXPECT_EQ(0, OpenDocument(path));  // nothing left locked
    CloseDocument();
  }
}

TEST_F(StoreTest, AFailedRemapKeepsTheWindowThatWasMapped) {
  // 20 MB: the last line lies outside the first 16 MiB window.
  OpenBytes(NumberedLines(2000000));
  ASSERT_EQ(0, result);
  const char* base = Slot().ViewBase;
  ASSERT_EQ(0u, Slot().WindowOffset);
  store_platform::FailWindowMapAt(1);
  events.clear();
  EXPECT_EQ("", GetLine(Slot(), 1999999));
  EXPECT_EQ(base, Slot().ViewBase);
  EXPECT_EQ(0u, Slot().WindowOffset);
  EXPECT_EQ("L0000000", GetLine(Slot(), 0));        // the old window still serves
  EXPECT_EQ("L1999999", GetLine(Slot(), 1999999));  // and the next remap works
  EXPECT_EQ(std::vector<std::string>{}, events);    // nothing is reported
}

}  // namespace
