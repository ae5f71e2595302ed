// Watches one open document's file for growth, truncation and replacement,
// on a thread of its own. Plain C++ over POSIX and inotify: the watcher wakes
// on the kernel's notices for the file and its folder, and also once a
// second, so that a file system without notices (a network mount) is still
// followed. An idle file costs one blocked thread and a stat a second.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

struct FileChange {
  enum Kind {
    kGrew,       // the open file is longer than the size last acknowledged
    kShrank,     // the open file is shorter: truncated in place
    kReplaced,   // the path now names another file (rotated: renamed away, created anew)
    kDeleted,    // the path names nothing and the open file has no name left (told once)
    kRewritten,  // (not the watcher's) the bytes already indexed are no longer the same
  };
  Kind kind;
  int64_t size;  // the open file's size (kGrew, kShrank, kDeleted) or the new file's (kReplaced)
};

// The rest after a growth taken in on the watcher's thread: at most ten
// batches a second, and nothing appended waits much longer than this.
constexpr int kGrowthPauseMs = 100;

class FileWatcher {
 public:
  // Runs on the watcher's thread, with the watcher's lock held: it must not
  // wait for a thread that may call Acknowledge. Returns true when it has
  // taken the change in right there (only a growth, to exactly change.size).
  // Otherwise it
  // hands the work to its own thread and calls Acknowledge once it has taken
  // the change in; until then the same change is not reported again (a file
  // that keeps growing gives one report, then one more for everything that
  // came meanwhile).
  using Callback = std::function<bool(const FileChange&)>;

  // fd: the document's open descriptor (its size is read through it; the
  // watcher neither closes nor reads it). path: the name the user opened, as
  // bytes; a different file at that name is a replacement. size: the size the
  // document was indexed to. Starts the thread; if inotify is unavailable the
  // once-a-second check still runs.
  FileWatcher(int fd, std::string path, int64_t size, Callback callback);
  // Stops and joins the thread; no callback runs after it returns.
  ~FileWatcher();
  FileWatcher(const FileWatcher&) = delete;
  FileWatcher& operator=(const FileWatcher&) = delete;

  // The receiver has taken a change in: the document now covers size bytes of
  // the file at fd (after a replacement, the new file's descriptor).
  void Acknowledge(int fd, int64_t size);

  // Checks at once instead of waiting for the next notice (tests, and a
  // receiver that wants a fresh look after catching up).
  void Poke();

  // The checks the thread makes, for the tests: the change between what was
  // acknowledged and what the file system shows now, if any. deleted_known:
  // a deletion was told already (it is not told again).
  static bool Compare(int fd, const std::string& path, int64_t size, bool deleted_known,
                      FileChange* change);

 private:
  void Run();
  void Check();

  std::string path_;
  Callback callback_;
  void Pause(int ms);

  std::mutex mutex_;  // guards fd_, size_, pending_, deleted_; held during a callback
  int fd_;
  int64_t size_;
  bool pending_ = false;  // a change was reported and not yet acknowledged
  bool deleted_ = false;  // the deletion of the open file was told
  int inotify_ = -1;
  int wake_[2] = {-1, -1};  // a pipe: Poke and the destructor write to it
  std::atomic<bool> stop_{false};
  std::thread thread_;
};
