#include "store/slots.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include "store/compressed_slot.h"
#include "store/displayname.h"
#include "store/earlyopen.h"
#include "store/filewatch.h"
#include "store/follow.h"
#include "store/indexer.h"
#include "store/platform.h"
#include "store/slot_detail.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sp = store_platform;
using namespace slot_detail;

FileSlot SlotTable[kSlotCount];
int32_t CurrentSlot = 0;
int32_t TabWidth = 4;

StoreHooks& Hooks() {
  static StoreHooks hooks;
  return hooks;
}

std::string LastOsErrorText() { return std::strerror(errno); }

namespace slot_detail {

// Starts at 1, so that a slot that was never opened (serial 0) differs from
// every opened one.
uint64_t NextOpenSerial() {
  static uint64_t last = 0;
  return ++last;
}

// The two time stamps around the index build. After "# " come seven
// ideographic spaces (U+3000).
constexpr const char* kOpenStartPrefix =
    "# \u3000\u3000\u3000\u3000\u3000\u3000\u3000ファイルオープン開始 :(";
constexpr const char* kOpenEndPrefix =
    "# \u3000\u3000\u3000\u3000\u3000\u3000\u3000ファイルオープン終了 :(";
constexpr const char* kOpenFailedLine = "#*** ERROR *** ファイルオープンエラー";
constexpr const char* kOpenCancelled = "# ファイルオープンを中止しました: ";
// Names the file and the limit; the lines up to the limit stay shown.
std::string TooManyLines(const std::string& path) {
  return "ファイルの行数が上限の 2,147,483,646 行を超えるので、2,147,483,646 "
         "行目までを表示します: " +
         path;
}
// The log line of an open that fails before anything is mapped: no message
// box, only this line after the command's echo, naming the reason and the
// path.
constexpr const char* kCannotOpen = "# *** ERROR *** ファイルを開けません（";

void Log(const std::string& line) {
  if (Hooks().log) Hooks().log(line);
}
void ReportError(const std::string& text) {
  if (Hooks().report_error) Hooks().report_error(text);
}
void ReportLastOsError() { ReportError(LastOsErrorText()); }
void SetStatus(int panel, const std::string& text) {
  if (Hooks().set_status) Hooks().set_status(panel, text);
}
void SetCaption(FileSlot& slot, const std::string& text) {
  if (Hooks().set_caption) Hooks().set_caption(slot, text);
}

std::string ClockText() {
  if (Hooks().clock_text) return Hooks().clock_text();
  char text[128];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const size_t length = std::strftime(text, sizeof text, "%x %X", &local);
  return std::string(text, length);
}

int SlotIndex(const FileSlot& slot) {
  const std::ptrdiff_t index = &slot - SlotTable;
  return index >= 0 && index < kSlotCount ? static_cast<int>(index) : StagedSlotIndex(slot);
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int RemapSlotWindow(FileSlot& slot, uint64_t start, uint64_t length) {
  if (slot.Compressed) return MapCompressedWindow(slot, start, start + length);
  const char* base = sp::MapWindow(slot.MapHandle, start, length, false);
  if (base == nullptr) return -1;
  const int index = SlotIndex(slot);
  if (slot.ViewBase != nullptr) {
    if (index >= 0) sp::UnregisterWindow(index, sp::kSlotWindow);
    if (!sp::UnmapWindow(slot.ViewBase, slot.ViewLength)) {
      const int saved = errno;
      sp::UnmapWindow(base, length);
      if (index >= 0) sp::RegisterWindow(index, sp::kSlotWindow, slot.ViewBase, slot.ViewLength);
      errno = saved;
      return -1;
    }
  }
  slot.ViewBase = base;
  slot.WindowOffset = start;
  slot.ViewLength = length;
  if (index >= 0) sp::RegisterWindow(index, sp::kSlotWindow, base, length);
  return 0;
}

// Unmaps the slot's window, if any. Returns false (errno set) on failure.
bool UnmapSlotWindow(FileSlot& slot) {
  if (slot.ViewBase == nullptr) return true;
  if (slot.Compressed) {
    slot.ViewBase = nullptr;
    slot.ViewLength = 0;
    return true;
  }
  const int index = SlotIndex(slot);
  if (index >= 0) sp::UnregisterWindow(index, sp::kSlotWindow);
  if (!sp::UnmapWindow(slot.ViewBase, slot.ViewLength)) {
    const int saved = errno;
    if (index >= 0) sp::RegisterWindow(index, sp::kSlotWindow, slot.ViewBase, slot.ViewLength);
    errno = saved;
    return false;
  }
  slot.ViewBase = nullptr;
  slot.ViewLength = 0;
  return true;
}

void CloseHandles(FileSlot& slot) {
  sp::CloseHandle(slot.MapHandle);
  sp::CloseHandle(slot.FileHandle);
  slot.MapHandle = -1;
  slot.FileHandle = -1;
  slot.FileDevice = 0;
  slot.FileInode = 0;
  slot.Compressed.reset();  // an indexer still running keeps its own reference
}

std::string OpenFailureReason(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return "ファイルが見つかりません";
    case EACCES:
    case EPERM:
      return "読み取りの権限がありません";
    case EISDIR:
      return "フォルダーです";
    case ENODEV:
      return "通常のファイルではありません";
    default:
      return std::strerror(error);
  }
}

void LogCannotOpen(const std::string& reason, const std::string& path) {
  Log(kCannotOpen + reason + "）: " + DisplayName(path));
}

// The slot other than this one that holds the file with this device and
// inode, or -1.
int SlotHoldingFile(const FileSlot& self, uint64_t device, uint64_t inode) {
  for (int i = 0; i < kSlotCount; ++i) {
    const FileSlot& other = SlotTable[i];
    if (&other == &self || other.FileHandle < 0) continue;
    if (other.FileDevice == device && other.FileInode == inode) return i;
  }
  return -1;
}

void ResetTruncation(FileSlot& slot) {
  slot.Truncated = false;
  slot.TruncatedSize = 0;
  slot.TruncationReported = false;
  const int index = SlotIndex(slot);
  if (index >= 0) sp::ClearTruncation(index);
}

// Takes note of a truncation the SIGBUS guard saw: the new size is read once
// and the truncated hook runs once per open.
void NoteTruncation(FileSlot& slot) {
  if (slot.Truncated) return;
  const int index = SlotIndex(slot);
  if (index < 0 || !sp::TruncationSeen(index)) return;
  const int64_t size = sp::FileSize(slot.FileHandle);
  slot.Truncated = true;
  slot.TruncatedSize = size < 0 ? 0 : std::min(static_cast<uint64_t>(size), slot.FileSize);
  if (!slot.TruncationReported) {
    slot.TruncationReported = true;
    // A followed file is read again from the start as soon as the watcher
    // looks; until then the vanished lines read as empty.
    if (slot.Watcher) {
      slot.Watcher->Poke();
    } else if (Hooks().truncated) {
      Hooks().truncated(slot);
    }
  }
}

// Copies the line at p (span readable bytes) into out as display text: at
// most 2047 bytes of the line are taken, up to its line feed or the end of
// span (the byte after them is looked at for the line feed), a CR directly
// before the line feed left out, each TAB as tab blanks, at most 2047 bytes.
// Returns the length. With tab <= 0 the bytes taken, not the bytes made,
// bound the line: a TAB makes nothing then, and more bytes would let the
// CR of a line end past the bound into the text.
// One pass: 16 bytes at a time while neither a line feed nor a TAB shows.
size_t CopyLineText(const char* p, size_t span, int tab, char* out) {
  constexpr size_t cap = kMaxLineText;
  const size_t take = std::min(span, cap);
  size_t i = 0;
  size_t produced = 0;
  bool at_feed = false;
  auto expand_tab = [&] {
    const size_t blanks = tab > 0 ? std::min<size_t>(static_cast<size_t>(tab), cap - produced) : 0;
    std::memset(out + produced, ' ', blanks);
    produced += blanks;
    ++i;
  };
#if defined(__SSE2__)
  const __m128i feed = _mm_set1_epi8('\n');
  const __m128i tabs = _mm_set1_epi8('\t');
  // produced + 16 <= cap keeps every 16-byte store inside the 2048 bytes.
  while (i + 16 <= take && produced + 16 <= cap) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const unsigned special = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, feed), _mm_cmpeq_epi8(v, tabs))));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + produced), v);
    if (special == 0) {
      i += 16;
      produced += 16;
      continue;
    }
    const size_t k = static_cast<size_t>(__builtin_ctz(special));
    i += k;
    produced += k;
    if (p[i] == '\n') {
      at_feed = true;
      break;
    }
    expand_tab();
  }
