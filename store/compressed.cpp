// CompressedSource: format sniffing, the copy of files without access
// points, and random reads through a cursor and its cache.
#include "store/compressed.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "store/compressed_codec.h"

using compressed_detail::AccessPoint;

namespace compressed_detail {

bool InputReader::Next(const unsigned char** data, size_t* length) {
  for (;;) {
    const ssize_t n = pread(fd_, buf_.data(), buf_.size(), static_cast<off_t>(at_));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    at_ += static_cast<uint64_t>(n);
    if (report_) report_->store(at_, std::memory_order_relaxed);
    *data = buf_.data();
    *length = static_cast<size_t>(n);
    return true;
  }
}

bool ReadExactly(int fd, uint64_t offset, void* buf, size_t length) {
  char* p = static_cast<char*>(buf);
  while (length > 0) {
    const ssize_t n = pread(fd, p, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = 0;
      return false;
    }
    p += n;
    offset += static_cast<uint64_t>(n);
    length -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace compressed_detail

namespace {

uint32_t Le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool IsZstdSkippable(uint32_t magic) { return (magic & 0xFFFFFFF0u) == 0x184D2A50u; }

// Larger reads per step than a page: the cache keeps what a page and the
// next steps of a search walking forward need.
constexpr size_t kDecodeStep = 256u << 10;
constexpr size_t kCacheKeep = 4u << 20;

}  // namespace

CompressedFormat SniffCompressed(int fd) {
  unsigned char h[10] = {};
  if (!compressed_detail::ReadExactly(fd, 0, h, sizeof h)) return CompressedFormat::kNone;
  if (h[0] == 0x1F && h[1] == 0x8B && h[2] == 8) return CompressedFormat::kGzip;
  // "BZh", the block size digit, then a block or the end of the stream.
  if (h[0] == 'B' && h[1] == 'Z' && h[2] == 'h' && h[3] >= '1' && h[3] <= '9' &&
      ((h[4] == 0x31 && h[5] == 0x41 && h[6] == 0x59 && h[7] == 0x26 && h[8] == 0x53 &&
        h[9] == 0x59) ||
       (h[4] == 0x17 && h[5] == 0x72 && h[6] == 0x45 && h[7] == 0x38 && h[8] == 0x50 &&
        h[9] == 0x90)))
    return CompressedFormat::kBzip2;
  if (std::memcmp(h,
                  "\xFD"
                  "7zXZ\0",
                  6) == 0)
    return CompressedFormat::kXz;
  // zstd: a frame, or skippable frames before one (as parallel compressors
  // write); a skippable frame alone is not taken for zstd.
  uint64_t at = 0;
  for (int i = 0; i < 16; ++i) {
    unsigned char m[8];
    if (!compressed_detail::ReadExactly(fd, at, m, sizeof m)) return CompressedFormat::kNone;
    const uint32_t magic = Le32(m);
    if (magic == 0xFD2FB528u) return CompressedFormat::kZstd;
    if (!IsZstdSkippable(magic)) return CompressedFormat::kNone;
    at += 8 + static_cast<uint64_t>(Le32(m + 4));
  }
  return CompressedFormat::kNone;
}

const char* CompressedFormatName(CompressedFormat format) {
  switch (format) {
    case CompressedFormat::kGzip:
      return "gzip";
    case CompressedFormat::kBzip2:
      return "bzip2";
    case CompressedFormat::kXz:
      return "xz";
    case CompressedFormat::kZstd:
      return "zstd";
    case CompressedFormat::kUtf16Le:
      return "UTF-16LE";
    case CompressedFormat::kUtf16Be:
      return "UTF-16BE";
    case CompressedFormat::kNone:
      break;
  }
  return "";
}

std::string DescribeCompressedStop(CompressedFormat format, const CompressedPassResult& result) {
  using Kind = CompressedPassResult::Kind;
  const std::string name = CompressedFormatName(format);
  const std::string at = std::to_string(result.stopped_at);
  switch (result.kind) {
    case Kind::kTruncated:
      return name + " の圧縮データが途中で終わっています（圧縮ファイルの " + at +
             " バイト目で読み取りを停止）。そこまでを表示します";
    case Kind::kCorrupt:
      return name + " の圧縮データが壊れています（圧縮ファイルの " + at +
             " バイト目で読み取りを停止）。そこまでを表示します";
    case Kind::kOsError:
      if (IsUtf16(format))
        return name + " のファイルの読み取りに失敗しました（" + at + " バイト目、" +
               std::strerror(result.error) + "）。そこまでを表示します";
      return name + " の展開に失敗しました（圧縮ファイルの " + at + " バイト目、" +
             std::strerror(result.error) + "）。そこまでを表示します";
    case Kind::kRunning:
    case Kind::kComplete:
    case Kind::kCancelled:
      break;
  }
  return "";
}

CompressedSource::CompressedSource(int fd, CompressedFormat format) : fd_(fd), format_(format) {}

CompressedSource::~CompressedSource() {
  for (Reader& reader : readers_) reader.cursor.reset();
  codec_.reset();
  if (spool_fd_ >= 0) close(spool_fd_);
  if (fd_ >= 0) close(fd_);
}

std::unique_ptr<CompressedSource> CompressedSource::Open(int fd, CompressedFormat format) {
  if (format == CompressedFormat::kNone) {
    errno = EINVAL;
    return nullptr;
  }
  const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return nullptr;
  std::unique_ptr<CompressedSource> source(new CompressedSource(own, format));
  switch (format) {
    case CompressedFormat::kGzip:
      source->codec_ = compressed_detail::MakeGzipCodec(own);
      break;
    case CompressedFormat::kBzip2:
      source->codec_ = compressed_detail::MakeBzip2Codec(own);
      break;
    case CompressedFormat::kXz:
      source->codec_ = compressed_detail::MakeXzCodec(own);
      break;
    case CompressedFormat::kZstd:
      source->codec_ = compressed_detail::MakeZstdCodec(own);
      break;
    case CompressedFormat::kUtf16Le:
    case CompressedFormat::kUtf16Be:
      source->codec_ = compressed_detail::MakeUtf16Codec(own, format == CompressedFormat::kUtf16Be);
      break;
    case CompressedFormat::kNone:
      break;
  }
  if (!source->Prepare()) return nullptr;
  return source;
}

// Opens an unlinked temporary file in $TMPDIR (or /tmp): it vanishes with
// the descriptor, also when the program dies.
static int OpenUnlinkedTemporary() {
  const char* dir = std::getenv("TMPDIR");
  const std::string folder = dir && *dir ? dir : "/tmp";
  int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  std::string name = folder + "/dolmik-XXXXXX";
  fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0) unlink(name.c_str());
  return fd;
}

bool CompressedSource::Prepare() {
  std::string reason;
  std::vector<AccessPoint> points;
  if (!codec_->Prepare(&points, &expected_size_, &reason)) return false;
  points_ = std::move(points);
  if (reason.empty()) return true;
  if (expected_size_ > 0 && expected_size_ <= kMemorySpoolLimit) {
    spool_ = Spool::kMemory;
    memory_.reserve(expected_size_);
    note_ = reason + "、展開した内容をメモリに置きます";
    return true;
  }
  spool_fd_ = OpenUnlinkedTemporary();
  if (spool_fd_ < 0) return false;
  spool_ = Spool::kFile;
  note_ = reason + "、一時ファイルに展開してから読みます";
  return true;
}

bool CompressedSource::Emit(const Sink& sink, const char* data, size_t length) {
  if (length == 0) return true;
  if (spool_ == Spool::kMemory) {
    std::lock_guard<std::mutex> lock(mutex_);
    memory_.insert(memory_.end(), data, data + length);
  } else if (spool_ == Spool::kFile) {
    const uint64_t at = size_.load(std::memory_order_relaxed);
    size_t done = 0;
    while (done < length) {
      const ssize_t n =
          pwrite(spool_fd_, data + done, length - done, static_cast<off_t>(at + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        spool_error_ = n < 0 ? errno : ENOSPC;
        return false;
      }
      done += static_cast<size_t>(n);
    }
  }
  size_.fetch_add(length, std::memory_order_release);
  return sink(data, length);
}

void CompressedSource::AddPoint(AccessPoint point) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (spool_ != Spool::kNone) return;
  if (!points_.empty() && points_.back().out >= point.out) return;
  points_.push_back(std::move(point));
}

CompressedPassResult CompressedSource::Pass(const Sink& sink) {
  compressed_detail::PassHooks hooks;
  hooks.emit = [&](const char* data, size_t length) { return Emit(sink, data, length); };
  hooks.add_point = [this](AccessPoint point) { AddPoint(std::move(point)); };
  hooks.read_to = &read_to_;
  CompressedPassResult result = codec_->Pass(hooks);
  if (spool_error_ != 0 && result.kind == CompressedPassResult::Kind::kCancelled) {
    result.kind = CompressedPassResult::Kind::kOsError;
    result.error = spool_error_;
  }
  result_ = result;
  finished_.store(true, std::memory_order_release);
  return result;
}

size_t CompressedSource::ReadHead(char* buf, size_t length) {
  size_t got = 0;
  compressed_detail::PassHooks hooks;
  hooks.emit = [&](const char* data, size_t n) {
    const size_t take = std::min(n, length - got);
    std::memcpy(buf + got, data, take);
    got += take;
    return got < length;
  };
  hooks.add_point = [](AccessPoint) {};
  if (length > 0) codec_->Pass(hooks);
  return got;
}

uint64_t CompressedSource::AccessPointBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t bytes = points_.capacity() * sizeof(AccessPoint);
  for (const AccessPoint& p : points_) bytes += p.window.capacity();
  return bytes;
}

uint64_t CompressedSource::AccessPointCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return points_.size();
}

