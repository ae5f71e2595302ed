// A file past the 4 GiB mark, written sparse: the index, the line fetch, the
// page, a search hit and a copy all work on offsets above 2^32.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <string>
#include <vector>

#include "commands/Rpcmd1.h"
#include "store/slots.h"
#include "support/testfiles.h"
#include "view/view.h"

namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr uint64_t kMark = uint64_t{4} << 30;

// The file's bytes, written piece by piece; what is never written reads as
// zeros and takes no disk space. Keeps every line start for the checks.
class SparseFile {
 public:
  explicit SparseFile(const std::string& path)
      : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)) {}
  ~SparseFile() { ::close(fd_); }
  bool ok() const { return fd_ >= 0; }

  // A real line at offset (its line feed included).
  void Line(uint64_t offset, const std::string& text) {
    Put(offset, text + "\n");
    texts_.push_back({offset, text});
    starts_.push_back(offset + text.size() + 1);
  }
  // A line feed alone: it ends a line of zeros.
  void Feed(uint64_t offset) {
    Put(offset, "\n");
    starts_.push_back(offset + 1);
  }
  void End(uint64_t size) { ASSERT_EQ(0, ::ftruncate(fd_, static_cast<off_t>(size))); }

  // Line starts of the file: 0, then after every line feed.
  std::vector<uint64_t> starts_{0};
  struct Text {
    uint64_t offset;
    std::string text;
  };
  std::vector<Text> texts_;

 private:
  void Put(uint64_t offset, const std::string& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()),
              ::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset)));
  }
  int fd_;
};

class BigFile : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSlotTable();
    CurrentSlot = 0;
    TabWidth = 4;
    InstallCommandHooks();
    Hooks().index_wake = nullptr;
    CmdHooks() = CommandHooks{};
    CmdHooks().append_log = [this](const QString& line) { log_ << line; };
    RegisterSlotControls(0, nullptr, &image_, &vscroll_, &hscroll_);
    BindSlotControls(0);
    ShowLineNumbers = false;  // the page compared below carries no numbers
  }
  void TearDown() override {
    ResetSlotTable();
    RegisterSlotControls(0, nullptr, nullptr, nullptr, nullptr);
    BindSlotControls(0);
    CmdHooks() = CommandHooks{};
    ShowLineNumbers = true;
  }

  // The line that starts at offset.
  static int32_t LineOf(const SparseFile& file, uint64_t offset) {
    for (size_t i = 0; i < file.starts_.size(); ++i) {
      if (file.starts_[i] == offset) return static_cast<int32_t>(i);
    }
    return -1;
  }

  TempDir dir_;
  PageImage image_{1250, 800};
  PageScrollBar vscroll_{Qt::Vertical};
  PageScrollBar hscroll_{Qt::Horizontal};
  QStringList log_;
};

TEST_F(BigFile, LinesPagesSearchAndCopyPastTheFourGiBMark) {
  const std::string path = dir_.path() + "/sparse.log";
  SparseFile file(path);
  ASSERT_TRUE(file.ok());
  file.Line(0, "head 0");
  file.Line(7, "head 1");
  // Line feeds every MiB up to the real lines around the mark, and after them.
  for (uint64_t at = kMark - 8 * kMiB; at < kMark - kMiB; at += kMiB) file.Feed(at);
  // 150 real lines of 27 bytes: 75 on each side, the 76th across the mark.
  uint64_t at = kMark - 75 * 27 - 13;
  file.Feed(at - 1);
  for (int i = 0; i < 150; ++i) {
    char text[32];
    std::snprintf(text, sizeof text, "%s line %03d xyzzy %4d", i == 75 ? "across" : "normal", i,
                  i * 7);
    file.Line(at, text);
    at += std::string(text).size() + 1;
  }
  for (uint64_t feed = kMark + kMiB; feed <= kMark + 8 * kMiB; feed += kMiB) file.Feed(feed);
  file.Line(kMark + 8 * kMiB + 1, "tail");
  file.End(kMark + 8 * kMiB + 6);
  const uint64_t size = kMark + 8 * kMiB + 6;
  ASSERT_EQ(size, file.starts_.back());

  rpcmd::_open_file(QString::fromStdString(path));
  FileSlot& slot = SlotTable[0];
  ASSERT_NE(nullptr, slot.ViewBase);
  const int32_t lines = static_cast<int32_t>(file.starts_.size()) - 1;  // the last start is the end
  ASSERT_EQ(lines, slot.LineCount);
  EXPECT_EQ(size, slot.FileSize);

  // Every start, and every real line's text, wherever it lies.
  for (int32_t line = 0; line < lines; ++line) {
    ASSERT_EQ(file.starts_[static_cast<size_t>(line)], LineStart(slot, line)) << line;
  }
  for (const SparseFile::Text& t : file.texts_) {
    EXPECT_EQ(t.text, GetLine(slot, LineOf(file, t.offset))) << t.offset;
  }
  const int32_t across = LineOf(file, kMark - 13);
  ASSERT_GE(across, 0);
  EXPECT_EQ("across line 075 xyzzy  525", GetLine(slot, across));

  // A search from the top finds the line across the mark, then one past it.
  struct Find {
    const char* text;
    int32_t line;
  };
  const Find finds[] = {{"across", across}, {"line 140", across + 65}, {"tail", lines - 1}};
  for (const Find& f : finds) {
    slot.TopLine = 0;
    log_.clear();
    EXPECT_EQ(0, FindString(QString::fromLatin1(f.text))) << f.text;
    EXPECT_TRUE(log_.contains(QStringLiteral("#        検索結果: %1 行目に(%2)が有ります")
                                  .arg(f.line + 1)
                                  .arg(QLatin1String(f.text))))
        << f.text << ": " << log_.join('|').toStdString();
  }

  // A copy of lines on both sides of the mark.
  slot.SelStartLine = across - 2;
  slot.SelEndLine = across + 2;
  slot.SelStartColumn = 0;
  slot.SelEndColumn = 10;
  QGuiApplication::clipboard()->setText(QStringLiteral("untouched"));
  CopySelection();
  QString expected;
  for (int32_t line = across - 2; line <= across + 2; ++line) {
    expected += QString::fromStdString(GetLine(slot, line)) + QLatin1Char('\n');
  }
  EXPECT_TRUE(expected.contains(QLatin1String("across line 075")));
  EXPECT_EQ(expected, QGuiApplication::clipboard()->text());

  // The page at the mark looks exactly like the same lines in a small file.
  slot.SelStartLine = slot.SelEndLine = slot.SelStartColumn = slot.SelEndColumn = -1;
  const int32_t top = across - 30;
  DrawView(top, true);
  const QImage big = image_.Raster().copy();
  std::string small;
  for (int32_t line = top; line < top + 63 && line < lines; ++line) {
    small += GetLine(slot, line) + "\n";
  }
  rpcmd::_open_file(QString::fromStdString(dir_.Write("small.log", small)));
  ASSERT_NE(nullptr, SlotTable[0].ViewBase);
  DrawView(0, true);
  EXPECT_TRUE(big == image_.Raster()) << "the page past the mark differs";
  QImage blank(big.size(), big.format());
  blank.fill(big.pixel(0, 0));
  EXPECT_NE(big, blank) << "the page is blank";
}

}  // namespace