#endif
  if (!at_feed) {
    while (i < take && produced < cap) {
      const char c = p[i];
      if (c == '\n') {
        at_feed = true;
        break;
      }
      if (c == '\t') {
        expand_tab();
        continue;
      }
      out[produced++] = c;
      ++i;
    }
    // Cut at 2047 bytes (taken or made): a CR that came last still goes if
    // the line feed follows it.
    if (!at_feed && i < span && p[i] == '\n') at_feed = true;
  }
  // Every byte before i was copied or expanded, so a CR at i - 1 is the last
  // byte of the text.
  if (at_feed && i > 0 && p[i - 1] == '\r' && produced > 0 && out[produced - 1] == '\r') {
    --produced;
  }
  return produced;
}

// Lines the index knows of: every start below the file's end, and while the
// indexer runs, not the last start (its line may still grow).
int32_t KnownLines(const FileSlot& slot, bool complete) {
  if (!slot.Index) return 0;
  const int64_t starts = slot.Index->Size();
  if (starts == 0) return 0;
  int64_t lines = starts;
  if (!complete || slot.Index->Start(starts - 1) >= slot.FileSize) --lines;
  return static_cast<int32_t>(std::min<int64_t>(lines, kMaxLineCount));
}

bool IsCurrent(const FileSlot& slot) { return SlotIndex(slot) == CurrentSlot; }

