// The index built on a worker thread while the slot is in use, cancelled,
// resumed from an offset, stopped at the line limit, and past the old
// 50,003,967-line wall.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "store/indexer.h"
#include "store/linescan.h"
#include "store_fixture.h"

namespace {

class BackgroundTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    // The worker only signals; this thread pumps, as the event loop would.
    Hooks().index_wake = [this](int) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++wakes_;
      woken_.notify_all();
    };
    Hooks().index_progress = [this](FileSlot& slot) { progress_.push_back(slot.LineCount); };
  }
  void TearDown() override {
    HoldIndexersAfterChunks(-1);
    LimitIndexStartsForTest(-1);
    StoreTest::TearDown();
  }

  // Waits for the next wake after `seen` wakes, then pumps.
  void PumpAfterWake(int seen) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      woken_.wait(lock, [&] { return wakes_ > seen; });
    }
    PumpIndex(Slot());
  }

  std::mutex mutex_;
  std::condition_variable woken_;
  int wakes_ = 0;
  std::vector<int32_t> progress_;
};

TEST_F(BackgroundTest, LinesIndexedSoFarReadWhileTheRestIsIndexed) {
  // 10-byte lines over 20 MB: the first scan window (8 MiB) ends the first
  // step, and the hold keeps the rest waiting.
  HoldIndexersAfterChunks(1);
  const std::string path = OpenBytes(NumberedLines(2000000), "grow.txt");
  ASSERT_EQ(0, result);
  EXPECT_FALSE(IndexComplete(Slot()));
  PumpAfterWake(0);
  const int32_t partial = Slot().LineCount;
  EXPECT_EQ((8 << 20) / 10, partial);  // lines whose line feed lies in the window
  EXPECT_EQ(41, IndexShare(Slot()));   // 8 MiB scanned out of 20,000,000 bytes, rounded down
  EXPECT_FALSE(IndexComplete(Slot()));
  for (int32_t line : {0, partial / 2, partial - 1}) {
    EXPECT_EQ(NumberedLines(line + 1, "").substr(static_cast<size_t>(line) * 8),
              GetLine(Slot(), line));
  }
  EXPECT_EQ("", GetLine(Slot(), partial));  // not known yet

  HoldIndexersAfterChunks(-1);
  WaitForIndex(Slot());
  EXPECT_TRUE(IndexComplete(Slot()));
  EXPECT_EQ(2000000, Slot().LineCount);
  EXPECT_EQ("L1999999", GetLine(Slot(), 1999999));
  EXPECT_EQ(100, IndexShare(Slot()));
  const std::vector<std::string> expected = {
      "caption 0 grow.txt",         "status 1 " + path, "status 7 Shift_JIS", kStartLine(),
      "first_page 838860 L0000000", "status 3 838860",  "status 3 2000000",   kEndLine(),
      "index_done 2000000"};
  EXPECT_EQ(expected, events);
  // The count only grows, and the first report comes before any line.
  ASSERT_GE(progress_.size(), 2u);
  EXPECT_EQ(0, progress_.front());
  for (size_t i = 1; i < progress_.size(); ++i) EXPECT_LE(progress_[i - 1], progress_[i]);
}

TEST_F(BackgroundTest, CancelAndCloseEndTheOpenAndReleaseTheFile) {
  struct Row {
    const char* name;
    bool cancel;  // else close
    std::vector<std::string> tail;
  };
  const std::vector<Row> rows = {
      {"Cancel", true, {"caption 0 ", "log # ファイルオープンを中止しました: "}},
      {"Close", false, {"caption 0 "}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    HoldIndexersAfterChunks(1);
    int seen = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      seen = wakes_;
    }
    const std::string path = OpenBytes(NumberedLines(2000000), "stop.txt");
    ASSERT_EQ(0, result);
    PumpAfterWake(seen);
    events.clear();
    if (row.cancel) {
      EXPECT_EQ(0, CancelIndex(Slot()));
      EXPECT_EQ(-1, CancelIndex(Slot()));  // nothing left to cancel
    } else {
      CloseDocument();
    }
    std::vector<std::string> tail = row.tail;
    if (row.cancel) tail.back() += path;
    EXPECT_EQ(tail, events);
    EXPECT_EQ(nullptr, Slot().ViewBase);
    EXPECT_EQ(nullptr, Slot().Index);
    EXPECT_EQ(nullptr, Slot().Worker);
    EXPECT_EQ(-1, Slot().FileHandle);
    EXPECT_EQ(0, Slot().LineCount);
    EXPECT_EQ("", GetLine(Slot(), 0));
    PumpIndex(Slot());  // a wake still queued finds nothing to do
    // Nothing stays locked: the file opens again, to its end.
    HoldIndexersAfterChunks(-1);
    EXPECT_EQ(0, OpenDocument(path));
    WaitForIndex(Slot());
    EXPECT_EQ(2000000, Slot().LineCount);
    CloseDocument();
  }
}

