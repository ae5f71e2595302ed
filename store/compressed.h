// Compressed files read in place: gzip (one or many members), bzip2, xz and
// zstd, recognised by their first bytes.
//
// A CompressedSource gives the unpacked bytes of one compressed file two
// ways. Pass() is the one streaming pass: it unpacks the whole file front to
// back, hands the bytes in order to a callback (the indexer finds the line
// starts there) and keeps access points on the way. ReadAt() gives any range
// of the bytes unpacked so far, decoding from the nearest access point:
//   gzip   a checkpoint every kGzipSpan bytes of output: the deflate state at
//          a block boundary (the last 32 KiB of output, kept compressed, and
//          the bit position), so a read inflates at most about that much;
//   bzip2  the bit offset of each block; a block is decoded on its own by
//          framing it as a stream of one block;
//   xz     the blocks of its index, where the file has several;
//   zstd   its frames, where the file has several.
// An xz or zstd file of one block or frame (or one whose index cannot be
// read, as in a truncated file) has no access point inside it: its pass also
// writes the unpacked bytes to an unlinked temporary file, or to memory when
// the file announces a small size, and ReadAt reads them from there; Note()
// then says so and why.
//
// Units: offsets in the unpacked text ("out") and in the compressed file
// ("in") are bytes, 64-bit.
//
// Threads: Pass() runs once, on one thread (the indexer's). Size(),
// Finished(), result() and AccessPointBytes() may be called from any thread
// at any time. ReadAt() may be called from any thread, also while the pass
// runs, for bytes below Size(); calls are serialised by a mutex (the cursor
// and the cache are shared), so one slow read holds up another.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// kUtf16Le and kUtf16Be are not compressed: UTF-16 text read as UTF-8
// through the same kind of source (store/utf16.h). SniffCompressed never
// gives them.
enum class CompressedFormat { kNone, kGzip, kBzip2, kXz, kZstd, kUtf16Le, kUtf16Be };
inline bool IsUtf16(CompressedFormat format) {
  return format == CompressedFormat::kUtf16Le || format == CompressedFormat::kUtf16Be;
}

// The format by the first bytes of the open file (kNone for anything else,
// also for a file shorter than a header). Reads with pread; the file offset
// is not moved.
CompressedFormat SniffCompressed(int fd);
// "gzip", "bzip2", "xz", "zstd", "UTF-16LE", "UTF-16BE", or "" for kNone.
const char* CompressedFormatName(CompressedFormat format);

// How a pass ended.
struct CompressedPassResult {
  enum class Kind {
    kRunning,    // the pass has not ended
    kComplete,   // every byte is unpacked
    kCancelled,  // the callback asked to stop
    kTruncated,  // the file ends inside the compressed data
    kCorrupt,    // the data cannot be decoded from stopped_at on
    kOsError,    // reading the file or writing the temporary copy failed (error)
  };
  Kind kind = Kind::kRunning;
  uint64_t stopped_at = 0;  // compressed offset where reading stopped
  int error = 0;            // errno for kOsError
};

// A log line's text for a pass that stopped early ("" for kComplete,
// kCancelled and kRunning): names the format and the compressed offset.
std::string DescribeCompressedStop(CompressedFormat format, const CompressedPassResult& result);

namespace compressed_detail {
class Codec;
class Cursor;
struct AccessPoint;
}  // namespace compressed_detail

class CompressedSource {
 public:
  // Output between two gzip checkpoints.
  static constexpr uint64_t kGzipSpan = 4u << 20;
  // Unpacked sizes up to this are kept in memory when the file is copied.
  static constexpr uint64_t kMemorySpoolLimit = 32u << 20;
  // A block or frame that unpacks to more than this is not an access point
  // worth having: the file is copied instead.
  static constexpr uint64_t kLargestSegment = 64u << 20;

  // Takes a duplicate of fd (the caller keeps its own). Null with errno set
  // when the format is kNone or the duplicate fails.
  static std::unique_ptr<CompressedSource> Open(int fd, CompressedFormat format);
  ~CompressedSource();
  CompressedSource(const CompressedSource&) = delete;
  CompressedSource& operator=(const CompressedSource&) = delete;

  CompressedFormat format() const { return format_; }

  // The streaming pass; call once. sink gets the unpacked bytes in order, in
  // pieces of any size; it returns false to stop the pass (kCancelled).
  using Sink = std::function<bool(const char* data, size_t length)>;
  CompressedPassResult Pass(const Sink& sink);

  // The first length unpacked bytes (or fewer when the file holds fewer),
  // decoded apart from the pass: the encoding is guessed from them before
  // the pass starts. Any thread; returns the count.
  size_t ReadHead(char* buf, size_t length);

  // Unpacked bytes handed out by the pass so far.
  uint64_t Size() const { return size_.load(std::memory_order_acquire); }
  bool Finished() const { return finished_.load(std::memory_order_acquire); }
  // Compressed bytes the pass has read so far (its progress).
  uint64_t InputRead() const { return read_to_.load(std::memory_order_relaxed); }
  // Valid once Finished().
  CompressedPassResult result() const { return result_; }

  // kPage: the page, copies and the search; kStream: one reader walking
  // the text front to back in big pieces apart from them (the filter).
  enum class Lane { kPage, kStream };
  // Copies up to length unpacked bytes from offset into buf; stops at
  // Size(). Returns the count copied (0 at or past Size()), or -1 with errno
  // set (EIO when the data no longer decodes, as in a file changed since).
  int64_t ReadAt(uint64_t offset, char* buf, size_t length, Lane lane = Lane::kPage);

  // Memory held by the access points (their windows and records).
  uint64_t AccessPointBytes() const;
  uint64_t AccessPointCount() const;
  // Why the file is unpacked to a copy ("" when it is read in place).
  const std::string& Note() const { return note_; }
  bool Spooled() const { return spool_ != Spool::kNone; }

 private:
  CompressedSource(int fd, CompressedFormat format);
  bool Prepare();
  bool Emit(const Sink& sink, const char* data, size_t length);
  void AddPoint(compressed_detail::AccessPoint point);
  int64_t ReadSpool(uint64_t offset, char* buf, size_t length);
  struct Reader;  // a lane's cursor and cache
  bool StartCursorAt(Reader& reader, uint64_t offset);

  enum class Spool { kNone, kMemory, kFile };

  int fd_ = -1;
  CompressedFormat format_;
  std::unique_ptr<compressed_detail::Codec> codec_;
  std::string note_;
  Spool spool_ = Spool::kNone;
  int spool_fd_ = -1;
  int spool_error_ = 0;         // errno of a failed write to the copy (the pass's thread)
  uint64_t expected_size_ = 0;  // the announced unpacked size, 0 when unknown

  std::atomic<uint64_t> size_{0};
  std::atomic<bool> finished_{false};
  std::atomic<uint64_t> read_to_{0};
  CompressedPassResult result_;  // written before finished_ (release)

  // A read cursor and its cache (the cursor's latest output,
  // [cache_begin, at)).
  struct Reader {
    std::unique_ptr<compressed_detail::Cursor> cursor;
    uint64_t at = 0;
    size_t point = 0;  // the point the cursor started from
    std::vector<char> cache;
    uint64_t cache_begin = 0;
  };

  // Guarded by mutex_: the access points, the memory copy and the readers
  // of the lanes.
  mutable std::mutex mutex_;
  std::vector<compressed_detail::AccessPoint> points_;
  std::vector<char> memory_;
  Reader readers_[2];
};