// The open that logged its start last. An end logged after another open has
// started names its file: the two ends could not be told apart otherwise.
uint64_t g_last_open_started = 0;

void LogOpenEnd(const FileSlot& slot) {
  std::string line = kOpenEndPrefix + ClockText() + ")===";
  if (g_last_open_started != slot.OpenSerial) line += " " + slot.FileName;
  Log(line);
}

void ReleaseFailedOpen(FileSlot& slot) {
  StopFollowing(slot);  // before its descriptor goes
  CloseHandles(slot);
  ReleaseLineIndex(slot);
  UnmapSlotWindow(slot);
  slot.ViewBase = nullptr;
  slot.ViewLength = 0;
  slot.WindowOffset = 0;
  slot.LineCount = 0;
  slot.TopLine = 0;
}

void TakeProgress(FileSlot& slot, bool complete) {
  const int32_t lines = KnownLines(slot, complete);
  if (lines == slot.LineCount && !complete) return;
  slot.LineCount = lines;
  if (!slot.FirstPageShown && lines >= kLinesPerBlock && !complete) {
    slot.FirstPageShown = true;
    if (IsCurrent(slot) && Hooks().first_page) Hooks().first_page(slot);
  }
  if (complete) return;
  if (IsCurrent(slot)) SetStatus(3, std::to_string(slot.LineCount));
  if (Hooks().index_progress) Hooks().index_progress(slot);
}

// Starts indexing [slot.IndexedTo, slot.FileSize): on a worker thread when
// index_wake is set, else here, to the end (then the outcome is taken in
// before this returns).
void StartIndexing(FileSlot& slot) {
  const int index = SlotIndex(slot);
  IndexWorker::Job job;
  job.slot = index;
  job.map_fd = slot.MapHandle;
  job.from = slot.IndexedTo;
  job.to = slot.FileSize;
  job.index = slot.Index.get();
  if (slot.Compressed) job.source = slot.Compressed->source;
  if (Hooks().index_wake) {
    auto wake = Hooks().index_wake;
    slot.Worker = std::make_shared<IndexWorker>(job, [wake, index] { wake(index); });
    slot.Worker->Start();
    if (Hooks().index_progress) Hooks().index_progress(slot);
    return;
  }
  slot.Worker = std::make_shared<IndexWorker>(job, [&slot] {
    if (!slot.Worker->Finished()) TakeProgress(slot, false);
  });
  slot.Worker->RunHere();
  PumpIndex(slot);
}

