// The document store: four file slots, each a read-only file seen through one
// sliding memory-mapped window of at most 16 MiB, with a line index (LineIndex)
// that a worker thread builds while the slot is already in use. Plain C++ over
// POSIX; the screen is reached only through the callbacks in StoreHooks.
//
// Threads: every FileSlot field is read and written on one thread, the one
// that calls the functions below (the user-interface thread). The indexer
// (store/indexer.h) shares only the slot's LineIndex, which it appends to and
// this thread reads below its published size, and its own progress words.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "store/encoding.h"
#include "store/lineindex.h"

// The slot's controls live in view/ and ui/; the store only keeps pointers
// to them and hands them back to its callbacks.
class TabPage;              // the slot's tab page
class PageImage;            // the slot's page raster
class PageScrollBar;        // the slot's vertical and horizontal scroll bars
class IndexWorker;          // store/indexer.h
class FileWatcher;          // store/filewatch.h
struct FollowState;         // store/follow.h: what the watcher did and saw, for the slot's thread
struct CompressedDocument;  // store/compressed_slot.h

// How OpenDocument reads a file that is not compressed: UTF-16 when
// detection (kDetect) or the user says so, else its bytes.
enum class OpenAs : uint8_t { kDetect, kBytes, kUtf16Le, kUtf16Be };
class LineFilter;  // store/linefilter.h

constexpr int kSlotCount = 4;
// Scans walk the document in runs of 8192 lines (2^13) and report progress
// at the start of each run.
constexpr int kLinesPerBlock = 8192;
constexpr int kBlockShift = 13;
// The window: at most 16 MiB, starting at a multiple of 8 MiB where it can,
// so that any range of up to 8 MiB lies in one window and a reader moving
// through the file remaps once per 8 MiB.
constexpr uint64_t kWindowSize = uint64_t{16} << 20;
constexpr uint64_t kWindowStep = uint64_t{8} << 20;
// The most lines a document shows; the index stops there and says so.
constexpr int32_t kMaxLineCount = static_cast<int32_t>(LineIndex::kMaxLines);  // 2,147,483,646
constexpr int kLineBufferSize = 2048;  // GetLine text: at most 2047 bytes
constexpr int kMaxLineText = kLineBufferSize - 1;

struct FileSlot {
  std::string FileName;            // full path as given (native bytes)
  int FileHandle = -1;             // read-only descriptor, -1 = none
  int MapHandle = -1;              // the mapping object (a second descriptor), -1 = none
  const char* ViewBase = nullptr;  // mapped window; null = the slot holds no document
  uint64_t WindowOffset = 0;       // file offset of ViewBase[0]
  uint64_t ViewLength = 0;         // bytes mapped at ViewBase
  uint64_t FileSize = 0;           // bytes of the file the index covers or will cover
  // Line starts: entry n is the offset of line n; the entry after the last
  // line is the start of the line in progress (at FileSize after a final
  // line feed). Null while the slot is empty.
  std::shared_ptr<LineIndex> Index;
  // Bytes of the file the index has taken in: the indexer resumes here.
  uint64_t IndexedTo = 0;
  // The indexer while the index is being built; null once it is complete.
  std::shared_ptr<IndexWorker> Worker;
  bool FirstPageShown = false;  // the first page was drawn during the index
  int32_t TopLine = 0;
  int32_t LineCount = 0;  // lines known so far; all of them once Worker is null
  int32_t LeftColumn = 0;
  TabPage* TabSheet = nullptr;
  PageImage* Image = nullptr;
  PageScrollBar* VScroll = nullptr;
  PageScrollBar* HScroll = nullptr;
  int32_t DrawRow = 0;
  int32_t MaxLineWidth = 0;
  // Selection anchor and end: byte column and absolute 0-based line; -1 = none.
  int32_t SelStartColumn = -1;
  int32_t SelStartLine = -1;
  int32_t SelEndColumn = -1;
  int32_t SelEndLine = -1;

  std::string MapName;  // label of the mapping object (report_map for report.txt)
  // Device and inode of the open file (both 0 while the slot is empty): the
  // same file opened into a second slot is recognised by them, whatever path
  // names it.
  uint64_t FileDevice = 0;
  uint64_t FileInode = 0;
  // Set once the file was found shorter than when it was indexed (another
  // program truncated it); lines from this offset on read as empty.
  bool Truncated = false;
  uint64_t TruncatedSize = 0;
  bool TruncationReported = false;

  // The document's text encoding: detected from the file's start when it is
  // opened (DetectedEncoding), or chosen from the menu for this document
  // (EncodingChosen). Changing it needs no new index: line feeds are the
  // same byte in every encoding the slot accepts.
  TextEncoding Encoding = TextEncoding::kCp932;
  TextEncoding DetectedEncoding = TextEncoding::kCp932;
  bool EncodingChosen = false;
  // Detection saw only ASCII (or nothing): it runs again when the first
  // bytes that are not arrive at the end of the file.
  bool DetectionSawOnlyAscii = false;
  // Bytes of a UTF-8 byte order mark at the file's start (0 or 3). Line 0
  // begins after them, so no operation ever sees them.
  uint8_t BomLength = 0;
  // How the open read the file: as detected, or as the encoding chosen made
  // it read (UTF-16 as such, or as bytes).
  OpenAs OpenedAs = OpenAs::kDetect;
  // A number that changes with every open and every close of the slot and is
  // never reused during a run, so that code which let input through can tell
  // whether the document it worked on is still the one in the slot.
  uint64_t OpenSerial = 0;

