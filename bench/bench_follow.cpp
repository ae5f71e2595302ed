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
// Then a writer process appends at 50 MB/s for 4 seconds in 64 KiB writes,
// and the CPU the following takes over that span is measured (the bench's
// own process: the watcher's thread and a pump on every wake, as the window
// makes it; "on" also fetches the last page's 60 lines at each growth, as
// follow mode draws them), against `tail -F` on the same writer.
//
// Prints "follow/1M/wc RATIO" (catch-up median over the wc -l median on the
// same bytes; the aim is about 1, "at the scan's speed"), "follow/1M/1s
// RATIO" (catch-up median over the second the writer took; below 1 keeps
// up), "follow/idle_cpu_ms_per_s VALUE", "follow/50MBps/{on,off,tail}_cpu_pct
// VALUE" (medians of REPS runs, percent of one core), "follow/50MBps/late_ms
// VALUE" (the longest time from the writer's end until its lines were all
// in) and "#" lines with the medians.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

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

constexpr double kRate = 50e6;       // bytes a second
constexpr double kWriteSeconds = 4;  // how long the writer writes
constexpr size_t kWrite = 64 * 1024;

// Forks a writer that appends whole lines to path at kRate for
// kWriteSeconds; returns its pid. The lines written: *lines.
pid_t StartWriter(const std::string& path, int64_t* lines) {
  std::string chunk;
  int64_t per_chunk = 0;
  while (chunk.size() < kWrite - 80) {
    chunk += "2026-12-07 12:00:00.000000 INFO [worker-3] request " + std::to_string(per_chunk) +
             " done\r\n";
    ++per_chunk;
  }
  const int64_t chunks = static_cast<int64_t>(kRate * kWriteSeconds / chunk.size());
  *lines = chunks * per_chunk;
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
  const auto start = Clock::now();
  for (int64_t i = 0; i < chunks; ++i) {
    const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(i * chunk.size() / kRate));
    std::this_thread::sleep_until(due);
    if (::write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) _exit(1);
  }
  _exit(0);
}

// Percent of a core the store takes following the writer, and the time from
// the writer's end until every line was in.
std::pair<double, double> FollowCpu(const std::string& path, bool page) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << "first line\r\n";
  std::mutex mutex;
  std::condition_variable woken;
  bool wake = false;
  Hooks().index_wake = [&](int) {
    std::lock_guard<std::mutex> lock(mutex);
    wake = true;
    woken.notify_one();
  };
  Hooks().index_grown = [page](FileSlot& slot, int32_t) {
    if (!page) return;
    for (int32_t line = std::max(0, slot.LineCount - 60); line < slot.LineCount; ++line)
      GetLine(slot, line);
  };
  CurrentSlot = 1;
  if (OpenDocument(path) != 0) return {-1, -1};
  FileSlot& slot = SlotTable[1];
  auto pump = [&](std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex);
    woken.wait_for(lock, wait, [&] { return wake; });
    const bool was = wake;
    wake = false;
    lock.unlock();
    if (was) PumpIndex(slot);
  };
  while (!IndexComplete(slot)) pump(std::chrono::milliseconds(10));
  int64_t lines = 0;
  const double cpu_before = CpuSeconds();
  const auto start = Clock::now();
  const pid_t writer = StartWriter(path, &lines);
  int status = 0;
  while (::waitpid(writer, &status, WNOHANG) == 0) pump(std::chrono::milliseconds(10));
  const auto written = Clock::now();
  while (slot.LineCount != lines + 1 && Seconds(Clock::now() - written) < 10)
    pump(std::chrono::milliseconds(10));
  double late = Seconds(Clock::now() - written);
  const double cpu = CpuSeconds() - cpu_before;
  const double span = Seconds(Clock::now() - start);
  if (slot.LineCount != lines + 1) late = -1;
  CloseDocument();
  Hooks().index_wake = nullptr;
  Hooks().index_grown = nullptr;
  CurrentSlot = 0;
  return {cpu * 100 / span, late};
}

// Percent of a core `tail -F` takes on the same writer.
double TailCpu(const std::string& path) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << "first line\r\n";
  const pid_t tail = ::fork();
  if (tail == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::execlp("tail", "tail", "-F", path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto start = Clock::now();
  int64_t lines = 0;
  const pid_t writer = StartWriter(path, &lines);
  int status = 0;
  ::waitpid(writer, &status, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const double span = Seconds(Clock::now() - start);
  ::kill(tail, SIGTERM);
  rusage usage{};
  ::wait4(tail, &status, 0, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return (seconds(usage.ru_utime) + seconds(usage.ru_stime)) * 100 / span;
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

  std::vector<double> on;
  std::vector<double> off;
  std::vector<double> tail;
  double late = 0;
  const std::string rate_path = (dir / "rate.log").string();
  for (int r = 0; r < std::min(reps, 3); ++r) {
    const auto [on_cpu, on_late] = FollowCpu(rate_path, true);
    const auto [off_cpu, off_late] = FollowCpu(rate_path, false);
    on.push_back(on_cpu);
    off.push_back(off_cpu);
    tail.push_back(TailCpu(rate_path));
    late = std::max({late, on_late, off_late});
    if (on_late < 0 || off_late < 0) late = 1e9;
  }
  std::filesystem::remove_all(dir);

  const double catch_median = Median(catch_up);
  const double wc_median = Median(wc);
  std::printf("follow/1M/wc %.2f\n", catch_median / wc_median);
  std::printf("follow/1M/1s %.3f\n", catch_median / 1.0);
  std::printf("follow/idle_cpu_ms_per_s %.3f\n", idle_cpu * 1000 / idle_span);
  std::printf("follow/50MBps/on_cpu_pct %.1f\n", Median(on));
  std::printf("follow/50MBps/off_cpu_pct %.1f\n", Median(off));
  std::printf("follow/50MBps/tail_cpu_pct %.1f\n", Median(tail));
  std::printf("follow/50MBps/late_ms %.0f\n", late * 1000);
  std::printf(
      "# 1,000,000 appended lines (%zu bytes) taken in: median %.1f ms; wc -l on them: "
      "median %.1f ms (%d runs each)\n",
      burst.size(), catch_median * 1000, wc_median * 1000, reps);
  return 0;
}