void DetectSlotEncoding(FileSlot& slot) {
  const size_t sampled = static_cast<size_t>(std::min<uint64_t>(slot.ViewLength, kDetectionSample));
  const uint64_t readable = std::min<uint64_t>(slot.FileSize, sampled);
  const EncodingGuess guess =
      DetectEncoding(slot.ViewBase, static_cast<size_t>(readable), readable == slot.FileSize);
  if (guess.utf16 || slot.EncodingChosen) return;
  slot.DetectedEncoding = slot.Encoding = guess.encoding;
  slot.BomLength = static_cast<uint8_t>(guess.bomLength);
  slot.DetectionSawOnlyAscii =
      std::all_of(slot.ViewBase, slot.ViewBase + readable, [](char c) { return (c & 0x80) == 0; });
}

}  // namespace slot_detail

void ReleaseLineIndex(FileSlot& slot) {
  StopFollowing(slot);
  if (slot.Worker) {
    slot.Worker->Cancel();
    slot.Worker.reset();
  }
  slot.Index.reset();
  slot.IndexedTo = 0;
  slot.FirstPageShown = false;
}

void ResetSlotTable() {
  for (int i = 0; i < kSlotCount; ++i) {
    FileSlot& slot = SlotTable[i];
    ReleaseLineIndex(slot);
    UnmapSlotWindow(slot);
    CloseHandles(slot);
    ResetTruncation(slot);
    slot = FileSlot{};
  }
  CurrentSlot = 0;
}

int IndexShare(const FileSlot& slot) {
  if (slot.Compressed) return slot.Worker ? CompressedShare(slot) : 100;
  if (slot.FileSize == 0) return 100;
  const uint64_t done = slot.Worker ? slot.Worker->ScannedTo() : slot.IndexedTo;
  return static_cast<int>(std::min<uint64_t>(done, slot.FileSize) * 100 / slot.FileSize);
}

uint64_t LineStart(const FileSlot& slot, int32_t line) { return slot.Index->Start(line); }

int MapWindowAt(FileSlot& slot, uint64_t begin, uint64_t end) {
  if (slot.Compressed) return MapCompressedWindow(slot, begin, end);
  if (slot.MapHandle < 0 || end < begin || begin >= slot.FileSize) return -1;
  end = std::min(end, slot.FileSize);
  if (slot.ViewBase != nullptr && begin >= slot.WindowOffset &&
      end <= slot.WindowOffset + slot.ViewLength) {
    return 0;
  }
  const uint64_t granularity = sp::AllocationGranularity();
  uint64_t start = begin / kWindowStep * kWindowStep;
  if (end - start > kWindowSize) start = begin / granularity * granularity;
  if (end - start > kWindowSize) {
    errno = EFBIG;
    return -1;
  }
  return RemapSlotWindow(slot, start, std::min(kWindowSize, slot.FileSize - start));
}

