// The line index of one document: the file offset of every line start, in
// order. One writer (the indexer) appends; readers on other threads may read
// any line below a count they obtained from Size() (acquire), since entries
// are never moved or changed once appended, only dropped by TruncateTo/Clear,
// which the owner calls only while no reader looks at the dropped lines.
//
// Storage grows in chunks as lines arrive; nothing is reserved for a maximum.
//
// Layout (1.13 bytes a line when no line is 255 bytes or longer): lines come
// in groups of 128, each with its first start as a full 64-bit base; every
// other line keeps one byte, its distance from the previous start, or 255
// when that distance is 255 or more, which then goes as a LEB128 varint into
// a side stream of escapes. 512 groups make a chunk of 65536 lines, a
// mapping of 72 KiB of its own (so that TruncateTo and the destructor give
// the memory back to the system), with the escapes of its groups in heap
// segments (256 bytes, then 4 KiB each) allocated as they are needed.
//
// Hard bound, all lengths: 1.19 bytes a line, plus for each line whose
// distance d from the previous start is 255 or more the varint's bytes
// (2 for d < 16 KiB, 3 below 2 MiB, 4 below 256 MiB, 5 below 32 GiB, at most
// 10) plus 0.3 % of those; so at most 3.2 bytes a line while every line is
// shorter than 16 KiB, at most 11.3 in the extreme, and never more than
// 1.3 % of the file's bytes for lines of 255 bytes and more. On top: the
// chunk directory (256 KiB) and the unused part of the last chunk.
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
  // Start of a line, 0 <= line < Size(). Each call sums the distances from
  // its group's base (about 10 ns when cached, 70 ns at a random line).
  uint64_t Start(int64_t line) const;
  // Starts of lines [first, first + n) into out; all below Size(). Seeks
  // once and then steps line by line: a line's extent is Starts(line, 2),
  // and a walk over many lines should take its starts in runs.
  void Starts(int64_t first, int64_t n, uint64_t* out) const;
  // The last line whose start is <= offset (the line that holds the byte at
  // offset), or -1 when the index is empty or offset lies before line 0.
  int64_t LineAt(uint64_t offset) const { return LineAt(offset, 0, Size() - 1); }
  // The same among lines [low, high] only: the last of them whose start is
  // <= offset, or -1 when offset lies before low's start. Only that range's
  // groups are searched, a few steps for a block of lines.
  int64_t LineAt(uint64_t offset, int64_t low, int64_t high) const;

  // Drops lines from `lines` on (lines <= Size()).
  void TruncateTo(int64_t lines);
  void Clear() { TruncateTo(0); }

  // Heap bytes held, for the memory figures.
  size_t MemoryBytes() const;

 private:
  struct Chunk;
  struct Cursor;
  static constexpr int kGroupShift = 7;  // lines per group: 128
  static constexpr int64_t kGroupLines = int64_t{1} << kGroupShift;
  static constexpr int kChunkShift = 16;  // lines per chunk: 65536
  static constexpr int64_t kChunkLines = int64_t{1} << kChunkShift;
  static constexpr int64_t kGroupsPerChunk = kChunkLines / kGroupLines;
  static constexpr int64_t kMaxChunks = (kMaxLines >> kChunkShift) + 1;
  static const size_t kChunkBytes;  // a chunk's memory, in whole pages

  const Chunk* ChunkOf(int64_t line) const {
    return chunks_[line >> kChunkShift].load(std::memory_order_relaxed);
  }
  // Positions a cursor on a line below Size().
  Cursor Seek(int64_t line) const;
  // Writes distance d (>= 255) to the escapes of chunk c; false when memory
  // runs out (nothing written then).
  bool PutEscape(Chunk* c, uint64_t d);
  void FreeChunk(Chunk* c);

  // Directory of chunk pointers, allocated once for kMaxChunks (untouched
  // pages cost no memory); a pointer is set before the size that covers it
  // is published, and never changes while lines of its chunk exist.
  std::unique_ptr<std::atomic<Chunk*>[]> chunks_;
  std::atomic<int64_t> size_{0};
  // The writer's own state: chunks allocated, the start of the last line,
  // and the end of the last chunk's escape stream.
  int64_t chunk_count_ = 0;
  uint64_t last_start_ = 0;
  uint32_t escape_end_ = 0;
  // Heap bytes held, readable from any thread.
  std::atomic<size_t> memory_bytes_{0};
};