TEST_F(BackgroundTest, AFileCutWhileItsIndexIsBuiltEndsAtItsNewEnd) {
  // The scan's window covers the whole 20 MB file and gives back each
  // stretch once scanned: the cut, past the first stretch, falls in the
  // part still mapped, whose pages vanish under the scan.
  HoldIndexersAfterChunks(1);
  const std::string path = OpenBytes(NumberedLines(2000000), "cut.txt");
  ASSERT_EQ(0, result);
  PumpAfterWake(0);
  ASSERT_EQ(0, ::truncate(path.c_str(), 1500000 * 10 + 4));
  HoldIndexersAfterChunks(-1);
  for (int i = 0; i < 2000 && (!IndexComplete(Slot()) || Slot().LineCount != 1500001); ++i) {
    PumpIndex(Slot());
    ::usleep(10000);
  }
  EXPECT_TRUE(IndexComplete(Slot()));
  EXPECT_EQ(1500001, Slot().LineCount);
  EXPECT_EQ("L1499999", GetLine(Slot(), 1499999));
  EXPECT_EQ("L150", GetLine(Slot(), 1500000));
}

TEST(IndexWorkerTest, AResumedIndexEqualsOneBuiltInOneRun) {
  // Lines of every awkward length, the file cut at every kind of place.
  std::string bytes;
  const size_t lengths[] = {0, 1, 254, 255, 256, 65535, 65536, size_t{3} << 20, 7, 0, 12};
  for (size_t length : lengths) {
    bytes += std::string(length, 'x') + "\n";
  }
  bytes += "partial last line";
  TempDir dir;
  const std::string path = dir.Write("resume.txt", bytes);
  const int fd = ::open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  auto build = [&](const std::vector<uint64_t>& cuts) {
    LineIndex index;
    index.Append(0);
    uint64_t from = 0;
    for (uint64_t to : cuts) {
      IndexWorker::Job job;
      job.map_fd = fd;
      job.from = from;
      job.to = to;
      job.index = &index;
      IndexWorker worker(job, nullptr);
      worker.RunHere();
      EXPECT_EQ(IndexWorker::Outcome::kComplete, worker.outcome());
      EXPECT_EQ(to, worker.ScannedTo());
      from = to;
    }
    std::vector<uint64_t> starts(static_cast<size_t>(index.Size()));
    index.Starts(0, index.Size(), starts.data());
    return starts;
  };
  std::vector<uint64_t> model = {0};
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\n') model.push_back(i + 1);
  }
  const uint64_t size = bytes.size();
  ASSERT_EQ(model, build({size}));
  const uint64_t long_start = model[6];  // the 65536-byte line
  struct Row {
    const char* name;
    std::vector<uint64_t> cuts;
  };
  const std::vector<Row> rows = {
      {"AfterALineFeed", {model[3], size}},
      {"RightOnALineFeed", {model[3] - 1, size}},
      {"InsideALongLine", {long_start + 4097, size}},
      {"InsideTheHugeLine", {model[7] + (1u << 20), model[7] + (2u << 20) + 3, size}},
      {"InsideThePartialLastLine", {size - 5, size}},
      {"EveryFewBytes", {1, 2, 3, 300, 70000, 70001, size - 1, size}},
  };
  for (const Row& row : rows) EXPECT_EQ(model, build(row.cuts)) << row.name;
  ::close(fd);
}

TEST_F(BackgroundTest, TheLineLimitKeepsTheLinesItHasAndSaysSo) {
  Hooks().index_wake = nullptr;  // indexed in the call
  struct Row {
    const char* name;
    int lines;
    int32_t count;
    bool told;
  };
  const std::vector<Row> rows = {
      {"FarPast", 150, 100, true},
      {"OnePast", 101, 100, true},
      {"ExactlyAtTheLimit", 100, 100, false},  // the end start is no line
  };
  LimitIndexStartsForTest(100);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    OpenBytes(NumberedLines(row.lines), std::string(row.name) + ".txt");
    ASSERT_EQ(0, result);
    EXPECT_EQ(row.count, Slot().LineCount);
    EXPECT_EQ("L0000099", GetLine(Slot(), 99));
    EXPECT_EQ("", GetLine(Slot(), 100));
    const std::string limit =
        "error ファイルの行数が上限の 2,147,483,646 行を超えるので、2,147,483,646 "
        "行目までを表示します: " +
        Slot().FileName;
    EXPECT_EQ(row.told, events.back() == limit);
    EXPECT_EQ(std::string("index_done 100"), events[events.size() - (row.told ? 2 : 1)]);
    events.clear();
    CloseDocument();
  }
}

TEST_F(StoreTest, MoreLinesThanTheOldFiftyMillionWall) {
  // 50,003,967 empty lines (LF only), then numbered ones: the old table
  // stopped right before them.
  constexpr int32_t kOldWall = 50003967;
  std::string bytes(static_cast<size_t>(kOldWall), '\n');
  bytes += NumberedLines(1000);
  OpenBytes(bytes, "many.txt");
  std::string().swap(bytes);
  ASSERT_EQ(0, result);
  EXPECT_EQ(kOldWall + 1000, Slot().LineCount);
  for (int32_t n : {0, 1, 500, 999}) {
    EXPECT_EQ(NumberedLines(n + 1, "").substr(static_cast<size_t>(n) * 8),
              GetLine(Slot(), kOldWall + n));
  }
  EXPECT_EQ("", GetLine(Slot(), kOldWall - 1));
  EXPECT_EQ(uint64_t{kOldWall} - 1, LineStart(Slot(), kOldWall - 1));
  EXPECT_EQ(0, std::count_if(events.begin(), events.end(), [](const std::string& e) {
              return e.rfind("error ファイルの行数が上限", 0) == 0;
            }));
}

}  // namespace