namespace slot_detail {

int AcquireDocument(FileSlot& slot, const std::string& path, OpenAs as) {
  sp::AllocationGranularity();
  slot.FileName = path;
  ResetTruncation(slot);

  slot.FileHandle = sp::OpenReadOnly(path);
  if (slot.FileHandle < 0) {
    slot.FileHandle = -1;
    LogCannotOpen(OpenFailureReason(errno), path);
    return -1;
  }
  // One file, one tab: the same file in a second tab would only show the
  // same text twice. Other programs are not kept out (no lock is taken).
  uint64_t device = 0;
  uint64_t inode = 0;
  if (!sp::FileIdentity(slot.FileHandle, &device, &inode)) {
    LogCannotOpen(OpenFailureReason(errno), path);
    CloseHandles(slot);
    return -1;
  }
  if (const int holder = SlotHoldingFile(slot, device, inode); holder >= 0) {
    LogCannotOpen("スロット " + std::to_string(holder) + " のタブで開いています", path);
    CloseHandles(slot);
    return -1;
  }
  slot.FileDevice = device;
  slot.FileInode = inode;
  const int64_t size = sp::FileSize(slot.FileHandle);
  slot.FileSize = size < 0 ? 0 : static_cast<uint64_t>(size);
  if (size < 0) {
    LogCannotOpen(OpenFailureReason(errno), path);
    CloseHandles(slot);
    return -1;
  }

  slot.MapName = sp::MappingName(path);
  slot.ViewBase = nullptr;
  slot.ViewLength = 0;
  const int compressed = OpenCompressedDocument(slot, as);
  if (compressed < 0) {
    LogCannotOpen(errno == ENODATA ? std::string("空のファイルです") : OpenFailureReason(errno),
                  path);
    CloseHandles(slot);
    return -1;
  }
  if (compressed == 0) {
    // Read through the source: no mapping, the window holds the first bytes.
  } else if ((slot.MapHandle = sp::CreateMapping(slot.FileHandle, size)) < 0) {
    LogCannotOpen(OpenFailureReason(errno), path);
    CloseHandles(slot);
    slot.ViewBase = nullptr;
    return -1;
  }

  // An empty file is an empty document that may grow: its window covers a
  // page that comes to exist as it does (nothing reads past FileSize).
  if ((size == 0 && !slot.Compressed
           ? RemapSlotWindow(slot, 0, sp::AllocationGranularity())
           : MapWindowAt(slot, 0, std::min<uint64_t>(slot.FileSize, kLineBufferSize))) != 0 ||
      slot.ViewBase == nullptr) {
    ReportLastOsError();
    CloseHandles(slot);
    slot.ViewBase = nullptr;
    return -1;
  }

  // The encoding comes from the start of the file, already mapped: the
  // first page is not delayed by it (well under a millisecond).
  slot.EncodingChosen = false;
  slot.OpenedAs = as;
  DetectSlotEncoding(slot);
  TakeSourceEncoding(slot);

  slot.TopLine = 0;
  slot.LineCount = 0;
  slot.LeftColumn = 0;
  slot.FirstPageShown = false;
  slot.PastLineLimit = false;
  slot.Index = std::make_shared<LineIndex>();
  // A byte order mark is no text: line 0 and the scan begin after it.
  slot.IndexedTo = slot.BomLength;
  if (!slot.Index->Append(slot.BomLength)) {
    ReportError(kNoIndexMemory + DisplayName(path));
    ReleaseFailedOpen(slot);
    return -1;
  }
  return 0;
}

}  // namespace slot_detail

int OpenDocument(const std::string& path, OpenAs as) {
  FileSlot& slot = SlotTable[CurrentSlot];
  CloseDocument();
  if (slot.ViewBase != nullptr) return -1;  // the old window could not be unmapped
  slot.OpenSerial = NextOpenSerial();
  // A file named on the command line may be indexing already.
  const bool adopted = AdoptEarlyOpen(slot, path, as);
  if (!adopted && AcquireDocument(slot, path, as) != 0) return -1;

  SetCaption(slot, DisplayName(BaseName(path)));
  SetStatus(1, DisplayName(slot.FileName));
  SetStatus(kEncodingPanel, EncodingPanelText(slot));
  g_last_open_started = slot.OpenSerial;
  Log(kOpenStartPrefix + ClockText() + ")===");
  if (const std::string note = CompressedOpenNote(slot); !note.empty()) Log(note);
  // The watcher looks from now on; what it sees during the first index
  // waits for the index's end (PumpIndex).
  StartFollowing(slot);
  adopted ? ResumeAdoptedIndex(slot) : StartIndexing(slot);
  if (slot.ViewBase == nullptr) return -1;
  return 0;
}

