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

// The scan maps the file a window of up to this size at a time (address
// space only), and reads it a stretch at a time, split into pieces among the
// workers, each of which fills in the pages of its piece at once: a warm
// file then takes no page fault, and a cold one is read in long runs. Each
// stretch is unmapped once scanned, so that the file's pages mapped at once
// stay within a stretch. Measured on a warm 1 GiB file of short lines held
// in 2 MiB pages: windows mapped and unmapped every 8 MiB took 0.12 s, one
// window of the whole file 0.095 s.
constexpr uint64_t kWindowBytes = uint64_t{1} << 30;
constexpr uint64_t kScanStretch = uint64_t{32} << 20;
// With helpers, each piece's pages go back once it is handed over
// (Sink::Scanned), so a longer stretch holds no more of the file, and its
// end, where the workers wait for each other, comes less often.
constexpr uint64_t kSharedScanStretch = uint64_t{128} << 20;
// The first stretch is short: its lines are the first the user sees.
constexpr uint64_t kFirstScanStretch = uint64_t{8} << 20;
// Stretches begin and windows start on these: whole huge pages.
constexpr uint64_t kHugePage = uint64_t{2} << 20;
// Lines shorter than this on average (bytes, with the line feed) are
// scanned into marks, longer ones into their starts (see FeedBits). On a
// file of empty lines marks took 0.68 s of CPU against 0.95 s.
constexpr double kMarkBelow = 4;
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

  const int64_t limit = g_start_limit.load(std::memory_order_relaxed);
  // Whether the scan goes on after an append took `taken` of n starts, the
  // last of which is last. A short append is the line limit when the index
  // is full (unless the one start refused is the end of the file, the start
  // of no line), else lack of memory.
  auto settle = [&](size_t taken, size_t n, uint64_t last) -> bool {
    if (taken >= n) return true;
    const bool full = index.Size() >= (limit >= 0 ? limit : LineIndex::kMaxLines);
    if (full && taken + 1 == n && last == to) return true;
    failure = full ? Outcome::kLineLimit : Outcome::kNoMemory;
    return false;
  };
  // Moves a batch of starts into the index.
  auto append = [&](const uint64_t* starts, size_t n) -> bool {
    size_t allowed = n;
    if (limit >= 0)
      allowed = static_cast<size_t>(std::clamp<int64_t>(limit - index.Size(), 0, allowed));
    const size_t taken = AppendFails() ? 0 : index.Append(starts, allowed);
    return settle(taken, n, n > 0 ? starts[n - 1] : 0);
  };
  // Moves a piece's starts into the index, with their groups as coded
  // beforehand when there are (coded: else null), else in batches.
  std::vector<uint64_t> piece_batch;
  auto append_piece = [&](const FeedBits& piece, const LineIndex::CodedRun* coded) -> bool {
    // A failure to come (the test hook) counts batches, as does the limit.
    if (coded != nullptr && limit < 0 && g_fail_append_at.load(std::memory_order_relaxed) == 0) {
      const size_t taken = index.AppendCoded(piece, *coded);
      return settle(taken, piece.feeds, piece.feeds > 0 ? piece.LastStart() : 0);
    }
    if (piece_batch.size() < kBatch) piece_batch.resize(kBatch);
    size_t at = 0;
    for (size_t n; (n = piece.Starts(&at, piece_batch.data(), kBatch)) > 0;) {
      if (!append(piece_batch.data(), n)) return false;
    }
    return true;
  };

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
  using PieceAppend = std::function<bool(const FeedBits&, const LineIndex::CodedRun*)>;
  struct Sink : LineStartSink {
    LineIndex::CodedRun runs[kMaxWorkers];
    bool prepared[kMaxWorkers] = {};
    int64_t first_line = 0;      // the index's size when a stretch's scan began
    const char* base = nullptr;  // the window's mapping, of the file from base_offset on
    uint64_t base_offset = 0;
    const PieceAppend& append;
    explicit Sink(const PieceAppend& a) : append(a) {}
    // The pages scanned go back at once (the window's unmap then finds
    // little to clear, where it held up every worker): the process holds
    // a few pieces of the file, not a stretch.
    void Scanned(uint64_t from, uint64_t to) override {
      sp::ReleasePages(base + (from - base_offset), to - from);
    }
    void Prepare(int worker, const FeedBits& piece, uint64_t before) override {
      LineIndex::CodeRun(piece, first_line + static_cast<int64_t>(before), &runs[worker]);
      prepared[worker] = true;
    }
    bool Take(int worker, const FeedBits& piece) override {
      // A piece prepared goes in at once (the index checks that it was
      // prepared for these line feeds at its present size), others in
      // batches.
      const bool coded = prepared[worker];
      prepared[worker] = false;
      return append(piece, coded ? &runs[worker] : nullptr);
    }
  };
  const PieceAppend append_fn = append_piece;
  Sink sink(append_fn);
  sp::AdviseSequential(job_.map_fd);
  // The window mapped now: [start, start + length) of the file at base, of
  // which [start, released) has been given back already.
  struct Window {
    const char* base = nullptr;
    uint64_t start = 0;
    uint64_t length = 0;
    uint64_t released = 0;
  } window;
  // Gives back [released, upto) of the window (all of it at its end), and
  // tells the truncation guard what is left, so that a fault elsewhere is
  // never taken for one of the scan's. False with errno set when the unmap
  // failed.
  auto release = [&](uint64_t upto) -> bool {
    const uint64_t end = window.start + window.length;
    upto = std::min(upto, end);
    bool ok = true;
    if (upto > window.released) {
      ok = sp::UnmapWindow(window.base + (window.released - window.start), upto - window.released);
      window.released = upto;
    }
    if (upto == end) {
      sp::UnregisterWindow(job_.slot, sp::kScanWindow);
      window = Window{};
    } else {
      sp::RegisterWindow(job_.slot, sp::kScanWindow, window.base + (upto - window.start),
                         end - upto);
    }
    return ok;
  };
  auto last_wake = std::chrono::steady_clock::now();
  bool woke_once = false;
  uint64_t pos = job_.from;
  int chunks = 0;
  int64_t lines_seen = 0;
  Outcome outcome = Outcome::kComplete;
  while (pos < to) {
    for (int hold = g_hold_after.load(); hold >= 0 && chunks >= hold; hold = g_hold_after.load()) {
      if (stop_.load(std::memory_order_relaxed)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ++chunks;
    if (stop_.load(std::memory_order_relaxed)) {
      outcome = Outcome::kCancelled;
      break;
    }
    // A hole of a sparse file holds only zeros: no line feed to find there.
    const uint64_t data = sp::NextData(job_.map_fd, pos, to);
    if (data >= to) break;
    if (data / granularity * granularity > pos) pos = data / granularity * granularity;
    if (window.base != nullptr && pos >= window.start + window.length && !release(to)) {
      error_ = errno;
      outcome = Outcome::kOsError;
      break;
    }
    if (window.base == nullptr) {
      window.start = pos / kHugePage * kHugePage;
      window.length = std::min(kWindowBytes, to - window.start);
      window.released = window.start;
      window.base = sp::MapAlignedWindow(job_.map_fd, window.start, window.length);
      if (window.base == nullptr) {
        error_ = errno;
        return Outcome::kOsError;
      }
      sp::RegisterWindow(job_.slot, sp::kScanWindow, window.base, window.length);
    }
    const uint64_t stretch = chunks == 1         ? kFirstScanStretch
                             : WorkerCount() < 2 ? kScanStretch
                                                 : kSharedScanStretch;
    const uint64_t next =
        std::min(window.start + window.length, pos / kHugePage * kHugePage + stretch);
    // With helpers each worker fills in the pages it scans; alone, the
    // stretch is filled in at once.
    if (WorkerCount() < 2) sp::PopulateWindow(window.base + (pos - window.start), next - pos);
    // Pieces sized by the lines seen so far (the first stretch: log lines).
    const int64_t lines_before = index.Size();
    const double bytes_a_line =
        lines_seen > 0 ? static_cast<double>(pos - job_.from) / static_cast<double>(lines_seen)
                       : 64;
    sink.first_line = lines_before;
    sink.base = window.base;
    sink.base_offset = window.start;
    // Lines of a few bytes (runs of empty lines) are marked: their starts
    // would take 8 bytes for each byte or two scanned.
    const bool mark = bytes_a_line < kMarkBelow;
    const bool ok = FindLineStarts(window.base, window.start, pos, next, sink,
                                   mark ? kScanPiece : ScanPieceFor(bytes_a_line), mark);
    lines_seen += index.Size() - lines_before;
    if (!ok) {
      // The lines taken in are kept: scanned_to_ moves to the last start.
      release(to);
      scanned_to_.store(index.Size() > 0 ? index.Start(index.Size() - 1) : job_.from,
                        std::memory_order_release);
      return failure;
    }
    // What was scanned is given back at once: the file's pages count as
    // the process's memory while they are mapped.
    if (!release(next)) {
      error_ = errno;
      outcome = Outcome::kOsError;
      break;
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
  if (window.base != nullptr && !release(to) && outcome == Outcome::kComplete) {
    error_ = errno;
    outcome = Outcome::kOsError;
  }
  if (outcome != Outcome::kComplete) return outcome;
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
