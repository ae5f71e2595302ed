// bench_lineindex [FILE] [--compare REPS] [benchmark flags]
//
// The line index alone, on the line starts of FILE (or $DOLMIK_BENCH_FILE),
// or without one on 40 million generated starts shaped like the benchmark
// file's lines (12 to 44 bytes, 28 on average, and one line in 10,000 of
// 300 to 2,000 bytes):
//   BM_Append/B   every start appended in batches of B (the indexer hands
//                 over a few thousand at a time), the time in Append alone;
//                 counter bytes_a_line
//   BM_Starts63   the starts of a page of 63 rows at a random line
//   BM_Start      one start at a random line
//   BM_StartInOrder  one start at each line in order
//   BM_LineAt     the line of a random offset
//
// With --compare (FILE needed) it times the append of all starts REPS times,
// interleaved with `wc -l FILE` on the same warm file, and prints
// "lineindex/append/wc RATIO" (median over median; lower is better),
// "lineindex/bytes_a_line/2 RATIO" (1.00 is the budget of 2 bytes a line) and
// "#" lines with the absolute medians.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/args.h"
#include "bench/timing.h"
#include "store/lineindex.h"

namespace {

std::vector<uint64_t> g_starts;

bool StartsOfFile(const std::string& path, std::vector<uint64_t>& starts) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::vector<char> buffer(1 << 20);
  uint64_t at = 0;
  starts.assign(1, 0);
  ssize_t got;
  while ((got = read(fd, buffer.data(), buffer.size())) > 0) {
    const char* p = buffer.data();
    const char* end = p + got;
    while ((p = static_cast<const char*>(std::memchr(p, '\n', end - p))) != nullptr) {
      starts.push_back(at + static_cast<uint64_t>(++p - buffer.data()));
    }
    at += static_cast<uint64_t>(got);
  }
  close(fd);
  if (!starts.empty() && starts.back() == at) starts.pop_back();  // no line after the last feed
  return got == 0;
}

std::vector<uint64_t> GeneratedStarts(size_t lines) {
  std::vector<uint64_t> starts(lines);
  std::mt19937_64 random(1);
  uint64_t at = 0;
  for (uint64_t& start : starts) {
    start = at;
    at += random() % 10000 == 0 ? 300 + random() % 1701 : 12 + random() % 33;
  }
  return starts;
}

size_t AppendAll(LineIndex& index, size_t batch) {
  size_t done = 0;
  while (done < g_starts.size()) {
    done += index.Append(g_starts.data() + done, std::min(batch, g_starts.size() - done));
  }
  return done;
}

double ThreadCpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct AppendTime {
  double wall = 0;  // seconds
  double cpu = 0;   // seconds of this thread: the machine is shared, and a
                    // descheduled writer inflates the wall clock alone
};

// The time spent in Append alone, each batch handed over from a small buffer
// as the indexer does (its starts still in cache), not from the big array.
AppendTime TimedAppendAll(LineIndex& index, size_t batch) {
  std::vector<uint64_t> buffer(batch);
  AppendTime time;
  for (size_t done = 0; done < g_starts.size();) {
    const size_t n = std::min(batch, g_starts.size() - done);
    std::memcpy(buffer.data(), g_starts.data() + done, n * sizeof(uint64_t));
    const double cpu = ThreadCpuSeconds();
    const Clock::time_point begin = Clock::now();
    const size_t appended = index.Append(buffer.data(), n);
    time.wall += Seconds(Clock::now() - begin);
    time.cpu += ThreadCpuSeconds() - cpu;
    if (appended != n) return {-1, -1};
    done += n;
  }
  return time;
}

const LineIndex& Built() {
  static const std::unique_ptr<LineIndex> index = [] {
    auto built = std::make_unique<LineIndex>();
    AppendAll(*built, 8192);
    return built;
  }();
  return *index;
}

void BM_Append(benchmark::State& state) {
  size_t memory = 0;
  for (auto _ : state) {
    LineIndex index;
    state.SetIterationTime(TimedAppendAll(index, static_cast<size_t>(state.range(0))).wall);
    memory = index.MemoryBytes();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(g_starts.size()));
  state.counters["bytes_a_line"] = static_cast<double>(memory) / g_starts.size();
}
BENCHMARK(BM_Append)->Arg(64)->Arg(8192)->Arg(65536)->UseManualTime()->Unit(
    benchmark::kMillisecond);

