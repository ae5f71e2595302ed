// bench_search FILE [--compare REPS] [benchmark flags]
//
// Times the search scan on a large document (FILE, or $DOLMIK_BENCH_FILE).
// With --compare it runs each scenario REPS times, interleaved with the
// command-line yardstick for the same question on the same warm file, and
// prints "search/NAME RATIO" lines (median time divided by the yardstick's
// median, as index/wc does; the limits are 0.8, 1.5, 1.3 and 2.0), the same
// scenarios against rg and against the scan floor (bench/scan_floor.h, as
// many threads as cores) on the same runs, and "#" lines with the absolute
// medians.
// Without it, the scenarios run as Google Benchmark cases.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "search/search.h"
#include "store/slots.h"

#include "bench/args.h"
#include "bench/regexec_floor.h"
#include "bench/scan_floor.h"
#include "bench/timing.h"

namespace {

SearchOptions g_options;
std::string g_log;  // the search-log lines of the hits, as the result window gets them
size_t g_hits = 0;

void InstallHooks() {
  SearchHooks& hooks = SearchHooksRef();
  hooks.options = [] { return g_options; };
  hooks.hit = [](int slot, int32_t line, std::string_view text, const HitSpan&) {
    ++g_hits;
    g_log += FormatSearchLogLine(slot, line + 1, text);
    g_log += '\n';
  };
  hooks.progress = nullptr;
}

struct Scenario {
  const char* name;
  std::string typed;  // the text as typed (the matcher ignores case itself)
  bool ignoreCase;
  bool regex;
};

// A continuous search from the first line to the end, as _find_str runs it.
// Returns the hits.
size_t RunContinuous(const Scenario& s, int (*function)(const std::string&, int32_t&, int32_t&)) {
  g_options = SearchOptions{s.ignoreCase, s.regex, true, true};
  const std::string& pattern = s.typed;
  g_log.clear();
  g_hits = 0;
  SlotTable[CurrentSlot].TopLine = 0;
  SearchRunning = true;
  int32_t start = 0;
  int32_t end = 0;
  while (function(pattern, start, end) >= 0) {
  }
  return g_hits;
}

const Scenario kPlain400{"plain400", "ZQXJ", false, false};
const Scenario kIgnoreCase{"icase", "zqxj", true, false};
const Scenario kRegex{"regex", "Z[A-Z]XJ", false, true};
const Scenario kPlain400k{"plain400k", "WARN", false, false};
// No byte run is required by this one: it takes the joined-lines path.
const Scenario kRegexNoLiteral{"regex_noliteral", "[Z][Q][X][J]", false, true};
// The joined-lines path again, with about 400,000 hits.
const Scenario kRegexDense{"regex_dense400k", "[W][A][R][N]", false, true};

int Compare(const std::string& file, int reps) {
  const std::string quoted = "'" + file + "'";
  std::vector<double> plain, grepPlain, icase, grepIcase, regex, grepRegex, floor, dense, grepDense;
  std::vector<double> regex2, floor2, rgPlain, rgIcase, rgRegex, scanFloor;
  size_t hits[5] = {};
  size_t floorMatches = 0;
  size_t floorMatches2 = 0;
  for (int rep = 0; rep < reps; ++rep) {
    // Interleaved, so that both sides of a ratio see the same load.
    scanFloor.push_back(ScanFloor(file, FloorThreads()));
    rgPlain.push_back(TimeCommand("rg -c ZQXJ " + quoted));
    rgIcase.push_back(TimeCommand("rg -ci zqxj " + quoted));
    rgRegex.push_back(TimeCommand("rg -c 'Z[A-Z]XJ' " + quoted));
    grepPlain.push_back(TimeCommand("grep -c ZQXJ " + quoted));
    plain.push_back(Time([&] { hits[0] = RunContinuous(kPlain400, SearchNext); }));
    grepIcase.push_back(TimeCommand("LC_ALL=C grep -ci zqxj " + quoted));
    icase.push_back(Time([&] { hits[1] = RunContinuous(kIgnoreCase, SearchNext); }));
    grepRegex.push_back(TimeCommand("grep -cE 'Z[A-Z]XJ' " + quoted));
    regex.push_back(Time([&] { hits[2] = RunContinuous(kRegex, SearchNext); }));
    // The search reads characters in every encoding: its floor is regexec in
    // UTF mode on the same text.
    floor.push_back(RegexecFloor(kRegex.typed, REG_NEWLINE | REG_UTF, &floorMatches));
    regex2.push_back(Time([&] { hits[4] = RunContinuous(kRegexNoLiteral, SearchNext); }));
    floor2.push_back(RegexecFloor(kRegexNoLiteral.typed, REG_NEWLINE | REG_UTF, &floorMatches2));
    grepDense.push_back(TimeCommand("grep -c WARN " + quoted));
    dense.push_back(Time([&] { hits[3] = RunContinuous(kPlain400k, SearchNext); }));
  }
  const double mPlain = Median(plain), mGrepPlain = Median(grepPlain);
  const double mIcase = Median(icase), mGrepIcase = Median(grepIcase);
  const double mRegex = Median(regex), mGrepRegex = Median(grepRegex), mFloor = Median(floor);
  const double mDense = Median(dense), mGrepDense = Median(grepDense);
  const double mRegex2 = Median(regex2), mFloor2 = Median(floor2);
  std::printf("search/plain400_grep %.2f\n", mPlain / mGrepPlain);
  std::printf("search/icase_grepci %.2f\n", mIcase / mGrepIcase);
  // The worse of the two expressions, with and without a required byte run.
  std::printf("search/regex_floor %.2f\n", std::max(mRegex / mFloor, mRegex2 / mFloor2));
  std::printf("search/regex_grepE %.2f\n", mRegex / mGrepRegex);
  std::printf("search/plain400k_grep %.2f\n", mDense / mGrepDense);
  const double mRgPlain = Median(rgPlain), mRgIcase = Median(rgIcase), mRgRegex = Median(rgRegex);
  const double mScan = Median(scanFloor);
  std::printf("search/plain400_rg %.2f\n", mPlain / mRgPlain);
  std::printf("search/icase_rgci %.2f\n", mIcase / mRgIcase);
  std::printf("search/regex_rg %.2f\n", mRegex / mRgRegex);
  std::printf("search/plain400_scanfloor %.2f\n", mPlain / mScan);
  std::printf("search/icase_scanfloor %.2f\n", mIcase / mScan);
  std::printf("search/regex_scanfloor %.2f\n", mRegex / mScan);
  std::printf(
      "# search medians (s): rg -c ZQXJ %.3f, rg -ci zqxj %.3f, rg -c Z[A-Z]XJ %.3f;"
      " scan floor %.3f with %u threads\n",
      mRgPlain, mRgIcase, mRgRegex, mScan, FloorThreads());
  std::printf(
      "# search medians of %d runs (s): ZQXJ %.3f vs grep -c %.3f (%zu hits, x%.2f);"
      " icase %.3f vs grep -ci %.3f (%zu hits, x%.2f)\n",
      reps, mPlain, mGrepPlain, hits[0], mPlain / mGrepPlain, mIcase, mGrepIcase, hits[1],
      mIcase / mGrepIcase);
  std::printf(
      "# search medians (s): regex Z[A-Z]XJ %.3f (%zu hits) vs regexec-only floor %.3f"
      " (%zu lines, x%.2f) vs grep -cE %.3f (x%.2f)\n",
      mRegex, hits[2], mFloor, floorMatches, mRegex / mFloor, mGrepRegex, mRegex / mGrepRegex);
  std::printf(
      "# search medians (s): regex [Z][Q][X][J] (no required run) %.3f (%zu hits) vs"
      " regexec-only floor %.3f (%zu lines, x%.2f)\n",
      mRegex2, hits[4], mFloor2, floorMatches2, mRegex2 / mFloor2);
  std::printf(
      "# search medians (s): WARN with search-log lines %.3f (%zu hits, %zu bytes of"
      " log) vs grep -c %.3f (x%.2f)\n",
      mDense, hits[3], g_log.size(), mGrepDense, mDense / mGrepDense);
  return 0;
}

void BM_Scan(benchmark::State& state, const Scenario* scenario, bool reference) {
  size_t hits = 0;
  for (auto _ : state) {
    hits = RunContinuous(*scenario, reference ? SearchNextReference : SearchNext);
  }
  state.counters["hits"] = static_cast<double>(hits);
}

}  // namespace

int main(int argc, char** argv) {
  BenchArgs args = ParseBenchArgs(argc, argv);
  const std::string& file = args.file;
  const int reps = args.reps;
  std::vector<char*>& rest = args.rest;
  if (file.empty()) {
    std::fprintf(stderr, "usage: %s FILE [--compare REPS] [benchmark flags]\n", argv[0]);
    return 2;
  }
  if (OpenDocument(file) != 0) {
    std::fprintf(stderr, "cannot open %s\n", file.c_str());
    return 1;
  }
  InstallHooks();
  if (reps > 0) return Compare(file, reps);

  for (const Scenario* s :
       {&kPlain400, &kIgnoreCase, &kRegex, &kRegexNoLiteral, &kPlain400k, &kRegexDense}) {
    benchmark::RegisterBenchmark((std::string("BM_Search/") + s->name).c_str(), BM_Scan, s, false)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);
  }
  benchmark::RegisterBenchmark("BM_SearchReference/plain400", BM_Scan, &kPlain400, true)
      ->Unit(benchmark::kMillisecond)
      ->Iterations(1);
  int count = static_cast<int>(rest.size());
  benchmark::Initialize(&count, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
