#include "store/follow.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>

#include "store/displayname.h"
#include "store/filewatch.h"
#include "store/platform.h"
#include "store/slot_detail.h"

namespace sp = store_platform;
using namespace slot_detail;

// Shared by the slot's thread and the watcher's (guarded by mutex). The
// watcher's callback keeps it alive, so it may outlive the slot's hold on it.
struct FollowState {
  std::mutex mutex;
  std::condition_variable idle;  // extending turned false

  // Set by the slot's thread. index null: the index is not complete (a first
  // index or a re-read runs), so growth waits in change like any news.
  std::shared_ptr<LineIndex> index;
  int slot = -1;
  int map_fd = -1;
  bool find_non_ascii = false;  // look for the first byte >= 0x80 in what grows
  std::function<void(int)> wake;

  // Written by the watcher's thread: the index covers indexed_to bytes with
  // starts entries (a consistent pair, LineIndex::Size() may be ahead of it
  // while a growth is scanned) and print fingerprints them.
  uint64_t indexed_to = 0;
  int64_t starts = 0;
  ByteFingerprint print;
  bool grown = false;  // the pair went further than the slot has taken in
  uint64_t non_ascii_at = std::numeric_limits<uint64_t>::max();
  IndexWorker::Outcome failure = IndexWorker::Outcome::kRunning;  // kRunning: none
  int error = 0;
  bool extending = false;
  IndexWorker* scanning = nullptr;  // the growth scan running, for a cancel

  // A change for the slot's thread, held until it takes it in.
  bool has_change = false;
  FileChange change{};
};

namespace {

constexpr const char* kReplacedLine =
    "# ファイルが新しいファイルに置き換えられたので、先頭から読み直します: ";
constexpr const char* kTruncatedLine = "# ファイルが切り詰められたので、先頭から読み直します: ";
constexpr const char* kRewrittenLine = "# ファイルが書き換えられたので、先頭から読み直します: ";
constexpr const char* kDeletedLine =
    "# ファイルが削除されました。同じ名前のファイルができるまで、今の内容を表示します: ";
constexpr const char* kReloadFailed = "# *** ERROR *** ファイルを読み直せません（";

// Set while a scan that lets input through runs (DeferFileChanges).
bool g_defer_changes = false;

// The first offset in [from, to) of the file whose byte is not ASCII, or
// to when there is none (or the file cannot be read).
uint64_t FirstNonAscii(int fd, uint64_t from, uint64_t to) {
  char buffer[64 * 1024];
  while (from < to) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof buffer, to - from));
    const ssize_t got = ::pread(fd, buffer, want, static_cast<off_t>(from));
    if (got <= 0) return to;
    for (ssize_t i = 0; i < got; ++i)
      if (buffer[i] & 0x80) return from + static_cast<uint64_t>(i);
    from += static_cast<uint64_t>(got);
  }
  return to;
}

void Post(FollowState& state, const FileChange& change) {
  state.has_change = true;
  state.change = change;
}

