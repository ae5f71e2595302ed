// bench_longline DIR [REPS [PARTS]]
//
// Long lines against the same bytes in short lines. Makes (once, in DIR):
//   long1m.txt   256 lines of 1 MB of log-like ASCII, a rare word in some
//   short27.txt  the same bytes cut into 27-byte lines
//   wide100m.txt 63 lines of 100 MB (sparse-free ASCII), for the page
// and prints, as medians of REPS interleaved runs:
//   longline/plain_ratio   continuous plain search, long1m / short27 (<= 1.2)
//   longline/regex_ratio   continuous regex on long1m / regexec over the
//                          same whole lines in the mapped file (<= 1.3)
//   longline/draw_ms       a page of wide100m at a random column (<= 2)
//   longline/scroll_ms     a draw at column 50,000,000 from column 0 (<= 50)
//   longline/rss_mib       VmRSS growth while searching wide100m to its end (<= 64)
// The part "japanese" makes wideja.txt, 63 lines of 16 MB of Japanese UTF-8
// (kanji, kana, half-width kana, ASCII words), and prints
//   longline/draw_ja_ms    a page of it at a random column (<= 2)
// PARTS (default "search,draw") picks what runs, e.g. "search" alone, or
// "search-plain" / "search-regex" for one kind, to profile it; "huge" alone
// makes a line of 2 GB and prints
//   longline/huge_peak_mib peak VmRSS growth scrolling to its end and
//                          searching a word there (<= 64)
#include <fcntl.h>
#include <pcre2posix.h>
#include <sys/mman.h>
#include <unistd.h>

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "search/search.h"
#include "store/lineslice.h"
#include "store/slots.h"
#include "view/view.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

