// xz: the blocks listed in the file's index are the access points.
//
// The index sits at the end of each stream; liblzma's file-info decoder
// reads all of them (concatenated streams and padding included) with a few
// seeks. A file of one block, with a block too large to decode for one
// page, or whose index cannot be read (a truncated file) is copied during
// the pass instead. The pass itself decodes the streams front to back; a
// cursor decodes one block, from its header on.
#include <lzma.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "store/compressed_codec.h"

namespace compressed_detail {
namespace {

bool ReadIndex(int fd, uint64_t file_size, lzma_index** index) {
  lzma_stream s = LZMA_STREAM_INIT;
  if (lzma_file_info_decoder(&s, index, UINT64_MAX, file_size) != LZMA_OK) return false;
  std::vector<uint8_t> buf(64u << 10);
  uint64_t at = 0;
  lzma_ret rc = LZMA_OK;
  for (int steps = 0; steps < 1000000; ++steps) {
    if (s.avail_in == 0) {
      const ssize_t n = pread(fd, buf.data(), buf.size(), static_cast<off_t>(at));
      if (n < 0) break;
      s.next_in = buf.data();
      s.avail_in = static_cast<size_t>(n);
      at += static_cast<uint64_t>(n);
    }
    rc = lzma_code(&s, LZMA_RUN);
    if (rc == LZMA_SEEK_NEEDED) {
      at = s.seek_pos;
      s.avail_in = 0;
      continue;
    }
    if (rc != LZMA_OK) break;
  }
  lzma_end(&s);
  if (rc != LZMA_STREAM_END && *index) {
    lzma_index_end(*index, nullptr);
    *index = nullptr;
  }
  return rc == LZMA_STREAM_END;
}

class XzCursor : public Cursor {
 public:
  XzCursor(int fd, const AccessPoint& point) : fd_(fd), input_(fd, point.in, 256u << 10) {}
  ~XzCursor() override { lzma_end(&s_); }

  bool Start(const AccessPoint& point) {
    uint8_t header[LZMA_BLOCK_HEADER_SIZE_MAX];
    if (!ReadExactly(fd_, point.in, header, 1) || header[0] == 0) return false;
    // The decoder keeps a pointer to the block and writes its sizes there
    // when the block ends, so it lives as long as the cursor.
    lzma_block& block = block_;
    block = lzma_block{};
    block.version = 1;
    block.check = static_cast<lzma_check>(point.check);
    block.header_size = lzma_block_header_size_decode(header[0]);
    if (!ReadExactly(fd_, point.in + 1, header + 1, block.header_size - 1)) return false;
    lzma_filter filters[LZMA_FILTERS_MAX + 1];
    block.filters = filters;
    if (lzma_block_header_decode(&block, nullptr, header) != LZMA_OK) return false;
    const lzma_ret rc = lzma_block_decoder(&s_, &block);
    for (size_t i = 0; filters[i].id != LZMA_VLI_UNKNOWN; ++i) free(filters[i].options);
    block.filters = nullptr;  // the decoder took its own copy
    if (rc != LZMA_OK) return false;
    input_ = InputReader(fd_, point.in + block.header_size, 256u << 10);
    return true;
  }

  int64_t Next(char* buf, size_t capacity) override {
    if (done_) return 0;
    s_.next_out = reinterpret_cast<uint8_t*>(buf);
    s_.avail_out = capacity;
    while (s_.avail_out > 0) {
      if (s_.avail_in == 0) {
        const unsigned char* data = nullptr;
        size_t length = 0;
        if (!input_.Next(&data, &length) || length == 0) return -1;
        s_.next_in = data;
        s_.avail_in = length;
      }
      const lzma_ret rc = lzma_code(&s_, LZMA_RUN);
      if (rc == LZMA_STREAM_END) {
        done_ = true;
        break;
      }
      if (rc != LZMA_OK) return -1;
    }
    return static_cast<int64_t>(capacity - s_.avail_out);
  }