int64_t CompressedSource::ReadSpool(uint64_t offset, char* buf, size_t length) {
  if (spool_ == Spool::kMemory) {
    std::memcpy(buf, memory_.data() + offset, length);
    return static_cast<int64_t>(length);
  }
  size_t done = 0;
  while (done < length) {
    const ssize_t n =
        pread(spool_fd_, buf + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return done > 0 ? static_cast<int64_t>(done) : -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

// Starts the reader's cursor at the last access point at or before offset.
bool CompressedSource::StartCursorAt(Reader& reader, uint64_t offset) {
  auto after = std::upper_bound(points_.begin(), points_.end(), offset,
                                [](uint64_t at, const AccessPoint& p) { return at < p.out; });
  if (after == points_.begin()) {
    errno = EIO;
    return false;
  }
  const size_t index = static_cast<size_t>(after - points_.begin()) - 1;
  reader.cursor = codec_->Open(points_[index]);
  if (!reader.cursor) {
    if (errno == 0) errno = EIO;
    return false;
  }
  reader.point = index;
  reader.at = points_[index].out;
  reader.cache.clear();
  reader.cache_begin = reader.at;
  return true;
}

int64_t CompressedSource::ReadAt(uint64_t offset, char* buf, size_t length, Lane lane) {
  const uint64_t size = Size();
  if (offset >= size || length == 0) return 0;
  const uint64_t end = std::min<uint64_t>(size, offset + length);
  std::lock_guard<std::mutex> lock(mutex_);
  if (spool_ != Spool::kNone) return ReadSpool(offset, buf, static_cast<size_t>(end - offset));

  Reader& r = readers_[lane == Lane::kStream ? 1 : 0];
  uint64_t at = offset;
  std::vector<char> step;
  while (at < end) {
    if (at >= r.cache_begin && at < r.at) {
      const uint64_t n = std::min(end, r.at) - at;
      std::memcpy(buf + (at - offset), r.cache.data() + (at - r.cache_begin), n);
      at += n;
      continue;
    }
    // The cursor goes on when the bytes lie ahead of it and no later access
    // point is nearer to them; otherwise it starts again from the nearest.
    bool restart = !r.cursor || at < r.at;
    if (!restart && r.point + 1 < points_.size()) {
      auto after = std::upper_bound(points_.begin(), points_.end(), at,
                                    [](uint64_t v, const AccessPoint& p) { return v < p.out; });
      restart = after != points_.begin() && (after - 1)->out > r.at;
    }
    if (restart && !StartCursorAt(r, at))
      return at > offset ? static_cast<int64_t>(at - offset) : -1;
    if (step.empty()) step.resize(kDecodeStep);
    const int64_t n = r.cursor->Next(step.data(), step.size());
    if (n < 0) {
      r.cursor.reset();
      errno = EIO;
      return at > offset ? static_cast<int64_t>(at - offset) : -1;
    }
    if (n == 0) {
      // The end of this point's stretch: the next point starts where it ended.
      const size_t next = r.point + 1;
      if (next >= points_.size() || points_[next].out != r.at) {
        r.cursor.reset();
        errno = EIO;
        return at > offset ? static_cast<int64_t>(at - offset) : -1;
      }
      r.cursor = codec_->Open(points_[next]);
      if (!r.cursor) {
        errno = EIO;
        return at > offset ? static_cast<int64_t>(at - offset) : -1;
      }
      r.point = next;
      continue;
    }
    // The stream walks on and never comes back: it keeps a step.
    const size_t keep = lane == Lane::kStream ? kDecodeStep : kCacheKeep;
    if (r.cache.size() + static_cast<size_t>(n) > 2 * keep) {
      const size_t drop = r.cache.size() - std::min(r.cache.size(), keep);
      r.cache.erase(r.cache.begin(), r.cache.begin() + static_cast<std::ptrdiff_t>(drop));
      r.cache_begin += drop;
    }
    r.cache.insert(r.cache.end(), step.data(), step.data() + n);
    r.at += static_cast<uint64_t>(n);
  }
  return static_cast<int64_t>(end - offset);
}
