// The line index of one document: the file offset of every line start, in
// order. One writer (the indexer) appends; readers on other threads may read
// any line below a count they obtained from Size() (acquire), since entries
// are never moved or changed once appended, only dropped by TruncateTo/Clear,
// which the owner calls only while no reader looks at the dropped lines.
//
// Storage grows in chunks as lines arrive; nothing is reserved for a maximum.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

class LineIndex {
 public:
  // The most lines one index holds; Append fails past it.
  static constexpr int64_t kMaxLines = 2147483646;

  LineIndex();
  ~LineIndex();
  LineIndex(const LineIndex&) = delete;
  LineIndex& operator=(const LineIndex&) = delete;

  // Appends the starts of the next n lines. Starts are strictly increasing
  // and greater than the last start appended. Returns the number appended:
  // fewer than n only when memory runs out or kMaxLines is reached. The new
  // size is published (release) once, at the end.
  size_t Append(const uint64_t* starts, size_t n);
  bool Append(uint64_t start) { return Append(&start, 1) == 1; }

  // Lines appended and published.
  int64_t Size() const { return size_.load(std::memory_order_acquire); }
  // Start of a line, 0 <= line < Size().
  uint64_t Start(int64_t line) const;
  // Starts of lines [first, first + n) into out; all below Size(). Cheaper
  // than n calls of Start.
  void Starts(int64_t first, int64_t n, uint64_t* out) const;
  // The last line whose start is <= offset (the line that holds the byte at
  // offset), or -1 when the index is empty or offset lies before line 0.
  int64_t LineAt(uint64_t offset) const;

  // Drops lines from `lines` on (lines <= Size()).
  void TruncateTo(int64_t lines);
  void Clear() { TruncateTo(0); }

  // Heap bytes held, for the memory figures.
  size_t MemoryBytes() const;

 private:
  struct Chunk;
  static constexpr int kChunkShift = 16;  // lines per chunk: 65536
  static constexpr int64_t kChunkLines = int64_t{1} << kChunkShift;
  static constexpr int64_t kMaxChunks = (kMaxLines >> kChunkShift) + 1;

  // Directory of chunk pointers, allocated once for kMaxChunks (untouched
  // pages cost no memory); a pointer is set before the size that covers it
  // is published, and never changes while lines of its chunk exist.
  std::unique_ptr<std::atomic<Chunk*>[]> chunks_;
  int64_t chunk_count_ = 0;  // writer's view
  std::atomic<int64_t> size_{0};
};
