#include "store/platform.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>

#include "store/slots.h"

namespace store_platform {

std::atomic<int> g_truncation_seen[kSlotCount] = {};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<uintptr_t>::is_always_lock_free,
              "the SIGBUS handler reads and writes these words");

int OpenReadOnly(const std::string& path) {
  // O_NONBLOCK so that opening a FIFO with no writer returns at once; the
  // type check below then refuses it.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
    return -1;
  }
  return fd;
}

bool FileIdentity(int fd, uint64_t* device, uint64_t* inode) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  *device = static_cast<uint64_t>(st.st_dev);
  *inode = static_cast<uint64_t>(st.st_ino);
  return true;
}

int64_t FileSize(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

void CloseHandle(int fd) {
  if (fd >= 0) ::close(fd);
}

std::string MappingName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.find_last_of('.');
  if (dot != std::string::npos) name.erase(dot);
  return name + "_map";
}

int CreateMapping(int fd, int64_t size) {
  if (size < 0) {
    errno = EINVAL;
    return -1;
  }
  return ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

uint32_t AllocationGranularity() {
  static const uint32_t granularity = static_cast<uint32_t>(::sysconf(_SC_PAGESIZE));
  return granularity;
}

namespace {

// Counted on every thread that maps (the slot's, the indexer's, a follower's).
std::atomic<uint64_t> g_map_calls{0};
std::atomic<int> g_fail_map_at{0};

// Written by the thread that owns the window, read by the signal handler on
// any thread: lock-free atomics. A base of 0 means no window.
struct GuardEntry {
  std::atomic<uintptr_t> base;
  std::atomic<uintptr_t> length;
};
GuardEntry g_guard[kSlotCount][kWindowKinds] = {};
std::atomic<uintptr_t> g_page_size{4096};
std::once_flag g_handler_once;

void RestoreDefaultSigbus() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGBUS, &action, nullptr);
}

void OnSigbus(int, siginfo_t* info, void*) {
  const int saved_errno = errno;
  const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
  for (int slot = 0; slot < kSlotCount; ++slot) {
    for (GuardEntry& entry : g_guard[slot]) {
      const uintptr_t base = entry.base.load(std::memory_order_acquire);
      const uintptr_t length = entry.length.load(std::memory_order_acquire);
      if (base == 0 || address < base || address - base >= length) continue;
      // Zero pages from the faulting page to the end of the window: the
      // read that faulted is retried on return and sees zeros, and so does
      // every later read of the vanished part.
      const uintptr_t page = g_page_size.load(std::memory_order_relaxed);
      const uintptr_t first = address & ~(page - 1);
      const uintptr_t end = (base + length + page - 1) & ~(page - 1);
      void* zeros = ::mmap(reinterpret_cast<void*>(first), end - first, PROT_READ,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
      if (zeros != MAP_FAILED) {
        g_truncation_seen[slot].store(1, std::memory_order_release);
        errno = saved_errno;
        return;
      }
    }
  }
  // Not one of ours: on return the access faults again and takes the
  // default action.
  RestoreDefaultSigbus();
  errno = saved_errno;
}

// Once per process, whichever thread registers a window first.
void InstallSigbusHandler() {
  std::call_once(g_handler_once, [] {
    g_page_size.store(AllocationGranularity(), std::memory_order_relaxed);
    struct sigaction action {};
    action.sa_sigaction = OnSigbus;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, nullptr);
  });
}

}  // namespace

namespace {

// Counts a map call; true when the test hook makes this one fail (errno set).
bool CountMapCall() {
  g_map_calls.fetch_add(1, std::memory_order_relaxed);
  for (int n = g_fail_map_at.load(std::memory_order_relaxed); n > 0;) {
    if (!g_fail_map_at.compare_exchange_weak(n, n - 1)) continue;
    if (n == 1) {
      errno = ENOMEM;
      return true;
    }
    break;
  }
  return false;
}

}  // namespace

