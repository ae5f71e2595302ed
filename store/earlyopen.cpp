#include "store/earlyopen.h"

#include <sys/stat.h>

#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "store/indexer.h"
#include "store/slot_detail.h"

namespace {

// The worker's wakes go nowhere until adoption gives them the slot's wake;
// the pump posted then takes in everything that came before.
struct WakeRelay {
  std::mutex mutex;
  std::function<void(int)> wake;
};

struct StagedOpen {
  int target = 0;
  FileSlot slot;  // the document; its controls are the target's at adoption
  // The file as it was staged: a write since (in place, a growth) leaves
  // the staged index behind the bytes, and the file is opened afresh.
  struct stat seen {};
  std::shared_ptr<WakeRelay> relay = std::make_shared<WakeRelay>();
};

std::unique_ptr<StagedOpen> g_staged;

// Ends the staged open: the worker first (it reads the mapping), then the
// window and the descriptors. g_staged still holds it, so its window is
// unregistered under the target's index.
void Release() {
  if (!g_staged) return;
  FileSlot& staged = g_staged->slot;
  if (staged.Worker) {
    staged.Worker->Cancel();  // before its descriptor closes
    staged.Worker.reset();
  }
  slot_detail::ReleaseFailedOpen(staged);
  g_staged.reset();
}

// The path names the very file the staged open holds: not replaced, renamed
// away or deleted since.
bool Unchanged(const StagedOpen& open) {
  const FileSlot& staged = open.slot;
  struct stat named {};
  struct stat held {};
  if (::stat(staged.FileName.c_str(), &named) != 0 || ::fstat(staged.FileHandle, &held) != 0) {
    return false;
  }
  const auto same_time = [](const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
  };
  return named.st_dev == held.st_dev && named.st_ino == held.st_ino &&
         held.st_size == open.seen.st_size && same_time(held.st_mtim, open.seen.st_mtim) &&
         same_time(held.st_ctim, open.seen.st_ctim);
}

bool HeldByAnotherSlot(const FileSlot& self, const FileSlot& staged) {
  for (const FileSlot& other : SlotTable) {
    if (&other == &self || other.FileHandle < 0) continue;
    if (other.FileDevice == staged.FileDevice && other.FileInode == staged.FileInode) return true;
  }
  return false;
}

}  // namespace

void StartEarlyOpen(const std::string& path, int slot) {
  Release();
  if (slot < 0 || slot >= kSlotCount) return;
  g_staged = std::make_unique<StagedOpen>();
  g_staged->target = slot;
  FileSlot& staged = g_staged->slot;
  // Silent: the hooks are those of whoever opens the file later.
  StoreHooks hooks = std::exchange(Hooks(), StoreHooks{});
  const int acquired = slot_detail::AcquireDocument(staged, path, OpenAs::kDetect);
  Hooks() = std::move(hooks);
  if (acquired != 0) {
    g_staged.reset();  // nothing held
    return;
  }
  // Taken after the window was read: a write from now on is seen at
  // adoption, one before is in the bytes detection read.
  if (::fstat(staged.FileHandle, &g_staged->seen) != 0 ||
      static_cast<uint64_t>(g_staged->seen.st_size) != staged.FileSize) {
    Release();
    return;
  }
  // Compressed and UTF-16 files read through a source with threads of its
  // own; they open the usual way.
  if (staged.Compressed) {
    Release();
    return;
  }
  IndexWorker::Job job;
  job.slot = slot;
  job.map_fd = staged.MapHandle;
  job.from = staged.IndexedTo;
  job.to = staged.FileSize;
  job.index = staged.Index.get();
  std::shared_ptr<WakeRelay> relay = g_staged->relay;
  staged.Worker = std::make_shared<IndexWorker>(job, [relay, slot] {
    std::lock_guard<std::mutex> lock(relay->mutex);
    if (relay->wake) relay->wake(slot);
  });
  staged.Worker->Start();
}

bool EarlyOpenPending() { return g_staged != nullptr; }

void DiscardEarlyOpen() { Release(); }

bool AdoptEarlyOpen(FileSlot& slot, const std::string& path, OpenAs as) {
  if (!g_staged) return false;
  FileSlot& staged = g_staged->slot;
  if (as != OpenAs::kDetect || path != staged.FileName ||
      slot_detail::SlotIndex(slot) != g_staged->target || !Unchanged(*g_staged) ||
      HeldByAnotherSlot(slot, staged)) {
    Release();
    return false;
  }
  // The view's part of the slot stays; the rest is the staged document.
  FileSlot adopted = std::move(staged);
  adopted.TabSheet = slot.TabSheet;
  adopted.Image = slot.Image;
  adopted.VScroll = slot.VScroll;
  adopted.HScroll = slot.HScroll;
  adopted.DrawRow = slot.DrawRow;
  adopted.MaxLineWidth = slot.MaxLineWidth;
  adopted.SelStartColumn = slot.SelStartColumn;
  adopted.SelStartLine = slot.SelStartLine;
  adopted.SelEndColumn = slot.SelEndColumn;
  adopted.SelEndLine = slot.SelEndLine;
  adopted.OpenSerial = slot.OpenSerial;
  slot = std::move(adopted);
  {
    std::lock_guard<std::mutex> lock(g_staged->relay->mutex);
    g_staged->relay->wake = Hooks().index_wake;
  }
  g_staged.reset();  // the worker keeps the relay
  return true;
}

void ResumeAdoptedIndex(FileSlot& slot) {
  if (!slot.Worker) return;
  const int index = slot_detail::SlotIndex(slot);
  if (!Hooks().index_wake) {
    // No pump will come: the open ends here, as a synchronous one does.
    WaitForIndex(slot);
    return;
  }
  if (Hooks().index_progress) Hooks().index_progress(slot);
  // Wakes before adoption went nowhere; this one stands for them.
  Hooks().index_wake(index);
}

int StagedSlotIndex(const FileSlot& slot) {
  return g_staged && &slot == &g_staged->slot ? g_staged->target : -1;
}
