// Following an open document's file: growth, truncation, rewrite in place,
// replacement at the path and deletion, taken in without a reopen.
//
// Threads: the slot's watcher (store/filewatch.h) has one thread for as long
// as the document is open. Once the slot's index is complete, that thread
// also extends the index with what the file gained (it is then the index's
// one writer), first checking that the bytes already indexed are unchanged
// (ByteFingerprint). It rests kGrowthPauseMs after each growth, so a file
// written to without pause is taken in about ten batches a second, each
// with one wake of the slot's thread. The slot's thread (PumpIndex) takes
// the batch in (LineCount, FileSize, index_grown) and does everything else:
// reading the file again from the start, a deletion's log line, detection
// of the encoding again. While DeferFileChanges holds, the index may grow
// past LineCount but the slot's thread takes nothing in.
#pragma once

#include "store/indexer.h"
#include "store/slots.h"

// Starts the watcher for a slot that has just been opened. What it sees
// before ResumeFollowing waits for the slot's thread.
void StartFollowing(FileSlot& slot);
// Stops any growth scan and the watcher (joined: nothing runs for the slot
// after this returns) and forgets what they saw.
void StopFollowing(FileSlot& slot);
// The slot's index is complete up to slot.IndexedTo (== FileSize), whose
// bytes had the fingerprint print: from now on the watcher's thread extends
// it. What the watcher saw meanwhile is taken in at once.
void ResumeFollowing(FileSlot& slot, const ByteFingerprint& print);
// Takes in the watcher's news: grown lines, a change that needs the slot's
// thread, a failure. Nothing while file changes are deferred.
void TakeFollowNews(FileSlot& slot);
// The slot's indexer has ended. True when it was reading the file again
// (the outcome is then dealt with here); false for a first index.
bool FinishReload(FileSlot& slot, IndexWorker::Outcome outcome, const ByteFingerprint& print);
