// The open of a file named on the command line, started before the windows
// exist: the file is opened, mapped, detected and indexed on the store's
// workers while the toolkit and the windows come up, into a staged slot
// that no user sees. The first OpenDocument then adopts it when it opens the
// same path into the same slot, the way it was asked (detected), and the
// path still names the file that was opened; any other OpenDocument drops
// it first. Adoption logs and shows exactly what an open does, and what the
// index did meanwhile is taken in by the next pump, so the user sees the
// same open, only sooner.
//
// Threads: everything here runs on the store's thread (the one that later
// calls OpenDocument); the staged index's worker reaches that thread only
// through the wake installed at adoption.
#pragma once

#include <string>

#include "store/slots.h"

// Starts the staged open of path, for SlotTable[slot]. Silent: a file that
// cannot be opened, is compressed or reads as UTF-16 is left to the real
// open, which says why. Replaces an earlier staged open.
void StartEarlyOpen(const std::string& path, int slot);
// True while a staged open waits for adoption.
bool EarlyOpenPending();
// Ends a staged open nobody adopted (its worker cancelled, its file closed).
void DiscardEarlyOpen();

// For OpenDocument, with slot emptied and its OpenSerial set: moves the
// staged document into slot and returns true, or drops the staged open and
// returns false (the caller then opens the file itself).
bool AdoptEarlyOpen(FileSlot& slot, const std::string& path, OpenAs as);
// After the adopted open's log lines: the index goes on (or has ended) on
// its worker; its news reaches the slot through the pump as for any open.
void ResumeAdoptedIndex(FileSlot& slot);
// The index in SlotTable the staged slot is meant for, -1 for any other.
int StagedSlotIndex(const FileSlot& slot);
