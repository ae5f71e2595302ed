// A file that grows while a test reads it, with the line index the store's
// indexer would keep for it: the bytes are appended (O_APPEND) and each line
// feed adds the start after it.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>

#include "store/lineindex.h"
#include "support/testfiles.h"

class GrowingFile {
 public:
  GrowingFile() : fd_(open(dir_.Write("lines.txt", "").c_str(), O_RDWR | O_APPEND)) {
    index_->Append(uint64_t{0});
  }
  ~GrowingFile() { close(fd_); }
  GrowingFile(const GrowingFile&) = delete;
  GrowingFile& operator=(const GrowingFile&) = delete;

  void Append(const std::string& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (bytes[i] == '\n') index_->Append(size_ + i + 1);
    }
    ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    size_ += bytes.size();
  }
  // Lines as the store counts them: a start at the file's end begins none.
  int32_t Lines() const {
    const int64_t starts = index_->Size();
    return static_cast<int32_t>(index_->Start(starts - 1) >= size_ ? starts - 1 : starts);
  }
  uint64_t size() const { return size_; }
  int fd() const { return fd_; }
  std::shared_ptr<LineIndex> index() const { return index_; }

 private:
  TempDir dir_;
  int fd_;
  uint64_t size_ = 0;
  std::shared_ptr<LineIndex> index_ = std::make_shared<LineIndex>();
};