// The watcher's report, on its thread. Growth of a complete index is taken
// in right here; everything else waits for the slot's thread.
bool OnFileChange(FollowState& state, const FileChange& change) {
  std::unique_lock<std::mutex> lock(state.mutex);
  const auto wake = state.wake;
  const int slot = state.slot;
  if (change.kind != FileChange::kGrew || !state.index || state.has_change ||
      state.failure != IndexWorker::Outcome::kRunning) {
    Post(state, change);
    lock.unlock();
    if (wake) wake(slot);
    return false;
  }
  const std::shared_ptr<LineIndex> index = state.index;
  const uint64_t from = state.indexed_to;
  const uint64_t to = static_cast<uint64_t>(change.size);
  if (to <= from) return true;
  const ByteFingerprint before = state.print;
  const int map_fd = state.map_fd;
  const bool find_non_ascii = state.find_non_ascii;
  state.extending = true;
  lock.unlock();

  // Trust the starts indexed only over the same bytes: a rewrite that ends
  // up longer is read again from the start.
  const bool same = TakeFingerprint(map_fd, from).Matches(before);
  IndexWorker::Job job;
  job.slot = slot;
  job.map_fd = map_fd;
  job.from = from;
  job.to = to;
  job.index = index.get();
  IndexWorker worker(job, nullptr);
  bool ran = false;
  if (same) {
    lock.lock();
    ran = state.index == index;
    if (ran) state.scanning = &worker;
    lock.unlock();
    if (ran) worker.RunHere();
  }
  const uint64_t non_ascii =
      ran && find_non_ascii ? FirstNonAscii(map_fd, from, worker.ScannedTo()) : to;
  lock.lock();
  state.scanning = nullptr;
  state.extending = false;
  state.idle.notify_all();
  // Held meanwhile (the slot reads the file again, or stops): nothing here
  // counts any more, and the slot acknowledges what it reads.
  if (state.index != index) return false;
  if (!same) {
    Post(state, {FileChange::kRewritten, change.size});
    lock.unlock();
    if (wake) wake(slot);
    return false;
  }
  if (!ran || worker.outcome() == IndexWorker::Outcome::kCancelled) return false;
  const IndexWorker::Outcome outcome = worker.outcome();
  state.indexed_to = worker.ScannedTo();
  state.starts = index->Size();
  state.grown = true;
  if (non_ascii < to) {
    state.non_ascii_at = std::min(state.non_ascii_at, non_ascii);
    state.find_non_ascii = false;
  }
  if (outcome == IndexWorker::Outcome::kComplete) {
    state.print = worker.fingerprint();
  } else {
    state.failure = outcome;
    state.error = worker.error();
  }
  lock.unlock();
  if (wake) wake(slot);
  // A failure stays unacknowledged: the watcher reports nothing more until
  // the slot's thread has let it go.
  return outcome == IndexWorker::Outcome::kComplete;
}

// Stops the watcher's thread from extending the index and waits for a growth
// scan that runs to end. News already there stays.
void Hold(FollowState& state) {
  std::unique_lock<std::mutex> lock(state.mutex);
  state.index.reset();
  if (state.scanning != nullptr) state.scanning->Cancel();
  state.idle.wait(lock, [&] { return !state.extending; });
  state.grown = false;
}

// Follows no more: the reason is logged once, the lines known stay.
void GiveUpFollowing(FileSlot& slot, const std::string& reason) {
  Log(kReloadFailed + reason + "）: " + DisplayName(slot.FileName));
  StopFollowing(slot);
}

// The first bytes that are not ASCII arrived at offset: detection runs again
// on the text from the start of their line (unless the user chose).
void DetectAgainAt(FileSlot& slot, uint64_t offset) {
  slot.DetectionSawOnlyAscii = false;
  if (slot.EncodingChosen || !slot.Index || slot.LineCount == 0) return;
  const int64_t line = slot.Index->LineAt(offset, 0, slot.LineCount - 1);
  const uint64_t start = line >= 0 ? slot.Index->Start(line) : offset;
  std::string sample(kDetectionSample, '\0');
  const ssize_t got =
      ::pread(slot.FileHandle, sample.data(), sample.size(), static_cast<off_t>(start));
  if (got <= 0) return;
  const uint64_t end = std::min<uint64_t>(start + static_cast<uint64_t>(got), slot.FileSize);
  if (end <= start) return;
  const EncodingGuess guess =
      DetectEncoding(sample.data(), static_cast<size_t>(end - start), end == slot.FileSize);
  if (guess.utf16 || guess.encoding == slot.Encoding) return;
  slot.DetectedEncoding = slot.Encoding = guess.encoding;
  if (IsCurrent(slot)) SetStatus(kEncodingPanel, EncodingName(slot.Encoding));
}

