// The command line shared by the benchmark programs:
//   PROGRAM [FILE] [--compare REPS] [benchmark flags]
// FILE may also come from $DOLMIK_BENCH_FILE.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

struct BenchArgs {
  std::string file;         // empty when none was given
  int reps = 0;             // --compare REPS; 0 runs the Google Benchmark cases
  bool prepare = false;     // --prepare, where the program takes it
  std::vector<char*> rest;  // argv[0] and the flags for Google Benchmark
};

inline BenchArgs ParseBenchArgs(int argc, char** argv, bool takesPrepare = false) {
  BenchArgs args;
  args.rest.push_back(argv[0]);
  for (int i = 1; i < argc; ++i) {
    if (takesPrepare && std::strcmp(argv[i], "--prepare") == 0) {
      args.prepare = true;
    } else if (std::strcmp(argv[i], "--compare") == 0 && i + 1 < argc) {
      args.reps = std::atoi(argv[++i]);
    } else if (argv[i][0] != '-' && args.file.empty()) {
      args.file = argv[i];
    } else {
      args.rest.push_back(argv[i]);
    }
  }
  if (args.file.empty() && std::getenv("DOLMIK_BENCH_FILE") != nullptr) {
    args.file = std::getenv("DOLMIK_BENCH_FILE");
  }
  return args;
}
