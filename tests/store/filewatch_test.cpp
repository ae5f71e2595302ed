#include "store/filewatch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace {

namespace fs = std::filesystem;

class FileWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("dolmik-watch-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    path_ = (folder_ / "app.log").string();
    Write("one\ntwo\n", std::ios::trunc);
  }
  void TearDown() override {
    for (int fd : fds_) ::close(fd);
    fs::remove_all(folder_);
  }
  void Write(const std::string& bytes, std::ios::openmode mode = std::ios::app) {
    std::ofstream out(path_, std::ios::binary | mode);
    out << bytes;
  }
  int Open() {
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    fds_.push_back(fd);
    return fd;
  }
  fs::path folder_;
  std::string path_;
  std::vector<int> fds_;
};

// What the watcher compares: the acknowledged size and the open file against
// the file system now.
TEST_F(FileWatchTest, CompareTellsEachKindOfChange) {
  const int fd = Open();  // 8 bytes
  struct Case {
    const char* name;
    std::function<void()> step;
    int64_t acknowledged;
    bool changed;
    FileChange::Kind kind;
    int64_t size;
  };
  const Case cases[] = {
      {"unchanged", [] {}, 8, false, FileChange::kGrew, 0},
      {"grown", [&] { Write("three\n"); }, 8, true, FileChange::kGrew, 14},
      {"acknowledged", [] {}, 14, false, FileChange::kGrew, 0},
      {"truncated", [&] { fs::resize_file(path_, 4); }, 14, true, FileChange::kShrank, 4},
      {"renamed away, no new file yet", [&] { fs::rename(path_, folder_ / "app.log.1"); }, 4, false,
       FileChange::kGrew, 0},
      {"old file grows after the rename",
       [&] { std::ofstream(folder_ / "app.log.1", std::ios::binary | std::ios::app) << "x\n"; }, 4,
       true, FileChange::kGrew, 6},
      {"new file at the name", [&] { Write("new\n", std::ios::trunc); }, 6, true,
       FileChange::kReplaced, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.step();
    FileChange change{};
    ASSERT_EQ(FileWatcher::Compare(fd, path_, c.acknowledged, false, &change), c.changed);
    if (!c.changed) continue;
    EXPECT_EQ(change.kind, c.kind);
    EXPECT_EQ(change.size, c.size);
  }
}

// The thread: reports arrive without polling from the test, one per change
// until acknowledged, and follow the new file after a rotation.
TEST_F(FileWatchTest, ThreadReportsGrowthTruncationAndRotation) {
  std::mutex mutex;
  std::condition_variable arrived;
  std::deque<FileChange> changes;
  const int fd = Open();
  FileWatcher watcher(fd, path_, 8, [&](const FileChange& change) {
    std::lock_guard<std::mutex> lock(mutex);
    changes.push_back(change);
    arrived.notify_all();
    return false;
  });
  // Generous: a liveness bound, not a speed figure.
  auto next = [&]() -> FileChange {
    std::unique_lock<std::mutex> lock(mutex);
    if (!arrived.wait_for(lock, std::chrono::seconds(20), [&] { return !changes.empty(); }))
      return {FileChange::kGrew, -1};
    FileChange change = changes.front();
    changes.pop_front();
    return change;
  };

  Write("three\n");
  FileChange change = next();
  EXPECT_EQ(change.kind, FileChange::kGrew);
  EXPECT_EQ(change.size, 14);
  // Unacknowledged: more growth is not reported on its own...
  Write("four\n");
  watcher.Poke();
  // ...and is reported once the first change is taken in.
  watcher.Acknowledge(fd, 14);
  change = next();
  EXPECT_EQ(change.kind, FileChange::kGrew);
  EXPECT_EQ(change.size, 19);
  watcher.Acknowledge(fd, 19);

  fs::resize_file(path_, 0);
  change = next();
  EXPECT_EQ(change.kind, FileChange::kShrank);
  EXPECT_EQ(change.size, 0);
  watcher.Acknowledge(fd, 0);

  fs::rename(path_, folder_ / "app.log.1");
  Write("fresh\n", std::ios::trunc);
  change = next();
  EXPECT_EQ(change.kind, FileChange::kReplaced);
  // The new file may be seen before its first write lands.
  EXPECT_LE(change.size, 6);
  const int fresh = Open();
  watcher.Acknowledge(fresh, change.size);

  Write("more\n");
  // Growth of the new file, possibly in two reports.
  do {
    change = next();
    ASSERT_EQ(change.kind, FileChange::kGrew);
    watcher.Acknowledge(fresh, change.size);
  } while (change.size > 0 && change.size < 11);
  EXPECT_EQ(change.size, 11);
}

}  // namespace
