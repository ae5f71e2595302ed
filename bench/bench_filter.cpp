// bench_filter FILE --compare REPS [--case=NAME ...] [--filter-only]
//
// The filter against the continuous search for the same text on the same
// warm file: building the shown lines of a filter (from the first line to
// the last) over a continuous search from the top for its first rule's text
// that lists every hit as the result window gets it, each run of the search
// on the file opened anew (a search keeps what it learnt of the file's
// blocks for the next run of the same document). Prints "filter/NAME RATIO"
// lines (median over median; limit 1.5) and "filter/memory RATIO", the list
// of shown lines over 0.2 B a line plus 4 B a shown line (limit 1.00).
// --filter-only times the filter alone (a compressed FILE, against its
// decompressor in compare.d/filter.sh): "# filter medians" lines.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/args.h"
#include "bench/timing.h"
#include "search/filterrules.h"
#include "search/search.h"
#include "store/compressed_slot.h"
#include "store/linefilter.h"
#include "store/slots.h"

namespace {

SearchOptions g_options;
std::string g_log;
size_t g_hits = 0;

size_t Continuous(const std::string& text, bool ignoreCase, bool regex) {
  g_options = SearchOptions{ignoreCase, regex, true, true};
  g_log.clear();
  g_hits = 0;
  SlotTable[CurrentSlot].TopLine = 0;
  SearchRunning = true;
  int32_t start = 0;
  int32_t end = 0;
  while (SearchNext(text, start, end) >= 0) {
  }
  return g_hits;
}

std::unique_ptr<LineFilter> Filter(const std::vector<FilterRule>& rules) {
  FileSlot& slot = SlotTable[CurrentSlot];
  LineFilter::Job job;
  job.fd = slot.FileHandle;
  job.index = slot.Index;
  job.tabWidth = TabWidth;
  job.test = MakeFilterTest(rules, slot.Encoding);
  if (slot.Compressed) {  // as the filter command makes it
    job.source = slot.Compressed->source;
    job.runBytes = uint64_t{4} << 20;
  }
  auto filter = std::make_unique<LineFilter>(std::move(job), nullptr);
  filter->Extend(slot.LineCount, slot.FileSize);
  while (!filter->CaughtUp()) std::this_thread::sleep_for(std::chrono::microseconds(200));
  return filter;
}

}  // namespace

int main(int argc, char** argv) {
  BenchArgs args = ParseBenchArgs(argc, argv);
  if (args.file.empty() || args.reps <= 0) {
    std::fprintf(stderr, "usage: %s FILE --compare REPS\n", argv[0]);
    return 2;
  }
  if (OpenDocument(args.file) != 0) {
    std::fprintf(stderr, "cannot open %s\n", args.file.c_str());
    return 1;
  }
  SearchHooks& hooks = SearchHooksRef();
  hooks.options = [] { return g_options; };
  hooks.hit = [](int slot, int32_t line, std::string_view text, const HitSpan&) {
    ++g_hits;
    g_log += FormatSearchLogLine(slot, line + 1, text);
    g_log += '\n';
  };
  // Each filter against the continuous search for its first rule's text:
  // dense and sparse includes, an exclude of a rare word (almost every line
  // shown), both kinds at once, a regular expression, a case ignored.
  const struct {
    const char* name;
    std::vector<FilterRule> rules;
  } kCases[] = {
      {"plain400", {{"ZQXJ", false, false, false}}},
      {"plain400k", {{"WARN", false, false, false}}},
      {"dense", {{"INFO", false, false, false}}},
      {"sparse", {{"readx", false, false, false}}},
      {"exclude", {{"ZQXJ", true, false, false}}},
      {"both", {{"INFO", false, false, false}, {"readx", true, false, false}}},
      {"regex", {{"read[xy][0-9]", false, true, false}}},
      {"icase", {{"zqxj", false, false, true}}},
  };
  const int32_t lines = SlotTable[CurrentSlot].LineCount;
  double worstMemory = 0;
  // --case=NAME (repeatable) runs only the cases named.
  std::vector<std::string> only;
  bool filterOnly = false;
  for (const char* flag : args.rest) {
    if (std::strncmp(flag, "--case=", 7) == 0) only.emplace_back(flag + 7);
    filterOnly = filterOnly || std::strcmp(flag, "--filter-only") == 0;
  }
  for (const auto& c : kCases) {
    if (!only.empty() && std::find(only.begin(), only.end(), c.name) == only.end()) continue;
    const FilterRule& first = c.rules.front();
    std::vector<double> search, filter;
    size_t hits = 0;
    int32_t shown = 0;
    size_t bytes = 0;
    for (int rep = 0; rep < args.reps; ++rep) {
      if (!filterOnly) {
        CloseDocument();
        if (OpenDocument(args.file) != 0) return 1;
        search.push_back(
            Time([&] { hits = Continuous(first.text, first.ignoreCase, first.regex); }));
      }
      filter.push_back(Time([&] {
        auto f = Filter(c.rules);
        shown = f->ShownCount();
        bytes = f->MemoryBytes();
      }));
    }
    const double budget = 0.2 * lines + 4.0 * shown;
    worstMemory = std::max(worstMemory, static_cast<double>(bytes) / budget);
    if (filterOnly) {
      std::printf("# filter medians of %d runs (s): %s%s %.3f (%d of %d shown, %zu bytes)\n",
                  args.reps, first.exclude ? "-" : "+", first.text.c_str(), Median(filter), shown,
                  lines, bytes);
      std::fflush(stdout);
      continue;
    }
    std::printf("filter/%s_search %.2f\n", c.name, Median(filter) / Median(search));
    std::printf(
        "# filter medians of %d runs (s): %s%s %.3f (%d of %d shown, %zu bytes) vs continuous "
        "search %.3f (%zu hits)\n",
        args.reps, first.exclude ? "-" : "+", first.text.c_str(), Median(filter), shown, lines,
        bytes, Median(search), hits);
    std::fflush(stdout);
  }
  std::printf("filter/memory %.2f\n", worstMemory);
  return 0;
}
