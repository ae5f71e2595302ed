// The shown lines of a filtered document: which lines of the file a tab
// shows, found by a thread of its own from a test of one line's text, kept
// as one bit a line examined with a count of the shown lines at every 512th
// line (about 0.13 bytes a line however many are shown, in chunks that
// never move, so readers need no lock).
//
// Threads: the filter's thread (or the worker whose turn it is) is the one
// writer of the bits; the slot's thread reads them below ShownCount()
// (acquire) and tells the thread how far the index reaches (Extend). The thread reads the file
// through a descriptor of its own (pread) and the line starts from the shared LineIndex, never a
// FileSlot. The text of a compressed or UTF-16 document (UTF-8 in the slot)
// comes from its CompressedSource instead, read front to back on a lane of
// its own into a buffer of a run.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "store/lineindex.h"
#include "store/textpieces.h"

// The lines of one run the filter examines: their raw bytes one after the
// other, and how to get a line's display text.
struct LineBatch {
  // The raw bytes of the lines, one after the other, line ends included;
  // of a line longer than a run holds, only its first 2 KiB.
  const char* bytes = nullptr;
  size_t length = 0;
  bool cut = false;  // bytes hold the first 2 KiB of the one line of the batch
  int count = 0;
  int tabWidth = 4;  // a TAB's blanks in the display text (<= 0: none)
  // The line that holds the byte at offset (0 <= offset < length).
  std::function<int(size_t offset)> lineAt;
  // Where line k begins in bytes; count gives length.
  std::function<size_t(int k)> start;
  // The line as GetLine gives it (TABs expanded, no line end, at most 2047
  // bytes) into out (2048 bytes); returns the length.
  std::function<int(int k, char* out)> text;
  // The whole display text of line k (of any length), a piece at a time,
  // read from the file apart from bytes; for a line whose text reaches
  // 2047 bytes.
  std::function<std::unique_ptr<TextPieces>(int k)> wholeText;
};

// The shown lines of a batch as bits: line k of the batch is bit shift + k
// of words(), so that the words line up with those of the file's lines when
// shift is the batch's first line modulo 64.
class ShownBits {
 public:
  // count lines, none of them shown (0 <= shift < 64).
  void Reset(int count, int shift);
  void Add(int k) {
    const int64_t bit = int64_t{shift_} + k;
    words_[static_cast<size_t>(bit >> 6)] |= uint64_t{1} << (bit & 63);
  }
  // Lines [a, b) (none when b <= a).
  void AddRange(int a, int b);
  bool Has(int k) const {
    const int64_t bit = int64_t{shift_} + k;
    return (words_[static_cast<size_t>(bit >> 6)] >> (bit & 63)) & 1;
  }
  int count() const { return count_; }
  int shift() const { return shift_; }
  const uint64_t* words() const { return words_.data(); }

 private:
  std::vector<uint64_t> words_;
  int count_ = 0;
  int shift_ = 0;
};

// Decides which lines are shown. One object is used by one thread at a
// time, so it may keep buffers of its own; the workers each use a copy.
class LineTest {
 public:
  virtual ~LineTest() = default;
  // Adds to shown (reset to the batch's lines, none shown) the lines k of
  // the batch that are shown.
  virtual void Decide(const LineBatch& batch, ShownBits& shown) = 0;
  // A test that decides every line as this one does, for another thread;
  // null when there is none (the filter then stays on its own thread).
  virtual std::unique_ptr<LineTest> Clone() const { return nullptr; }
};

struct LineRun;  // a run of lines examined at once (linefilter.cpp)

class CompressedSource;  // store/compressed.h

class LineFilter {
 public:
  struct Job {
    int slot = 0;  // the slot whose truncation guard knows the filter's window
    int fd = -1;   // duplicated: the filter closes its own copy
    std::shared_ptr<LineIndex> index;
    int tabWidth = 4;  // TabWidth when the filter was made
    std::unique_ptr<LineTest> test;
    // Set for a document read through a source: its text, offsets as in the
    // index (fd is then not read).
    std::shared_ptr<CompressedSource> source;
    // Bytes of one run (one window): lines that fit, or one longer line's
    // first 2 KiB. Tests make it small to have many runs.
    uint64_t runBytes = uint64_t{16} << 20;
  };

  // wake: called on the filter's thread when it has examined more lines
  // (at most about every 50 ms) and when it has caught up; it must not call
  // back into the filter.
  LineFilter(Job job, std::function<void()> wake);
  ~LineFilter();  // stops the thread and waits for it
  LineFilter(const LineFilter&) = delete;
  LineFilter& operator=(const LineFilter&) = delete;

