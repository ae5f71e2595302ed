#include "store/workers.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

std::atomic<int> g_test_count{0};

int DefaultCount() {
  static const int count = [] {
    if (const char* forced = std::getenv("DOLMIK_WORKERS")) {
      const int n = std::atoi(forced);
      if (n >= 1 && n <= kMaxWorkers) return n;
    }
    // The cores this process may run on: under an affinity of one core, a
    // second worker would only take turns with the first.
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    const int cores = sched_getaffinity(0, sizeof allowed, &allowed) == 0
                          ? CPU_COUNT(&allowed)
                          : static_cast<int>(std::thread::hardware_concurrency());
    return std::clamp(cores, 1, kMaxWorkers);
  }();
  return count;
}

// Helper threads 1 .. size - 1 (the caller of a job is participant 0).
class Pool {
 public:
  explicit Pool(int size) {
    for (int k = 1; k < size; ++k) threads_.emplace_back([this, k] { Serve(k); });
  }
  ~Pool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
    }
    start_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }
  int size() const { return static_cast<int>(threads_.size()) + 1; }

  void Run(int participants, const std::function<void(int)>& job) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      job_ = &job;
      participants_ = participants;
      remaining_ = participants - 1;
      ++generation_;
    }
    if (participants > 1) start_.notify_all();
    job(0);
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return remaining_ == 0; });
    job_ = nullptr;
  }

 private:
  void Serve(int k) {
    uint64_t seen = 0;
    for (;;) {
      const std::function<void(int)>* job = nullptr;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        start_.wait(lock, [&] { return quit_ || generation_ != seen; });
        if (quit_) return;
        seen = generation_;
        if (k >= participants_) continue;
        job = job_;
      }
      (*job)(k);
      std::lock_guard<std::mutex> lock(mutex_);
      if (--remaining_ == 0) done_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable start_;
  std::condition_variable done_;
  const std::function<void(int)>* job_ = nullptr;
  int participants_ = 0;
  int remaining_ = 0;
  uint64_t generation_ = 0;
  bool quit_ = false;
  std::vector<std::thread> threads_;
};

// One job at a time; the pool is made again when the count changes.
std::mutex g_run_mutex;
std::unique_ptr<Pool> g_pool;

}  // namespace

int WorkerCount() {
  const int forced = g_test_count.load(std::memory_order_relaxed);
  return forced > 0 ? forced : DefaultCount();
}

void SetWorkerCountForTest(int n) { g_test_count.store(std::clamp(n, 0, kMaxWorkers)); }

void RunOnWorkers(int participants, const std::function<void(int)>& job) {
  std::lock_guard<std::mutex> lock(g_run_mutex);
  const int count = WorkerCount();
  participants = std::clamp(participants, 1, count);
  if (participants == 1) {
    job(0);
    return;
  }
  if (!g_pool || g_pool->size() != count) {
    g_pool.reset();
    g_pool = std::make_unique<Pool>(count);
  }
  g_pool->Run(participants, job);
}
