// The document store: four file slots, each a read-only file seen through one
// sliding memory-mapped window, with a line index of 8-byte records held in
// pages of 8192 lines. Plain C++ over POSIX; the screen is reached only
// through the callbacks in StoreHooks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "store/encoding.h"

// The slot's controls live in view/ and ui/; the store only keeps pointers
// to them and hands them back to its callbacks.
class TabPage;        // the slot's tab page
class PageImage;      // the slot's page raster
class PageScrollBar;  // the slot's vertical and horizontal scroll bars

constexpr int kSlotCount = 4;
constexpr int kLinesPerBlock = 8192;  // 2^13: line n is entry n & 8191 of block n >> 13
constexpr int kBlockShift = 13;
constexpr int kBlocksPerSlot = 6104;
constexpr uint32_t kWindowSize = 0x1000000;  // 16 MiB, the usual window
// The table holds 6104 * 8192 records; the line that fills the last one is
// recorded but never counted.
constexpr int32_t kMaxLineCount = kBlocksPerSlot * kLinesPerBlock - 1;  // 50,003,967
constexpr int kLineBufferSize = 2048;  // GetLine text: at most 2047 bytes
constexpr int kMaxLineText = kLineBufferSize - 1;

struct LineRecord {
  uint32_t Offset;  // file offset of the line's first byte
  uint8_t Flag;     // 0 for every line the index builder records
  int16_t Extra;    // 0 for every line the index builder records
};
static_assert(sizeof(LineRecord) == 8, "8192 records must fill exactly 64 KiB");

struct LineBlock {
  LineRecord* Lines;  // 8192 records, or null when the block is not in use
  // File offset where this block's window starts: a multiple of the
  // allocation granularity, at or before the block's first line.
  uint32_t WindowOffset;
  // Bytes the block's window must cover so that all of its lines (line feeds
  // included) lie inside it: min(size - WindowOffset, 16 MiB) normally, more
  // for a block of very long lines.
  uint32_t WindowLength;
};

struct FileSlot {
  std::string FileName;            // full path as given (native bytes)
  int FileHandle = -1;             // read-only descriptor, -1 = none
  int MapHandle = -1;              // the mapping object (a second descriptor), -1 = none
  const char* ViewBase = nullptr;  // mapped window; null = the slot holds no document
  LineBlock Blocks[kBlocksPerSlot] = {};
  uint32_t FileSizeHigh = 0;
  uint32_t FileSizeLow = 0;
  int32_t CurrentBlock = 0;  // block whose window is mapped now
  int32_t TopLine = 0;
  int32_t LineCount = 0;
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

  // Beyond the classic record: the platform layer's own state.
  std::string MapName;  // label of the mapping object (report_map for report.txt)
  // Device and inode of the open file (both 0 while the slot is empty): the
  // same file opened into a second slot is recognised by them, whatever path
  // names it.
  uint64_t FileDevice = 0;
  uint64_t FileInode = 0;
  uint32_t ViewLength = 0;  // bytes mapped at ViewBase
  // Set once the file was found shorter than when it was indexed (another
  // program truncated it); lines from this offset on read as empty.
  bool Truncated = false;
  uint32_t TruncatedSize = 0;
  bool TruncationReported = false;

  // The document's text encoding: detected from the file's start when it is
  // opened (DetectedEncoding), or chosen from the menu for this document
  // (EncodingChosen). Changing it needs no new index: line feeds are the
  // same byte in every encoding the slot accepts.
  TextEncoding Encoding = TextEncoding::kCp932;
  TextEncoding DetectedEncoding = TextEncoding::kCp932;
  bool EncodingChosen = false;
  // Bytes of a UTF-8 byte order mark at the file's start (0 or 3). Line 0
  // begins after them, so no operation ever sees them.
  uint8_t BomLength = 0;
  // A number that changes with every open and every close of the slot and is
  // never reused during a run, so that code which let input through can tell
  // whether the document it worked on is still the one in the slot.
  uint64_t OpenSerial = 0;
};

extern FileSlot SlotTable[kSlotCount];
extern int32_t CurrentSlot;
extern int32_t TabWidth;  // spaces a TAB becomes in GetLine; <= 0 means none

// Callbacks through which the store reaches the screen and the log. Every
// text is UTF-8. Unset callbacks are skipped.
struct StoreHooks {
  std::function<void(const std::string&)> log;                     // AppendLog
  std::function<void(const std::string&)> report_error;            // modal box, then log line
  std::function<void(FileSlot&, const std::string&)> set_caption;  // the slot's tab caption
  std::function<void(int panel, const std::string&)> set_status;   // repaints at once
  std::function<void(FileSlot&)> first_page;  // first 8192 lines known: draw and repaint now
  std::function<void(FileSlot&)> index_done;  // index complete: scroll range, first page
  std::function<void(FileSlot&)> truncated;   // the file shrank while open (told once)
  std::function<std::string()> clock_text;    // local date and time for the time stamps
};
StoreHooks& Hooks();
// The status panel that shows the document's encoding (after the seven
// panels 0..6 of file name, line count, top line and search progress).
constexpr int kEncodingPanel = 7;

// 0 on success, -1 on failure, as everywhere in the store.
int OpenDocument(const std::string& path);  // into SlotTable[CurrentSlot]
int BuildLineIndex(FileSlot& slot);
int MapBlockWindow(FileSlot& slot, int block);
std::string GetLine(FileSlot& slot, int32_t line);
// GetLine into a caller's buffer of kLineBufferSize bytes; returns the length.
// The hot paths (page drawing, search) use this to avoid an allocation.
int GetLineInto(FileSlot& slot, int32_t line, char* out);
void CloseDocument();  // SlotTable[CurrentSlot]
void ReleaseLineIndex(FileSlot& slot);
// Resets the whole table to its start state: no documents, no selections.
void ResetSlotTable();

// The platform layer's view of the last failure: errno's system text.
std::string LastOsErrorText();