  // Lines [0, lines) of a file of fileSize bytes are in the index now. The
  // thread examines those it has not; a last line that was still growing
  // (no line feed yet) is examined again when either number grows.
  void Extend(int32_t lines, uint64_t fileSize);
  // Stops the thread for good; what it found stays readable.
  void Cancel();
  bool Cancelled() const { return stop_.load(std::memory_order_acquire); }

  // The index the filter reads: a document indexed anew has another.
  const LineIndex* index() const { return job_.index.get(); }
  int tabWidth() const { return job_.tabWidth; }
  // Lines examined, from line 0 on, and lines asked for (Extend).
  int32_t Covered() const { return covered_.load(std::memory_order_acquire); }
  int32_t Target() const;
  // Every line asked for is examined (and nothing new was asked since).
  bool CaughtUp() const;

  int32_t ShownCount() const { return shown_.load(std::memory_order_acquire); }
  // The rank-th shown line, 0 <= rank < ShownCount().
  int32_t ShownLine(int32_t rank) const;
  // Shown lines before line: the rank of line when it is shown, else the
  // rank of the first shown line after it.
  int32_t RankOf(int32_t line) const;
  // Heap bytes held by the bits of the lines and their counts.
  size_t MemoryBytes() const;

 private:
  // 65,536 lines a chunk: 8 KiB of bits and a count at every 512th line.
  static constexpr int kChunkShift = 16;
  static constexpr int kBlockShift = 9;
  static constexpr int kWordShift = 6;
  static constexpr int kChunkWords = 1 << (kChunkShift - kWordShift);
  static constexpr int kChunkBlocks = 1 << (kChunkShift - kBlockShift);
  static constexpr int kBlockWords = 1 << (kBlockShift - kWordShift);
  static constexpr int kMaxChunks = (int64_t{1} << 31) >> kChunkShift;
  struct BitChunk;

  void Run();
  // Examines lines [first, last); false when memory ran out.
  bool Examine(int32_t first, int32_t last, uint64_t fileSize);
  // Reads the lines [first, first + count), which lie in [begin, end) of
  // the file, and lets the test decide; returns how many of them, from
  // first on, were decided (on the workers, fewer when their time ran
  // out), -1 when memory ran out.
  int Decide(int32_t first, int count, uint64_t begin, uint64_t end);
  // The chunk of lines [index << kChunkShift, ...), made when missing (by
  // the writer only); null when memory ran out.
  BitChunk* Chunk(int64_t index);
  // Whether line (examined) is shown: its bit.
  bool Bit(int32_t line) const;
  // Writes the bits of lines [base, base + bits.count()), the next ones
  // after those published (bits.shift() == base % 64), and publishes them;
  // false when memory ran out.
  bool Push(int32_t base, const ShownBits& bits);
  // Copies of the test for workers 1 .. workers - 1 (helpers_[0] stays
  // null: the filter's thread uses job_.test); false when there are none.
  bool Helpers(int workers);
  // Decides a run on the store's workers, a piece of lines at a time; as
  // Decide.
  int DecideOnWorkers(const LineRun& run, int workers);
  // The source's bytes [begin, begin + length) into sourceBytes_, of a run
  // that ends at end; false when memory ran out or the filter was stopped
  // meanwhile. Then decodes on from end aside while the workers decide
  // this run.
  bool ReadSource(uint64_t begin, uint64_t length, uint64_t end);
  // Bytes of the source from at into out, a piece at a time, until length
  // or the source's end, an error or the stop; returns the count.
  size_t ReadPieces(uint64_t at, char* out, size_t length);

  Job job_;
  std::function<void()> wake_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;  // guards target_, fileSize_
  std::condition_variable more_;
  int32_t target_ = 0;
  uint64_t fileSize_ = 0;
  bool pending_ = false;  // Extend asked for something the thread has not taken yet
  std::vector<std::unique_ptr<LineTest>> helpers_;
  double secondsPerLine_ =
      0;  // a worker's time a line in the last run on the workers (0: none yet)
  std::vector<ShownBits> pieceShown_;  // the shown lines of each worker's piece of a run
  std::vector<char> sourceBytes_;      // a run's text read from job_.source; freed when caught up
  // Bytes decoded ahead of the runs: from aheadBegin_, aheadGot_ of them
  // (the reading thread's alone until aheadDone_ is waited for).
  std::future<void> aheadDone_;
  std::vector<char> ahead_;
  uint64_t aheadBegin_ = 0;
  size_t aheadGot_ = 0;
  std::unique_ptr<std::atomic<BitChunk*>[]> chunks_;
  std::atomic<int32_t> chunkCount_{0};  // chunks made: they are made in line order
  std::atomic<int32_t> shown_{0};
  std::atomic<int32_t> covered_{0};
  // The last line examined ended at the file's end without a line feed:
  // it may still grow.
  bool lastOpen_ = false;
};
