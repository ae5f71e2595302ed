// A document whose file grows, is truncated and is replaced while it is open:
// the index follows without a reopen.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
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
  // As the window does it: the slot is pumped only when a thread woke it
  // (index_wake), never polled, so a change that nobody reports is never
  // taken in. Pumps until done() holds; false when it never does (a bound
  // for liveness only).
  void WakeToPump() {
    Hooks().index_wake = [this](int) { wakes.fetch_add(1); };
  }
  bool PumpOnWakes(const std::function<bool()>& done) {
    for (int i = 0; i < 4000; ++i) {
      if (wakes.exchange(0) > 0) PumpIndex(Slot());
      if (IndexComplete(Slot()) && !Slot().Reloading && done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
  bool PumpOnWakesUntil(const std::vector<std::string>& lines) {
    return PumpOnWakes([&] { return AllLines() == lines; });
  }
  std::vector<std::string> Logged(const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& e : events)
      if (e.rfind("log " + prefix, 0) == 0) found.push_back(e);
    return found;
  }
  std::atomic<int> wakes{0};
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

// A change made while the first index runs is taken in when it ends, with no
// later event to push it: the slot is pumped only when a thread wakes it.
TEST_F(FollowTest, ChangesDuringTheFirstIndexAreTakenInWhenItEnds) {
  WakeToPump();
  const std::vector<std::string> old = Numbered("old ", 0, 20000);
  const std::vector<std::string> added = Numbered("added ", 0, 5);
  std::vector<std::string> grown = old;
  grown.insert(grown.end(), added.begin(), added.end());
  struct Case {
    const char* name;
    std::function<void(const std::string&)> change;
    std::vector<std::string> lines;
    const char* log;  // the re-read's log line, or null
  };
  const Case cases[] = {
      {"appended", [&](const std::string& path) { Append(path, Text(added)); }, grown, nullptr},
      {"truncated",
       [&](const std::string& path) { Rewrite(path, "short\r\n"); },
       {"short"},
       "# ファイルが切り詰められた"},
      {"rotated",
       [&](const std::string& path) {
         ASSERT_EQ(::rename(path.c_str(), (path + ".1").c_str()), 0);
         dir.Write("doc.txt", Text(added));
       },
       added, "# ファイルが新しいファイルに置き換えられた"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    events.clear();
    HoldIndexersAfterChunks(0);
    const std::string path = OpenBytes(Text(old));
    ASSERT_EQ(result, 0);
    c.change(path);
    // The watcher has seen the change before the index goes on.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    HoldIndexersAfterChunks(-1);
    EXPECT_TRUE(PumpOnWakesUntil(c.lines));
    if (c.log != nullptr) {
      EXPECT_EQ(Logged(c.log).size(), 1u);
    }
    CloseDocument();
    std::remove((path + ".1").c_str());
  }
}

// A file rewritten in place that ends up longer is no growth: its bytes
// before the old end changed, so it is read again from the start. The
// writer never makes the file shorter, so no watcher could see a
// truncation; and a search may hold the changes meanwhile.
TEST_F(FollowTest, ARewriteThatEndsUpLongerIsReadAgain) {
  WakeToPump();
  const std::string path = OpenBytes(Text(Numbered("old ", 0, 300)));
  ASSERT_EQ(result, 0);
  ASSERT_TRUE(PumpOnWakesUntil(Numbered("old ", 0, 300)));
  const struct {
    const char* name;
    std::vector<std::string> lines;
    bool deferred;
  } cases[] = {
      {"over the whole file", Numbered("rewritten line ", 0, 400), false},
      {"while a search holds changes", Numbered("again, longer ", 0, 500), true},
      {"only the last line changed, then grew", Numbered("again, longer ", 0, 499), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    events.clear();
    if (c.deferred) DeferFileChanges(true);
    std::string bytes = Text(c.lines);
    if (std::string(c.name).find("last line") != std::string::npos) {
      // The same first 498 lines, the last one now "X...": only the tail
      // before the old end differs.
      bytes = Text(Numbered("again, longer ", 0, 498)) + "X" + Text({"again, longer 498"}) +
              Text(Numbered("more ", 0, 50));
    }
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
    if (c.deferred) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      DeferFileChanges(false);
    }
    std::vector<std::string> expected = c.lines;
    if (std::string(c.name).find("last line") != std::string::npos) {
      expected = Numbered("again, longer ", 0, 498);
      expected.push_back("Xagain, longer 498");
      for (const std::string& line : Numbered("more ", 0, 50)) expected.push_back(line);
    }
    EXPECT_TRUE(PumpOnWakesUntil(expected));
    EXPECT_EQ(Logged("# ファイルが書き換えられた").size(), 1u);
  }
}

// Detection runs again where the first one saw only ASCII, when other bytes
// arrive, and for a file read again; the status panel follows. An encoding
// the user chose stays.
TEST_F(FollowTest, DetectionRunsAgainWhenTheTextStopsBeingAscii) {
  WakeToPump();
  auto encoded = [](TextEncoding e, const std::u16string& text) {
    std::string out;
    EXPECT_TRUE(Encode(e, text, out));
    return out + "\r\n";
  };
  const std::u16string japanese = u"日本語のテキストを追記しました、ログの続きです";
  struct Case {
    const char* name;
    std::string first;
    bool chosen;
    bool rotate;  // the new bytes come in a new file at the path
    TextEncoding added;
    TextEncoding expected;
  };
  const Case cases[] = {
      {"ASCII, then UTF-8", "plain ascii\r\n", false, false, TextEncoding::kUtf8,
       TextEncoding::kUtf8},
      {"ASCII, then EUC-JP", "plain ascii\r\n", false, false, TextEncoding::kEucJp,
       TextEncoding::kEucJp},
      {"empty, then UTF-8", "", false, false, TextEncoding::kUtf8, TextEncoding::kUtf8},
      {"UTF-8, rotated to Shift_JIS", encoded(TextEncoding::kUtf8, japanese), false, true,
       TextEncoding::kCp932, TextEncoding::kCp932},
      {"chosen EUC-JP stays", "plain ascii\r\n", true, false, TextEncoding::kUtf8,
       TextEncoding::kEucJp},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = OpenBytes(c.first);
    ASSERT_EQ(result, 0);
    ASSERT_TRUE(PumpOnWakes([] { return true; }));
    if (c.chosen) {
      Slot().EncodingChosen = true;
      Slot().Encoding = TextEncoding::kEucJp;
    }
    events.clear();
    const std::string added = encoded(c.added, japanese);
    if (c.rotate) {
      ASSERT_EQ(::rename(path.c_str(), (path + ".1").c_str()), 0);
      dir.Write("doc.txt", "ascii first\r\n");
      ASSERT_TRUE(PumpOnWakes([&] { return AllLines().size() == 1; }));
      Append(path, added);
    } else {
      Append(path, added);
    }
    EXPECT_TRUE(PumpOnWakes([&] {
      return Slot().Encoding == c.expected && AllLines().size() >= 1 &&
             AllLines().back() == added.substr(0, added.size() - 2);
    }));
    if (!c.chosen) {
      EXPECT_EQ(events.back() == "status 7 " + std::string(EncodingName(c.expected)) ||
                    std::find(events.begin(), events.end(),
                              "status 7 " + std::string(EncodingName(c.expected))) != events.end(),
                true);
    }
    CloseDocument();
    std::remove((path + ".1").c_str());
  }
}

// A deleted file stays shown (and logged once) until a new file comes to the
// path; an empty file opens as an empty document and is followed.
TEST_F(FollowTest, DeletedAndEmptyFiles) {
  WakeToPump();
  const std::string path = OpenBytes("");
  ASSERT_EQ(result, 0);
  ASSERT_TRUE(PumpOnWakes([] { return true; }));
  EXPECT_EQ(Slot().LineCount, 0);
  EXPECT_EQ((std::vector<std::string>{kStartLine(), kEndLine()}), Logged("# \u3000"));
  Append(path, "first\r\n");
  EXPECT_TRUE(PumpOnWakesUntil({"first"}));

  ASSERT_EQ(::unlink(path.c_str()), 0);
  EXPECT_TRUE(PumpOnWakes([&] { return Logged("# ファイルが削除されました").size() == 1; }));
  EXPECT_EQ(AllLines(), (std::vector<std::string>{"first"}));
  dir.Write("doc.txt", "second\r\n");
  EXPECT_TRUE(PumpOnWakesUntil({"second"}));
  EXPECT_EQ(Logged("# ファイルが削除されました").size(), 1u);
}

// A writer that appends without pause, in pieces that cut lines and CR LF
// pairs: nothing is lost, and the slot's thread is woken in batches (each
// growth rests 100 ms), not once per write.
TEST_F(FollowTest, SteadyGrowthIsTakenInBatches) {
  WakeToPump();
  int grown = 0;
  Hooks().index_grown = [&](FileSlot&, int32_t) { ++grown; };
  const std::string path = OpenBytes("start\r\n");
  ASSERT_EQ(result, 0);
  ASSERT_TRUE(PumpOnWakes([] { return true; }));
  const std::string text = Text(Numbered("appended line number ", 0, 60000));
  const auto start = std::chrono::steady_clock::now();
  std::thread writer([&] {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
    for (size_t at = 0; at < text.size(); at += 997) {
      const size_t n = std::min<size_t>(997, text.size() - at);
      if (::write(fd, text.data() + at, n) != static_cast<ssize_t>(n)) break;
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    ::close(fd);
  });
  writer.join();
  std::vector<std::string> expected = {"start"};
  for (const std::string& line : Numbered("appended line number ", 0, 60000))
    expected.push_back(line);
  EXPECT_TRUE(PumpOnWakes([&] { return Slot().LineCount == 60001; }));
  EXPECT_EQ(AllLines(), expected);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // About 1,700 writes; at most ten batches a second (and the last one).
  EXPECT_LE(grown, static_cast<int>(seconds * 10) + 2);
}

// The file as a reader sees it: its line count (a last line without a line
// feed counts) and its last line's text (a CR before the line feed left out).
std::pair<int32_t, std::string> CountAndLast(const std::string& bytes) {
  int32_t count = 0;
  size_t last = 0;
  for (size_t i = 0; i < bytes.size(); ++i)
    if (bytes[i] == '\n') {
      ++count;
      if (i + 1 < bytes.size()) last = i + 1;
    }
  if (!bytes.empty() && bytes.back() != '\n') ++count;
  std::string line = bytes.substr(last);
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return {count, line};
}

// Every kind of change a writer makes, during the first index and after it,
// with deferred walks (what a search does) in between: after every step the
// count and the last line are the file's.
TEST_F(FollowTest, StressEveryKindOfChange) {
  WakeToPump();
  std::mt19937 random(17);
  std::string bytes = Text(Numbered("start ", 0, 30000));
  const std::string path = dir.Write("doc.txt", bytes);
  auto write_file = [&](const std::string& name, const std::string& b, int flags) {
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | flags, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    ::close(fd);
  };
  auto lines = [&](const char* word, int count) {
    std::string text;
    for (int i = 0; i < count; ++i)
      text += std::string(word) + " " + std::to_string(random() % 100000) + "\r\n";
    return text;
  };
  struct Step {
    const char* name;
    std::function<void()> run;
  };
  const Step steps[] = {
      {"append", [&] { write_file(path, lines("append", 1 + random() % 3000), O_APPEND); }},
      {"partial line", [&] { write_file(path, "partial", O_APPEND); }},
      {"its end", [&] { write_file(path, " end\r\n", O_APPEND); }},
      {"rename and create",
       [&] {
         ASSERT_EQ(::rename(path.c_str(), (path + ".1").c_str()), 0);
         write_file(path, lines("created", random() % 50), O_TRUNC);
       }},
      {"copytruncate", [&] { write_file(path, "", O_TRUNC); }},
      {"rewrite longer",
       [&] {
         const std::string longer = lines("rewritten", 40000);
         const int fd = ::open(path.c_str(), O_WRONLY);
         ASSERT_EQ(::pwrite(fd, longer.data(), longer.size(), 0),
                   static_cast<ssize_t>(longer.size()));
         ::close(fd);
       }},
      {"delete and create",
       [&] {
         ::unlink(path.c_str());
         std::this_thread::sleep_for(std::chrono::milliseconds(50));
         write_file(path, lines("after delete", 1 + random() % 100), O_TRUNC);
       }},
  };
  auto read_file = [&] {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    std::string b;
    char buffer[65536];
    for (size_t n; f != nullptr && (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
      b.append(buffer, n);
    if (f != nullptr) std::fclose(f);
    return b;
  };
  auto matches = [&](const std::pair<int32_t, std::string>& want) {
    return Slot().LineCount == want.first &&
           (want.first == 0 || GetLine(Slot(), want.first - 1) == want.second);
  };
  for (int round = 0; round < 3; ++round) {
    for (const Step& step : steps) {
      SCOPED_TRACE(std::string(step.name) + " in round " + std::to_string(round));
      const bool during_index = random() % 3 == 0;
      if (during_index) {
        HoldIndexersAfterChunks(0);
        CloseDocument();
        write_file(path, Text(Numbered("fresh ", 0, 20000)), O_TRUNC);
        ASSERT_EQ(OpenDocument(path), 0);
      }
      const bool search = random() % 2 == 0;
      if (search) DeferFileChanges(true);
      step.run();
      if (search) {
        // A walk over the lines known, as a search makes it: they stay put.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        PumpIndex(Slot());
        const int32_t count = Slot().LineCount;
        for (int32_t i = 0; i < count; i += 97) GetLine(Slot(), i);
        EXPECT_EQ(Slot().LineCount, count);
        DeferFileChanges(false);
      }
      if (during_index) HoldIndexersAfterChunks(-1);
      std::pair<int32_t, std::string> want;
      EXPECT_TRUE(PumpOnWakes([&] {
        want = CountAndLast(read_file());
        return matches(want);
      })) << "count "
          << Slot().LineCount << ", file " << want.first;
    }
  }
  std::remove((path + ".1").c_str());
}

}  // namespace