// The file was truncated or rewritten, or the path names a new file: the
// document is indexed again from the start, from the new file when there is
// one, with its encoding detected again. The top line is kept for when the
// index is complete, if the line still exists then.
void ReloadDocument(FileSlot& slot, const FileChange& change) {
  const bool replaced = change.kind == FileChange::kReplaced;
  int fd = slot.FileHandle;
  int map = slot.MapHandle;
  uint64_t device = slot.FileDevice;
  uint64_t inode = slot.FileInode;
  if (replaced) {
    fd = sp::OpenReadOnly(slot.FileName);
    if (fd < 0 || !sp::FileIdentity(fd, &device, &inode)) {
      const int error = errno;
      sp::CloseHandle(fd);
      GiveUpFollowing(slot, OpenFailureReason(error));
      return;
    }
    map = sp::CreateMapping(fd, 0);
  }
  const int64_t size = map < 0 ? -1 : sp::FileSize(fd);
  if (size < 0) {
    const int error = errno;
    if (replaced) {
      sp::CloseHandle(map);
      sp::CloseHandle(fd);
    }
    GiveUpFollowing(slot, OpenFailureReason(error));
    return;
  }
  // An empty file has a window too: it covers pages that come to exist as
  // the file grows.
  const uint64_t length = size > 0 ? std::min<uint64_t>(kWindowSize, static_cast<uint64_t>(size))
                                   : sp::AllocationGranularity();
  const int old_fd = slot.FileHandle;
  const int old_map = slot.MapHandle;
  slot.MapHandle = map;
  if (RemapSlotWindow(slot, 0, length) != 0) {
    const int error = errno;
    slot.MapHandle = old_map;
    if (replaced) {
      sp::CloseHandle(map);
      sp::CloseHandle(fd);
    }
    GiveUpFollowing(slot, OpenFailureReason(error));
    return;
  }
  // The watcher looks at the new descriptor before the old one closes.
  slot.Watcher->Acknowledge(fd, size);
  if (replaced) {
    sp::CloseHandle(old_map);
    sp::CloseHandle(old_fd);
    slot.FileHandle = fd;
    slot.FileDevice = device;
    slot.FileInode = inode;
  }
  ResetTruncation(slot);
  slot.FileSize = static_cast<uint64_t>(size);
  DetectSlotEncoding(slot);
  if (IsCurrent(slot)) SetStatus(kEncodingPanel, EncodingName(slot.Encoding));
  slot.ReloadTopLine = slot.TopLine;
  slot.LineCount = 0;
  slot.PastLineLimit = false;
  slot.SelStartColumn = slot.SelStartLine = slot.SelEndColumn = slot.SelEndLine = -1;
  slot.Index = std::make_shared<LineIndex>();
  slot.IndexedTo = slot.BomLength;
  if (!slot.Index->Append(slot.BomLength)) {
    const std::string path = slot.FileName;
    ReleaseFailedOpen(slot);
    ReportError(kNoIndexMemory + DisplayName(path));
    return;
  }
  // The page stays where it was until the index is complete.
  slot.FirstPageShown = true;
  slot.Reloading = true;
  Log((replaced                             ? kReplacedLine
       : change.kind == FileChange::kShrank ? kTruncatedLine
                                            : kRewrittenLine) +
      DisplayName(slot.FileName));
  if (IsCurrent(slot)) SetStatus(3, "0");
  StartIndexing(slot);
}

// The lines of a growth taken in on the watcher's thread: the index covers
// indexed_to bytes in starts entries.
void TakeGrowth(FileSlot& slot, uint64_t indexed_to, int64_t starts) {
  const int32_t before = slot.LineCount;
  slot.FileSize = slot.IndexedTo = indexed_to;
  // The line in progress counts once it has a byte.
  int64_t lines = starts;
  if (starts > 0 && slot.Index->Start(starts - 1) >= indexed_to) --lines;
  slot.LineCount = static_cast<int32_t>(std::min<int64_t>(lines, kMaxLineCount));
  if (slot.LineCount != before && IsCurrent(slot)) SetStatus(3, std::to_string(slot.LineCount));
}

}  // namespace

void StartFollowing(FileSlot& slot) {
  const int index = SlotIndex(slot);
  // A compressed file does not grow in place: it is not watched.
  if (index < 0 || slot.FileHandle < 0 || slot.Compressed) return;
  auto state = std::make_shared<FollowState>();
  state->slot = index;
  state->wake = Hooks().index_wake;
  slot.Follow = state;
  slot.Watcher = std::make_shared<FileWatcher>(
      slot.FileHandle, slot.FileName, static_cast<int64_t>(slot.FileSize),
      [state](const FileChange& change) { return OnFileChange(*state, change); });
}

void StopFollowing(FileSlot& slot) {
  if (slot.Follow) Hold(*slot.Follow);
  slot.Watcher.reset();  // joins its thread: no callback runs after this
  slot.Follow.reset();
  slot.Reloading = false;
}