 private:
  int fd_;
  InputReader input_;
  lzma_block block_{};
  lzma_stream s_ = LZMA_STREAM_INIT;
  bool done_ = false;
};

class XzCodec : public Codec {
 public:
  explicit XzCodec(int fd) : fd_(fd) {}

  bool Prepare(std::vector<AccessPoint>* points, uint64_t* expected_size,
               std::string* copy_reason) override {
    *expected_size = 0;
    struct stat st;
    if (fstat(fd_, &st) != 0) return false;
    lzma_index* index = nullptr;
    if (!ReadIndex(fd_, static_cast<uint64_t>(st.st_size), &index)) {
      *copy_reason = "xz の索引が読めない（途中で切れたか壊れたファイル）ので";
      return true;
    }
    *expected_size = lzma_index_uncompressed_size(index);
    lzma_index_iter it;
    lzma_index_iter_init(&it, index);
    uint64_t largest = 0;
    while (!lzma_index_iter_next(&it, LZMA_INDEX_ITER_NONEMPTY_BLOCK)) {
      AccessPoint point;
      point.out = it.block.uncompressed_file_offset;
      point.in = it.block.compressed_file_offset;
      point.check = static_cast<uint32_t>(it.stream.flags->check);
      largest = std::max<uint64_t>(largest, it.block.uncompressed_size);
      points->push_back(point);
    }
    lzma_index_end(index, nullptr);
    if (points->size() < 2) {
      *copy_reason = "xz のブロックが一つだけなので";
    } else if (largest > CompressedSource::kLargestSegment) {
      *copy_reason = "xz のブロックが大きすぎる（" + std::to_string(largest >> 20) + " MiB）ので";
    }
    if (!copy_reason->empty()) points->clear();
    return true;
  }

  CompressedPassResult Pass(const PassHooks& hooks) override {
    using Kind = CompressedPassResult::Kind;
    CompressedPassResult result;
    lzma_stream s = LZMA_STREAM_INIT;
    if (lzma_stream_decoder(&s, UINT64_MAX, LZMA_CONCATENATED) != LZMA_OK) {
      result.kind = Kind::kOsError;
      result.error = ENOMEM;
      return result;
    }
    InputReader input(fd_, 0);
    input.ReportTo(hooks.read_to);
    std::vector<char> out(256u << 10);
    lzma_action action = LZMA_RUN;
    auto stop = [&](Kind kind, int error) {
      result.kind = kind;
      result.stopped_at = s.total_in;
      result.error = error;
      lzma_end(&s);
      return result;
    };
    for (;;) {
      if (s.avail_in == 0 && action == LZMA_RUN) {
        const unsigned char* data = nullptr;
        size_t length = 0;
        if (!input.Next(&data, &length)) return stop(Kind::kOsError, errno);
        if (length == 0) action = LZMA_FINISH;
        s.next_in = data;
        s.avail_in = length;
      }
      s.next_out = reinterpret_cast<uint8_t*>(out.data());
      s.avail_out = out.size();
      const lzma_ret rc = lzma_code(&s, action);
      const size_t n = out.size() - s.avail_out;
      if (n > 0 && !hooks.emit(out.data(), n)) return stop(Kind::kCancelled, 0);
      if (rc == LZMA_STREAM_END) return stop(Kind::kComplete, 0);
      if (rc == LZMA_BUF_ERROR && action == LZMA_FINISH) return stop(Kind::kTruncated, 0);
      if (rc == LZMA_MEM_ERROR) return stop(Kind::kOsError, ENOMEM);
      if (rc != LZMA_OK) return stop(Kind::kCorrupt, 0);
    }
  }

  std::unique_ptr<Cursor> Open(const AccessPoint& point) override {
    auto cursor = std::make_unique<XzCursor>(fd_, point);
    if (!cursor->Start(point)) {
      errno = EIO;
      return nullptr;
    }
    return cursor;
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<Codec> MakeXzCodec(int fd) { return std::make_unique<XzCodec>(fd); }

}  // namespace compressed_detail
