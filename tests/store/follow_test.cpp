// A document whose file grows, is truncated and is replaced while it is open:
// the index follows without a reopen.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "store/filewatch.h"
#include "store_fixture.h"

namespace {

class FollowTest : public StoreTest {
 protected:
  void Append(const std::string& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
  }
  void Rewrite(const std::string& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
  }
  // Pumps the slot until its lines are these (the watcher works on its own
  // thread); false when they never come. The bound is for liveness only.
  bool PumpUntil(const std::vector<std::string>& lines) {
    for (int i = 0; i < 2000; ++i) {
      if (Slot().Watcher) Slot().Watcher->Poke();
      PumpIndex(Slot());
      if (IndexComplete(Slot()) && !Slot().Reloading && AllLines() == lines) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  std::vector<std::string> Logged(const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& e : events)
      if (e.rfind("log " + prefix, 0) == 0) found.push_back(e);
    return found;
  }
};

std::vector<std::string> Numbered(const std::string& prefix, int first, int count) {
  std::vector<std::string> lines;
  for (int i = first; i < first + count; ++i) lines.push_back(prefix + std::to_string(i));
  return lines;
}
std::string Text(const std::vector<std::string>& lines, const std::string& end = "\r\n") {
  std::string text;
  for (const std::string& line : lines) text += line + end;
  return text;
}

// The writer appends whole lines, partial lines and a CR LF split across two
// writes; the lines known follow every step, and only the new bytes are
// read (the index's earlier entries stay as they were).
TEST_F(FollowTest, GrowthExtendsTheIndex) {
  const std::string path = OpenBytes("a\r\nb\r\n");
  ASSERT_EQ(result, 0);
  ASSERT_EQ(AllLines(), (std::vector<std::string>{"a", "b"}));
  std::vector<std::string> many = Numbered("row ", 0, 30000);
  std::vector<std::string> afterMany = {"a", "b", "c", "def"};
  afterMany.insert(afterMany.end(), many.begin(), many.end());
  struct Step {
    const char* name;
    std::string bytes;
    std::vector<std::string> lines;
  };
  const Step steps[] = {
      {"a partial line with its CR", "c\r", {"a", "b", "c\r"}},
      {"its LF, and a new partial line", "\nd", {"a", "b", "c", "d"}},
      {"the partial line completed", "ef\r\n", {"a", "b", "c", "def"}},
      {"many lines at once", Text(many), afterMany},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    Append(path, step.bytes);
    EXPECT_TRUE(PumpUntil(step.lines));
  }
  // No reopen: the open's stamps appear once, and nothing was read again.
  EXPECT_EQ(Logged("# \u3000").size(), 2u);
  EXPECT_TRUE(Logged("# ファイルが").empty());
}

// Truncation and rotation index again from the start; the top line stays
// where the line still exists.
TEST_F(FollowTest, TruncationAndRotationReadAgain) {
  const std::string path = OpenBytes(Text(Numbered("old ", 0, 100)));
  ASSERT_EQ(result, 0);
  Slot().TopLine = 50;
  Rewrite(path, "x\r\n");
  EXPECT_TRUE(PumpUntil({"x"}));
  EXPECT_EQ(Slot().TopLine, 0);
  EXPECT_EQ(Logged("# ファイルが切り詰められた").size(), 1u);

  Append(path, Text(Numbered("y", 0, 9)));
  std::vector<std::string> grown = {"x"};
  for (const std::string& line : Numbered("y", 0, 9)) grown.push_back(line);
  EXPECT_TRUE(PumpUntil(grown));

  Slot().TopLine = 3;
  ASSERT_EQ(::rename(path.c_str(), (path + ".1").c_str()), 0);
  dir.Write("doc.txt", Text(Numbered("new ", 0, 5)));
  EXPECT_TRUE(PumpUntil(Numbered("new ", 0, 5)));
  EXPECT_EQ(Slot().TopLine, 3);
  EXPECT_EQ(Logged("# ファイルが新しいファイルに置き換えられた").size(), 1u);

  // The new file is the one followed now; the old one is let go.
  Append(path + ".1", "stray\r\n");
  Append(path, "new 5\r\n");
  EXPECT_TRUE(PumpUntil(Numbered("new ", 0, 6)));
}

// While a scan holds the lines still, nothing the watcher saw is taken in;
// afterwards all of it is.
TEST_F(FollowTest, DeferredChangesWaitForTheScan) {
  const std::string path = OpenBytes("one\r\n");
  ASSERT_EQ(result, 0);
  DeferFileChanges(true);
  Append(path, "two\r\n");
  for (int i = 0; i < 50; ++i) {
    Slot().Watcher->Poke();
    PumpIndex(Slot());
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(Slot().LineCount, 1);
  DeferFileChanges(false);
  EXPECT_TRUE(PumpUntil({"one", "two"}));
}

}  // namespace
