// Opening, indexing, remapping and closing: run boundaries, the window,
// the log, and the states after a failed open.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "store_fixture.h"

namespace {

struct CountCase {
  const char* name;
  std::string bytes;
  int32_t line_count;
};

TEST_F(StoreTest, LineCountsAtTheRunBoundaries) {
  // 16-byte lines: 8192 of them fill exactly 32 pages, so the file ends on
  // a page boundary.
  const std::vector<CountCase> cases = {
      {"8191Lines", NumberedLines(8191), 8191},
      {"8192Lines", NumberedLines(8192), 8192},
      {"8192LinesNoFinalLineFeed", NumberedLines(8192).substr(0, 8192 * 10 - 2), 8192},
      {"8193Lines", NumberedLines(8193), 8193},
      {"8192LinesEndingOnAPage", NumberedLines(8192, "\r\n", 14), 8192},
      {"8193rdLineStartsOnAPage", NumberedLines(8193, "\r\n", 14), 8193},
      {"16384Lines", NumberedLines(16384), 16384},
  };
  for (const CountCase& c : cases) {
    SCOPED_TRACE(c.name);
    OpenBytes(c.bytes, std::string(c.name) + ".txt");
    ASSERT_EQ(0, result);
    EXPECT_EQ(c.line_count, Slot().LineCount);
    // Every line reads back, across every block boundary, in any order.
    const int width = static_cast<int>(c.bytes.find('\r'));
    for (int32_t line : {c.line_count - 1, 0, 8191, 8190, c.line_count - 2}) {
      if (line < 0 || line >= c.line_count) continue;
      EXPECT_EQ(NumberedLines(line + 1, "", width).substr(static_cast<size_t>(line * width)),
                GetLine(Slot(), line));
    }
    CloseDocument();
  }
}

TEST_F(StoreTest, RemapsOnlyWhenTheLineLiesOutsideTheWindow) {
  // 10-byte lines over 20 MB: windows of 16 MiB start at multiples of 8 MiB.
  OpenBytes(NumberedLines(2000000));
  ASSERT_EQ(0, result);
  constexpr int32_t kAt8MiB = (8 << 20) / 10 + 1;  // first line in the second 8 MiB
  constexpr int32_t kAt16MiB = (16 << 20) / 10;    // its 2048 bytes pass 16 MiB
  struct Step {
    int32_t line;
    uint64_t maps;
    uint64_t window;
  };
  const std::vector<Step> steps = {
      {0, 0, 0},                      // the window mapped by the open
      {kAt16MiB - 300, 0, 0},         // its text ends inside [0, 16 MiB)
      {kAt16MiB - 100, 1, 8u << 20},  // its text does not: [8, 24) MiB
      {kAt8MiB, 0, 8u << 20},         // inside the new window
      {1999999, 0, 8u << 20},         // the file's end lies inside it too
      {kAt8MiB - 1, 1, 0},            // before it: back to [0, 16) MiB
  };
  for (const Step& step : steps) {
    const uint64_t before = store_platform::MapCallCount();
    EXPECT_EQ(NumberedLines(step.line + 1, "").substr(static_cast<size_t>(step.line) * 8),
              GetLine(Slot(), step.line));
    EXPECT_EQ(step.maps, store_platform::MapCallCount() - before) << step.line;
    EXPECT_EQ(step.window, Slot().WindowOffset) << step.line;
  }
}

TEST_F(StoreTest, OpenWritesTheLogCaptionStatusAndDrawsTheFirstPageEarly) {
  const std::string path = OpenBytes(NumberedLines(9000), "report.txt");
  ASSERT_EQ(0, result);
  const std::vector<std::string> expected = {
      "caption 0 report.txt",     "status 1 " + path, "status 7 Shift_JIS", kStartLine(),
      "first_page 9000 L0000000", "status 3 9000",    "status 3 9000",      kEndLine(),
      "index_done 9000",
  };
  EXPECT_EQ(expected, events);
  EXPECT_EQ("report_map", Slot().MapName);
  EXPECT_EQ(path, Slot().FileName);
}

TEST_F(StoreTest, MappingNames) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/a/b/report.txt", "report_map"},
      {"report", "report_map"},
      {"/x/archive.tar.gz", "archive.tar_map"},
      {"/x.y/plain", "plain_map"},
  };
  for (const auto& [path, name] : cases) EXPECT_EQ(name, store_platform::MappingName(path)) << path;
}

