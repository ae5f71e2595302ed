// Files that would otherwise crash the viewer or show wrong text: very long
// lines, files of 4 GiB and more, a file truncated while open, and an index
// that runs out of memory.
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

TEST_F(StoreTest, BlocksOfLongLinesGetWindowsThatCoverThem) {
  // 8192 lines of 3 KiB span 24 MiB; lines of several MiB outgrow any
  // 16 MiB window on their own, and in block 0 before the first page.
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
    const LineBlock& first = Slot().Blocks[0];
    const uint64_t block0_end = c.lines > 8192 ? 8192 * (c.length + 2) : bytes.size();
    EXPECT_GE(uint64_t{first.WindowOffset} + first.WindowLength, block0_end);
    CloseDocument();
  }
}

TEST_F(StoreTest, FilesOf4GiBOrMoreAreRefusedWithAMessage) {
  for (const uint64_t size : {uint64_t{4} << 30, (uint64_t{5} << 30) + 10}) {
    const std::string path = dir.Write("huge.log", "");
    ASSERT_EQ(0, ::truncate(path.c_str(), static_cast<off_t>(size)));  // sparse
    events.clear();
    EXPECT_EQ(-1, OpenDocument(path));
    EXPECT_EQ(std::vector<std::string>{"error ファイルが大きすぎます（4 GiB "
                                       "以上のファイルは開けません）: " +
                                       path},
              events);
    EXPECT_EQ(nullptr, Slot().ViewBase);
    EXPECT_EQ(-1, Slot().FileHandle);
    EXPECT_EQ(-1, Slot().MapHandle);
    EXPECT_EQ(0, Slot().LineCount);
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
  EXPECT_EQ(uint32_t{12000 * 10 + 4}, Slot().TruncatedSize);
  EXPECT_EQ(std::vector<std::string>{"truncated"}, events);  // told once
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
    int failing_allocation;
    std::vector<std::string> first_events;  // before the error
  };
  const std::vector<Case> cases = {
      {"FirstPage", 1, {}},
      {"SecondPage", 2, {"first_page 8191 L0000000"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.Write("oom.txt", NumberedLines(20000));
    events.clear();
    store_platform::FailIndexPageAllocationAt(c.failing_allocation);
    EXPECT_EQ(-1, OpenDocument(path));
    std::vector<std::string> expected = {"caption 0 oom.txt", "status 1 " + path,
                                         "status 7 Shift_JIS", kStartLine()};
    expected.insert(expected.end(), c.first_events.begin(), c.first_events.end());
    expected.push_back("error メモリが不足しているため、行インデックスを作成できません: " + path);
    expected.push_back("log #*** ERROR *** ファイルオープンエラー");
    EXPECT_EQ(expected, events);
    EXPECT_EQ(nullptr, Slot().ViewBase);
    EXPECT_EQ(-1, Slot().FileHandle);
    EXPECT_EQ(-1, Slot().MapHandle);
    EXPECT_EQ(nullptr, Slot().Blocks[0].Lines);
    EXPECT_EQ(0, Slot().LineCount);
    // Nothing stays locked or half-built: the file opens at the next try.
    EXPECT_EQ(0, OpenDocument(path));
    EXPECT_EQ(20000, Slot().LineCount);
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
    EXPECT_EQ(nullptr, Slot().Blocks[0].Lines);
    EXPECT_EQ(0, OpenDocument(path));  // nothing left locked
    CloseDocument();
  }
}

TEST_F(StoreTest, AFailedRemapKeepsTheWindowThatWasMapped) {
  OpenBytes(NumberedLines(20000));
  ASSERT_EQ(0, result);
  const char* base = Slot().ViewBase;
  store_platform::FailWindowMapAt(1);
  events.clear();
  EXPECT_EQ("", GetLine(Slot(), 0));
  EXPECT_EQ(base, Slot().ViewBase);
  EXPECT_EQ(2, Slot().CurrentBlock);
  EXPECT_EQ("L0019999", GetLine(Slot(), 19999));  // the old window still serves
  EXPECT_EQ("L0000000", GetLine(Slot(), 0));      // and the next remap works
  EXPECT_EQ(std::vector<std::string>{}, events);  // nothing is reported
}

}  // namespace
