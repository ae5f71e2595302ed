#include "store/parallelscan.h"

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "store/linescan.h"
#include "store/platform.h"
#include "store/workers.h"

namespace {

// Pauses a worker spins for its turn before it sleeps: some tens of
// microseconds, about one hand-over of a piece of short lines.
constexpr int kTurnSpins = 2000;
// LineStartSink::Scanned is told of this many bytes of the file at a time,
// on these boundaries: a huge page of the page cache.
constexpr uint64_t kReleaseUnit = uint64_t{2} << 20;

// A worker's buffers for a piece, kept for the thread's life: the bits of a
// marked piece, or room for an offset a byte plus the scanner's scratch.
// Their pages are touched only as far as they are written.
struct PieceBuffers {
  std::unique_ptr<uint64_t[]> words{new uint64_t[kScanPiece / 64 + 1]};
  std::unique_ptr<uint32_t[]> offsets{new uint32_t[kScanPiece + 64]};
};

PieceBuffers& PieceBuffer() {
  thread_local PieceBuffers buffers;
  return buffers;
}

// The line feeds of [begin, end), at most kScanPiece bytes, into buffer:
// marked or listed. populate: fill in the piece's pages first.
FeedBits ScanPiece(const char* base, uint64_t base_offset, uint64_t begin, uint64_t end,
                   PieceBuffers& buffer, bool mark, bool populate) {
  const char* p = base + (begin - base_offset);
  const size_t length = static_cast<size_t>(end - begin);
  // Pages filled in by the reader's own thread, at once: the workers take
  // their faults side by side instead of one after the other.
  if (populate) store_platform::PopulateWindow(p, length);
  FeedBits bits;
  bits.begin = begin;
  if (mark) {
    bits.words = buffer.words.get();
    bits.word_count = (length + 63) / 64;
    bits.feeds = MarkLineFeeds(p, length, buffer.words.get());
  } else {
    size_t consumed = 0;
    bits.listed = buffer.offsets.get();
    bits.feeds = RecordLineOffsets(p, length, buffer.offsets.get(), length, &consumed);
  }
  return bits;
}

}  // namespace

uint64_t ScanPieceFor(double bytes_a_line) {
  uint64_t piece = uint64_t{64} << 10;
  while (piece < kScanPiece && static_cast<double>(piece) < 16384 * bytes_a_line) piece *= 2;
  return piece;
}

bool FindLineStarts(const char* base, uint64_t base_offset, uint64_t from, uint64_t to,
                    LineStartSink& sink, uint64_t piece_bytes, bool mark) {
  if (to <= from) return true;
  const uint64_t piece_size = std::clamp<uint64_t>(piece_bytes, 4096, kScanPiece);
  const uint64_t pieces = (to - from + piece_size - 1) / piece_size;
  const int participants = static_cast<int>(std::min<uint64_t>(pieces, WorkerCount()));
  if (participants <= 1) {
    PieceBuffers& buffer = PieceBuffer();
    uint64_t before = 0;
    for (uint64_t begin = from; begin < to; begin += piece_size) {
      const uint64_t end = std::min(to, begin + piece_size);
      const FeedBits piece = ScanPiece(base, base_offset, begin, end, buffer, mark, false);
      sink.Prepare(0, piece, before);
      before += piece.feeds;
      if (!sink.Take(0, piece)) return false;
    }
    return true;
  }
  // Pieces are taken in order. A worker that has scanned its piece waits
  // for the pieces before it to be counted (a few instructions each), so
  // that it knows where its starts go and can prepare them beside the
  // others; then it hands them over when every piece before it has been
  // handed over (its turn), so the worker holding the earliest piece never
  // waits.
  std::mutex mutex;
  std::condition_variable changed;
  uint64_t next = 0;
  std::atomic<uint64_t> counted{0};
  uint64_t starts_counted = 0;  // starts of the counted pieces
  std::atomic<uint64_t> turn{0};
  bool ok = true;
  // The end of what the sink was told is scanned (a file offset): whole
  // huge pages only, so that one mapped by a single entry is never cut in
  // two. The sink is told under told_mutex, one worker after the other and
  // so in file order, up to the end of the pieces handed over then.
  std::mutex told_mutex;
  uint64_t told = (from + kReleaseUnit - 1) / kReleaseUnit * kReleaseUnit;
  std::atomic<uint64_t> handed_end{from};
  // The worker before is most likely at that very point: a short spin
  // spares the sleep and wake-up, which on a file of empty lines (a piece
  // every few microseconds) cost more than the hand-overs themselves.
  auto wait_for = [&](const std::atomic<uint64_t>& word, uint64_t value) {
    for (int spin = 0; spin < kTurnSpins && word.load(std::memory_order_acquire) != value; ++spin) {
      _mm_pause();
    }
    if (word.load(std::memory_order_acquire) == value) return;
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return word.load(std::memory_order_acquire) == value; });
  };
  auto pass = [&](std::atomic<uint64_t>& word) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      word.fetch_add(1, std::memory_order_release);
    }
    changed.notify_all();
  };
  RunOnWorkers(participants, [&](int worker) {
    PieceBuffers& buffer = PieceBuffer();
    for (;;) {
      uint64_t piece;
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (next == pieces || !ok) return;
        piece = next++;
      }
      const uint64_t begin = from + piece * piece_size;
      const uint64_t end = std::min(to, begin + piece_size);
      const FeedBits found = ScanPiece(base, base_offset, begin, end, buffer, mark, true);
      wait_for(counted, piece);
      const uint64_t before = starts_counted;
      starts_counted += found.feeds;
      pass(counted);
      sink.Prepare(worker, found, before);
      wait_for(turn, piece);
      // The hand-over runs alone (the others wait for their turn), so Take
      // needs no lock of its own.
      bool handed;
      {
        std::lock_guard<std::mutex> lock(mutex);
        handed = ok;
      }
      if (handed) handed = sink.Take(worker, found);
      handed_end.store(end, std::memory_order_release);
      {
        std::lock_guard<std::mutex> lock(mutex);
        ok = ok && handed;
        turn.fetch_add(1, std::memory_order_release);
      }
      changed.notify_all();
      // Every piece up to this one is handed over: the sink may give their
      // pages back beside the other workers' scans. A worker that tells it
      // after a later one found nothing left to tell (the later one told
      // up to its own end), so the calls never go back in the file.
      std::lock_guard<std::mutex> lock(told_mutex);
      const uint64_t told_to =
          std::max(told, handed_end.load(std::memory_order_acquire) / kReleaseUnit * kReleaseUnit);
      if (told_to > told) sink.Scanned(told, told_to);
      told = told_to;
    }
  });
  return ok;
}

bool FindLineStarts(const char* base, uint64_t base_offset, uint64_t from, uint64_t to,
                    size_t max_batch, const std::function<bool(const uint64_t*, size_t)>& append,
                    uint64_t piece_bytes, bool mark) {
  struct Batches : LineStartSink {
    size_t max_batch;
    const std::function<bool(const uint64_t*, size_t)>& append;
    Batches(size_t b, const std::function<bool(const uint64_t*, size_t)>& a)
        : max_batch(b), append(a) {}
    std::vector<uint64_t> batch;
    bool Take(int, const FeedBits& piece) override {
      if (batch.size() < max_batch) batch.resize(max_batch);
      size_t at = 0;
      for (size_t n; (n = piece.Starts(&at, batch.data(), max_batch)) > 0;) {
        if (!append(batch.data(), n)) return false;
      }
      return true;
    }
  } sink(max_batch, append);
  return FindLineStarts(base, base_offset, from, to, sink, piece_bytes, mark);
}
