#include "store/lineindex.h"

#include <algorithm>
#include <new>

// Plain layout: every start as a full 64-bit offset, 65536 to a chunk.
struct LineIndex::Chunk {
  uint64_t starts[kChunkLines];
};

LineIndex::LineIndex() : chunks_(new std::atomic<Chunk*>[kMaxChunks]()) {}

LineIndex::~LineIndex() {
  for (int64_t c = 0; c < chunk_count_; ++c) delete chunks_[c].load(std::memory_order_relaxed);
}

size_t LineIndex::Append(const uint64_t* starts, size_t n) {
  int64_t size = size_.load(std::memory_order_relaxed);
  size_t done = 0;
  while (done < n && size < kMaxLines) {
    const int64_t chunk = size >> kChunkShift;
    if (chunk == chunk_count_) {
      Chunk* fresh = new (std::nothrow) Chunk;
      if (!fresh) break;
      chunks_[chunk].store(fresh, std::memory_order_relaxed);
      ++chunk_count_;
    }
    Chunk* c = chunks_[chunk].load(std::memory_order_relaxed);
    const int64_t at = size & (kChunkLines - 1);
    const size_t room = static_cast<size_t>(std::min<int64_t>(kChunkLines - at, kMaxLines - size));
    const size_t take = std::min(room, n - done);
    std::copy(starts + done, starts + done + take, c->starts + at);
    done += take;
    size += static_cast<int64_t>(take);
  }
  size_.store(size, std::memory_order_release);
  return done;
}

uint64_t LineIndex::Start(int64_t line) const {
  return chunks_[line >> kChunkShift]
      .load(std::memory_order_relaxed)
      ->starts[line & (kChunkLines - 1)];
}

void LineIndex::Starts(int64_t first, int64_t n, uint64_t* out) const {
  for (int64_t i = 0; i < n; ++i) out[i] = Start(first + i);
}

int64_t LineIndex::LineAt(uint64_t offset) const {
  int64_t lo = 0, hi = Size();  // answer in [lo - 1, hi - 1]
  while (lo < hi) {
    const int64_t mid = lo + (hi - lo) / 2;
    if (Start(mid) <= offset) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo - 1;
}

void LineIndex::TruncateTo(int64_t lines) {
  size_.store(lines, std::memory_order_release);
  const int64_t keep = (lines + kChunkLines - 1) >> kChunkShift;
  for (int64_t c = keep; c < chunk_count_; ++c) {
    delete chunks_[c].load(std::memory_order_relaxed);
    chunks_[c].store(nullptr, std::memory_order_relaxed);
  }
  chunk_count_ = std::min(chunk_count_, keep);
}

size_t LineIndex::MemoryBytes() const {
  return static_cast<size_t>(chunk_count_) * sizeof(Chunk) +
         static_cast<size_t>(kMaxChunks) * sizeof(std::atomic<Chunk*>);
}
