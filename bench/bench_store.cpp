// Document store benchmarks on one file (argument or DOLMIK_BENCH_FILE):
//   BM_IndexBuild       OpenDocument + CloseDocument
//   BM_SequentialLines  GetLineInto over every line, in order
//   BM_RandomPage       a page of 63 GetLineInto at a random top line
//                       (nearly always in another block: a remap included)
//
// bench_store --once FILE runs one open in this fresh process and prints
// "open_seconds S lines N index_bytes B peak_rss_bytes R rss_bytes R2" (peak
// RSS from VmHWM, RSS after the open from VmRSS), which bench/compare.sh
// uses for its medians and the memory figures. --cold first drops the
// file's pages from the page cache (a cold open).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "store/platform.h"
#include "store/slots.h"

namespace {

std::string g_file;

// Peak resident set of this process in bytes (VmHWM).
long long PeakRssBytes() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmHWM:") {
      long long kib = 0;
      status >> kib;
      return kib * 1024;
    }
    status.ignore(1 << 10, '\n');
  }
  return -1;
}

// Resident set of this process in bytes now (VmRSS).
long long RssBytes() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      long long kib = 0;
      status >> kib;
      return kib * 1024;
    }
    status.ignore(1 << 10, '\n');
  }
  return -1;
}

// Bytes of index the open document holds.
long long IndexBytes(const FileSlot& slot) {
  return slot.Index ? static_cast<long long>(slot.Index->MemoryBytes()) : 0;
}

void OpenOrSkip(benchmark::State& state) {
  ResetSlotTable();
  if (OpenDocument(g_file) != 0) state.SkipWithError(("cannot open " + g_file).c_str());
}

void BM_IndexBuild(benchmark::State& state) {
  ResetSlotTable();
  int32_t lines = 0;
  for (auto _ : state) {
    if (OpenDocument(g_file) != 0) {
      state.SkipWithError(("cannot open " + g_file).c_str());
      break;
    }
    lines = SlotTable[0].LineCount;
    CloseDocument();
  }
  state.counters["lines"] = lines;
  state.SetItemsProcessed(state.iterations() * lines);
}
BENCHMARK(BM_IndexBuild)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SequentialLines(benchmark::State& state) {
  OpenOrSkip(state);
  FileSlot& slot = SlotTable[0];
  char buffer[kLineBufferSize];
  for (auto _ : state) {
    long long bytes = 0;
    for (int32_t line = 0; line < slot.LineCount; ++line) bytes += GetLineInto(slot, line, buffer);
    benchmark::DoNotOptimize(bytes);
  }
  state.SetItemsProcessed(state.iterations() * slot.LineCount);
  CloseDocument();
}
BENCHMARK(BM_SequentialLines)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RandomPage(benchmark::State& state) {
  OpenOrSkip(state);
  FileSlot& slot = SlotTable[0];
  std::mt19937 random(42);
  const int32_t tops = slot.LineCount > 63 ? slot.LineCount - 63 : 1;
  std::uniform_int_distribution<int32_t> pick(0, tops - 1);
  char buffer[kLineBufferSize];
  for (auto _ : state) {
    const int32_t top = pick(random);
    for (int32_t line = top; line < top + 63; ++line) {
      benchmark::DoNotOptimize(GetLineInto(slot, line, buffer));
    }
  }
  CloseDocument();
}
BENCHMARK(BM_RandomPage)->Unit(benchmark::kMicrosecond)->UseRealTime();

int RunOnce(bool cold) {
  ResetSlotTable();
  if (cold) {
    const int fd = ::open(g_file.c_str(), O_RDONLY);
    if (fd < 0 || !store_platform::DropFromCache(fd)) {
      std::fprintf(stderr, "cannot drop %s from the page cache\n", g_file.c_str());
      return 1;
    }
    ::close(fd);
  }
  const auto start = std::chrono::steady_clock::now();
  const int result = OpenDocument(g_file);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (result != 0) {
    std::fprintf(stderr, "cannot open %s\n", g_file.c_str());
    return 1;
  }
  std::printf("open_seconds %.4f lines %d index_bytes %lld peak_rss_bytes %lld rss_bytes %lld\n",
              seconds, SlotTable[0].LineCount, IndexBytes(SlotTable[0]), PeakRssBytes(),
              RssBytes());
  CloseDocument();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  bool once = false;
  bool cold = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--once") == 0) {
      once = true;
    } else if (std::strcmp(argv[i], "--cold") == 0) {
      cold = true;
    } else {
      g_file = argv[i];
    }
  }
  if (g_file.empty() && std::getenv("DOLMIK_BENCH_FILE") != nullptr) {
    g_file = std::getenv("DOLMIK_BENCH_FILE");
  }
  if (g_file.empty()) {
    std::fprintf(stderr, "usage: %s [--once] FILE (or DOLMIK_BENCH_FILE=FILE)\n", argv[0]);
    return 2;
  }
  if (once) return RunOnce(cold);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