template <typename F>
double Seconds(F f) {
  const auto t0 = Clock::now();
  f();
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

bool Exists(const std::string& path) { return std::ifstream(path).good(); }

// Log-like ASCII: words, numbers, blanks; "ZQXJ" once in about every
// 1,000,000 bytes, at the same places in both files.
std::string Text(size_t bytes, uint32_t seed) {
  static const char* const kWords[] = {"INFO ", "request ", "id=42 ", "GET ", "/api/v1 ",
                                       "200 ",  "ms=17 ",   "user ",  "ok ",  "cache "};
  std::mt19937 random(seed);
  std::string text;
  text.reserve(bytes + 16);
  while (text.size() < bytes) {
    text += kWords[random() % 10];
    if (random() % 150000 == 0) text += "ZQXJ ";
  }
  text.resize(bytes);
  return text;
}

void MakeFiles(const std::string& dir) {
  if (!Exists(dir + "/long1m.txt")) {
    std::ofstream longFile(dir + "/long1m.txt", std::ios::binary);
    std::ofstream shortFile(dir + "/short27.txt", std::ios::binary);
    for (int i = 0; i < 256; ++i) {
      const std::string line = Text(1000000 - 1, static_cast<uint32_t>(i));
      longFile << line << '\n';
      std::string cut;
      for (size_t at = 0; at < line.size(); at += 26) cut += line.substr(at, 26) + '\n';
      shortFile << cut;
    }
  }
  if (!Exists(dir + "/wide100m.txt")) {
    std::ofstream wide(dir + "/wide100m.txt", std::ios::binary);
    const std::string piece = Text(size_t{1} << 20, 7);
    for (int i = 0; i < 63; ++i) {
      for (int k = 0; k < 100; ++k) wide << piece;
      wide << '\n';
    }
  }
}

// Japanese words and ASCII ones, as a log in Japanese reads.
std::string JapaneseText(size_t bytes, uint32_t seed) {
  static const char* const kWords[] = {"日本語の",   "テキスト", "検索結果 ",      "ﾊﾝｶｸｶﾅ ",
                                       "表示",       "ERROR ",   "処理時間=17ms ", "ユーザー",
                                       "全角ＡＢＣ", "。"};
  std::mt19937 random(seed);
  std::string text;
  text.reserve(bytes + 32);
  while (text.size() < bytes) text += kWords[random() % 10];
  return text;
}

void MakeJapanese(const std::string& dir) {
  if (Exists(dir + "/wideja.txt")) return;
  std::ofstream wide(dir + "/wideja.txt", std::ios::binary);
  const std::string piece = JapaneseText(size_t{1} << 20, 11);
  for (int i = 0; i < 63; ++i) {
    for (int k = 0; k < 16; ++k) wide << piece;
    wide << '\n';
  }
}

void Open(const std::string& path) {
  ResetSlotTable();
  CurrentSlot = 0;
  BindSlotControls(0);
  if (OpenDocument(path) != 0) std::exit(1);
  WaitForIndex(SlotTable[0]);
}

size_t Continuous(const std::string& pattern, bool regex) {
  DefaultSearchOptions() = SearchOptions{false, regex, true, true};
  SlotTable[CurrentSlot].TopLine = 0;
  SearchRunning = true;
  size_t hits = 0;
  SearchRun run;
  run.withTopLine = true;
  int32_t s = 0;
  int32_t e = 0;
  while (SearchNextWith(pattern, s, e, run) >= 0) {
    ++hits;
    run.withTopLine = false;
  }
  return hits;
}

// regexec over every whole line as it lies in the file, mapped and read in
// place (REG_STARTEND): the floor pays the same reading of the file as the
// search does. Only the lines' bounds are looked up outside the timing.
double RegexecFloor(const std::string& pattern, size_t* matches) {
  regex_t regex;
  regcomp(&regex, pattern.c_str(), REG_NEWLINE);
  FileSlot& slot = SlotTable[0];
  std::vector<std::pair<uint64_t, uint64_t>> lines;
  for (int32_t line = 0; line < slot.LineCount; ++line) {
    const LineBounds b = GetLineBounds(slot, line);
    lines.emplace_back(b.begin, b.end);
  }
  *matches = 0;
  const int fd = ::open(slot.FileName.c_str(), O_RDONLY);
  const double timed = Seconds([&] {
    void* map = ::mmap(nullptr, slot.FileSize, PROT_READ, MAP_PRIVATE, fd, 0);
    if (map == MAP_FAILED) std::exit(1);
    const char* base = static_cast<const char*>(map);
    for (const auto& [begin, end] : lines) {
      regmatch_t m[1];
      m[0].rm_so = 0;
      m[0].rm_eo = static_cast<regoff_t>(end - begin);
      if (regexec(&regex, base + begin, 1, m, REG_STARTEND) == 0) ++*matches;
    }
    ::munmap(map, slot.FileSize);
  });
  ::close(fd);
  regfree(&regex);
  return timed;
}

long StatusKib(const char* field = "VmRSS:") {
  std::ifstream status("/proc/self/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == field) {
      status >> value;
      return value;
    }
  }
  return 0;
}
long RssKib() { return StatusKib(); }

