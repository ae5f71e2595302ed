// The store's own helpers shared by slots.cpp and follow.cpp: not for the
// store's users. Everything here runs on the slot's thread.
#pragma once

#include <cstdint>
#include <string>

#include "store/slots.h"

namespace slot_detail {

inline constexpr const char* kNoIndexMemory =
    "メモリが不足しているため、行インデックスを作成できません: ";

// The line limit's message: names the file and the limit.
std::string TooManyLines(const std::string& path);
void Log(const std::string& line);
void ReportError(const std::string& text);
void SetStatus(int panel, const std::string& text);
// Index of the slot in SlotTable, the slot an early open will go to for
// its staged slot (store/earlyopen.h), or -1 for another slot outside it.
int SlotIndex(const FileSlot& slot);
bool IsCurrent(const FileSlot& slot);
// Maps [start, start + length) as the slot's window; nothing is unmapped
// before the new window exists, so a failure leaves the old one as it was.
int RemapSlotWindow(FileSlot& slot, uint64_t start, uint64_t length);
// Why the platform refused to open a file, from errno, in the user's words.
std::string OpenFailureReason(int error);
void ResetTruncation(FileSlot& slot);
// Takes note of a truncation the SIGBUS guard saw (after a read of the window).
void NoteTruncation(FileSlot& slot);
// Empties a slot whose open failed or was cancelled: the worker is gone.
void ReleaseFailedOpen(FileSlot& slot);
// Lines the index knows of, with the file indexed to slot.FileSize: every
// start below it, and while the indexer runs, not the last start.
int32_t KnownLines(const FileSlot& slot, bool complete);
// The lines the indexer has published: the count, the first page once a
// page's worth is known, the running count in the status bar.
void TakeProgress(FileSlot& slot, bool complete);
// The file part of an open into slot (OpenSerial set, nothing held): the
// descriptors, the identity, the first window, the encoding and an index
// holding line 0's start. 0, or -1 with the log told and nothing held.
int AcquireDocument(FileSlot& slot, const std::string& path, OpenAs as);
// Starts indexing [slot.IndexedTo, slot.FileSize) (see slots.cpp).
void StartIndexing(FileSlot& slot);
// What detection makes of the first bytes of the slot's window (at most
// kDetectionSample of them), taken in unless the file reads as UTF-16 or
// the user chose an encoding. Sets DetectionSawOnlyAscii.
void DetectSlotEncoding(FileSlot& slot);
// The display text of the line at p (span readable bytes, its line feed
// included when within them) into out, as GetLineInto makes it; returns the
// length.
size_t CopyLineText(const char* p, size_t span, int tab, char* out);

}  // namespace slot_detail
