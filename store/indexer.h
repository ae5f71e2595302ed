// The indexer: finds the line starts of [from, to) of a file and appends them
// to a LineIndex, on a thread of its own or on the caller's.
//
// What it owns: its thread, its scan windows (registered with the truncation
// guard as the slot's scan window) and its batch of starts. What it shares:
// the LineIndex (it is the one writer; readers stay below Size()) and the
// words read through the accessors below, all atomic. It never touches a
// FileSlot: the slot's thread takes the results in (PumpIndex).
//
// Resumable: it expects the index to end with the start of the line in
// progress at from (line 0's start, 0, for a fresh index), and leaves it
// ending with the start of the line in progress at to, so a later run from
// to on goes on where this one stopped.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "store/lineindex.h"

class CompressedSource;  // store/compressed.h
// What a later extension checks before it trusts the starts already indexed:
// hashes of the file's first KiB and of the last 4 KiB before the indexed
// end. A rewrite in place (O_TRUNC, then written again, as cp and a shell's
// > do) that ends up longer than before looks like growth to the watcher;
// its bytes differ there unless the new text repeats the old one at both
// places, when its line starts near them are the same too. Five KiB read
// from the page cache: a few microseconds per growth.
struct ByteFingerprint {
  bool taken = false;  // false: the file could not be read; matches nothing
  uint64_t end = 0;    // bytes of the file it covers
  uint64_t head = 0;
  uint64_t tail = 0;
  bool Matches(const ByteFingerprint& other) const {
    return taken && other.taken && end == other.end && head == other.head && tail == other.tail;
  }
};
constexpr uint64_t kFingerprintHead = 1024;
constexpr uint64_t kFingerprintTail = 4096;
// The fingerprint of [0, end) of the file as it is now (read with pread);
// not taken when the file is shorter than end or cannot be read.
ByteFingerprint TakeFingerprint(int fd, uint64_t end);

class IndexWorker {
 public:
  enum class Outcome {
    kRunning,
    kComplete,   // every line of [from, to) is in the index
    kCancelled,  // Cancel was called
    kOsError,    // a window could not be mapped; error() holds errno
    kNoMemory,   // the index could not grow
    kLineLimit,  // the index holds LineIndex::kMaxLines starts; the file goes on
  };

  struct Job {
    int slot = 0;       // the slot whose scan window the truncation guard knows
    int map_fd = -1;    // descriptor the windows are mapped from
    uint64_t from = 0;  // first byte to scan
    uint64_t to = 0;    // end of the bytes to scan (the file size)
    LineIndex* index = nullptr;
    // A compressed file: the bytes come from its streaming pass instead of
    // windows of map_fd, from offset 0 on, and to is ignored (the pass ends
    // where the data ends; a pass that stops early still completes the
    // index with what it read, and the source tells why it stopped).
    std::shared_ptr<CompressedSource> source;
  };

  // wake: called on the indexing thread after the first scan window, then
  // at most about every 100 ms while lines come in, and once when it ends
  // (after Finished() turns true). It must not call back into the worker.
  IndexWorker(const Job& job, std::function<void()> wake);
  ~IndexWorker();  // cancels and waits
  IndexWorker(const IndexWorker&) = delete;
  IndexWorker& operator=(const IndexWorker&) = delete;

  void Start();    // runs on a new thread
  void RunHere();  // runs on the calling thread, to the end
  // Asks the scan to stop at its next window and waits for the thread.
  void Cancel();
  // Waits for the thread to end (it ends by itself once the scan is done).
  void Join();

  bool Finished() const { return finished_.load(std::memory_order_acquire); }
  // Valid once Finished().
  Outcome outcome() const { return outcome_; }
  int error() const { return error_; }
  // Bytes scanned so far, up to job.to.
  uint64_t ScannedTo() const { return scanned_to_.load(std::memory_order_acquire); }
  // The bytes the index covers, taken right after a complete scan. Valid
  // once Finished().
  const ByteFingerprint& fingerprint() const { return fingerprint_; }
  const Job& job() const { return job_; }

 private:
  void Run();
  Outcome Scan();
  // The scan of a compressed file; flush moves the batch into the index.
  Outcome ScanSource(std::vector<uint64_t>& batch, size_t& pending,
                     const std::function<bool()>& flush);

  Job job_;
  std::function<void()> wake_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> finished_{false};
  std::atomic<uint64_t> scanned_to_{0};
  Outcome outcome_ = Outcome::kRunning;  // written before finished_ (release)
  int error_ = 0;
  ByteFingerprint fingerprint_;  // written before finished_ (release)
};

// Test hook: the n-th append of a batch of starts from now on fails as if
// memory ran out (1 = the next one); 0 turns the failure off.
void FailIndexAppendAt(int n);
// Test hook: every indexer stops before its (chunks + 1)-th scan window and
// waits there (a cancel still ends it) until the hold is lifted with -1, so
// that tests can look at a document whose index is half built.
void HoldIndexersAfterChunks(int chunks);
// Test hook: the index takes at most this many starts (-1: LineIndex's own
// limit), so that the line limit can be reached with a small file.
void LimitIndexStartsForTest(int64_t starts);
