#include "store/linefilter.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <optional>
#include <system_error>
#include <vector>

#include "store/compressed.h"
#include "store/platform.h"
#include "store/slot_detail.h"
#include "store/slots.h"
#include "store/workers.h"

// A run of lines the filter examines at once: count lines from line first,
// which lie in [begin, end) of the file and are read at bytes, of which
// length are mapped or read (all of them, or the first 2 KiB of a longer
// line).
struct LineRun {
  const LineIndex* index;
  int fd;
  CompressedSource* source;  // the text comes from here when set, not from fd
  int tabWidth;
  int32_t first;
  int count;
  uint64_t begin;
  uint64_t end;
  const char* bytes;
  uint64_t length;
};

namespace {

// Lines examined between two looks at the stop flag and two publications:
// few in the first run, which holds the first page; more once the workers
// share the runs (they look at the flag before each piece).
constexpr int32_t kBatchLines = 8192;
constexpr int32_t kWideBatchLines = int32_t{1} << 20;
// Lines of a piece a worker takes at a time: about four pieces a worker,
// so that one slow piece (long lines, a costly expression) delays little;
// 8192 at most until the lines' cost is known, then as many as take about
// kPieceTime (a stop waits for the pieces being decided), up to 32,768:
// each piece waits for its turn, and on a rare word the turns cost a
// third of the filter at 8192 lines a piece.
constexpr int kMinPieceLines = 256;
constexpr int kFirstMaxPieceLines = 8192;
constexpr int kMaxPieceLines = 32768;
constexpr double kPieceTime = 0.005;  // seconds
// The workers take no more pieces of a run after this long: the pool is
// shared, and a costly expression should not hold a search back.
constexpr auto kRunTime = std::chrono::milliseconds(50);
constexpr auto kWakeInterval = std::chrono::milliseconds(50);

// The bytes of [begin, end) of the file through a window of its own (not
// filled in at once: on a warm 1 GiB file that cost a fifth more than the
// page faults), known to the truncation guard: pages of a file cut
// meanwhile read as zeros.
class FilterWindow {
 public:
  FilterWindow(int slot, int fd, uint64_t begin, uint64_t end) : slot_(slot) {
    const uint64_t granularity = store_platform::AllocationGranularity();
    const uint64_t offset = begin - begin % granularity;
    length_ = end - offset;
    if (length_ == 0) return;
    base_ = store_platform::MapWindow(fd, offset, length_, false);
    if (base_ == nullptr) return;
    store_platform::RegisterWindow(slot_, store_platform::kFilterWindow, base_, length_);
    bytes_ = base_ + (begin - offset);
  }
  ~FilterWindow() {
    if (base_ == nullptr) return;
    store_platform::UnregisterWindow(slot_, store_platform::kFilterWindow);
    store_platform::UnmapWindow(base_, length_);
  }
  FilterWindow(const FilterWindow&) = delete;
  FilterWindow& operator=(const FilterWindow&) = delete;
  // Null when the window could not be mapped.
  const char* bytes() const { return bytes_; }

