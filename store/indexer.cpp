#include "store/indexer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

#include <unistd.h>

#include "store/compressed.h"
#include "store/linescan.h"
#include "store/parallelscan.h"
#include "store/platform.h"
#include "store/workers.h"

namespace sp = store_platform;

namespace {

// The scan reads the file through windows of this size, split into pieces
// among the workers, each of which fills in the pages of its piece at once: a
// warm file then takes no page fault, and a cold one is read in long runs.
constexpr uint64_t kScanChunk = uint64_t{8} << 20;
// Starts go to the index at most this many at a time (the index publishes
// its size once per append).
constexpr size_t kBatch = size_t{1} << 16;
constexpr auto kWakeInterval = std::chrono::milliseconds(100);

std::atomic<int> g_fail_append_at{0};
std::atomic<int> g_hold_after{-1};
std::atomic<int64_t> g_start_limit{-1};

bool AppendFails() {
  int n = g_fail_append_at.load(std::memory_order_relaxed);
  while (n > 0) {
    if (g_fail_append_at.compare_exchange_weak(n, n - 1)) return n == 1;
  }
  return false;
}

}  // namespace

void FailIndexAppendAt(int n) { g_fail_append_at.store(n); }
void HoldIndexersAfterChunks(int chunks) { g_hold_after.store(chunks); }
void LimitIndexStartsForTest(int64_t starts) { g_start_limit.store(starts); }

IndexWorker::IndexWorker(const Job& job, std::function<void()> wake)
    : job_(job), wake_(std::move(wake)), scanned_to_(job.from) {}

IndexWorker::~IndexWorker() { Cancel(); }

void IndexWorker::Start() {
  thread_ = std::thread([this] { Run(); });
}

void IndexWorker::RunHere() { Run(); }

void IndexWorker::Cancel() {
  stop_.store(true, std::memory_order_relaxed);
  Join();
}

void IndexWorker::Join() {
  if (thread_.joinable()) thread_.join();
}

ByteFingerprint TakeFingerprint(int fd, uint64_t end) {
  auto hash = [fd](uint64_t from, uint64_t to, uint64_t* out) {
    char buffer[kFingerprintTail];
    const size_t length = static_cast<size_t>(to - from);
    if (::pread(fd, buffer, length, static_cast<off_t>(from)) != static_cast<ssize_t>(length))
      return false;
    uint64_t h = 0xcbf29ce484222325u;  // FNV-1a, 64 bits
    for (size_t i = 0; i < length; ++i)
      h = (h ^ static_cast<unsigned char>(buffer[i])) * 0x100000001b3u;
    *out = h;
    return true;
  };
  ByteFingerprint print;
  if (!hash(0, std::min(end, kFingerprintHead), &print.head) ||
      !hash(end - std::min(end, kFingerprintTail), end, &print.tail))
    return ByteFingerprint{};
  print.taken = true;
  print.end = end;
  return print;
}

void IndexWorker::Run() {
  outcome_ = Scan();
  if (outcome_ == Outcome::kComplete) fingerprint_ = TakeFingerprint(job_.map_fd, job_.to);
  finished_.store(true, std::memory_order_release);
  if (wake_) wake_();
}

