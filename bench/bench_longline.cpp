// bench_longline DIR [REPS [PARTS]]
//
// Long lines against the same bytes in short lines. Makes (once, in DIR):
//   long1m.txt   256 lines of 1 MB of log-like ASCII, a rare word in some
//   short27.txt  the same bytes cut into 27-byte lines
//   wide100m.txt 63 lines of 100 MB (sparse-free ASCII), for the page
// and prints, as medians of REPS interleaved runs:
//   longline/plain_ratio   continuous plain search, long1m / short27 (<= 1.2)
//   longline/regex_ratio   continuous regex on long1m / regexec over the
//                          same whole lines, texts read outside the timing (<= 1.3)
//   longline/draw_ms       a page of wide100m at a random column (<= 2)
//   longline/scroll_ms     a draw at column 50,000,000 from column 0 (<= 50)
//   longline/rss_mib       VmRSS growth while searching wide100m to its end (<= 64)
// PARTS (default "search,draw") picks what runs, e.g. "search" alone, or
// "search-plain" / "search-regex" for one kind, to profile it.
#include <pcre2posix.h>

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

// regexec over every whole line, the texts read outside the timing.
double RegexecFloor(const std::string& pattern, size_t* matches) {
  regex_t regex;
  regcomp(&regex, pattern.c_str(), REG_NEWLINE);
  FileSlot& slot = SlotTable[0];
  double timed = 0;
  *matches = 0;
  std::string text;
  for (int32_t line = 0; line < slot.LineCount; ++line) {
    text.clear();
    const LineBounds b = GetLineBounds(slot, line);
    for (uint64_t at = 0; at < b.length();) {
      const LineSlice s = GetLineSlice(slot, b, at, kMaxSliceBytes);
      if (s.size == 0) break;
      text.append(s.data, s.size);
      at += s.size;
    }
    timed += Seconds([&] {
      regmatch_t m[1];
      if (regexec(&regex, text.c_str(), 1, m, 0) == 0) ++*matches;
    });
  }
  regfree(&regex);
  return timed;
}

long RssKib() {
  std::ifstream status("/proc/self/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmRSS:") {
      status >> value;
      return value;
    }
  }
  return 0;
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