 private:
  int slot_;
  const char* base_ = nullptr;
  const char* bytes_ = nullptr;
  uint64_t length_ = 0;
};

// Up to n bytes of the text from offset at, as pread: from the run's bytes
// where a source's text is held there, else from the source (on the
// filter's lane) or the filter's descriptor.
ssize_t ReadRaw(const LineRun& run, char* out, size_t n, uint64_t at) {
  if (run.source == nullptr) return pread(run.fd, out, n, static_cast<off_t>(at));
  if (at >= run.begin && at < run.begin + run.length) {
    const size_t held = static_cast<size_t>(std::min<uint64_t>(n, run.begin + run.length - at));
    std::memcpy(out, run.bytes + (at - run.begin), held);
    return static_cast<ssize_t>(held);
  }
  return static_cast<ssize_t>(run.source->ReadAt(at, out, n, CompressedSource::Lane::kStream));
}

// The display text of the bytes [begin, end) of the file, read a piece at
// a time (the line may be longer than any window): each TAB as tabWidth
// blanks, ending at the line's feed (a CR just before it left out) and
// where the file ends.
class FileLineText : public TextPieces {
 public:
  FileLineText(const LineRun& run, uint64_t begin, uint64_t end)
      : run_(run), pos_(begin), end_(end), tabWidth_(run.tabWidth) {
    // The line's feed and a CR before it are no text.
    char last[2];
    const uint64_t from = std::max(begin, end_ - std::min<uint64_t>(end_, 2));
    const ssize_t got = ReadRaw(run_, last, static_cast<size_t>(end_ - from), from);
    if (got > 0 && last[got - 1] == '\n') {
      --end_;
      if (got == 2 && last[0] == '\r') --end_;
    }
  }

  size_t Read(char* out, size_t cap) override {
    size_t produced = 0;
    while (produced < cap) {
      if (blanks_ > 0) {
        const size_t n = std::min(blanks_, cap - produced);
        std::memset(out + produced, ' ', n);
        produced += n;
        blanks_ -= n;
        continue;
      }
      if (next_ == held_ && !Fill()) break;
      const char* p = raw_.data() + next_;
      const size_t n = std::min(held_ - next_, cap - produced);
      const char* stop = static_cast<const char*>(std::memchr(p, '\n', n));
      const char* tab = static_cast<const char*>(std::memchr(p, '\t', stop ? stop - p : n));
      const size_t run = static_cast<size_t>((tab ? tab : stop ? stop : p + n) - p);
      std::memcpy(out + produced, p, run);
      produced += run;
      next_ += run;
      if (tab != nullptr) {
        ++next_;
        blanks_ = tabWidth_ > 0 ? static_cast<size_t>(tabWidth_) : 0;
      } else if (stop != nullptr) {
        if (produced > 0 && out[produced - 1] == '\r') --produced;
        end_ = pos_ = 0;  // the text ends at its line feed
        next_ = held_ = 0;
        break;
      }
    }
    return produced;
  }

  bool AtEnd() const override { return blanks_ == 0 && next_ == held_ && pos_ >= end_; }

 private:
  // Reads the next raw bytes; false at the end (or when they cannot be read:
  // a file cut meanwhile ends the text there).
  bool Fill() {
    if (pos_ >= end_) return false;
    raw_.resize(kPieceBytes);
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kPieceBytes, end_ - pos_));
    const ssize_t got = ReadRaw(run_, raw_.data(), want, pos_);
    if (got <= 0) {
      end_ = pos_;
      return false;
    }
    pos_ += static_cast<uint64_t>(got);
    next_ = 0;
    held_ = static_cast<size_t>(got);
    return true;
  }

  static constexpr size_t kPieceBytes = size_t{64} << 10;
  const LineRun& run_;
  uint64_t pos_;  // file offset of the next raw byte to read
  uint64_t end_;
  int tabWidth_;
  std::vector<char> raw_;
  size_t next_ = 0;  // the next byte of raw_ to give
  size_t held_ = 0;  // bytes of raw_ read
  size_t blanks_ = 0;
};

