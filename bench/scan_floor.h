// The scan floor: the line feeds of a file counted by memchr over a fresh
// read-only mapping of it, by `threads` threads that each take an equal part.
// Nothing that reads every byte of a mapped file can be much faster; the
// index and the searches are measured against it with as many threads as
// cores (and one, for the single-core figures).
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/timing.h"

// Seconds from the mapping to the last thread's end, -1 when the file cannot
// be mapped; *feeds gets the count of line feeds.
inline double ScanFloor(const std::string& file, unsigned threads, size_t* feeds = nullptr) {
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size <= 0) {
    close(fd);
    return -1;
  }
  const size_t size = static_cast<size_t>(st.st_size);
  threads = std::max(threads, 1u);
  std::vector<size_t> counts(threads);
  const Clock::time_point begin = Clock::now();
  void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return -1;
  const char* base = static_cast<const char*>(map);
  auto count = [&](unsigned t) {
    const char* p = base + size / threads * t;
    const char* end = t + 1 == threads ? base + size : base + size / threads * (t + 1);
    size_t n = 0;
    while ((p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p))))) {
      ++n;
      ++p;
    }
    counts[t] = n;
  };
  std::vector<std::thread> workers;
  for (unsigned t = 1; t < threads; ++t) workers.emplace_back(count, t);
  count(0);
  for (std::thread& worker : workers) worker.join();
  const double seconds = Seconds(Clock::now() - begin);
  munmap(map, size);
  if (feeds != nullptr) {
    *feeds = 0;
    for (size_t n : counts) *feeds += n;
  }
  return seconds;
}

// The read floor: the file mapped with its pages filled in at once, then
// read once by `threads` threads (memchr for a zero byte, which a text file
// does not hold, so each part is one pass at the memory's speed). What no
// scan of the file, however few calls it makes per line, can beat on this
// machine. Seconds, mapping included; -1 when the file cannot be mapped.
inline double ReadFloor(const std::string& file, unsigned threads) {
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size <= 0) {
    close(fd);
    return -1;
  }
  const size_t size = static_cast<size_t>(st.st_size);
  threads = std::max(threads, 1u);
  const Clock::time_point begin = Clock::now();
  void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return -1;
  const char* base = static_cast<const char*>(map);
  // The zeros found are kept, so that the reads are not optimized away.
  std::vector<size_t> zeros(threads);
  auto read = [&](unsigned t) {
    const char* p = base + size / threads * t;
    const char* end = t + 1 == threads ? base + size : base + size / threads * (t + 1);
    size_t n = 0;
    while (p < end &&
           (p = static_cast<const char*>(std::memchr(p, 0, static_cast<size_t>(end - p))))) {
      ++n;
      ++p;
    }
    zeros[t] = n;
  };
  std::vector<std::thread> workers;
  for (unsigned t = 1; t < threads; ++t) workers.emplace_back(read, t);
  read(0);
  for (std::thread& worker : workers) worker.join();
  const double seconds = Seconds(Clock::now() - begin);
  munmap(map, size);
  size_t total = 0;
  for (size_t n : zeros) total += n;
  return total == SIZE_MAX ? -1 : seconds;
}

// Threads for the floor: as many as cores.
inline unsigned FloorThreads() { return std::max(std::thread::hardware_concurrency(), 1u); }