// One line of 2,000,000,000 bytes without a line feed, "ZQXJEND" at its
// end: the peak resident memory above the open document's while the page
// is scrolled to the line's end and the word is searched (the file is
// deleted afterwards).
void HugeLine(const std::string& dir) {
  const std::string path = dir + "/line2g.txt";
  constexpr size_t kBytes = 2000000000;
  {
    std::ofstream file(path, std::ios::binary);
    const std::string piece = Text(size_t{1} << 20, 9);
    for (size_t at = 0; at + piece.size() + 7 <= kBytes; at += piece.size()) file << piece;
    file.seekp(0, std::ios::end);
    const size_t size = static_cast<size_t>(file.tellp());
    file << std::string(kBytes - 7 - size, 'a') << "ZQXJEND";
  }
  Open(path);
  std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
  const long before = RssKib();
  const double draw = Seconds([] { DrawViewAtColumn(static_cast<int32_t>(kBytes - 100)); });
  const double search = Seconds([] { Continuous("ZQXJEND", false); });
  std::printf("longline/huge_peak_mib %.1f\n", (StatusKib("VmHWM:") - before) / 1024.0);
  std::printf("# 2 GB line: scrolled to its end in %.2f s, searched in %.2f s\n", draw, search);
  ResetSlotTable();
  std::remove(path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  InstallFontSubstitutions();
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_longline DIR [REPS]\n");
    return 2;
  }
  const std::string dir = argv[1];
  const int reps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const std::string parts = argc > 3 ? argv[3] : "search,draw";
  MakeFiles(dir);
  PageImage image(1250, 800);
  PageScrollBar vscroll(Qt::Vertical);
  PageScrollBar hscroll(Qt::Horizontal);
  RegisterSlotControls(0, nullptr, &image, &vscroll, &hscroll);
  if (parts == "huge") {
    HugeLine(dir);
    return 0;
  }

  std::vector<double> longPlain, shortPlain, longRegex, floor;
  size_t hits[3] = {};
  for (int r = 0; r < reps && parts.find("search") != std::string::npos; ++r) {
    Open(dir + "/long1m.txt");
    if (parts.find("regex") == std::string::npos) {
      longPlain.push_back(Seconds([&] { hits[0] = Continuous("ZQXJ", false); }));
    }
    if (parts.find("plain") == std::string::npos) {
      longRegex.push_back(Seconds([&] { hits[1] = Continuous("Z[A-Z]XJ", true); }));
      floor.push_back(RegexecFloor("Z[A-Z]XJ", &hits[2]));
    }
    Open(dir + "/short27.txt");
    shortPlain.push_back(Seconds([&] { Continuous("ZQXJ", false); }));
  }
  if (parts.find("search") != std::string::npos) {
    std::printf("longline/plain_ratio %.3f\n", Median(longPlain) / Median(shortPlain));
    std::printf("# plain long %.4f s, short %.4f s, %zu hits\n", Median(longPlain),
                Median(shortPlain), hits[0]);
    std::printf("longline/regex_ratio %.3f\n", Median(longRegex) / Median(floor));
    std::printf("# regex %.4f s, regexec floor %.4f s, %zu / %zu lines\n", Median(longRegex),
                Median(floor), hits[1], hits[2]);
  }
  if (parts.find("japanese") != std::string::npos) {
    MakeJapanese(dir);
    Open(dir + "/wideja.txt");
    DrawView(0, true);
    const int64_t cells = std::max<int32_t>(SlotTable[0].MaxLineWidth, 1);
    std::vector<double> draws;
    std::mt19937 random(2);
    for (int r = 0; r < reps * 20; ++r) {
      const int32_t column = static_cast<int32_t>(random() % cells);
      draws.push_back(1000 * Seconds([&] { DrawViewAtColumn(column); }));
    }
    std::printf("longline/draw_ja_ms %.3f\n", Median(draws));
  }
  if (parts.find("draw") == std::string::npos) return 0;

  Open(dir + "/wide100m.txt");
  const long before = RssKib();
  // The first page counts every line's cells once (and leaves checkpoints).
  std::printf("# first page of wide100m %.1f ms\n", 1000 * Seconds([] { DrawView(0, true); }));
  std::vector<double> fresh;
  std::vector<double> draws;
  std::mt19937 random(1);
  for (int r = 0; r < reps; ++r) {
    DrawViewAtColumn(0);
    fresh.push_back(1000 * Seconds([] { DrawViewAtColumn(50000000); }));
    for (int k = 0; k < 20; ++k) {
      const int32_t column = static_cast<int32_t>(random() % 100000000);
      draws.push_back(1000 * Seconds([&] { DrawViewAtColumn(column); }));
    }
  }
  std::printf("longline/draw_ms %.3f\n", Median(draws));
  std::printf("longline/scroll_ms %.3f\n", Median(fresh));
  Continuous("ZQXJ-none", false);
  std::printf("longline/rss_mib %.1f\n", (RssKib() - before) / 1024.0);
  return 0;
}
