// The line starts of a run of mapped bytes, found by the store's workers:
// each scans pieces of the run on its own, and the pieces' starts go to the
// caller in file order, so that an index grows from the front as before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "store/linescan.h"

// Bytes a worker scans at a time, at most. Its line feeds (a bit a byte)
// wait in a buffer of its own until the pieces before have been handed over.
constexpr uint64_t kScanPiece = uint64_t{1} << 20;

// The piece for lines of about this many bytes on average: one whose starts
// (about 16,384) stay in the worker's cache until they are handed over, at
// least 64 KiB, at most kScanPiece. On a file of empty lines, pieces of
// 64 KiB took 2.4 s of CPU against 4.2 s for pieces of 1 MiB.
uint64_t ScanPieceFor(double bytes_a_line);

// What a scan hands its starts to, piece by piece.
class LineStartSink {
 public:
  virtual ~LineStartSink() = default;
  // On worker `worker` (0 .. WorkerCount() - 1), beside the other workers,
  // once its piece's line feeds are marked and those of the pieces before
  // it counted: `before` starts of the scan come before the piece's first.
  // May prepare what Take then does with them, in a place of that worker's
  // own. Alone, the scan prepares each piece just before its Take.
  virtual void Prepare(int /*worker*/, const FeedBits& /*piece*/, uint64_t /*before*/) {}
  // The line feeds of one piece, in file order, one call at a time, on the
  // worker that marked them; false ends the scan (no more calls).
  virtual bool Take(int worker, const FeedBits& piece) = 0;
  // With several workers: [from, to) of the file, whole 2 MiB stretches on
  // their boundaries, is scanned and handed over. Called on a worker, in
  // file order but possibly beside Take and the others' scans: a place to
  // give the pages of a file's mapping back without holding up the scan.
  virtual void Scanned(uint64_t /*from*/, uint64_t /*to*/) {}
};

// For each line feed in [from, to) of the file, the offset after it, handed
// to sink piece by piece. The bytes are read at base + (offset -
// base_offset); the pages of each piece are filled in by the worker that
// scans it. False when sink refused a piece. piece: bytes a worker takes at
// a time (ScanPieceFor). Alone (one worker, or one piece) the pages are left
// as the caller mapped them: a single reader gains nothing from filling them
// in piece by piece. mark: hand each piece's line feeds over marked (see
// FeedBits), else listed.
bool FindLineStarts(const char* base, uint64_t base_offset, uint64_t from, uint64_t to,
                    LineStartSink& sink, uint64_t piece = kScanPiece, bool mark = false);

// The same, handed to append(starts, n) in file order, one call at a time
// (on any of the workers' threads), at most max_batch starts a call; once
// it returns false no more calls are made and the result is false.
bool FindLineStarts(const char* base, uint64_t base_offset, uint64_t from, uint64_t to,
                    size_t max_batch, const std::function<bool(const uint64_t*, size_t)>& append,
                    uint64_t piece = kScanPiece, bool mark = false);
