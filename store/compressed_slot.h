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

struct FileSlot;

struct CompressedDocument {
  std::shared_ptr<CompressedSource> source;
  std::vector<char> window;  // the slot's window: unpacked bytes from WindowOffset
  uint64_t packed_size = 0;  // bytes of the compressed file
};

// When the slot's open file is compressed: opens its source and fills the
// window with its first bytes (FileSize = their count, until the pass brings
// more). Returns 1 for a plain file (nothing done), 0 when the slot now
// reads through a source, -1 with errno set on failure (ENODATA: the file
// unpacks to nothing).
int OpenCompressedDocument(FileSlot& slot);
// The log lines an open of a compressed file adds (why it is copied), or "".
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
// The status text of the encoding panel: "UTF-8", or "UTF-8 (gzip)".
std::string EncodingPanelText(const FileSlot& slot);
// The log line for follow mode asked of a compressed slot, or "" when it applies.
std::string FollowRefusal(const FileSlot& slot);