void PumpIndex(FileSlot& slot) {
  TakeCompressedSize(slot);
  if (!slot.Worker) {
    TakeFollowNews(slot);
    return;
  }
  IndexWorker& worker = *slot.Worker;
  if (!worker.Finished()) {
    TakeProgress(slot, false);
    return;
  }
  worker.Join();
  const IndexWorker::Outcome outcome = worker.outcome();
  const int error = worker.error();
  const ByteFingerprint print = worker.fingerprint();
  slot.IndexedTo = worker.ScannedTo();
  slot.Worker.reset();
  errno = error;
  if (FinishReload(slot, outcome, print)) return;
  switch (outcome) {
    case IndexWorker::Outcome::kComplete:
    case IndexWorker::Outcome::kLineLimit:
      TakeProgress(slot, true);
      if (IsCurrent(slot)) SetStatus(3, std::to_string(slot.LineCount));
      if (const std::string note = CompressedEndNote(slot); !note.empty()) Log(note);
      // The limit's message box lets events through: it comes last, when the
      // document is complete. A full document follows no more.
      if (outcome == IndexWorker::Outcome::kLineLimit) {
        slot.PastLineLimit = true;
        StopFollowing(slot);
        LogOpenEnd(slot);
        if (Hooks().index_done) Hooks().index_done(slot);
        ReportError(TooManyLines(DisplayName(slot.FileName)));
        return;
      }
      LogOpenEnd(slot);
      if (Hooks().index_done) Hooks().index_done(slot);
      // What the watcher saw during the index is taken in now.
      ResumeFollowing(slot, print);
      return;
    case IndexWorker::Outcome::kCancelled: {
      // Stopped from outside the pump (a window going away): end quietly.
      const std::string path = slot.FileName;
      ReleaseFailedOpen(slot);
      Log(kOpenCancelled + DisplayName(path));
      return;
    }
    case IndexWorker::Outcome::kNoMemory:
    case IndexWorker::Outcome::kOsError:
    case IndexWorker::Outcome::kRunning:
      break;
  }
  // The slot is emptied before the report: its message box lets events
  // through, and none of them may find a half-failed document.
  const std::string path = slot.FileName;
  ReleaseFailedOpen(slot);
  if (outcome == IndexWorker::Outcome::kNoMemory) {
    ReportError(kNoIndexMemory + DisplayName(path));
  } else {
    errno = error;
    ReportLastOsError();
  }
  Log(kOpenFailedLine);
  if (Hooks().index_progress) Hooks().index_progress(slot);
}

void WaitForIndex(FileSlot& slot) {
  if (!slot.Worker) return;
  slot.Worker->Join();
  PumpIndex(slot);
}

int CancelIndex(FileSlot& slot) {
  if (!slot.Worker) return -1;
  slot.Worker->Cancel();
  slot.Worker.reset();
  const std::string path = slot.FileName;
  ReleaseFailedOpen(slot);
  ResetTruncation(slot);
  slot.FileName.clear();
  SetCaption(slot, "");
  Log(kOpenCancelled + DisplayName(path));
  return 0;
}

void CloseDocument() {
  FileSlot& slot = SlotTable[CurrentSlot];
  if (slot.ViewBase == nullptr) return;
  ReleaseLineIndex(slot);
  if (!UnmapSlotWindow(slot)) {
    ReportLastOsError();
    return;
  }
  CloseHandles(slot);
  ResetTruncation(slot);
  slot.OpenSerial = NextOpenSerial();
  slot.FileName.clear();
  slot.ViewBase = nullptr;
  slot.WindowOffset = 0;
  slot.FileSize = 0;
  slot.TopLine = 0;
  slot.LineCount = 0;
  slot.LeftColumn = 0;
  slot.Encoding = slot.DetectedEncoding = TextEncoding::kCp932;
  slot.EncodingChosen = false;
  slot.BomLength = 0;
  slot.FollowTail = false;
  SetCaption(slot, "");
}

int GetLineInto(FileSlot& slot, int32_t line, char* out) {
  if (line < 0 || line >= slot.LineCount || !slot.Index) return 0;
  const uint64_t offset = slot.Index->Start(line);
  // The text needs at most 2047 bytes of the line and a look at the byte
  // after them; more is never read.
  if (MapWindowAt(slot, offset, offset + kMaxLineText + 1) != 0) return 0;
  NoteTruncation(slot);

  for (int attempt = 0;; ++attempt) {
    uint64_t end = std::min(slot.WindowOffset + slot.ViewLength, slot.FileSize);
    if (slot.Truncated) end = std::min(end, slot.TruncatedSize);
    if (offset >= end) return 0;
    const char* p = slot.ViewBase + (offset - slot.WindowOffset);
    const size_t span = static_cast<size_t>(std::min<uint64_t>(end - offset, kMaxLineText + 1));
    const size_t produced = CopyLineText(p, span, TabWidth, out);
    out[produced] = '\0';
    // A read that ran into a vanished page saw zeros: learn the new size
    // and fetch again within it.
    if (!slot.Truncated && attempt == 0) {
      NoteTruncation(slot);
      if (slot.Truncated) continue;
    }
    return static_cast<int>(produced);
  }
}

std::string GetLine(FileSlot& slot, int32_t line) {
  char buffer[kLineBufferSize];
  const int length = GetLineInto(slot, line, buffer);
  return std::string(buffer, static_cast<size_t>(length));
}
