#include "store/filewatch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace {

// The once-a-second look for file systems that send no notices.
constexpr int kFallbackMs = 1000;

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void Drain(int fd) {
  char buffer[4096];
  while (::read(fd, buffer, sizeof buffer) > 0) {
  }
}

}  // namespace

bool FileWatcher::Compare(int fd, const std::string& path, int64_t size, bool deleted_known,
                          FileChange* change) {
  struct stat open {};
  if (::fstat(fd, &open) != 0) return false;
  struct stat named {};
  const bool has_name = ::stat(path.c_str(), &named) == 0;
  if (has_name && (named.st_dev != open.st_dev || named.st_ino != open.st_ino)) {
    *change = {FileChange::kReplaced, static_cast<int64_t>(named.st_size)};
    return true;
  }
  // A missing name is a rotation half done (renamed away, not yet created):
  // the open file is still the document until a new one appears. Only when
  // the open file has no name anywhere was it deleted; it stays the document
  // all the same, and may still grow.
  if (!has_name && open.st_nlink == 0 && !deleted_known) {
    *change = {FileChange::kDeleted, static_cast<int64_t>(open.st_size)};
    return true;
  }
  const int64_t now = open.st_size;
  if (now == size) return false;
  *change = {now > size ? FileChange::kGrew : FileChange::kShrank, now};
  return true;
}

FileWatcher::FileWatcher(int fd, std::string path, int64_t size, Callback callback)
    : path_(std::move(path)), callback_(std::move(callback)), fd_(fd), size_(size) {
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
  inotify_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (inotify_ >= 0) {
    // The folder tells of a new file at the name; the file itself of writes,
    // truncation and its own rename or removal.
    ::inotify_add_watch(inotify_, FolderOf(path_).c_str(), IN_CREATE | IN_MOVED_TO);
    ::inotify_add_watch(inotify_, path_.c_str(),
                        IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVE_SELF | IN_DELETE_SELF);
  }
  thread_ = std::thread([this] { Run(); });
}

FileWatcher::~FileWatcher() {
  stop_.store(true);
  Poke();
  thread_.join();
  if (inotify_ >= 0) ::close(inotify_);
  for (int end : wake_)
    if (end >= 0) ::close(end);
}

void FileWatcher::Acknowledge(int fd, int64_t size) {
  bool rewatch = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    rewatch = fd != fd_;
    if (rewatch) deleted_ = false;
    fd_ = fd;
    size_ = size;
    pending_ = false;
  }
  // After a replacement the file's own watch still names the old file.
  if (rewatch && inotify_ >= 0)
    ::inotify_add_watch(inotify_, path_.c_str(),
                        IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVE_SELF | IN_DELETE_SELF);
  Poke();  // whatever came while the change was taken in
}

void FileWatcher::Poke() {
  if (wake_[1] < 0) return;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_[1], &byte, 1);  // a full pipe wakes anyway
}

void FileWatcher::Check() {
  {
    // The report goes out under the lock: an Acknowledge cannot come
    // between the look and the report, which would then be stale.
    std::lock_guard<std::mutex> lock(mutex_);
    FileChange change{};
    if (pending_ || !Compare(fd_, path_, size_, deleted_, &change)) return;
    pending_ = true;
    if (change.kind == FileChange::kDeleted) deleted_ = true;
    if (!callback_(change)) return;
    // Taken in on this thread.
    size_ = change.size;
    pending_ = false;
  }
  Pause(kGrowthPauseMs);
}

// Rests ms milliseconds; only the destructor ends the rest early (a Poke is
// kept for the look after it).
void FileWatcher::Pause(int ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  pollfd wake = {wake_[0], POLLIN, 0};
  while (!stop_.load()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    if (wake_[0] < 0) {
      std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(10)));
      continue;
    }
    if (::poll(&wake, 1, static_cast<int>(left.count())) > 0) Drain(wake_[0]);
  }
}

void FileWatcher::Run() {
  pollfd fds[2] = {{wake_[0], POLLIN, 0}, {inotify_, POLLIN, 0}};
  const nfds_t count = inotify_ >= 0 ? 2 : 1;
  while (!stop_.load()) {
    const int ready = ::poll(fds, count, kFallbackMs);
    if (stop_.load()) break;
    if (ready < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) Drain(wake_[0]);
    if (count > 1 && (fds[1].revents & POLLIN)) Drain(inotify_);
    Check();
  }
}