void BM_Starts63(benchmark::State& state) {
  const LineIndex& index = Built();
  std::mt19937_64 random(2);
  uint64_t page[63];
  for (auto _ : state) {
    index.Starts(static_cast<int64_t>(random() % (g_starts.size() - 63)), 63, page);
    benchmark::DoNotOptimize(page);
  }
}
BENCHMARK(BM_Starts63);

void BM_Start(benchmark::State& state) {
  const LineIndex& index = Built();
  std::mt19937_64 random(3);
  for (auto _ : state) {
    benchmark::DoNotOptimize(index.Start(static_cast<int64_t>(random() % g_starts.size())));
  }
}
BENCHMARK(BM_Start);

// Every line in order, one Start each, as a walk over all lines with
// GetLine does it.
void BM_StartInOrder(benchmark::State& state) {
  const LineIndex& index = Built();
  for (auto _ : state) {
    uint64_t sum = 0;
    for (int64_t line = 0; line < index.Size(); ++line) sum += index.Start(line);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * index.Size());
}
BENCHMARK(BM_StartInOrder)->Unit(benchmark::kMillisecond);

void BM_LineAt(benchmark::State& state) {
  const LineIndex& index = Built();
  std::mt19937_64 random(4);
  const uint64_t span = g_starts.back() + 1;
  for (auto _ : state) benchmark::DoNotOptimize(index.LineAt(random() % span));
}
BENCHMARK(BM_LineAt);

double TimeCommand(const std::string& command) {
  const Clock::time_point begin = Clock::now();
  const int status = std::system((command + " >/dev/null").c_str());
  return status == 0 ? Seconds(Clock::now() - begin) : -1;
}

// Mean seconds per call of f over calls calls.
template <typename F>
double PerCall(int calls, F&& f) {
  const Clock::time_point begin = Clock::now();
  for (int i = 0; i < calls; ++i) f(i);
  return Seconds(Clock::now() - begin) / calls;
}

int Compare(const std::string& file, int reps) {
  const std::string quoted = "'" + file + "'";
  std::vector<double> append, append_cpu, wc, page, line_at;
  size_t memory = 0;
  std::mt19937_64 random(5);
  for (int rep = 0; rep < reps; ++rep) {
    // Interleaved, so that both sides of the ratio see the same load.
    wc.push_back(TimeCommand("wc -l " + quoted));
    LineIndex index;
    const AppendTime time = TimedAppendAll(index, 8192);
    append.push_back(time.wall);
    append_cpu.push_back(time.cpu);
    memory = index.MemoryBytes();
    uint64_t rows[63];
    page.push_back(PerCall(20000, [&](int) {
      index.Starts(static_cast<int64_t>(random() % (g_starts.size() - 63)), 63, rows);
      benchmark::DoNotOptimize(rows);
    }));
    line_at.push_back(PerCall(200000, [&](int) {
      benchmark::DoNotOptimize(index.LineAt(random() % (g_starts.back() + 1)));
    }));
  }
  const double bytes_a_line = static_cast<double>(memory) / g_starts.size();
  std::printf("lineindex/append/wc %.3f\n", Median(append) / Median(wc));
  std::printf("lineindex/bytes_a_line/2 %.2f\n", bytes_a_line / 2);
  std::printf(
      "# line index of %zu lines: append median %.1f ms (%.1f ms of CPU; batches of 8192),"
      " wc -l %.1f ms; %.3f bytes a line (%.1f MiB)\n",
      g_starts.size(), Median(append) * 1e3, Median(append_cpu) * 1e3, Median(wc) * 1e3,
      bytes_a_line, memory / 1048576.0);
  std::printf("# line index: Starts of 63 at a random line %.2f us, LineAt %.2f us (medians)\n",
              Median(page) * 1e6, Median(line_at) * 1e6);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  BenchArgs args = ParseBenchArgs(argc, argv);
  const std::string& file = args.file;
  const int reps = args.reps;
  std::vector<char*>& rest = args.rest;
  if (!file.empty()) {
    if (!StartsOfFile(file, g_starts) || g_starts.size() < 64) {
      std::fprintf(stderr, "cannot read 64 lines or more from %s\n", file.c_str());
      return 1;
    }
  } else if (reps > 0) {
    std::fprintf(stderr, "usage: %s FILE --compare REPS\n", argv[0]);
    return 2;
  } else {
    g_starts = GeneratedStarts(40'000'000);
  }
  if (reps > 0) return Compare(file, reps);

  int count = static_cast<int>(rest.size());
  benchmark::Initialize(&count, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