// Lines [a, b) of a run as one batch. The functions hold the piece by
// value: a batch may be copied, and workers make theirs side by side.
LineBatch PieceOf(const LineRun& run, int a, int b) {
  struct Piece {
    const LineRun* run;
    int a, b;
    size_t from;  // where line a begins in the run's bytes
    size_t length;
    // Where line k of the piece begins in its bytes; length from b on.
    size_t Start(int k) const {
      if (a + k >= b) return length;
      const uint64_t at = run->index->Start(run->first + a + k) - run->begin;
      return static_cast<size_t>(std::min<uint64_t>(at, run->length)) - from;
    }
  };
  auto runStart = [&run](int k) -> size_t {
    if (k >= run.count) return static_cast<size_t>(run.length);
    const uint64_t at = run.index->Start(run.first + k) - run.begin;
    return static_cast<size_t>(std::min<uint64_t>(at, run.length));
  };
  const size_t from = runStart(a);
  const Piece piece{&run, a, b, from, runStart(b) - from};
  LineBatch batch;
  batch.bytes = run.bytes + from;
  batch.length = piece.length;
  batch.count = b - a;
  batch.cut = run.length < run.end - run.begin;
  batch.tabWidth = run.tabWidth;
  batch.lineAt = [piece](size_t offset) {
    const LineRun& r = *piece.run;
    const int32_t low = r.first + piece.a;
    return static_cast<int>(
        r.index->LineAt(r.begin + piece.from + offset, low, r.first + piece.b - 1) - low);
  };
  batch.start = [piece](int k) { return piece.Start(k); };
  batch.text = [piece](int k, char* out) {
    const size_t at = piece.Start(k);
    const size_t span = std::min<size_t>(piece.Start(k + 1) - at, kMaxLineText + 1);
    return static_cast<int>(slot_detail::CopyLineText(piece.run->bytes + piece.from + at, span,
                                                      piece.run->tabWidth, out));
  };
  batch.wholeText = [piece](int k) -> std::unique_ptr<TextPieces> {
    const LineRun& r = *piece.run;
    const int line = piece.a + k;
    const uint64_t to = line + 1 < r.count ? r.index->Start(r.first + line + 1) : r.end;
    return std::make_unique<FileLineText>(r, r.index->Start(r.first + line), to);
  };
  return batch;
}

}  // namespace

// The bits of 65,536 lines, and the counts that rank and select them. A
// count is written when its first line is published, before the release of
// shown_ that publishes it, and stays (the open last line examined again
// keeps the counts before it): a reader that acquired ShownCount() finds
// every count and bit below the last shown line it may ask for. Counts not
// yet written read as unset, bits past the published lines as zero but for
// the open last line's, which is left until it is decided again.
struct LineFilter::BitChunk {
  static constexpr uint16_t kUnset = 0xFFFF;  // above any count of a block (at most 65,024)
  // Shown lines before the chunk's first line; -1 until it is published.
  std::atomic<int32_t> before{-1};
  // Shown lines of the chunk before each block of 512 lines; kUnset until
  // the block's first line is published.
  std::atomic<uint16_t> blocks[kChunkBlocks];
  // Bit (line % 64) of word (line % 65,536) / 64; read and written through
  // atomic_ref.
  uint64_t words[kChunkWords] = {};

  BitChunk() {
    for (std::atomic<uint16_t>& block : blocks) block.store(kUnset, std::memory_order_relaxed);
  }
};

namespace {

static_assert(std::atomic_ref<uint64_t>::required_alignment <= alignof(uint64_t));

uint64_t Load(const uint64_t& word) {
  return std::atomic_ref<uint64_t>(const_cast<uint64_t&>(word)).load(std::memory_order_relaxed);
}

// The position of the n-th set bit of word (n < popcount(word)): halves,
// then the last byte's bits one by one.
int SelectBit(uint64_t word, int n) {
  int base = 0;
  for (int width = 32; width >= 8; width /= 2) {
    const uint64_t low = word & ((uint64_t{1} << width) - 1);
    const int count = std::popcount(low);
    if (n >= count) {
      n -= count;
      word >>= width;
      base += width;
    } else {
      word = low;
    }
  }
  for (; n > 0; --n) word &= word - 1;
  return base + std::countr_zero(word);
}

}  // namespace

void ShownBits::Reset(int count, int shift) {
  count_ = std::max(count, 0);
  shift_ = shift & 63;
  words_.assign(static_cast<size_t>((int64_t{shift_} + count_ + 63) >> 6), 0);
}