void ResumeFollowing(FileSlot& slot, const ByteFingerprint& print) {
  if (!slot.Follow) return;
  FollowState& state = *slot.Follow;
  bool pending = false;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.index = slot.Index;
    state.map_fd = slot.MapHandle;
    state.indexed_to = slot.IndexedTo;
    state.starts = slot.Index->Size();
    state.print = print;
    state.grown = false;
    state.find_non_ascii = slot.DetectionSawOnlyAscii && !slot.EncodingChosen;
    state.non_ascii_at = std::numeric_limits<uint64_t>::max();
    // Growth seen while the index was built is the watcher's to take in now.
    if (state.has_change && state.change.kind == FileChange::kGrew) state.has_change = false;
    pending = state.has_change;
  }
  // Another change stays unacknowledged until it is taken in (below), or
  // the watcher would report it once more.
  if (!pending) slot.Watcher->Acknowledge(slot.FileHandle, static_cast<int64_t>(slot.IndexedTo));
  TakeFollowNews(slot);
}

void TakeFollowNews(FileSlot& slot) {
  if (!slot.Follow || slot.Worker || g_defer_changes) return;
  FollowState& state = *slot.Follow;
  bool grown = false;
  uint64_t indexed_to = 0;
  int64_t starts = 0;
  uint64_t non_ascii = std::numeric_limits<uint64_t>::max();
  IndexWorker::Outcome failure = IndexWorker::Outcome::kRunning;
  int error = 0;
  bool has_change = false;
  FileChange change{};
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    std::swap(grown, state.grown);
    indexed_to = state.indexed_to;
    starts = state.starts;
    std::swap(non_ascii, state.non_ascii_at);
    failure = state.failure;
    error = state.error;
    std::swap(has_change, state.has_change);
    change = state.change;
  }
  if (grown) {
    // Detection first, so that the new lines are drawn in the encoding
    // they bring; it needs them counted for the sample's line.
    const int32_t before = slot.LineCount;
    const uint64_t before_size = slot.FileSize;
    TakeGrowth(slot, indexed_to, starts);
    if (non_ascii < indexed_to) DetectAgainAt(slot, non_ascii);
    if (Hooks().index_grown && (slot.LineCount != before || slot.FileSize != before_size))
      Hooks().index_grown(slot, before);
  }
  if (failure == IndexWorker::Outcome::kLineLimit) {
    slot.PastLineLimit = true;
    Log("# " + TooManyLines(DisplayName(slot.FileName)));
    StopFollowing(slot);
    return;
  }
  if (failure != IndexWorker::Outcome::kRunning) {
    errno = error;
    GiveUpFollowing(slot, failure == IndexWorker::Outcome::kNoMemory
                              ? std::string("メモリが不足しています")
                              : OpenFailureReason(error));
    return;
  }
  if (!has_change) return;
  switch (change.kind) {
    case FileChange::kGrew:
      // Seen while the index was not complete: the watcher takes it in now.
      slot.Watcher->Acknowledge(slot.FileHandle, static_cast<int64_t>(slot.FileSize));
      return;
    case FileChange::kDeleted:
      Log(kDeletedLine + DisplayName(slot.FileName));
      slot.Watcher->Acknowledge(slot.FileHandle, static_cast<int64_t>(slot.FileSize));
      return;
    case FileChange::kShrank:
    case FileChange::kReplaced:
    case FileChange::kRewritten:
      Hold(state);
      ReloadDocument(slot, change);
      return;
  }
}

bool FinishReload(FileSlot& slot, IndexWorker::Outcome outcome, const ByteFingerprint& print) {
  using Outcome = IndexWorker::Outcome;
  const bool done = outcome == Outcome::kComplete || outcome == Outcome::kLineLimit;
  if (!slot.Reloading || !done) return false;
  slot.Reloading = false;
  TakeProgress(slot, true);
  slot.TopLine = std::min(slot.ReloadTopLine, std::max(0, slot.LineCount - 1));
  if (IsCurrent(slot)) SetStatus(3, std::to_string(slot.LineCount));
  if (outcome == Outcome::kLineLimit) {
    slot.PastLineLimit = true;
    Log("# " + TooManyLines(DisplayName(slot.FileName)));
    StopFollowing(slot);
  }
  if (Hooks().index_done) Hooks().index_done(slot);
  if (outcome == Outcome::kComplete) ResumeFollowing(slot, print);
  return true;
}

void DeferFileChanges(bool defer) {
  g_defer_changes = defer;
  if (defer) return;
  for (FileSlot& slot : SlotTable) PumpIndex(slot);
}
