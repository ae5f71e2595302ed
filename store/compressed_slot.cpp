#include "store/compressed_slot.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "store/slots.h"

namespace {

// The window is filled with at least this much: a page and the steps of a
// search walking forward then take one fill. (A plain file's window is
// 16 MiB of mapping; here every byte of it is decoded, so it is kept small.)
constexpr uint64_t kFillAtLeast = uint64_t{1} << 20;
constexpr uint64_t kFillAlign = uint64_t{64} << 10;

// The UTF-16 format a plain file is read in, or kNone.
CompressedFormat Utf16Format(int fd, uint64_t file_size, OpenAs as) {
  switch (as) {
    case OpenAs::kBytes:
      return CompressedFormat::kNone;
    case OpenAs::kUtf16Le:
      return CompressedFormat::kUtf16Le;
    case OpenAs::kUtf16Be:
      return CompressedFormat::kUtf16Be;
    case OpenAs::kDetect:
      break;
  }
  std::vector<char> sample(kDetectionSample);
  ssize_t got = -1;
  do {
    got = pread(fd, sample.data(), sample.size(), 0);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return CompressedFormat::kNone;  // the mapping reports the error
  const EncodingGuess guess = DetectEncoding(sample.data(), static_cast<size_t>(got),
                                             static_cast<uint64_t>(got) >= file_size);
  if (!guess.utf16) return CompressedFormat::kNone;
  return guess.utf16BigEndian ? CompressedFormat::kUtf16Be : CompressedFormat::kUtf16Le;
}

}  // namespace

int OpenCompressedDocument(FileSlot& slot, OpenAs as) {
  CompressedFormat format = SniffCompressed(slot.FileHandle);
  if (format == CompressedFormat::kNone) format = Utf16Format(slot.FileHandle, slot.FileSize, as);
  if (format == CompressedFormat::kNone) return 1;
  auto document = std::make_shared<CompressedDocument>();
  document->source = CompressedSource::Open(slot.FileHandle, format);
  if (!document->source) return -1;
  document->window.resize(kDetectionSample);
  const size_t head = document->source->ReadHead(document->window.data(), document->window.size());
  if (head == 0) {
    errno = ENODATA;
    return -1;
  }
  document->window.resize(head);
  document->packed_size = slot.FileSize;  // still the file's own size here
  slot.Compressed = std::move(document);
  slot.ViewBase = slot.Compressed->window.data();
  slot.WindowOffset = 0;
  slot.ViewLength = head;
  slot.FileSize = head;
  return 0;
}

void TakeSourceEncoding(FileSlot& slot) {
  if (Utf16FormatOf(slot) == CompressedFormat::kNone) return;
  slot.Encoding = slot.DetectedEncoding = TextEncoding::kUtf8;
  slot.BomLength = 0;
  slot.DetectionSawOnlyAscii = false;
}

CompressedFormat Utf16FormatOf(const FileSlot& slot) {
  if (!slot.Compressed || !IsUtf16(slot.Compressed->source->format()))
    return CompressedFormat::kNone;
  return slot.Compressed->source->format();
}

std::string CompressedOpenNote(const FileSlot& slot) {
  if (!slot.Compressed) return "";
  if (const CompressedFormat order = Utf16FormatOf(slot); order != CompressedFormat::kNone)
    return std::string("# ") + CompressedFormatName(order) +
           " のファイルを UTF-8 に直して表示します: " + slot.FileName;
  // A compressed file of UTF-16 text: its unpacked bytes are shown as they
  // are (the transcoder reads a file, not a source).
  if (!IsUtf16(slot.Compressed->source->format()) &&
      DetectEncoding(slot.Compressed->window.data(),
                     std::min(slot.Compressed->window.size(), kDetectionSample), false)
          .utf16)
    return "# UTF-16 の圧縮ファイルは展開したバイトのまま表示します: " + slot.FileName;
  const std::string& note = slot.Compressed->source->Note();
  return note.empty() ? "" : "# " + note + ": " + slot.FileName;
}

int MapCompressedWindow(FileSlot& slot, uint64_t begin, uint64_t end) {
  if (end < begin || begin >= slot.FileSize) return -1;
  end = std::min(end, slot.FileSize);
  if (slot.ViewBase != nullptr && begin >= slot.WindowOffset &&
      end <= slot.WindowOffset + slot.ViewLength)
    return 0;
  if (end - begin > kWindowSize) {
    errno = EFBIG;
    return -1;
  }
  const uint64_t start = begin / kFillAlign * kFillAlign;
  const uint64_t length = std::min(slot.FileSize - start, std::max(end - start, kFillAtLeast));
  // Filled aside: a failure keeps the old window, as a failed remap does.
  std::vector<char> fresh(static_cast<size_t>(length));
  const int64_t got = slot.Compressed->source->ReadAt(start, fresh.data(), fresh.size());
  if (got < static_cast<int64_t>(end - start)) {
    if (got >= 0) errno = EIO;
    return -1;
  }
  std::vector<char>& window = slot.Compressed->window;
  window.swap(fresh);
  slot.ViewBase = window.data();
  slot.WindowOffset = start;
  slot.ViewLength = static_cast<uint64_t>(got);
  return 0;
}

int CompressedShare(const FileSlot& slot) {
  const CompressedDocument& document = *slot.Compressed;
  if (document.source->Finished() || document.packed_size == 0) return 100;
  return static_cast<int>(std::min<uint64_t>(document.source->InputRead(), document.packed_size) *
                          100 / document.packed_size);
}

void TakeCompressedSize(FileSlot& slot) {
  if (slot.Compressed) slot.FileSize = std::max(slot.FileSize, slot.Compressed->source->Size());
}

std::string CompressedEndNote(const FileSlot& slot) {
  if (!slot.Compressed || !slot.Compressed->source->Finished()) return "";
  const CompressedSource& source = *slot.Compressed->source;
  const std::string text = DescribeCompressedStop(source.format(), source.result());
  return text.empty() ? "" : "# *** ERROR *** " + text + ": " + slot.FileName;
}

std::string EncodingPanelText(const FileSlot& slot) {
  if (const CompressedFormat order = Utf16FormatOf(slot); order != CompressedFormat::kNone)
    return CompressedFormatName(order);
  std::string text = EncodingName(slot.Encoding);
  if (slot.Compressed)
    text += std::string(" (") + CompressedFormatName(slot.Compressed->source->format()) + ")";
  return text;
}

std::string FollowRefusal(const FileSlot& slot) {
  if (!slot.Compressed) return "";
  if (Utf16FormatOf(slot) != CompressedFormat::kNone)
    return "# UTF-16 のファイルは末尾の追従ができません: " + slot.FileName;
  return std::string("# 圧縮ファイル（") + CompressedFormatName(slot.Compressed->source->format()) +
         "）は末尾の追従ができません: " + slot.FileName;
}
