// The shown lines of a filter against an independent oracle (substring and
// std::regex over the UTF-8 text, ASCII case folded by hand), in the three
// encodings, on a file that grows while the filter runs: its last line
// first without a line feed, then ended and followed by more lines; a few
// lines are long; with one to eight workers. A gzip and a UTF-16LE copy of
// the text, read through their source while its pass still runs, show the
// same lines as the plain file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "search/filterrules.h"
#include "store/compressed.h"
#include "store/encoding.h"
#include "store/linefilter.h"
#include "store/workers.h"
#include "support/growingfile.h"
#include "support/testfiles.h"
#include "support/utf16text.h"

namespace {

struct Rule {
  const char* text;  // UTF-8
  bool exclude, regex, ignoreCase;
};

std::string Fold(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

bool OracleMatch(const Rule& rule, const std::string& line) {
  if (rule.regex) {
    auto flags = std::regex::ECMAScript;
    if (rule.ignoreCase) flags |= std::regex::icase;
    static std::map<std::pair<std::string, bool>, std::regex> compiled;
    const auto key = std::make_pair(std::string(rule.text), rule.ignoreCase);
    if (!compiled.count(key)) compiled.emplace(key, std::regex(rule.text, flags));
    return std::regex_search(line, compiled.at(key));
  }
  return rule.ignoreCase ? Fold(line).find(Fold(rule.text)) != std::string::npos
                         : line.find(rule.text) != std::string::npos;
}

bool OracleShown(const std::vector<Rule>& rules, const std::string& line) {
  bool include = true;
  for (const Rule& r : rules) {
    if (r.exclude && OracleMatch(r, line)) return false;
    if (!r.exclude) include = false;
  }
  for (const Rule& r : rules) {
    if (!r.exclude && OracleMatch(r, line)) include = true;
  }
  return include;
}

std::string Bytes(TextEncoding encoding, const std::string& utf8) {
  std::u16string text;
  for (size_t i = 0; i < utf8.size();) {
    const CharSpan c = NextChar(TextEncoding::kUtf8, utf8.data() + i, utf8.size() - i);
    text.push_back(static_cast<char16_t>(c.code));
    i += static_cast<size_t>(c.length);
  }
  std::string out;
  EXPECT_TRUE(Encode(encoding, text, out));
  return out;
}

std::vector<std::string> LogLines(int count) {
  const char* levels[] = {"INFO", "DEBUG", "info", "WARN", "警告", "Info"};
  const char* parts[] = {"ui:", "core:", "ＵＩ:", "net:"};
  // Some lines put their words past GetLine's 2047 bytes of text, up to
  // ~100 KB on: the filter decides on the whole line.
  const size_t pads[] = {2030, 2038, 2043, 2046, 2047, 3000, 65530, 100000};
  std::vector<std::string> lines;
  for (int n = 0; n < count; ++n) {
    const std::string pad = n % 997 == 0 ? std::string(pads[(n / 997) % 8], '.') : "";
    lines.push_back(std::to_string(n) + "\t" + pad + levels[(n * 7) % 6] + " " +
                    parts[(n / 3) % 4] + " event" + ((n % 11 == 0) ? " 障害 id=" : " id=") +
                    std::to_string(n * 13));
  }
  return lines;
}

// The file holds the text in the encoding; appended as UTF-8.
class FilterFile : public GrowingFile {
 public:
  explicit FilterFile(TextEncoding encoding) : encoding_(encoding) {}
  void Append(const std::string& utf8) { GrowingFile::Append(Bytes(encoding_, utf8)); }

 private:
  TextEncoding encoding_;
};

void WaitFor(const LineFilter& filter) {
  for (int i = 0; i < 16000 && !filter.CaughtUp(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(filter.CaughtUp());
}

std::vector<int32_t> Shown(const LineFilter& filter) {
  std::vector<int32_t> lines;
  for (int32_t k = 0; k < filter.ShownCount(); ++k) lines.push_back(filter.ShownLine(k));
  return lines;
}

std::vector<int32_t> Expected(const std::vector<Rule>& rules,
                              const std::vector<std::string>& text) {
  std::vector<int32_t> lines;
  for (size_t n = 0; n < text.size(); ++n) {
    // The display text: each TAB four blanks.
    std::string shown;
    for (const char ch : text[n]) shown += ch == '\t' ? std::string(4, ' ') : std::string(1, ch);
    if (OracleShown(rules, shown)) lines.push_back(static_cast<int32_t>(n));
  }
  return lines;
}

struct Case {
  const char* name;
  std::vector<Rule> rules;
};

const Case kCases[] = {
    {"include", {{"INFO", false, false, false}}},
    {"exclude", {{"DEBUG", true, false, false}}},
    {"both", {{"INFO", false, false, false}, {"ui:", true, false, false}}},
    {"two includes, Japanese exclude",
     {{"WARN", false, false, false}, {"警告", false, false, false}, {"障害", true, false, false}}},
    {"ignore case", {{"info", false, false, true}}},
    {"regex", {{"id=[0-9]*7$", false, true, false}}},
    {"regex ignoring case, plain exclude",
     {{"^[0-9]+ +info +(ui|net):", false, true, true}, {"id=1", true, false, false}}},
    {"full-width text", {{"ＵＩ:", false, false, false}}},
};

// With one worker the filter's own thread decides every line; with more,
// the store's workers decide pieces of each run side by side.
TEST(LineFilterTest, ShownLinesAgreeWithTheOracleAsTheFileGrows) {
  const std::vector<std::string> lines = LogLines(24000);
  const std::vector<std::string> seen = [&] {
    std::vector<std::string> head(lines.begin(), lines.begin() + 15999);
    head.push_back(lines[15999].substr(0, 8));
    return head;
  }();
  struct WorkerReset {
    ~WorkerReset() { SetWorkerCountForTest(0); }
  } reset;
  for (const Case& c : kCases) {
    const std::vector<int32_t> expectedHead = Expected(c.rules, seen);
    const std::vector<int32_t> expectedAll = Expected(c.rules, lines);
    for (const TextEncoding encoding :
         {TextEncoding::kCp932, TextEncoding::kUtf8, TextEncoding::kEucJp}) {
      std::vector<FilterRule> rules;
      for (const Rule& r : c.rules) {
        rules.push_back(FilterRule{Bytes(encoding, r.text), r.exclude, r.regex, r.ignoreCase});
      }
      for (const int workers : {1, 2, 3, 8}) {
        SCOPED_TRACE(std::string(c.name) + " in " + EncodingName(encoding) + ", " +
                     std::to_string(workers) + " workers");
        SetWorkerCountForTest(workers);
        FilterFile file(encoding);
        // Part one ends inside line 15999: its first half, with no line feed.
        std::string head;
        for (int n = 0; n < 15999; ++n) head += lines[static_cast<size_t>(n)] + "\r\n";
        const std::string& cut = lines[15999];
        file.Append(head + cut.substr(0, 8));
        LineFilter filter(
            LineFilter::Job{0, file.fd(), file.index(), 4, MakeFilterTest(rules, encoding), nullptr,
                            uint64_t{16} << 20},
            nullptr);
        filter.Extend(file.Lines(), file.size());
        WaitFor(filter);
        EXPECT_EQ(Shown(filter), expectedHead);

        std::string tail = cut.substr(8) + "\r\n";
        for (size_t n = 16000; n < lines.size(); ++n) tail += lines[n] + "\r\n";
        file.Append(tail);
        filter.Extend(file.Lines(), file.size());
        WaitFor(filter);
        EXPECT_EQ(Shown(filter), expectedAll);
      }
    }
  }
}

// The source's pass runs on a thread of its own and stops halfway until
// the filter has caught up with what came so far (its last line open); the
// index grows from the pass's bytes, as the store's indexer grows it. Runs
// of 64 KiB: many of them, each read ahead while the one before is decided,
// and the longest lines cut (their rest read from the source).
TEST(LineFilterTest, CompressedAndUtf16TextShowsTheLinesOfThePlainText) {
  constexpr uint64_t kRunBytes = uint64_t{64} << 10;
  const std::vector<std::string> lines = LogLines(100000);
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  TempDir dir;
  const std::string plain = dir.Write("log.txt", text);
  ASSERT_EQ(std::system(("gzip -6 -c " + plain + " > " + plain + ".gz").c_str()), 0);
  dir.Write("log16.txt", utf16text::FromUtf8(text, false, true));
  struct WorkerReset {
    ~WorkerReset() { SetWorkerCountForTest(0); }
  } reset;
  const struct {
    const char* name;
    CompressedFormat format;
  } kCopies[] = {{"log.txt.gz", CompressedFormat::kGzip},
                 {"log16.txt", CompressedFormat::kUtf16Le}};
  for (const Case& c : kCases) {
    const std::vector<int32_t> expected = Expected(c.rules, lines);
    std::vector<FilterRule> rules;
    for (const Rule& r : c.rules)
      rules.push_back(FilterRule{r.text, r.exclude, r.regex, r.ignoreCase});
    for (const auto& copy : kCopies) {
      for (const int workers : {1, 3}) {
        SCOPED_TRACE(std::string(c.name) + " in " + copy.name + ", " + std::to_string(workers) +
                     " workers");
        SetWorkerCountForTest(workers);
        const int fd = open((dir.path() + "/" + copy.name).c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        std::shared_ptr<CompressedSource> source = CompressedSource::Open(fd, copy.format);
        ASSERT_TRUE(source);
        auto index = std::make_shared<LineIndex>();
        std::mutex mutex;
        int32_t lines_known = 0;  // lines and bytes the index holds, together
        uint64_t bytes_known = 0;
        std::atomic<bool> paused{false}, resume{false};
        std::thread pass([&] {
          uint64_t at = 0;
          index->Append(uint64_t{0});
          source->Pass([&](const char* data, size_t length) {
            for (size_t i = 0; i < length; ++i) {
              if (data[i] == '\n') index->Append(at + i + 1);
            }
            at += length;
            {
              const std::lock_guard<std::mutex> lock(mutex);
              const int64_t starts = index->Size();
              lines_known =
                  static_cast<int32_t>(index->Start(starts - 1) >= at ? starts - 1 : starts);
              bytes_known = at;
            }
            if (at > text.size() / 2 && !resume) {
              paused = true;
              while (!resume) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            return true;
          });
        });
        LineFilter filter(
            LineFilter::Job{0, -1, index, 4, MakeFilterTest(rules, TextEncoding::kUtf8), source,
                            kRunBytes},
            nullptr);
        auto extend = [&] {
          const std::lock_guard<std::mutex> lock(mutex);
          filter.Extend(lines_known, bytes_known);
        };
        while (!paused) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        extend();
        WaitFor(filter);
        resume = true;
        while (!source->Finished()) {
          extend();
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        pass.join();
        extend();
        WaitFor(filter);
        EXPECT_EQ(Shown(filter), expected);
        close(fd);
      }
    }
  }
}

}  // namespace
