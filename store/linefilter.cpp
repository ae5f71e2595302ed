#include "store/linefilter.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <vector>

#include "store/platform.h"
#include "store/slot_detail.h"
#include "store/slots.h"

namespace {

// Lines examined between two looks at the stop flag and two publications.
constexpr int32_t kBatchLines = 8192;
// Bytes of one window: a run of lines that fits, or one longer line's
// first 2 KiB.
constexpr uint64_t kBatchBytes = uint64_t{16} << 20;
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

// The display text of the bytes [begin, end) of the file, read through the
// filter's descriptor a piece at a time (the line may be longer than any
// window): each TAB as tabWidth blanks, ending at the line's feed (a CR
// just before it left out) and where the file ends.
class FileLineText : public TextPieces {
 public:
  FileLineText(int fd, uint64_t begin, uint64_t end, int tabWidth)
      : fd_(fd), pos_(begin), end_(end), tabWidth_(tabWidth) {
    // The line's feed and a CR before it are no text.
    char last[2];
    const uint64_t from = std::max(begin, end_ - std::min<uint64_t>(end_, 2));
    const ssize_t got =
        pread(fd_, last, static_cast<size_t>(end_ - from), static_cast<off_t>(from));
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
    const ssize_t got = pread(fd_, raw_.data(), want, static_cast<off_t>(pos_));
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
  int fd_;
  uint64_t pos_;  // file offset of the next raw byte to read
  uint64_t end_;
  int tabWidth_;
  std::vector<char> raw_;
  size_t next_ = 0;  // the next byte of raw_ to give
  size_t held_ = 0;  // bytes of raw_ read
  size_t blanks_ = 0;
};

}  // namespace

LineFilter::LineFilter(Job job, std::function<void()> wake)
    : job_(std::move(job)),
      wake_(std::move(wake)),
      chunks_(new std::atomic<int32_t*>[kMaxChunks]()) {
  job_.fd = job_.fd >= 0 ? dup(job_.fd) : -1;
  thread_ = std::thread([this] { Run(); });
}

LineFilter::~LineFilter() {
  Cancel();
  for (int i = 0; i < kMaxChunks; ++i) delete[] chunks_[i].load(std::memory_order_relaxed);
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
  const std::atomic<int32_t*>& chunk = chunks_[rank >> kChunkShift];
  return std::atomic_ref<int32_t>(chunk.load(std::memory_order_acquire)[rank & (kChunkLines - 1)])
      .load(std::memory_order_relaxed);
}

int32_t LineFilter::RankOf(int32_t line) const {
  int32_t low = 0;
  int32_t high = ShownCount();
  while (low < high) {
    const int32_t mid = low + (high - low) / 2;
    if (ShownLine(mid) < line) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}

size_t LineFilter::MemoryBytes() const {
  const int32_t count = ShownCount();
  const size_t chunks = static_cast<size_t>((int64_t{count} + kChunkLines - 1) >> kChunkShift);
  return chunks * kChunkLines * sizeof(int32_t) + kMaxChunks * sizeof(void*);
}

bool LineFilter::Push(int32_t line) {
  const int32_t k = shown_.load(std::memory_order_relaxed);
  std::atomic<int32_t*>& chunk = chunks_[k >> kChunkShift];
  int32_t* lines = chunk.load(std::memory_order_relaxed);
  if (lines == nullptr) {
    lines = new (std::nothrow) int32_t[kChunkLines];
    if (lines == nullptr) return false;
    chunk.store(lines, std::memory_order_release);
  }
  std::atomic_ref<int32_t>(lines[k & (kChunkLines - 1)]).store(line, std::memory_order_relaxed);
  shown_.store(k + 1, std::memory_order_release);
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
        const int32_t shown = ShownCount();
        if (shown > 0 && ShownLine(shown - 1) == last) shown_.store(shown - 1);
        covered_.store(last, std::memory_order_release);
        lastOpen_ = false;
      }
    }
    while (Covered() < target) {
      if (stop_.load(std::memory_order_relaxed)) return;
      const int32_t first = Covered();
      const int32_t last =
          static_cast<int32_t>(std::min<int64_t>(int64_t{first} + kBatchLines, target));
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
  // Runs of lines of at most kBatchBytes; a longer line alone, cut. Only the
  // starts at the runs' edges are looked up.
  int32_t k = first;
  uint64_t begin = index.Start(k);
  while (k < last) {
    int32_t next = static_cast<int32_t>(index.LineAt(begin + kBatchBytes, k, last - 1));
    next = std::max(next, k + 1);
    uint64_t end = next < known ? index.Start(next) : endOf(next - 1);
    if (next == last) end = endOf(last - 1);
    if (end - begin > kBatchBytes && next > k + 1) {
      --next;
      end = index.Start(next);
    }
    if (!Decide(k, next - k, begin, end)) return false;
    k = next;
    begin = end;
  }
  lastOpen_ = !endKnown;
  covered_.store(last, std::memory_order_release);
  return true;
}

bool LineFilter::Decide(int32_t first, int count, uint64_t begin, uint64_t end) {
  static thread_local std::vector<int> shown;
  const LineIndex& index = *job_.index;
  // A line longer than a run: its first 2 KiB make its text.
  const uint64_t length = std::min<uint64_t>(
      end - begin, count == 1 && end - begin > kBatchBytes ? kMaxLineText + 1 : end - begin);
  const FilterWindow window(job_.slot, job_.fd, begin, begin + length);
  if (length > 0 && window.bytes() == nullptr) return false;
  shown.clear();
  LineBatch batch;
  batch.bytes = window.bytes();
  batch.length = static_cast<size_t>(length);
  batch.count = count;
  batch.cut = length < end - begin;
  batch.tabWidth = job_.tabWidth;
  batch.lineAt = [&](size_t offset) {
    return static_cast<int>(index.LineAt(begin + offset, first, first + count - 1) - first);
  };
  batch.start = [&](int k) -> size_t {
    if (k >= count) return static_cast<size_t>(length);
    return static_cast<size_t>(std::min<uint64_t>(index.Start(first + k) - begin, length));
  };
  batch.text = [&](int k, char* out) {
    const size_t from = batch.start(k);
    const size_t span = std::min<size_t>(batch.start(k + 1) - from, kMaxLineText + 1);
    return static_cast<int>(
        slot_detail::CopyLineText(window.bytes() + from, span, job_.tabWidth, out));
  };
  batch.wholeText = [&](int k) -> std::unique_ptr<TextPieces> {
    const uint64_t from = index.Start(first + k);
    return std::make_unique<FileLineText>(
        job_.fd, from, k + 1 < count ? index.Start(first + k + 1) : end, job_.tabWidth);
  };
  job_.test->Decide(batch, shown);
  for (const int k : shown) {
    if (!Push(first + k)) return false;
  }
  return true;
}