IndexWorker::Outcome IndexWorker::Scan() {
  LineIndex& index = *job_.index;
  const uint64_t to = job_.to;
  const uint64_t granularity = sp::AllocationGranularity();
  Outcome failure = Outcome::kRunning;

  // Moves a batch of starts into the index, with their groups as coded
  // beforehand when there are (coded: else null). A short append is the
  // line limit when the index is full (unless the one start refused is the
  // end of the file, the start of no line), else lack of memory.
  auto append_coded = [&](const uint64_t* starts, size_t n,
                          const LineIndex::CodedRun* coded) -> bool {
    const int64_t limit = g_start_limit.load(std::memory_order_relaxed);
    size_t allowed = n;
    if (limit >= 0)
      allowed = static_cast<size_t>(std::clamp<int64_t>(limit - index.Size(), 0, allowed));
    const size_t taken = AppendFails()                   ? 0
                         : coded != nullptr && limit < 0 ? index.AppendCoded(starts, n, *coded)
                                                         : index.Append(starts, allowed);
    if (taken < n) {
      const bool full = index.Size() >= (limit >= 0 ? limit : LineIndex::kMaxLines);
      if (full && taken + 1 == n && starts[taken] == to) return true;
      failure = full ? Outcome::kLineLimit : Outcome::kNoMemory;
      return false;
    }
    return true;
  };
  auto append = [&](const uint64_t* starts, size_t n) { return append_coded(starts, n, nullptr); };

  if (job_.source) {
    // Room for a whole batch, and the scanner's scratch writes past the
    // last start it reports stay inside it.
    std::vector<uint64_t> batch(kBatch);
    size_t pending = 0;
    auto flush = [&]() -> bool {
      const bool ok = pending == 0 || append(batch.data(), pending);
      pending = 0;
      return ok;
    };
    const Outcome outcome = ScanSource(batch, pending, flush);
    return outcome == Outcome::kRunning ? failure : outcome;
  }
  // Each worker codes the whole groups of its piece beside the others, so
  // that the hand-over, one piece after the other, only copies them in.
  struct Sink : LineStartSink {
    LineIndex::CodedRun runs[kMaxWorkers];
    bool prepared[kMaxWorkers] = {};
    int64_t first_line = 0;  // the index's size when a window's scan began
    const std::function<bool(const uint64_t*, size_t, const LineIndex::CodedRun*)>& append;
    explicit Sink(const decltype(append)& a) : append(a) {}
    void Prepare(int worker, const uint64_t* starts, size_t n, uint64_t before) override {
      LineIndex::CodeRun(starts, n, first_line + static_cast<int64_t>(before), &runs[worker]);
      prepared[worker] = true;
    }
    bool Take(int worker, const uint64_t* starts, size_t n) override {
      // A piece prepared goes in at once (the index checks that it was
      // prepared for these starts at its present size), others in batches.
      if (prepared[worker]) {
        prepared[worker] = false;
        return append(starts, n, &runs[worker]);
      }
      for (size_t done = 0; done < n; done += kBatch) {
        if (!append(starts + done, std::min(kBatch, n - done), nullptr)) return false;
      }
      return true;
    }
  };
  const std::function<bool(const uint64_t*, size_t, const LineIndex::CodedRun*)> append_fn =
      append_coded;
  Sink sink(append_fn);
  sp::AdviseSequential(job_.map_fd);
  auto last_wake = std::chrono::steady_clock::now();
  bool woke_once = false;
  uint64_t pos = job_.from;
  int chunks = 0;
  int64_t lines_seen = 0;
  while (pos < to) {
    for (int hold = g_hold_after.load(); hold >= 0 && chunks >= hold; hold = g_hold_after.load()) {
      if (stop_.load(std::memory_order_relaxed)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ++chunks;
    if (stop_.load(std::memory_order_relaxed)) return Outcome::kCancelled;
    // A hole of a sparse file holds only zeros: no line feed to find there.
    const uint64_t data = sp::NextData(job_.map_fd, pos, to);
    if (data >= to) break;
    if (data / granularity * granularity > pos) pos = data / granularity * granularity;
    const uint64_t map_start = pos / granularity * granularity;
    const uint64_t map_length = std::min(kScanChunk, to - map_start);
    const uint64_t next = map_start + map_length;
    // With helpers each worker fills in the pages it scans; alone, the
    // window is filled in at once, as it is mapped.
    const char* base = sp::MapWindow(job_.map_fd, map_start, map_length, WorkerCount() < 2);
    if (base == nullptr) {
      error_ = errno;
      return Outcome::kOsError;
    }
    sp::RegisterWindow(job_.slot, sp::kScanWindow, base, map_length);
    // Pieces sized by the lines seen so far (the first window: log lines).
    const int64_t lines_before = index.Size();
    const double bytes_a_line =
        lines_seen > 0 ? static_cast<double>(pos - job_.from) / static_cast<double>(lines_seen)
                       : 64;
    sink.first_line = lines_before;
    const bool ok = FindLineStarts(base, map_start, pos, next, sink, ScanPieceFor(bytes_a_line));
    lines_seen += index.Size() - lines_before;
    sp::UnregisterWindow(job_.slot, sp::kScanWindow);
    if (!sp::UnmapWindow(base, map_length) && ok) {
      error_ = errno;
      return Outcome::kOsError;
    }
    if (!ok) {
      // The lines taken in are kept: scanned_to_ moves to the last start.
      scanned_to_.store(index.Size() > 0 ? index.Start(index.Size() - 1) : job_.from,
                        std::memory_order_release);
      return failure;
    }
    pos = next;
    scanned_to_.store(pos, std::memory_order_release);
    const auto now = std::chrono::steady_clock::now();
    if (wake_ && (!woke_once || now - last_wake >= kWakeInterval)) {
      woke_once = true;
      last_wake = now;
      wake_();
    }
  }
  scanned_to_.store(to, std::memory_order_release);
  return Outcome::kComplete;
}

IndexWorker::Outcome IndexWorker::ScanSource(std::vector<uint64_t>& batch, size_t& pending,
                                             const std::function<bool()>& flush) {
  auto last_wake = std::chrono::steady_clock::now();
  bool woke_once = false;
  bool ok = true;
  uint64_t at = 0;  // unpacked offset of the next byte
  job_.source->Pass([&](const char* data, size_t length) {
    if (stop_.load(std::memory_order_relaxed)) return false;
    for (size_t done = 0; done < length;) {
      size_t consumed = 0;
      pending += RecordLineStarts(data + done, length - done, at + done, batch.data() + pending,
                                  batch.size() - pending, &consumed);
      done += consumed;
      if (pending == batch.size() && !(ok = flush())) return false;
    }
    at += length;
    if (!(ok = flush())) return false;
    scanned_to_.store(at, std::memory_order_release);
    const auto now = std::chrono::steady_clock::now();
    if (wake_ && (!woke_once || now - last_wake >= kWakeInterval)) {
      woke_once = true;
      last_wake = now;
      wake_();
    }
    return true;
  });
  if (!ok) return Outcome::kRunning;  // the failure flush recorded
  if (stop_.load(std::memory_order_relaxed)) return Outcome::kCancelled;
  scanned_to_.store(at, std::memory_order_release);
  return Outcome::kComplete;
}
