// zstd: the frames are the access points, where the file has several (as
// parallel compressors write, or files joined with cat).
//
// Before the pass the frames are walked by their headers and block headers
// alone (a few bytes read per 128 KiB block of output): each gives its
// compressed offset and, from its header, its unpacked size. Frames written
// from a stream (parallel compressors, pipes) do not announce their size:
// then the pass makes each frame's start an access point as it reaches it,
// and the blocks bound the frame's size beforehand, since a block unpacks to
// at most 128 KiB. A file of one frame, with a frame that may be too large
// to decode for one page, or that cannot be walked to its end (a truncated
// or corrupt file) is copied during the pass instead. Skippable frames
// unpack to nothing.
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "store/compressed_codec.h"

namespace compressed_detail {
namespace {

constexpr uint32_t kFrameMagic = 0xFD2FB528u;

uint32_t Le(const unsigned char* p, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

struct Frame {
  uint64_t in;
  uint64_t size;    // unpacked; ZSTD_CONTENTSIZE_UNKNOWN when not announced
  uint64_t blocks;  // each unpacks to at most ZSTD_BLOCKSIZE_MAX bytes
};

// Walks the frames from the start of the file. False when the walk does not
// end exactly at the end of the file (errno set when a read failed).
bool WalkFrames(int fd, std::vector<Frame>* frames) {
  uint64_t at = 0;
  errno = 0;
  for (;;) {
    unsigned char h[18] = {};  // the largest frame header
    const ssize_t got = pread(fd, h, sizeof h, static_cast<off_t>(at));
    if (got < 0) return false;
    if (got == 0) return true;
    if (got < 8) return false;
    const uint32_t magic = Le(h, 4);
    if ((magic & 0xFFFFFFF0u) == 0x184D2A50u) {
      at += 8 + static_cast<uint64_t>(Le(h + 4, 4));
      continue;
    }
    if (magic != kFrameMagic) return false;
    const unsigned fhd = h[4];
    const bool single = (fhd >> 5) & 1;
    const bool checksum = (fhd >> 2) & 1;
    static const int kDictBytes[4] = {0, 1, 2, 4};
    const int fcs_flag = static_cast<int>(fhd >> 6);
    const int fcs_bytes = fcs_flag == 0 ? (single ? 1 : 0) : (1 << fcs_flag);
    const size_t header =
        5 + (single ? 0 : 1) + static_cast<size_t>(kDictBytes[fhd & 3] + fcs_bytes);
    if (header > static_cast<size_t>(got)) return false;
    const unsigned long long size = ZSTD_getFrameContentSize(h, header);
    if (size == ZSTD_CONTENTSIZE_ERROR) return false;
    frames->push_back(Frame{at, size, 0});
    uint64_t block = at + header;
    for (;;) {
      ++frames->back().blocks;
      unsigned char b[3];
      if (!ReadExactly(fd, block, b, 3)) return false;
      const uint32_t word = Le(b, 3);
      const uint32_t type = (word >> 1) & 3;
      if (type == 3) return false;
      block += 3 + (type == 1 ? 1 : (word >> 3));
      if (word & 1) break;
    }
    at = block + (checksum ? 4 : 0);
  }
}

class ZstdCursor : public Cursor {
 public:
  ZstdCursor(int fd, uint64_t at) : input_(fd, at, 256u << 10), d_(ZSTD_createDStream()) {}
  ~ZstdCursor() override { ZSTD_freeDStream(d_); }
  bool ok() const { return d_ != nullptr; }

  int64_t Next(char* buf, size_t capacity) override {
    ZSTD_outBuffer out{buf, capacity, 0};
    while (out.pos < out.size) {
      if (in_.pos == in_.size && !eof_) {
        const unsigned char* data = nullptr;
        size_t length = 0;
        if (!input_.Next(&data, &length)) return -1;
        eof_ = length == 0;
        in_ = ZSTD_inBuffer{data, length, 0};
      }
      const size_t before = out.pos;
      const size_t rc = ZSTD_decompressStream(d_, &out, &in_);
      if (ZSTD_isError(rc)) return -1;
      if (eof_ && out.pos == before) break;  // the end of the data, all flushed
    }
    return static_cast<int64_t>(out.pos);
  }

 private:
  InputReader input_;
  ZSTD_DStream* d_;
  ZSTD_inBuffer in_{nullptr, 0, 0};
  bool eof_ = false;
};

class ZstdCodec : public Codec {
 public:
  explicit ZstdCodec(int fd) : fd_(fd) {}

  bool Prepare(std::vector<AccessPoint>* points, uint64_t* expected_size,
               std::string* copy_reason) override {
    *expected_size = 0;
    std::vector<Frame> frames;
    if (!WalkFrames(fd_, &frames)) {
      if (errno != 0) return false;
      *copy_reason = "zstd のフレームを最後まで辿れない（途中で切れたか壊れたファイル）ので";
      return true;
    }
    uint64_t out = 0;
    uint64_t largest = 0;
    bool unknown = false;
    for (const Frame& frame : frames) {
      if (frame.size == ZSTD_CONTENTSIZE_UNKNOWN) {
        unknown = true;
        break;
      }
      if (frame.size == 0) continue;
      AccessPoint point;
      point.out = out;
      point.in = frame.in;
      points->push_back(point);
      out += frame.size;
      largest = std::max<uint64_t>(largest, frame.size);
    }
    if (!unknown) *expected_size = out;
    if (unknown) {
      // The pass finds where each frame's text begins; the largest a frame
      // can unpack to is known from its blocks.
      points->clear();
      uint64_t bound = 0;
      size_t data_frames = 0;
      for (const Frame& frame : frames) {
        if (frame.blocks == 0) continue;
        ++data_frames;
        bound = std::max<uint64_t>(bound, frame.blocks * ZSTD_BLOCKSIZE_MAX);
      }
      if (data_frames < 2) {
        *copy_reason = "zstd のフレームが一つだけなので";
      } else if (bound > CompressedSource::kLargestSegment) {
        *copy_reason =
            "zstd のフレームに展開後の大きさが書かれておらず、大きすぎるかもしれないので";
      } else {
        frame_points_in_pass_ = true;
        AccessPoint first;  // the first frame, behind any skippable frames
        points->push_back(first);
      }
    } else if (points->size() < 2) {
      *copy_reason = "zstd のフレームが一つだけなので";
    } else if (largest > CompressedSource::kLargestSegment) {
      *copy_reason = "zstd のフレームが大きすぎる（" + std::to_string(largest >> 20) + " MiB）ので";
    }
    if (!copy_reason->empty()) points->clear();
    return true;
  }

  CompressedPassResult Pass(const PassHooks& hooks) override {
    using Kind = CompressedPassResult::Kind;
    CompressedPassResult result;
    ZSTD_DStream* d = ZSTD_createDStream();
    if (!d) {
      result.kind = Kind::kOsError;
      result.error = ENOMEM;
      return result;
    }
    InputReader input(fd_, 0);
    input.ReportTo(hooks.read_to);
    std::vector<char> buf(ZSTD_DStreamOutSize() * 2);
    ZSTD_inBuffer in{nullptr, 0, 0};
    uint64_t consumed = 0;  // compressed bytes taken
    uint64_t produced = 0;  // unpacked bytes handed out
    size_t last = 0;        // the last return: 0 between frames
    bool eof = false;
    auto stop = [&](Kind kind, int error) {
      ZSTD_freeDStream(d);
      result.kind = kind;
      result.stopped_at = consumed;
      result.error = error;
      return result;
    };
    for (;;) {
      if (in.pos == in.size && !eof) {
        const unsigned char* data = nullptr;
        size_t length = 0;
        if (!input.Next(&data, &length)) return stop(Kind::kOsError, errno);
        eof = length == 0;
        in = ZSTD_inBuffer{data, length, 0};
      }
      if (eof && last == 0) return stop(Kind::kComplete, 0);
      ZSTD_outBuffer out{buf.data(), buf.size(), 0};
      const size_t before = in.pos;
      last = ZSTD_decompressStream(d, &out, &in);
      consumed += in.pos - before;
      if (out.pos > 0 && !hooks.emit(buf.data(), out.pos)) return stop(Kind::kCancelled, 0);
      if (ZSTD_isError(last)) return stop(Kind::kCorrupt, 0);
      produced += out.pos;
      // 0: a frame ended here, flushed whole; the decoder never reads past
      // a frame's end, so the next frame (or skippable frame) begins at
      // consumed.
      if (last == 0 && frame_points_in_pass_) {
        AccessPoint point;
        point.out = produced;
        point.in = consumed;
        hooks.add_point(point);
      }
      // At the end of the file only buffered output can still come.
      if (eof && out.pos == 0) return stop(last == 0 ? Kind::kComplete : Kind::kTruncated, 0);
    }
  }

  std::unique_ptr<Cursor> Open(const AccessPoint& point) override {
    auto cursor = std::make_unique<ZstdCursor>(fd_, point.in);
    if (!cursor->ok()) {
      errno = ENOMEM;
      return nullptr;
    }
    return cursor;
  }

 private:
  int fd_;
  bool frame_points_in_pass_ = false;  // the frames' sizes are not announced
};

}  // namespace

std::unique_ptr<Codec> MakeZstdCodec(int fd) { return std::make_unique<ZstdCodec>(fd); }

}  // namespace compressed_detail
