// The line index of one document: the file offset of every line start, in
// order. One writer (the indexer) appends; readers on other threads may read
// any line below a count they obtained from Size() (acquire), since a start
// never changes once appended (the last group's starts move into their coded
// form once, and a reader that meets the move reads again), only dropped by
// TruncateTo/Clear, which the owner calls only while no reader looks.
//
// Storage grows as lines arrive; nothing is filled in for a maximum.
//
// Layout: lines come in groups of 128. A group has a head of 16 bytes: the
// start of its first line, its smallest distance between two starts (the
// step), and where its codes lie and how wide they are; each other line
// keeps one code, its distance from the previous start less the step, in
// the fewest bytes that hold the group's largest code: 0 (every distance
// equal: empty lines, fixed-length records), 1, 2, 4 or 8. The heads lie in
// one array and the codes, padded to 8 bytes a group, one group after the
// other in another; both are reserved for the most lines (so that they never
// move under a reader) and filled in a page at a time as they are written,
// and TruncateTo and the destructor give the pages back to the system. The
// group still being filled is kept as plain starts beside them and coded
// when its last line arrives.
//
// Bytes a line: 0.13 when every line of a group has the same length; 1.13
// while the lengths within each group differ by less than 256 bytes (short
// log lines, and lines of any length that differ little); 2.13 while every
// line is shorter than 64 KiB (an even mix of lengths up to 64 KiB holds 16
// bits a line, so nothing can do much better); 4.13 with lines of 64 KiB to
// 4 GiB in the group, which then spans 64 KiB or more of the file, so never
// more than 0.8 % of the file's bytes; 8.13 beyond. On top: the open group
// (1 KiB) and at most a page of each array not yet used.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "store/linescan.h"

class LineIndex {
  struct Head {
    // Start of the group's first line.
    uint64_t base;
    // Where the group's codes begin, in units of 8 bytes.
    uint32_t place;
    // The group's step (its smallest distance between two starts, at most
    // kMaxStep; each code is a distance less the step) times 8, plus the
    // width class of its codes (0 to 4).
    uint32_t step_width;
  };

 public:
  // The most lines one index holds; Append fails past it.
  static constexpr int64_t kMaxLines = 2147483646;

  // The whole groups of a run of starts, coded away from the index (by
  // CodeRun, on any thread, beside other runs) so that the writer only
  // copies them in (AppendCoded). Kept between runs for its buffers.
  class CodedRun {
   private:
    friend class LineIndex;
    // What the run was coded for: its starts and the line number of the
    // first of them.
    const uint64_t* starts_ = nullptr;
    const uint64_t* bits_ = nullptr;    // or the words of a FeedBits
    const uint32_t* listed_ = nullptr;  // or its listed offsets
    size_t n_ = 0;
    // Coded from a FeedBits: its place (FeedBits::Starts) after the coded
    // groups.
    size_t tail_at_ = 0;
    int64_t first_line_ = -1;
    // Starts before the first whole group, and the whole groups after them.
    int64_t lead_ = 0;
    int64_t groups_ = 0;
    // Their heads, places counted from the first of their codes.
    std::vector<Head> heads_;
    std::vector<uint8_t> codes_;
    uint64_t code_bytes_ = 0;
  };

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

  // Codes the whole groups of starts[0, n) as they would be coded were
  // starts[0] line first_line: the groups a writer of that many lines
  // would complete. Touches no index.
  static void CodeRun(const uint64_t* starts, size_t n, int64_t first_line, CodedRun* run);
  // Append(starts, n), with the groups of run copied in as coded where run
  // was coded from these very starts for line Size() (else they are coded
  // here, as by Append).
  size_t AppendCoded(const uint64_t* starts, size_t n, const CodedRun& run);
  // The same for the starts of a FeedBits, bits.feeds of them: a group of
  // 128 marked empty lines is coded without its starts ever being written
  // out, and listed offsets are coded where they lie.
  static void CodeRun(const FeedBits& bits, int64_t first_line, CodedRun* run);
  size_t AppendCoded(const FeedBits& bits, const CodedRun& run);
  // Appends the starts of bits from byte at of the run on, as Append.
  size_t AppendFeeds(const FeedBits& bits, size_t at = 0);

  // Lines appended and published.
  int64_t Size() const { return size_.load(std::memory_order_acquire); }
  // Start of a line, 0 <= line < Size(). Each call sums the codes from its
  // group's base (about 10 ns when cached, 70 ns at a random line).
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
  // The part of CodeRun common to its sources: run's count n, first line,
  // lead and no groups yet; returns the groups it is to code.
  static int64_t StartRun(size_t n, int64_t first_line, CodedRun* run);
  static constexpr int kGroupShift = 7;  // lines per group: 128
  static constexpr int64_t kGroupLines = int64_t{1} << kGroupShift;
  static constexpr int64_t kMaxGroups = (kMaxLines >> kGroupShift) + 1;

  // Starts of lines [first, first + n) of one group into out, n >= 1.
  // False when the group was the open one and got coded meanwhile (nothing
  // valid written then; read again).
  bool GroupStarts(int64_t first, int64_t n, uint64_t* out) const;
  // First start of a group below Size()'s last.
  uint64_t GroupBase(int64_t group) const;
  // Codes a complete group from its 128 starts; false when memory runs out
  // (nothing changed then).
  bool CodeGroup(int64_t group, const uint64_t* starts);
  // Copies the coded groups of run in as groups group, group + 1, ...
  // (group: the groups coded so far). Returns their lines, or -1 when the
  // arrays could not grow (nothing changed then).
  int64_t CopyGroups(int64_t group, const CodedRun& run);
  // Fills in [filled, want) of an array (pages); false when memory runs out.
  bool Fill(uint8_t* array, uint64_t& filled, uint64_t want);
  // Gives back the pages of an array past keep.
  void Unfill(uint8_t* array, uint64_t& filled, uint64_t keep);

  // The heads of the coded groups, and their codes; reserved, filled in as
  // written. A head and the codes it points to are written before coded_
  // counts its group.
  Head* heads_ = nullptr;
  uint8_t* codes_ = nullptr;
  std::atomic<int64_t> size_{0};
  // Groups coded; the group after them, when it has lines, is the open one,
  // whose starts are in open_. Readers check coded_ before and after reading
  // open_ (a sequence lock: the writer bumps coded_ before it writes the next
  // group's starts there).
  std::atomic<int64_t> coded_{0};
  std::unique_ptr<std::atomic<uint64_t>[]> open_;
  // The writer's own state: the end of the codes, and the bytes of each
  // array filled in.
  uint64_t code_end_ = 0;
  uint64_t heads_filled_ = 0;
  uint64_t codes_filled_ = 0;
  // Heap bytes held, readable from any thread.
  std::atomic<size_t> memory_bytes_{0};
};