TEST_F(StoreTest, ReopenIntoASlotThatHeldALargerFile) {
  OpenBytes(NumberedLines(30000), "big.txt");
  ASSERT_EQ(0, result);
  GetLine(Slot(), 100);
  OpenBytes("one\r\ntwo\r\n", "small.txt");
  ASSERT_EQ(0, result);
  EXPECT_EQ(2, Slot().LineCount);
  EXPECT_EQ(3, Slot().Index->Size());  // the two lines and the end of the file
  EXPECT_EQ((std::vector<std::string>{"one", "two"}), AllLines());
  EXPECT_EQ("", GetLine(Slot(), 8192));
}

TEST_F(StoreTest, CloseReleasesEverythingAndResetsTheFields) {
  const std::string path = OpenBytes(NumberedLines(30000));
  ASSERT_EQ(0, result);
  GetLine(Slot(), 0);  // scrolled back to the start
  Slot().TopLine = 7;
  Slot().LeftColumn = 3;
  events.clear();
  CloseDocument();
  EXPECT_EQ(nullptr, Slot().Index);
  EXPECT_EQ(nullptr, Slot().ViewBase);
  EXPECT_EQ(-1, Slot().FileHandle);
  EXPECT_EQ(-1, Slot().MapHandle);
  EXPECT_EQ("", Slot().FileName);
  EXPECT_EQ(0, Slot().TopLine);
  EXPECT_EQ(0, Slot().LineCount);
  EXPECT_EQ(0, Slot().LeftColumn);
  EXPECT_EQ(std::vector<std::string>{"caption 0 "}, events);
  // The file opens again, into another slot as well.
  CurrentSlot = 1;
  EXPECT_EQ(0, OpenDocument(path));
  CloseDocument();
  events.clear();
  CurrentSlot = 2;
  CloseDocument();  // an empty slot: nothing at all happens
  EXPECT_EQ(std::vector<std::string>{}, events);
}

std::string CannotOpenLine(const std::string& reason, const std::string& path) {
  return "log # *** ERROR *** ファイルを開けません（" + reason + "）: " + path;
}

TEST_F(StoreTest, TheSameFileInTwoSlotsIsRefusedByDeviceAndInode) {
  const std::string path = OpenBytes(NumberedLines(10));
  ASSERT_EQ(0, result);
  const std::string hardLink = dir.path() + "/hard-link.txt";
  ASSERT_EQ(0, ::link(path.c_str(), hardLink.c_str()));
  const std::string symLink = dir.path() + "/sym-link.txt";
  ASSERT_EQ(0, ::symlink(path.c_str(), symLink.c_str()));
  const std::string sameFolder = dir.path() + "/./doc.txt";
  for (const std::string& other : {path, hardLink, symLink, sameFolder}) {
    SCOPED_TRACE(other);
    events.clear();
    CurrentSlot = 1;
    EXPECT_EQ(-1, OpenDocument(other));
    EXPECT_EQ(nullptr, Slot().ViewBase);
    EXPECT_EQ(-1, Slot().FileHandle);
    EXPECT_EQ(other, Slot().FileName);
    EXPECT_EQ(std::vector<std::string>{CannotOpenLine("スロット 0 のタブで開いています", other)},
              events);
    EXPECT_EQ("L0000009", GetLine(SlotTable[0], 9));
  }
  // The slot that holds the file opens it again (the old document is
  // closed first), and a copy of it is another file.
  CurrentSlot = 0;
  EXPECT_EQ(0, OpenDocument(hardLink));
  CurrentSlot = 1;
  EXPECT_EQ(0, OpenDocument(dir.Write("copy.txt", NumberedLines(10))));
}