const char* MapWindow(int mapHandle, uint64_t offset, uint64_t length, bool populate) {
  if (CountMapCall()) return nullptr;
  int flags = MAP_SHARED;
  if (populate) flags |= MAP_POPULATE;
  void* base = ::mmap(nullptr, length, PROT_READ, flags, mapHandle, static_cast<off_t>(offset));
  if (base == MAP_FAILED) return nullptr;
  return static_cast<const char*>(base);
}

const char* MapAlignedWindow(int mapHandle, uint64_t offset, uint64_t length) {
  if (CountMapCall()) return nullptr;
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  const uintptr_t page = AllocationGranularity();
  const uintptr_t span = (static_cast<uintptr_t>(length) + page - 1) & ~(page - 1);
  // Address space with room to slide the window into place, given back
  // around it once the window is mapped over it (the file's mapping
  // replaces the reservation's pages: nothing else can take them between).
  void* room =
      ::mmap(nullptr, span + kHuge, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (room == MAP_FAILED) return nullptr;
  const uintptr_t first = reinterpret_cast<uintptr_t>(room);
  const uintptr_t within = static_cast<uintptr_t>(offset) & (kHuge - 1);
  const uintptr_t at = ((first - within + kHuge - 1) & ~(kHuge - 1)) + within;
  void* base = ::mmap(reinterpret_cast<void*>(at), length, PROT_READ, MAP_SHARED | MAP_FIXED,
                      mapHandle, static_cast<off_t>(offset));
  if (base == MAP_FAILED) {
    const int saved = errno;
    ::munmap(room, span + kHuge);
    errno = saved;
    return nullptr;
  }
  if (at > first) ::munmap(room, at - first);
  if (first + span + kHuge > at + span) {
    ::munmap(reinterpret_cast<void*>(at + span), first + span + kHuge - (at + span));
  }
  return static_cast<const char*>(base);
}

void PopulateWindow(const char* p, uint64_t length) {
  const uintptr_t page = AllocationGranularity();
  const uintptr_t first = reinterpret_cast<uintptr_t>(p) & ~(page - 1);
  ::madvise(reinterpret_cast<void*>(first), reinterpret_cast<uintptr_t>(p) + length - first,
            MADV_POPULATE_READ);
}

void ReleasePages(const char* p, uint64_t length) {
  const uintptr_t page = AllocationGranularity();
  const uintptr_t first = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + length) & ~(page - 1);
  if (end > first) ::madvise(reinterpret_cast<void*>(first), end - first, MADV_DONTNEED);
}

bool UnmapWindow(const char* base, uint64_t length) {
  return ::munmap(const_cast<char*>(base), length) == 0;
}

uint64_t MapCallCount() { return g_map_calls.load(std::memory_order_relaxed); }
void FailWindowMapAt(int n) { g_fail_map_at.store(n); }

void RegisterWindow(int slot, WindowKind kind, const char* base, uint64_t length) {
  InstallSigbusHandler();
  GuardEntry& entry = g_guard[slot][kind];
  // Never a moment with a new base and an old length.
  entry.base.store(0, std::memory_order_release);
  entry.length.store(length, std::memory_order_release);
  entry.base.store(reinterpret_cast<uintptr_t>(base), std::memory_order_release);
}

void UnregisterWindow(int slot, WindowKind kind) {
  g_guard[slot][kind].base.store(0, std::memory_order_release);
  g_guard[slot][kind].length.store(0, std::memory_order_release);
}

void ClearTruncation(int slot) { g_truncation_seen[slot].store(0, std::memory_order_release); }

void AdviseSequential(int fd) { ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL); }

uint64_t NextData(int fd, uint64_t offset, uint64_t end) {
  const off_t data = ::lseek(fd, static_cast<off_t>(offset), SEEK_DATA);
  if (data < 0) return errno == ENXIO ? end : offset;
  return std::min(static_cast<uint64_t>(data), end);
}

bool DropFromCache(int fd) {
  const int rc = ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  if (rc != 0) errno = rc;
  return rc == 0;
}

}  // namespace store_platform
