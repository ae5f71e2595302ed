// The line starts of a run of mapped bytes, found by the store's workers:
// each scans pieces of the run on its own, and the pieces' starts go to the
// caller in file order, so that an index grows from the front as before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

// Bytes a worker scans at a time. Its starts (at most one a byte) wait in a
// buffer of its own until the pieces before have been handed over.
constexpr uint64_t kScanPiece = uint64_t{1} << 20;

// For each line feed in [from, to) of the file, the offset after it. The
// bytes are read at base + (offset - base_offset); the pages of each piece
// are filled in by the worker that scans it. append(starts, n) gets them in
// file order, one call at a time (on any of the workers' threads), at most
// max_batch starts a call; once it returns false no more calls are made and
// the result is false.
bool FindLineStarts(const char* base, uint64_t base_offset, uint64_t from, uint64_t to,
                    size_t max_batch, const std::function<bool(const uint64_t*, size_t)>& append);
