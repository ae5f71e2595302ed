// The store's thin layer over POSIX: read-only files, the "mapping object",
// read-only windows, read-ahead advice and the guard that keeps a file
// truncated under an open window from killing the process.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace store_platform {

// Opens path read-only. Only regular files are accepted (a directory fails
// with EISDIR, a FIFO, socket or device with ENODEV); a FIFO never blocks the
// call. No lock is taken: other programs, a second Dolmik among them, may read
// the file at the same time. Returns the descriptor, or -1 with errno set.
int OpenReadOnly(const std::string& path);
// The device and inode of an open file: two paths name the same file (a hard
// link, a symbolic link, "./a" and "a") exactly when these agree. False with
// errno set on failure.
bool FileIdentity(int fd, uint64_t* device, uint64_t* inode);
// Size of the open file in bytes, or -1 with errno set.
int64_t FileSize(int fd);
void CloseHandle(int fd);

// The label of the mapping object for a path: the name without its folder,
// its extension (from the last '.') replaced by "_map" ("report.txt" gives
// "report_map", "README" gives "README_map").
std::string MappingName(const std::string& path);
// Creates the mapping object of the whole file: a second descriptor of it.
// An empty file has one too: windows over it cover pages that come to exist
// as the file grows.
int CreateMapping(int fd, int64_t size);

// Start of every window is a multiple of this (the page size).
uint32_t AllocationGranularity();

// Maps [offset, offset + length) of the mapping read-only. populate asks the
// kernel to fill the page tables at once (a warm-cache sequential reader
// then takes no page faults); a window read sparsely should not ask, since
// populating 16 MiB costs far more than the few faults it saves. Returns
// null with errno set on failure. Every call is counted (MapCallCount).
const char* MapWindow(int mapHandle, uint64_t offset, uint64_t length, bool populate);
// MapWindow for a long window, not populated, at an address that lies at
// the same place within 2 MiB as offset does in the file: a page-cache page
// of 2 MiB (a huge folio) then maps with one page-table entry, where a
// window placed anywhere else takes 512 (filling those in, and clearing
// them again at the unmap, made a scan of a warm file up to twice as slow).
// The window may be given back piece by piece (UnmapWindow on 4 KiB-aligned
// parts), each part once. Counted as a MapWindow call.
const char* MapAlignedWindow(int mapHandle, uint64_t offset, uint64_t length);
// Fills in the page tables of [p, p + length) of a window at once, from the
// page cache (reading what is not there): one call instead of a fault a
// page, so that workers reading their parts of one window take their
// faults side by side. Advice only: an older kernel, or pages past a
// shrunk file's end, are left to fault as they are read.
void PopulateWindow(const char* p, uint64_t length);
// Returns false with errno set on failure.
bool UnmapWindow(const char* base, uint64_t length);
// Gives back the pages of a window's [p, p + length) (whole pages of it)
// once read, the window staying mapped: they leave the process's memory at
// once, and the unmap finds less to clear. Read again, they come back from
// the page cache. Advice only.
void ReleasePages(const char* p, uint64_t length);
// Number of MapWindow calls since start (tests use the difference).
uint64_t MapCallCount();
// Test hook: the n-th MapWindow call from now on fails with ENOMEM (1 = the
// next one); 0 turns the failure off.
void FailWindowMapAt(int n);

// The truncation guard. A read of a mapped page that lies past the end of a
// file that shrank raises SIGBUS; the handler looks the address up in this
// table (four entries per slot: the slot's window, the index builder's
// window, the line filter's and the search filter's, whose workers read
// while a follow's growth scan holds the builder's), maps zero pages over
// the rest of that window so the read goes on and sets the slot's flag. Any
// other SIGBUS keeps its default action.
enum WindowKind {
  kSlotWindow = 0,
  kScanWindow = 1,
  kFilterWindow = 2,
  kSearchWindow = 3,
  kWindowKinds = 4
};
void RegisterWindow(int slot, WindowKind kind, const char* base, uint64_t length);
void UnregisterWindow(int slot, WindowKind kind);
// True once a read through one of the slot's windows hit a truncated page.
// Clear after the slot is emptied. (Inline: GetLine asks on every call.) Set
// by the handler on whichever thread faulted (the indexer's or the slot's),
// read on the slot's: a lock-free atomic, which a handler may store to.
extern std::atomic<int> g_truncation_seen[4];
inline bool TruncationSeen(int slot) {
  return g_truncation_seen[slot].load(std::memory_order_acquire) != 0;
}
void ClearTruncation(int slot);

// Read-ahead advice for a file read front to back: the kernel reads larger
// runs ahead. Failures are ignored: advice only. (No will-need advice: it
// fills the page cache with single pages, which made every later scan of
// the file through a mapping 1.6 times slower, and read no faster.)
void AdviseSequential(int fd);
// The first offset at or after offset, below end, that may hold data (not
// in a hole of a sparse file); end when only a hole follows. Holes read as
// zeros, so a scan for line feeds may skip them. Returns offset itself when
// the file system cannot tell.
uint64_t NextData(int fd, uint64_t offset, uint64_t end);
// Drops the file's clean pages from the page cache (the benchmark's cold
// open). Returns false with errno set on failure.
bool DropFromCache(int fd);

}  // namespace store_platform
