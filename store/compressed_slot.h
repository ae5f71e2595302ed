// A slot holding a compressed file: its text comes from a CompressedSource
// instead of a mapping. The slot's window is then a buffer of unpacked
// bytes, filled on demand, so that the index, the page, copy and search see
// the same ViewBase/WindowOffset/ViewLength as for a plain file and never
// know the format. Called on the slot's thread, like the rest of slots.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "store/compressed.h"
#include "store/slots.h"

struct CompressedDocument {
  std::shared_ptr<CompressedSource> source;
  std::vector<char> window;  // the slot's window: unpacked bytes from WindowOffset
  uint64_t packed_size = 0;  // bytes of the compressed file
};

// When the slot's open file is compressed, or UTF-16 to be read as such
// (as detected from its first bytes, or as `as` says): opens its source and
// fills the window with its first bytes (FileSize = their count, until the
// pass brings more). Returns 1 for a plain file (nothing done), 0 when the
// slot now reads through a source, -1 with errno set on failure (ENODATA:
// the file unpacks to nothing).
int OpenCompressedDocument(FileSlot& slot, OpenAs as);
// After detection: a UTF-16 slot holds UTF-8 text (and no byte order mark).
void TakeSourceEncoding(FileSlot& slot);
// The byte order the slot's text was read in, kNone when it is not UTF-16.
CompressedFormat Utf16FormatOf(const FileSlot& slot);
// The log lines an open of a compressed file adds (why it is copied, or
// that its UTF-16 text is shown as bytes), or "".
std::string CompressedOpenNote(const FileSlot& slot);
// MapWindowAt for a compressed slot: [begin, end) is decoded into the window
// (from the nearest access point, or the source's cache).
int MapCompressedWindow(FileSlot& slot, uint64_t begin, uint64_t end);
// Share of the compressed file the pass has read, 0 to 100.
int CompressedShare(const FileSlot& slot);
// Takes in the unpacked size the pass has reached.
void TakeCompressedSize(FileSlot& slot);
// After the pass: the log line naming where reading stopped, or "".
std::string CompressedEndNote(const FileSlot& slot);
// The status text of the encoding panel: "UTF-8", "UTF-8 (gzip)" or
// "UTF-16LE".
std::string EncodingPanelText(const FileSlot& slot);
// The log line for follow mode asked of a compressed or UTF-16 slot, or ""
// when it applies.
std::string FollowRefusal(const FileSlot& slot);