void ShownBits::AddRange(int a, int b) {
  if (b <= a) return;
  const int64_t from = int64_t{shift_} + a;
  const int64_t to = int64_t{shift_} + b;  // bits [from, to)
  size_t w = static_cast<size_t>(from >> 6);
  const size_t last = static_cast<size_t>((to - 1) >> 6);
  const uint64_t head = ~uint64_t{0} << (from & 63);
  const uint64_t tail = ~uint64_t{0} >> (63 - ((to - 1) & 63));
  if (w == last) {
    words_[w] |= head & tail;
    return;
  }
  words_[w] |= head;
  for (++w; w < last; ++w) words_[w] = ~uint64_t{0};
  words_[last] |= tail;
}

LineFilter::LineFilter(Job job, std::function<void()> wake)
    : job_(std::move(job)),
      wake_(std::move(wake)),
      chunks_(new std::atomic<BitChunk*>[kMaxChunks]()) {
  job_.fd = job_.fd >= 0 ? dup(job_.fd) : -1;
  thread_ = std::thread([this] { Run(); });
}

LineFilter::~LineFilter() {
  Cancel();
  if (aheadDone_.valid()) aheadDone_.wait();  // ends at its next piece: stop_ is set
  for (int i = 0; i < kMaxChunks; ++i) delete chunks_[i].load(std::memory_order_relaxed);
  if (job_.fd >= 0) close(job_.fd);
}

void LineFilter::Extend(int32_t lines, uint64_t fileSize) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (lines == target_ && fileSize == fileSize_) return;
    target_ = std::max(target_, lines);
    fileSize_ = std::max(fileSize_, fileSize);
    pending_ = true;
  }
  more_.notify_one();
}

void LineFilter::Cancel() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_.store(true, std::memory_order_release);
  }
  more_.notify_one();
  if (thread_.joinable()) thread_.join();
}

int32_t LineFilter::Target() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return target_;
}

bool LineFilter::CaughtUp() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return !pending_ && Covered() >= target_;
}

