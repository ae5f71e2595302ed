// bench_follow [REPS]
//
// Following a growing file, with the store alone. A writer appends 1,000,000
// log-like lines (about 60 MB, what a file growing at a million lines a
// second gains in one second) to an open document in one burst; the time
// until the document holds them (the watcher's notice, the index extension
// from where it stopped, the pump) is taken REPS times. The same lines are
// counted by `wc -l` on a file of their own, interleaved, for the scan-speed
// yardstick. Then the document sits idle for 3 seconds and the process's
// CPU time over that span is taken: the watcher's cost.
//
// Prints "follow/1M/wc RATIO" (catch-up median over the wc -l median on the
// same bytes; the aim is about 1, "at the scan's speed"), "follow/1M/1s
// RATIO" (catch-up median over the second the writer took; below 1 keeps
// up), "follow/idle_cpu_ms_per_s VALUE" and "#" lines with the medians.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/timing.h"
#include "store/filewatch.h"
#include "store/slots.h"

namespace {

constexpr int kLines = 1'000'000;

std::string Burst(int serial) {
  std::string text;
  text.reserve(static_cast<size_t>(kLines) * 64);
  char line[128];
  for (int i = 0; i < kLines; ++i) {
    const int n = std::snprintf(line, sizeof line,
                                "2026-12-07 12:00:%02d.%06d INFO [worker-%d] request %d done\r\n",
                                i % 60, i, serial % 8, i);
    text.append(line, static_cast<size_t>(n));
  }
  return text;
}

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double WcSeconds(const std::string& path) {
  const std::string command = "wc -l '" + path + "' >/dev/null";
  const auto start = Clock::now();
  if (std::system(command.c_str()) != 0) return -1;
  return Seconds(Clock::now() - start);
}

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("dolmik-follow-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "app.log").string();
  const std::string chunk_path = (dir / "chunk.log").string();
  std::ofstream(path, std::ios::binary) << "first line\r\n";
  const std::string burst = Burst(1);
  std::ofstream(chunk_path, std::ios::binary) << burst;

  CurrentSlot = 0;
  if (OpenDocument(path) != 0) {
    std::fprintf(stderr, "cannot open %s\n", path.c_str());
    return 1;
  }
  FileSlot& slot = SlotTable[0];
  std::vector<double> catch_up;
  std::vector<double> wc;
  int32_t expected = slot.LineCount;
  for (int r = 0; r < reps; ++r) {
    wc.push_back(WcSeconds(chunk_path));
    {
      std::ofstream out(path, std::ios::binary | std::ios::app);
      out << burst;
    }
    expected += kLines;
    const auto start = Clock::now();
    while (slot.LineCount != expected) {
      // The watcher wakes on the kernel's notice; without index_wake the
      // pump is the bench's to call.
      PumpIndex(slot);
      if (slot.LineCount != expected) std::this_thread::sleep_for(std::chrono::microseconds(200));
      if (Seconds(Clock::now() - start) > 60) {
        std::fprintf(stderr, "the index did not follow (%d of %d lines)\n", slot.LineCount,
                     expected);
        return 1;
      }
    }
    catch_up.push_back(Seconds(Clock::now() - start));
  }

  const double cpu_before = CpuSeconds();
  const auto idle_start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const double idle_cpu = CpuSeconds() - cpu_before;
  const double idle_span = Seconds(Clock::now() - idle_start);
  CloseDocument();
  std::filesystem::remove_all(dir);

  const double catch_median = Median(catch_up);
  const double wc_median = Median(wc);
  std::printf("follow/1M/wc %.2f\n", catch_median / wc_median);
  std::printf("follow/1M/1s %.3f\n", catch_median / 1.0);
  std::printf("follow/idle_cpu_ms_per_s %.3f\n", idle_cpu * 1000 / idle_span);
  std::printf(
      "# 1,000,000 appended lines (%zu bytes) taken in: median %.1f ms; wc -l on them: "
      "median %.1f ms (%d runs each)\n",
      burst.size(), catch_median * 1000, wc_median * 1000, reps);
  return 0;
}