TEST_F(StoreTest, AnOpenDocumentKeepsNoOtherProgramOut) {
  const std::string path = OpenBytes(NumberedLines(10));
  ASSERT_EQ(0, result);
  // Another program (a second viewer) opens, locks and reads the same file.
  const int fd = ::open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(0, ::flock(fd, LOCK_EX | LOCK_NB));
  char first[8] = {};
  EXPECT_EQ(8, ::read(fd, first, sizeof first));
  EXPECT_EQ("L0000000", std::string(first, sizeof first));
  ::close(fd);
}

struct FailCase {
  const char* name;
  std::string (*make)(const TempDir&);
  const char* reason;
};

TEST_F(StoreTest, FailedOpensLeaveTheSlotEmptyAndLogWhy) {
  const std::vector<FailCase> cases = {
      {"Missing", [](const TempDir& d) { return d.path() + "/missing.txt"; },
       "ファイルが見つかりません"},
      {"MissingFolder", [](const TempDir& d) { return d.path() + "/nowhere/missing.txt"; },
       "ファイルが見つかりません"},
      {"Directory", [](const TempDir& d) { return d.path(); }, "フォルダーです"},
      {"Fifo",
       [](const TempDir& d) {
         const std::string path = d.path() + "/fifo";
         ::mkfifo(path.c_str(), 0600);
         return path;
       },
       "通常のファイルではありません"},
      {"Device", [](const TempDir&) { return std::string("/dev/zero"); },
       "通常のファイルではありません"},
      {"NoReadPermission",
       [](const TempDir& d) {
         const std::string path = d.Write("secret.txt", "secret\r\n");
         ::chmod(path.c_str(), 0200);
         return path;
       },
       "読み取りの権限がありません"},
  };
  for (const FailCase& c : cases) {
    SCOPED_TRACE(c.name);
    // Permissions do not hold for the superuser.
    if (std::string(c.name) == "NoReadPermission" && ::geteuid() == 0) continue;
    // The slot held a document before: its caption is cleared by the close.
    OpenBytes("previous\r\n", std::string(c.name) + ".prev");
    ASSERT_EQ(0, result);
    events.clear();
    const std::string path = c.make(dir);
    EXPECT_EQ(-1, OpenDocument(path));
    EXPECT_EQ(nullptr, Slot().ViewBase);
    EXPECT_EQ(-1, Slot().FileHandle);
    EXPECT_EQ(-1, Slot().MapHandle);
    EXPECT_EQ(path, Slot().FileName);
    EXPECT_EQ(0, Slot().LineCount);
    EXPECT_EQ((std::vector<std::string>{"caption 0 ", CannotOpenLine(c.reason, path)}), events);
  }
}

TEST_F(StoreTest, ResetSlotTableEmptiesEverySlotAndReleasesItsFiles) {
  std::vector<std::string> paths;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    CurrentSlot = slot;
    paths.push_back(OpenBytes(NumberedLines(9000 + slot), "doc" + std::to_string(slot) + ".txt"));
    ASSERT_EQ(0, result);
    Slot().SelStartLine = 5;
  }
  ResetSlotTable();
  EXPECT_EQ(0, CurrentSlot);
  for (const FileSlot& slot : SlotTable) {
    EXPECT_EQ(nullptr, slot.ViewBase);
    EXPECT_EQ(-1, slot.FileHandle);
    EXPECT_EQ(-1, slot.MapHandle);
    EXPECT_EQ(-1, slot.SelStartLine);
    EXPECT_EQ(-1, slot.SelEndColumn);
    EXPECT_EQ(nullptr, slot.Index);
    EXPECT_EQ(0, slot.LineCount);
  }
  // No slot still claims its file.
  for (const std::string& path : paths) {
    EXPECT_EQ(0, OpenDocument(path));
    CloseDocument();
  }
}

}  // namespace