  // Following the file (store/follow.h): the watcher notices growth,
  // truncation, replacement and deletion on its own thread. Growth extends
  // the index there, from where it ended, once the index is complete; the
  // slot's thread takes the new lines in (PumpIndex), at most about ten
  // times a second. A truncation, a rewrite or a new file at the path
  // indexes again from the start (Reloading), keeping TopLine where the line
  // still exists.
  std::shared_ptr<FileWatcher> Watcher;
  std::shared_ptr<FollowState> Follow;
  bool Reloading = false;
  int32_t ReloadTopLine = 0;  // the top line to return to after a reload
  // The tab keeps its last page in view as the file grows.
  bool FollowTail = false;
  // The file has more lines than kMaxLineCount: only the first of them are
  // indexed, shown and searched.
  bool PastLineLimit = false;

  // Set for a compressed file: its text comes from the source's streaming
  // pass and random reads (store/compressed_slot.h), MapHandle is -1 and
  // the window is a buffer of unpacked bytes. FileSize is the unpacked size
  // reached so far. The file is not watched: it does not grow in place.
  std::shared_ptr<CompressedDocument> Compressed;

  // The lines the tab shows when the user filters them (view/shownlines.h);
  // null: every line. It belongs to the index it was built on and is
  // ignored once the slot holds another.
  std::shared_ptr<LineFilter> Filter;
};

extern FileSlot SlotTable[kSlotCount];
extern int32_t CurrentSlot;
extern int32_t TabWidth;  // spaces a TAB becomes in GetLine; <= 0 means none

// Callbacks through which the store reaches the screen and the log. Every
// text is UTF-8. Unset callbacks are skipped. All but index_wake run on the
// thread that calls the store.
struct StoreHooks {
  std::function<void(const std::string&)> log;                     // AppendLog
  std::function<void(const std::string&)> report_error;            // modal box, then log line
  std::function<void(FileSlot&, const std::string&)> set_caption;  // the slot's tab caption
  std::function<void(int panel, const std::string&)> set_status;   // repaints at once
  std::function<void(FileSlot&)> first_page;      // 8192 lines known: draw the current slot's page
  std::function<void(FileSlot&)> index_progress;  // more lines known (LineCount, IndexShare)
  std::function<void(FileSlot&)> index_done;      // index complete: scroll range, first page
  std::function<void(FileSlot&)> truncated;       // the file shrank while open (told once)
  // Growth of the file taken in: LineCount is larger than lines_before, or
  // the last line is longer.
  std::function<void(FileSlot&, int32_t lines_before)> index_grown;
  std::function<std::string()> clock_text;  // local date and time for the time stamps
  // Set: the index is built on a worker thread, which calls this (on its
  // own thread) when it has news for the slot, and so does the file watcher; the receiver must
  // arrange for PumpIndex(SlotTable[slot]) to run on the store's thread, and do nothing else.
  // Unset: OpenDocument builds the whole index before it returns.
  std::function<void(int slot)> index_wake;
};
StoreHooks& Hooks();
// The status panel that shows the document's encoding (after the seven
// panels 0..6 of file name, line count, top line and search progress).
constexpr int kEncodingPanel = 7;

// 0 on success, -1 on failure, as everywhere in the store.
// Opens into SlotTable[CurrentSlot]. With index_wake set, 0 means the open
// has started: the slot holds the document and its lines arrive through
// PumpIndex; a failure of the index later empties the slot as below.
// as: read a UTF-16 file as detected, as UTF-16 of one order, or as bytes
// (the choice of an encoding that needs the file read another way).
int OpenDocument(const std::string& path, OpenAs as = OpenAs::kDetect);
// Takes in what the indexer has done: the line count, the first page, the
// progress, and at its end the outcome (the end time stamp and index_done,
// or the error report and an empty slot). Cheap when there is no news.
void PumpIndex(FileSlot& slot);
// Waits until the slot's indexer has ended, then pumps it.
void WaitForIndex(FileSlot& slot);
// Ends an open whose index is still being built: the slot is emptied and
// the log says so. Returns -1 when the slot was not indexing.
int CancelIndex(FileSlot& slot);
// Complete also while the index grows at the end (on the watcher's thread):
// the lines known stay as they are, and LineCount changes only when the
// slot's thread pumps.
inline bool IndexComplete(const FileSlot& slot) { return slot.Worker == nullptr; }
// While deferred (a search that lets input through runs), PumpIndex takes
// in no growth, truncation or replacement, so that the lines a scan walks
// stay as they were; undeferring pumps every slot.
void DeferFileChanges(bool defer);
// Share of the file indexed, 0 to 100.
int IndexShare(const FileSlot& slot);

// File offset of line's first byte, 0 <= line < LineCount.
uint64_t LineStart(const FileSlot& slot, int32_t line);
// Makes [begin, end) of the file readable at ViewBase + (begin -
// WindowOffset). Keeps the window mapped now when it holds the range; a new
// window is mapped before the old one goes, so a failure keeps the old one.
// -1 when the range does not fit in one window or cannot be mapped.
int MapWindowAt(FileSlot& slot, uint64_t begin, uint64_t end);
std::string GetLine(FileSlot& slot, int32_t line);
// GetLine into a caller's buffer of kLineBufferSize bytes; returns the length.
// The hot paths (page drawing, search) use this to avoid an allocation.
int GetLineInto(FileSlot& slot, int32_t line, char* out);
void CloseDocument();  // SlotTable[CurrentSlot]; stops its indexer first
void ReleaseLineIndex(FileSlot& slot);
// Resets the whole table to its start state: no documents, no selections.
void ResetSlotTable();

// The platform layer's view of the last failure: errno's system text.
std::string LastOsErrorText();
