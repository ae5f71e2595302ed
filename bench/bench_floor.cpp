// bench_floor FILE [--compare REPS]
//
// The scan floor (bench/scan_floor.h) of FILE: with --compare it times REPS
// runs with as many threads as cores and with one, interleaved with `wc -l`
// on the same warm file, and prints "floor/wc RATIO" (the many-thread floor
// over wc -l) and "#" lines with the medians, the read floor's too. Without
// --compare it prints one line for compare.sh's own loop: "floor SECONDS
// threads N one SECONDS".
#include <cstdio>
#include <string>
#include <vector>

#include "bench/args.h"
#include "bench/scan_floor.h"
#include "bench/timing.h"

int main(int argc, char** argv) {
  BenchArgs args = ParseBenchArgs(argc, argv);
  if (args.file.empty()) {
    std::fprintf(stderr, "usage: %s FILE [--compare REPS]\n", argv[0]);
    return 2;
  }
  const unsigned threads = FloorThreads();
  if (args.reps <= 0) {
    const double many = ScanFloor(args.file, threads);
    const double one = ScanFloor(args.file, 1);
    if (many < 0 || one < 0) return 1;
    std::printf("floor %.6f threads %u one %.6f\n", many, threads, one);
    return 0;
  }
  std::vector<double> many, one, wc, read_many, read_one;
  size_t feeds = 0;
  for (int rep = 0; rep < args.reps; ++rep) {
    wc.push_back(TimeCommand("wc -l '" + args.file + "'"));
    many.push_back(ScanFloor(args.file, threads, &feeds));
    one.push_back(ScanFloor(args.file, 1));
    read_many.push_back(ReadFloor(args.file, threads));
    read_one.push_back(ReadFloor(args.file, 1));
  }
  std::printf("floor/wc %.2f\n", Median(many) / Median(wc));
  std::printf(
      "# scan floor (memchr over a fresh mapping): %u threads %.3f s, one thread %.3f s,"
      " wc -l %.3f s (medians of %d; %zu line feeds)\n",
      threads, Median(many), Median(one), Median(wc), args.reps, feeds);
  std::printf(
      "# read floor (one pass over a mapping filled in at once): %u threads %.3f s,"
      " one thread %.3f s\n",
      threads, Median(read_many), Median(read_one));
  return 0;
}
