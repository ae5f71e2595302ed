#include "store/slots.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "store/linescan.h"
#include "store/platform.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sp = store_platform;

FileSlot SlotTable[kSlotCount];
int32_t CurrentSlot = 0;
int32_t TabWidth = 4;

StoreHooks& Hooks() {
  static StoreHooks hooks;
  return hooks;
}

std::string LastOsErrorText() { return std::strerror(errno); }

namespace {

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
constexpr const char* kTooManyLines = "ファイルの行数が多すぎるので途中で終了します";
constexpr const char* kTooLarge = "ファイルが大きすぎます（4 GiB 以上のファイルは開けません）: ";
constexpr const char* kUtf16Refused =
    "UTF-16 のファイルは表示できません（表示できる文字コードは Shift_JIS、UTF-8、EUC-JP です）: ";
constexpr const char* kNoIndexMemory = "メモリが不足しているため、行インデックスを作成できません: ";
// The log line of an open that fails before anything is mapped: no message
// box, only this line after the command's echo, naming the reason and the
// path.
constexpr const char* kCannotOpen = "# *** ERROR *** ファイルを開けません（";

// The index builder reads the file through its own populated windows of
// this size, independent of the blocks' 16 MiB windows: a block of short
// lines spans ~220 KiB, and populating a fresh 16 MiB window for each block
// would touch every page of the file ~75 times.
constexpr uint32_t kScanChunk = 8u << 20;

// The status bar's line count is refreshed when more than this many blocks
// were started since the last refresh.
constexpr int kBlocksPerRefresh = 20;

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

// Index of the slot in SlotTable, or -1 for a slot outside it.
int SlotIndex(const FileSlot& slot) {
  const std::ptrdiff_t index = &slot - SlotTable;
  return index >= 0 && index < kSlotCount ? static_cast<int>(index) : -1;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The usual window of a block starting at offset: the rest of the file, at
// most 16 MiB.
uint32_t DefaultWindowLength(uint32_t fileSize, uint32_t offset) {
  return std::min<uint32_t>(fileSize - offset, kWindowSize);
}

// Stores the start of a line as a whole 8-byte record (Flag, the padding
// byte and Extra all zero) in one write.
inline void PutRecord(LineRecord* record, uint64_t offset) {
  std::memcpy(record, &offset, sizeof offset);
}

enum class BuildFailure { kNone, kOs, kMemory };
BuildFailure g_build_failure = BuildFailure::kNone;

// Maps the slot's window of the block: [WindowOffset, + WindowLength).
// Nothing is unmapped before the new window exists, so a failure leaves the
// old window and CurrentBlock as they were.
int RemapSlotWindow(FileSlot& slot, int block) {
  const LineBlock& target = slot.Blocks[block];
  const uint32_t length = target.WindowLength;
  if (length == 0) {
    // The empty last block of a file that ends on a granularity boundary:
    // it holds no line, so no byte is ever read through its window.
    slot.CurrentBlock = block;
    return 0;
  }
  const char* base = sp::MapWindow(slot.MapHandle, target.WindowOffset, length, false);
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
  slot.ViewLength = length;
  if (index >= 0) sp::RegisterWindow(index, sp::kSlotWindow, base, length);
  slot.CurrentBlock = block;
  return 0;
}

// Unmaps the slot's window, if any. Returns false (errno set) on failure.
bool UnmapSlotWindow(FileSlot& slot) {
  if (slot.ViewBase == nullptr) return true;
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
}

// Why the platform refused to open a file, from errno, in the user's words.
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
  Log(kCannotOpen + reason + "）: " + path);
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
  slot.TruncatedSize =
      size < 0 ? 0 : static_cast<uint32_t>(std::min<int64_t>(size, slot.FileSizeLow));
  if (!slot.TruncationReported) {
    slot.TruncationReported = true;
    if (Hooks().truncated) Hooks().truncated(slot);
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

}  // namespace

void ReleaseLineIndex(FileSlot& slot) {
  for (LineBlock& block : slot.Blocks) block.Lines = nullptr;
  const int index = SlotIndex(slot);
  if (index >= 0) sp::FreeIndexPages(index);
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

int MapBlockWindow(FileSlot& slot, int block) {
  if (block < 0 || block >= kBlocksPerSlot) return -1;
  if (slot.ViewBase != nullptr && block == slot.CurrentBlock &&
      slot.ViewLength >= slot.Blocks[block].WindowLength) {
    return 0;
  }
  return RemapSlotWindow(slot, block);
}

int BuildLineIndex(FileSlot& slot) {
  g_build_failure = BuildFailure::kNone;
  const int index = SlotIndex(slot);
  if (index < 0) return -1;
  ReleaseLineIndex(slot);
  for (LineBlock& block : slot.Blocks) block = LineBlock{nullptr, 0, 0};
  slot.CurrentBlock = 0;
  slot.TopLine = 0;
  slot.LineCount = 0;
  slot.LeftColumn = 0;

  const uint32_t size = slot.FileSizeLow;
  const uint32_t granularity = sp::AllocationGranularity();
  auto fail = [&](BuildFailure why) {
    g_build_failure = why;
    return -1;
  };

  LineRecord* lines = static_cast<LineRecord*>(sp::AllocateIndexPage(index));
  if (lines == nullptr) return fail(BuildFailure::kMemory);
  slot.Blocks[0] = LineBlock{lines, 0, DefaultWindowLength(size, 0)};
  PutRecord(lines, slot.BomLength);  // a byte order mark is no text

  // block: the block being filled; done: lines of it that have ended (its
  // records 0..done are written; record done is the start of the line in
  // progress, which equals size after a final line feed).
  int block = 0;
  size_t done = 0;
  int blocks_since_refresh = 0;
  bool at_limit = false;

  // A line of the block in progress ended with the byte before next_start
  // (its line feed, or the file's last byte) and it was the block's 8192nd.
  auto complete_block = [&](uint64_t next_start) -> int {
    LineBlock& full = slot.Blocks[block];
    full.WindowLength = std::max<uint32_t>(full.WindowLength,
                                           static_cast<uint32_t>(next_start - full.WindowOffset));
    slot.LineCount = block * kLinesPerBlock + (kLinesPerBlock - 1);
    if (block == 0) {
      // A window for block 0 that the long lines outgrew is remapped before
      // the page is drawn from it.
      if (MapBlockWindow(slot, 0) != 0) return fail(BuildFailure::kOs);
      if (Hooks().first_page) Hooks().first_page(slot);
    }
    ++block;
    if (block >= kBlocksPerSlot) {
      slot.CurrentBlock = block;
      ReportError(kTooManyLines);
      at_limit = true;
      return 0;
    }
    const uint32_t start = static_cast<uint32_t>(next_start) / granularity * granularity;
    LineRecord* page = static_cast<LineRecord*>(sp::AllocateIndexPage(index));
    if (page == nullptr) return fail(BuildFailure::kMemory);
    slot.Blocks[block] = LineBlock{page, start, DefaultWindowLength(size, start)};
    PutRecord(page, next_start);
    done = 0;
    if (++blocks_since_refresh > kBlocksPerRefresh) {
      SetStatus(3, std::to_string(block * kLinesPerBlock - 1));
      blocks_since_refresh = 0;
    }
    return 0;
  };

  for (uint64_t chunk = 0; chunk < size && !at_limit; chunk += kScanChunk) {
    const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(kScanChunk, size - chunk));
    const char* base = sp::MapWindow(slot.MapHandle, static_cast<uint32_t>(chunk), length, true);
    if (base == nullptr) return fail(BuildFailure::kOs);
    sp::RegisterWindow(index, sp::kScanWindow, base, length);
    size_t pos = 0;
    int result = 0;
    while (pos < length && !at_limit) {
      size_t consumed = 0;
      LineRecord* out = slot.Blocks[block].Lines;
      const size_t room = kLinesPerBlock - 1 - done;
      if (room > 0) {
        done += RecordLineStarts(base + pos, length - pos, chunk + pos, out + done + 1, room,
                                 &consumed);
        pos += consumed;
        continue;
      }
      // The next line feed ends the block's 8192nd line.
      const void* feed = std::memchr(base + pos, '\n', length - pos);
      if (feed == nullptr) {
        pos = length;
        break;
      }
      pos = static_cast<size_t>(static_cast<const char*>(feed) - base) + 1;
      if ((result = complete_block(chunk + pos)) != 0) break;
    }
    sp::UnregisterWindow(index, sp::kScanWindow);
    if (!sp::UnmapWindow(base, length) && result == 0) return fail(BuildFailure::kOs);
    if (result != 0) return result;
  }

  if (!at_limit) {
    // A last line without a line feed ends at the end of the file.
    uint32_t last_start = 0;
    std::memcpy(&last_start, &slot.Blocks[block].Lines[done], sizeof last_start);
    if (last_start < size) {
      if (done == kLinesPerBlock - 1) {
        if (complete_block(size) != 0) return -1;
      } else {
        ++done;
      }
    }
    if (!at_limit) {
      LineBlock& last = slot.Blocks[block];
      last.WindowLength = std::max<uint32_t>(last.WindowLength, size - last.WindowOffset);
      slot.LineCount = static_cast<int32_t>(block * kLinesPerBlock + done);
      if (MapBlockWindow(slot, block) != 0) return fail(BuildFailure::kOs);
    }
  }
  if (at_limit) slot.LineCount = kMaxLineCount;
  SetStatus(3, std::to_string(slot.LineCount));
  return 0;
}

int OpenDocument(const std::string& path) {
  FileSlot& slot = SlotTable[CurrentSlot];
  CloseDocument();
  if (slot.ViewBase != nullptr) return -1;  // the old window could not be unmapped
  slot.OpenSerial = NextOpenSerial();
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
  slot.FileSizeLow = static_cast<uint32_t>(size < 0 ? 0 : size);
  slot.FileSizeHigh = static_cast<uint32_t>(size < 0 ? 0 : static_cast<uint64_t>(size) >> 32);
  if (size < 0 || slot.FileSizeHigh != 0) {
    // Every offset of the store is 32 bits wide: a larger file would be
    // indexed modulo 4 GiB and show the wrong text.
    if (size >= 0) ReportError(kTooLarge + path);
    CloseHandles(slot);
    return -1;
  }

  slot.MapName = sp::MappingName(path);
  slot.MapHandle = sp::CreateMapping(slot.FileHandle, size);
  if (slot.MapHandle < 0) {
    LogCannotOpen(size == 0 ? std::string("空のファイルです") : OpenFailureReason(errno), path);
    CloseHandles(slot);
    slot.ViewBase = nullptr;
    return -1;
  }

  slot.ViewBase = nullptr;
  slot.ViewLength = 0;
  slot.Blocks[0].WindowOffset = 0;
  slot.Blocks[0].WindowLength = DefaultWindowLength(slot.FileSizeLow, 0);
  if (MapBlockWindow(slot, 0) != 0 || slot.ViewBase == nullptr) {
    ReportLastOsError();
    CloseHandles(slot);
    slot.ViewBase = nullptr;
    return -1;
  }

  // The encoding comes from the start of the file, already mapped: the
  // first page is not delayed by it (well under a millisecond).
  const size_t sampled = std::min<size_t>(slot.ViewLength, kDetectionSample);
  const EncodingGuess guess = DetectEncoding(slot.ViewBase, sampled, sampled == slot.FileSizeLow);
  if (guess.utf16) {
    // Every other byte of UTF-16 text is a zero, and its line feeds are two
    // bytes wide: shown byte by byte it would be garbage.
    ReportError(kUtf16Refused + path);
    UnmapSlotWindow(slot);
    CloseHandles(slot);
    slot.ViewBase = nullptr;
    slot.ViewLength = 0;
    return -1;
  }
  slot.DetectedEncoding = guess.encoding;
  slot.Encoding = guess.encoding;
  slot.EncodingChosen = false;
  slot.BomLength = static_cast<uint8_t>(guess.bomLength);

  SetCaption(slot, BaseName(path));
  SetStatus(1, slot.FileName);
  SetStatus(kEncodingPanel, EncodingName(slot.Encoding));
  Log(kOpenStartPrefix + ClockText() + ")===");

  if (BuildLineIndex(slot) != 0) {
    if (g_build_failure == BuildFailure::kMemory) {
      ReportError(kNoIndexMemory + path);
    } else {
      ReportLastOsError();
    }
    CloseHandles(slot);
    ReleaseLineIndex(slot);
    UnmapSlotWindow(slot);
    slot.ViewBase = nullptr;
    slot.ViewLength = 0;
    slot.LineCount = 0;
    Log(kOpenFailedLine);
    return -1;
  }

  Log(kOpenEndPrefix + ClockText() + ")===");
  if (Hooks().index_done) Hooks().index_done(slot);
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
  slot.TopLine = 0;
  slot.LineCount = 0;
  slot.LeftColumn = 0;
  slot.Encoding = slot.DetectedEncoding = TextEncoding::kCp932;
  slot.EncodingChosen = false;
  slot.BomLength = 0;
  SetCaption(slot, "");
}

int GetLineInto(FileSlot& slot, int32_t line, char* out) {
  if (line < 0 || line >= slot.LineCount) return 0;
  const int block = line >> kBlockShift;
  const LineBlock& entry = slot.Blocks[block];
  if (entry.Lines == nullptr || MapBlockWindow(slot, block) != 0) return 0;
  NoteTruncation(slot);
  const uint32_t offset = entry.Lines[line & (kLinesPerBlock - 1)].Offset;

  for (int attempt = 0;; ++attempt) {
    // The bytes the line may use: up to the window's end (which lies at or
    // after the line's line feed) or the size the file shrank to.
    uint64_t end = uint64_t{entry.WindowOffset} + slot.ViewLength;
    if (slot.Truncated) end = std::min<uint64_t>(end, slot.TruncatedSize);
    if (offset >= end) return 0;
    const char* p = slot.ViewBase + (offset - entry.WindowOffset);
    // The text needs at most 2047 bytes of the line and a look at the byte
    // after them; more is never read.
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