int32_t LineFilter::ShownLine(int32_t rank) const {
  // The last chunk, then the last block in it, whose count of shown lines
  // before it is at most rank: counts grow with the line, and one not yet
  // written (of a chunk or block past the line asked for) reads as above.
  int32_t low = 0;
  int32_t high = chunkCount_.load(std::memory_order_acquire);
  const BitChunk* chunk = nullptr;
  int32_t before = 0;
  while (low < high) {
    const int32_t mid = low + (high - low) / 2;
    const BitChunk* at = chunks_[mid].load(std::memory_order_acquire);
    const int32_t count = at != nullptr ? at->before.load(std::memory_order_relaxed) : -1;
    if (count >= 0 && count <= rank) {
      chunk = at;
      before = count;
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  if (chunk == nullptr) return 0;  // no such rank
  const int64_t chunkLine = int64_t{low - 1} << kChunkShift;
  const int32_t inChunk = rank - before;
  int block = 0;
  int32_t blockCount = 0;
  for (int lo = 0, hi = kChunkBlocks; lo < hi;) {
    const int mid = lo + (hi - lo) / 2;
    const uint16_t count = chunk->blocks[mid].load(std::memory_order_relaxed);
    if (count != BitChunk::kUnset && count <= inChunk) {
      block = mid;
      blockCount = count;
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  int32_t n = inChunk - blockCount;
  for (int w = block * kBlockWords; w < kChunkWords; ++w) {
    const uint64_t word = Load(chunk->words[w]);
    const int count = std::popcount(word);
    if (n < count)
      return static_cast<int32_t>(chunkLine + (int64_t{w} << kWordShift) + SelectBit(word, n));
    n -= count;
  }
  // Only a reader that raced the open last line's new decision gets here.
  return static_cast<int32_t>(chunkLine + (int64_t{1} << kChunkShift) - 1);
}

int32_t LineFilter::RankOf(int32_t line) const {
  // The count before line's block and the bits before it in the block;
  // never above the shown lines read first (a count written since, or a
  // line past the examined ones, has every one of them before it).
  const int32_t shown = ShownCount();
  if (line <= 0) return 0;
  const int64_t c = int64_t{line} >> kChunkShift;
  const BitChunk* chunk = c < kMaxChunks ? chunks_[c].load(std::memory_order_acquire) : nullptr;
  if (chunk == nullptr) return shown;
  const int32_t before = chunk->before.load(std::memory_order_relaxed);
  const int at = line & ((1 << kChunkShift) - 1);
  const uint16_t blockCount = chunk->blocks[at >> kBlockShift].load(std::memory_order_relaxed);
  if (before < 0 || blockCount == BitChunk::kUnset) return shown;
  int64_t count = int64_t{before} + blockCount;
  const int end = at >> kWordShift;
  for (int w = (at >> kBlockShift) * kBlockWords; w < end; ++w) {
    count += std::popcount(Load(chunk->words[w]));
  }
  if ((at & 63) != 0) {
    count += std::popcount(Load(chunk->words[end]) & (~uint64_t{0} >> (64 - (at & 63))));
  }
  return static_cast<int32_t>(std::min<int64_t>(count, shown));
}

bool LineFilter::Bit(int32_t line) const {
  const BitChunk* chunk = chunks_[line >> kChunkShift].load(std::memory_order_acquire);
  const int at = line & ((1 << kChunkShift) - 1);
  return chunk != nullptr && ((Load(chunk->words[at >> kWordShift]) >> (at & 63)) & 1) != 0;
}

size_t LineFilter::MemoryBytes() const {
  return static_cast<size_t>(chunkCount_.load(std::memory_order_acquire)) * sizeof(BitChunk) +
         kMaxChunks * sizeof(void*);
}

LineFilter::BitChunk* LineFilter::Chunk(int64_t index) {
  if (index >= kMaxChunks) return nullptr;
  BitChunk* held = chunks_[index].load(std::memory_order_acquire);
  if (held != nullptr) return held;
  held = new (std::nothrow) BitChunk();
  if (held == nullptr) return nullptr;
  chunks_[index].store(held, std::memory_order_release);
  const int32_t made = static_cast<int32_t>(index + 1);
  if (chunkCount_.load(std::memory_order_relaxed) < made) {
    chunkCount_.store(made, std::memory_order_release);
  }
  return held;
}

bool LineFilter::Push(int32_t base, const ShownBits& bits) {
  const int64_t first = base;
  const int64_t end = first + bits.count();
  int32_t shown = shown_.load(std::memory_order_relaxed);
  const uint64_t* from = bits.words();
  BitChunk* chunk = nullptr;
  for (int64_t w = first >> kWordShift; w <= (end - 1) >> kWordShift && end > first; ++w) {
    if (chunk == nullptr || (w & (kChunkWords - 1)) == 0) {
      chunk = Chunk(w >> (kChunkShift - kWordShift));
      if (chunk == nullptr) {
        shown_.store(shown, std::memory_order_release);
        return false;
      }
    }
    // The word's lines in [first, end); its others (the piece before's,
    // or none yet) are kept.
    const int64_t line = w << kWordShift;
    const int lo = static_cast<int>(std::max(first, line) - line);
    const int hi = static_cast<int>(std::min(end, line + 64) - line);
    const uint64_t mask = (~uint64_t{0} << lo) & (~uint64_t{0} >> (64 - hi));
    const uint64_t value = from[w - (first >> kWordShift)] & mask;
    if (lo == 0 && (w & (kBlockWords - 1)) == 0) {
      // The block's first line: the counts before it.
      if ((w & (kChunkWords - 1)) == 0) chunk->before.store(shown, std::memory_order_relaxed);
      const int32_t inChunk = shown - chunk->before.load(std::memory_order_relaxed);
      chunk->blocks[(w & (kChunkWords - 1)) / kBlockWords].store(static_cast<uint16_t>(inChunk),
                                                                 std::memory_order_relaxed);
    }
    std::atomic_ref<uint64_t> word(chunk->words[w & (kChunkWords - 1)]);
    word.store((word.load(std::memory_order_relaxed) & ~mask) | value, std::memory_order_relaxed);
    shown += std::popcount(value);
  }
  shown_.store(shown, std::memory_order_release);
  return true;
}

void LineFilter::Run() {
  auto lastWake = std::chrono::steady_clock::now();
  uint64_t openSize = 0;  // the file's size when the open last line was examined
  for (;;) {
    int32_t target = 0;
    uint64_t fileSize = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      more_.wait(lock, [&] {
        return stop_.load(std::memory_order_relaxed) || pending_ || target_ > Covered();
      });
      if (stop_.load(std::memory_order_relaxed)) return;
      target = target_;
      fileSize = fileSize_;
      pending_ = false;
      if (lastOpen_ && (target > Covered() || fileSize != openSize)) {
        // The line without a line feed grew or was ended: examine it again.
        const int32_t last = Covered() - 1;
        // Its bit stays until it is decided again: a reader that read the
        // count before finds it meanwhile.
        if (Bit(last)) shown_.store(ShownCount() - 1, std::memory_order_release);
        covered_.store(last, std::memory_order_release);
        lastOpen_ = false;
      }
    }
    while (Covered() < target) {
      if (stop_.load(std::memory_order_relaxed)) return;
      const int32_t first = Covered();
      const int32_t batch = first > 0 && WorkerCount() > 1 ? kWideBatchLines : kBatchLines;
      const int32_t last = static_cast<int32_t>(std::min<int64_t>(int64_t{first} + batch, target));
      if (!Examine(first, last, fileSize)) {
        stop_.store(true, std::memory_order_release);
        if (wake_) wake_();
        return;
      }
      if (Covered() == first) break;  // the index holds no more lines yet
      if (lastOpen_) openSize = fileSize;
      const auto now = std::chrono::steady_clock::now();
      if (now - lastWake >= kWakeInterval || Covered() >= target) {
        lastWake = now;
        if (wake_) wake_();
      }
    }
    // Nothing to examine until more lines come: a source's run buffer goes,
    // and what was read ahead when nothing is being read ahead.
    std::vector<char>().swap(sourceBytes_);
    if (!aheadDone_.valid() && aheadGot_ == 0) std::vector<char>().swap(ahead_);
  }
}

bool LineFilter::Examine(int32_t first, int32_t last, uint64_t fileSize) {
  const LineIndex& index = *job_.index;
  const int64_t known = index.Size();
  if (int64_t{last} > known) last = static_cast<int32_t>(known);
  if (last <= first) return true;
  // The line after the last one may not have begun yet: it ends at the
  // file's end then.
  const bool endKnown = last < known;
  auto endOf = [&](int32_t line) {  // where line ends (its line feed included)
    return line + 1 < known ? index.Start(line + 1) : std::max(fileSize, index.Start(line));
  };
  // Runs of lines of at most job_.runBytes; a longer line alone, cut. Only the
  // starts at the runs' edges are looked up.
  int32_t k = first;
  uint64_t begin = index.Start(k);
  while (k < last) {
    int32_t next = static_cast<int32_t>(index.LineAt(begin + job_.runBytes, k, last - 1));
    next = std::max(next, k + 1);
    uint64_t end = next < known ? index.Start(next) : endOf(next - 1);
    if (next == last) end = endOf(last - 1);
    if (end - begin > job_.runBytes && next > k + 1) {
      --next;
      end = index.Start(next);
    }
    const int decided = Decide(k, next - k, begin, end);
    if (decided < 0) return false;
    // Stopped while the workers decided: the run's lines were not all
    // decided, and the filter is given up.
    if (stop_.load(std::memory_order_relaxed)) return true;
    if (decided < next - k) {
      // The workers' time ran out: the rest comes with the next run.
      lastOpen_ = false;
      covered_.store(k + decided, std::memory_order_release);
      return true;
    }
    k = next;
    begin = end;
  }
  lastOpen_ = !endKnown;
  covered_.store(last, std::memory_order_release);
  return true;
}

int LineFilter::Decide(int32_t first, int count, uint64_t begin, uint64_t end) {
  // A line longer than a run: its first 2 KiB make its text.
  const uint64_t length = std::min<uint64_t>(
      end - begin, count == 1 && end - begin > job_.runBytes ? kMaxLineText + 1 : end - begin);
  // Mapped and known to the truncation guard by this thread for the whole
  // run: the workers read only inside it, and it is unmapped once they are
  // done. A source's text is read into a buffer instead.
  std::optional<FilterWindow> window;
  const char* bytes = nullptr;
  if (job_.source) {
    if (!ReadSource(begin, length, end)) return stop_.load(std::memory_order_relaxed) ? 0 : -1;
    bytes = sourceBytes_.data();
  } else {
    window.emplace(job_.slot, job_.fd, begin, begin + length);
    bytes = window->bytes();
    if (length > 0 && bytes == nullptr) return -1;
  }
  const LineRun run{job_.index.get(),
                    job_.fd,
                    job_.source.get(),
                    job_.tabWidth,
                    first,
                    count,
                    begin,
                    end,
                    bytes,
                    length};
  const int workers = std::min(WorkerCount(), count / kMinPieceLines);
  if (workers > 1 && Helpers(workers)) return DecideOnWorkers(run, workers);
  static thread_local ShownBits shown;
  shown.Reset(count, first & 63);
  job_.test->Decide(PieceOf(run, 0, count), shown);
  return Push(first, shown) ? count : -1;
}

size_t LineFilter::ReadPieces(uint64_t at, char* out, size_t length) {
  // A piece at a time: the source's reads are serialised, and the page (on
  // the window's thread) and the index pass wait meanwhile.
  constexpr size_t kPiece = size_t{1} << 20;
  size_t done = 0;
  while (done < length && !stop_.load(std::memory_order_relaxed)) {
    const int64_t got = job_.source->ReadAt(at + done, out + done, std::min(kPiece, length - done),
                                            CompressedSource::Lane::kStream);
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

bool LineFilter::ReadSource(uint64_t begin, uint64_t length, uint64_t end) {
  if (aheadDone_.valid()) aheadDone_.wait();
  aheadDone_ = {};
  try {
    sourceBytes_.resize(static_cast<size_t>(length));
  } catch (const std::bad_alloc&) {
    return false;
  }
  char* out = sourceBytes_.data();
  // What was decoded ahead, then the rest (the stream's cursor goes on from
  // where the read ahead ended).
  const uint64_t aheadEnd = aheadBegin_ + aheadGot_;
  size_t have = 0;
  if (begin >= aheadBegin_ && begin < aheadEnd) {
    have = static_cast<size_t>(std::min(length, aheadEnd - begin));
    std::memcpy(out, ahead_.data() + (begin - aheadBegin_), have);
  }
  have += ReadPieces(begin + have, out + have, static_cast<size_t>(length) - have);
  if (stop_.load(std::memory_order_relaxed)) return false;
  // Bytes that no longer decode (the file changed since) read as zeros, as
  // a plain file's pages cut meanwhile do; the document is read again, and
  // its filter with it.
  if (have < length) std::memset(out + have, 0, static_cast<size_t>(length) - have);
  // The next run begins at end: what was decoded past it stays, and a run's
  // worth is decoded on from there while the workers decide this run, so
  // that every byte is decoded once.
  size_t kept = 0;
  if (end >= aheadBegin_ && end < aheadEnd) {
    kept = static_cast<size_t>(aheadEnd - end);
    std::memmove(ahead_.data(), ahead_.data() + (end - aheadBegin_), kept);
  }
  aheadBegin_ = end;
  aheadGot_ = kept;
  const uint64_t from = end + kept;
  if (from >= job_.source->Size() || kept >= job_.runBytes) return true;
  try {
    aheadDone_ = std::async(std::launch::async, [this, from, kept] {
      try {
        ahead_.resize(static_cast<size_t>(job_.runBytes));
      } catch (const std::bad_alloc&) {
        return;
      }
      aheadGot_ = kept + ReadPieces(from, ahead_.data() + kept, ahead_.size() - kept);
    });
  } catch (const std::system_error&) {
    // No thread to read ahead: the next run is read when it comes.
  }
  return true;
}

bool LineFilter::Helpers(int workers) {
  while (static_cast<int>(helpers_.size()) < workers) {
    std::unique_ptr<LineTest> copy = helpers_.empty() ? nullptr : job_.test->Clone();
    if (!helpers_.empty() && copy == nullptr) return false;
    helpers_.push_back(std::move(copy));
  }
  return true;
}

int LineFilter::DecideOnWorkers(const LineRun& run, int workers) {
  const int maxPieceLines =
      secondsPerLine_ > 0
          ? static_cast<int>(std::clamp(kPieceTime / secondsPerLine_, double{kMinPieceLines},
                                        double{kMaxPieceLines}))
          : kFirstMaxPieceLines;
  const int pieceLines = std::clamp(run.count / (workers * 4), kMinPieceLines, maxPieceLines);
  const auto started = std::chrono::steady_clock::now();
  const int pieces = (run.count + pieceLines - 1) / pieceLines;
  if (static_cast<int>(pieceShown_.size()) < workers) {
    pieceShown_.resize(static_cast<size_t>(workers));
  }
  // Pieces are taken in order; a worker publishes its piece's shown lines
  // (its bits, into words it may share with the pieces beside it) when
  // every piece before it has been published (its turn), while the
  // others go on deciding. Every piece taken takes its turn, stopped or
  // not, so that no worker waits for ever. No piece is taken after the
  // run's time (but the first): the pool is shared with the search and
  // the index, which wait meanwhile.
  const auto deadline = std::chrono::steady_clock::now() + kRunTime;
  std::atomic<int> next{0};
  std::mutex mutex;
  std::condition_variable turnChanged;
  int turn = 0;
  bool ok = true;
  RunOnWorkers(workers, [&](int worker) {
    LineTest& test = worker == 0 ? *job_.test : *helpers_[static_cast<size_t>(worker)];
    ShownBits& shown = pieceShown_[static_cast<size_t>(worker)];
    for (;;) {
      if (next.load(std::memory_order_relaxed) > 0 && std::chrono::steady_clock::now() > deadline) {
        return;
      }
      const int p = next.fetch_add(1, std::memory_order_relaxed);
      if (p >= pieces) return;
      const int a = p * pieceLines;
      const int b = std::min(run.count, a + pieceLines);
      shown.Reset(b - a, (run.first + a) & 63);
      const bool stopped = stop_.load(std::memory_order_relaxed);
      if (!stopped) test.Decide(PieceOf(run, a, b), shown);
      std::unique_lock<std::mutex> lock(mutex);
      turnChanged.wait(lock, [&] { return turn == p; });
      // The publication runs alone: the others wait for their turn.
      ok = ok && !stopped && Push(run.first + a, shown);
      ++turn;
      turnChanged.notify_all();
    }
  });
  if (!ok && !stop_.load(std::memory_order_relaxed)) return -1;
  // Every piece taken was decided.
  const int decided = std::min(run.count, std::min(next.load(), pieces) * pieceLines);
  // A worker's time a line, from this run's: the next run's pieces.
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (decided > 0) secondsPerLine_ = seconds * workers / decided;
  return decided;
}
