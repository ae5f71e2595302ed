#include "view/longline.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <utility>
#include <vector>

#include "store/lineslice.h"
#include "view/view_internal.h"

namespace long_line {

namespace {

constexpr size_t kSliceBytes = size_t{64} << 10;  // read per step of the whole walk
// Checkpoint spacing (raw bytes): a row's walk from the one before its
// column reads and decodes 8 KiB on average. A line of 2 GB keeps 3 MB.
// Characters of more than one byte are decoded one by one: a checkpoint
// also follows every kCheckpointClusters of them, so that a row's walk over
// Japanese text decodes about 512 of them (a 2 GB line of such text keeps
// 16 MB).
constexpr uint64_t kCheckpointBytes = uint64_t{16} << 10;
constexpr int kCheckpointClusters = 1024;
// A row's walk reads first the bytes its limit needs when each byte is a
// cell (ASCII, Shift-JIS), at least this many, then twice as much each step.
constexpr size_t kFirstPeekBytes = 256;
// A cluster that starts this close to a slice's end is read again with the
// next slice: it may go on past it.
constexpr size_t kClusterMargin = 64;
// The longest character of the three encodings, in bytes.
constexpr size_t kLongestChar = 4;
// Lines whose checkpoints are kept: a few pages' worth.
constexpr size_t kKeptLines = 512;
constexpr int64_t kNoCellLimit = std::numeric_limits<int64_t>::max();
constexpr uint64_t kNoTextLimit = std::numeric_limits<uint64_t>::max();

struct Point {
  uint64_t raw = 0;
  uint64_t text = 0;
  int64_t cell = 0;
};

// Where the index puts a line: its start and the next line's start (or the
// file's end), and how far the file is known to be readable; read without
// touching the window, so that a line's entry is checked at every draw
// without mapping anything.
struct Span {
  uint64_t begin = 0;
  uint64_t next = 0;
  uint64_t readable = 0;
  bool operator==(const Span&) const = default;
};

Span SpanOf(const FileSlot& slot, int32_t line) {
  Span span;
  if (line < 0 || line >= slot.LineCount || !slot.Index) return span;
  span.begin = slot.Index->Start(line);
  span.next = int64_t{line} + 1 < slot.Index->Size() ? slot.Index->Start(line + 1) : slot.FileSize;
  span.readable = slot.Truncated ? slot.TruncatedSize : UINT64_MAX;
  return span;
}

// Bytes read from the file for the short walks and texts of a draw (the
// window stays where it is: the rows of a page lie far apart).
char* Scratch() {
  static std::vector<char> scratch(kSliceBytes);
  return scratch.data();
}

struct Entry {
  uint64_t serial = 0;
  int32_t tabWidth = 0;
  TextEncoding encoding = TextEncoding::kCp932;
  const LineIndex* index = nullptr;
  Span span;
  LineBounds bounds;
  int64_t cells = 0;
  uint64_t text = 0;               // bytes of the whole text
  std::vector<Point> checkpoints;  // ascending; the first at the line's start
};

std::map<std::pair<int, int32_t>, Entry>& Cache() {
  static std::map<std::pair<int, int32_t>, Entry> cache;
  return cache;
}

// Where a walk stopped: at, a cluster edge; the cluster there (cells, raw
// and text bytes) would have passed a limit. atEnd: the line ended first.
struct Stop {
  Point at;
  int64_t cells = 0;
  uint64_t rawLength = 0;
  uint64_t textLength = 0;
  bool atEnd = true;
};

// A character decoded ahead: at the offset at of the slice that starts at
// base. A cluster ends where a character with cells begins, which is then
// the next cluster's first: it is decoded once.
struct Ahead {
  const char* base = nullptr;
  size_t at = 0;
  CharSpan c{1, 1, 0};
};

// NextCluster(encoding, data + i, size - i), the character at i taken from
// ahead when decoded there before.
Cluster ClusterAt(TextEncoding encoding, const char* data, size_t size, size_t i, Ahead& ahead) {
  Cluster cluster{0, 0};
  size_t pos = i;
  while (pos < size) {
    const CharSpan c = ahead.base == data && ahead.at == pos
                           ? ahead.c
                           : NextChar(encoding, data + pos, size - pos);
    if (c.cells > 0 && cluster.cells > 0) {
      ahead = Ahead{data, pos, c};
      break;
    }
    cluster.length += c.length;
    cluster.cells += c.cells;
    pos += static_cast<size_t>(c.length);
  }
  return cluster;
}

// Walks the line from from (a cluster edge) while the next cluster ends at
// or before both limits; pushes a point about every kCheckpointBytes to
// checkpoints when given. A walk that leaves checkpoints (the whole line,
// once) reads through the window; the others, about a checkpoint step
// long, read without moving it, about what the limit needs first.
Stop Walk(FileSlot& slot, const LineBounds& bounds, Point p, int64_t cellLimit, uint64_t textLimit,
          std::vector<Point>* checkpoints) {
  const TextEncoding encoding = slot.Encoding;
  const int64_t tab = std::max<int32_t>(TabWidth, 0);
  const uint64_t length = bounds.length();
  const uint64_t toLimit = std::min(static_cast<uint64_t>(cellLimit - p.cell), textLimit - p.text);
  size_t peek = static_cast<size_t>(std::clamp<uint64_t>(
      std::min<uint64_t>(toLimit, kSliceBytes) + 2 * kClusterMargin, kFirstPeekBytes, kSliceBytes));
  // A whole walk leaves a checkpoint at the first cluster edge at or past
  // this raw offset (its runs of single bytes end there).
  uint64_t nextCheckpoint = p.raw;
  int clusters = 0;  // decoded since the last checkpoint
  Ahead ahead;
  while (p.raw < length) {
    const LineSlice s = checkpoints != nullptr
                            ? GetLineSlice(slot, bounds, p.raw, kSliceBytes)
                            : PeekLineSlice(slot, bounds, p.raw, peek, Scratch());
    peek = std::min(peek * 2, kSliceBytes);
    if (s.size == 0) break;
    ahead = Ahead{};  // a new slice may lie where the last one did
    const bool last = p.raw + s.size >= length;
    const auto* bytes = reinterpret_cast<const unsigned char*>(s.data);
    size_t i = 0;
    while (i < s.size) {
      if (checkpoints != nullptr && p.raw >= nextCheckpoint) {
        checkpoints->push_back(p);
        nextCheckpoint = p.raw + kCheckpointBytes;
        clusters = 0;
      }
      const unsigned char c = bytes[i];
      if (c == '\n') return Stop{p};  // the file changed under the index: the text ends here
      if (c == '\t') {
        if (p.cell + tab > cellLimit || p.text + static_cast<uint64_t>(tab) > textLimit) {
          return Stop{p, tab, 1, static_cast<uint64_t>(tab), false};
        }
        p.cell += tab;
        p.text += static_cast<uint64_t>(tab);
        ++p.raw;
        ++i;
        continue;
      }
      if (c < 0x80) {
        // A run of single-byte characters, one cell each. Its last byte may
        // take zero-width characters after it: then it goes the slow way.
        size_t j = i;
        const __m128i tabs = _mm_set1_epi8('\t');
        const __m128i feeds = _mm_set1_epi8('\n');
        while (j + 16 <= s.size) {
          const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + j));
          const int stop = _mm_movemask_epi8(
              _mm_or_si128(v, _mm_or_si128(_mm_cmpeq_epi8(v, tabs), _mm_cmpeq_epi8(v, feeds))));
          if (stop != 0) {
            j += static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(stop)));
            break;
          }
          j += 16;
        }
        while (j < s.size && bytes[j] < 0x80 && bytes[j] != '\t' && bytes[j] != '\n') ++j;
        uint64_t n = j - i;
        // Its last byte stands alone before a TAB or a character with cells.
        const bool alone = j < s.size && (bytes[j] == '\t' ||
                                          (bytes[j] >= 0x80 && s.size - j >= kClusterMargin &&
                                           NextChar(encoding, s.data + j, s.size - j).cells > 0));
        if ((j < s.size || !last) && !alone) --n;
        n = std::min<uint64_t>({n, static_cast<uint64_t>(cellLimit - p.cell), textLimit - p.text});
        if (checkpoints != nullptr) n = std::min(n, nextCheckpoint - p.raw);
        if (n > 0) {
          p.cell += static_cast<int64_t>(n);
          p.text += n;
          p.raw += n;
          i += static_cast<size_t>(n);
          continue;
        }
      }
      if (c >= 0x80 && (last || s.size - i >= kClusterMargin)) {
        // Characters that stand alone, each a cluster of its own (most
        // Japanese text), are taken as a run: within the same limits, and
        // ending where a checkpoint is due, as the clusters one by one.
        uint64_t beginBefore = last ? kNoTextLimit : s.size - i - kClusterMargin + 1;
        size_t maxChars = SIZE_MAX;
        if (checkpoints != nullptr) {
          beginBefore = std::min(beginBefore, nextCheckpoint - p.raw);
          maxChars = static_cast<size_t>(kCheckpointClusters - clusters);
        }
        const CellRun run =
            CellRunOf(encoding, s.data + i, s.size - i, static_cast<size_t>(beginBefore),
                      cellLimit - p.cell, static_cast<size_t>(textLimit - p.text), maxChars);
        if (run.chars > 0) {
          p.cell += run.cells;
          p.text += run.bytes;
          p.raw += run.bytes;
          i += run.bytes;
          clusters += static_cast<int>(run.chars);
          if (checkpoints != nullptr && clusters >= kCheckpointClusters) nextCheckpoint = p.raw;
          continue;
        }
      }
      if (!last && s.size - i < kClusterMargin) break;
      const Cluster k = ClusterAt(encoding, s.data, s.size, i, ahead);
      // A cluster may go on past the slice (a character with many marks):
      // unless the character after it lay whole in the slice, it is read
      // again from its start with the next slice. One that fills a slice
      // from the slice's start is taken as it is (64 KiB of marks).
      if (!last && i > 0 && i + static_cast<size_t>(k.length) + kLongestChar > s.size) break;
      const uint64_t bytesOf = static_cast<uint64_t>(k.length);
      if (p.cell + k.cells > cellLimit || p.text + bytesOf > textLimit) {
        return Stop{p, k.cells, bytesOf, bytesOf, false};
      }
      p.cell += k.cells;
      p.text += bytesOf;
      p.raw += bytesOf;
      i += static_cast<size_t>(k.length);
      if (checkpoints != nullptr && ++clusters >= kCheckpointClusters) nextCheckpoint = p.raw;
    }
  }
  return Stop{p};
}

// The line's entry, counted whole when it is new or stale.
Entry& EntryOf(FileSlot& slot, int32_t line) {
  const int index = static_cast<int>(&slot - SlotTable);
  auto& cache = Cache();
  const Span span = SpanOf(slot, line);
  auto found = cache.find({index, line});
  if (found != cache.end()) {
    const Entry& e = found->second;
    if (e.serial == slot.OpenSerial && e.tabWidth == TabWidth && e.encoding == slot.Encoding &&
        e.index == slot.Index.get() && e.span == span) {
      return found->second;
    }
  }
  if (cache.size() >= kKeptLines) cache.clear();
  Entry& e = cache[{index, line}];
  const LineBounds bounds = GetLineBounds(slot, line);
  e = Entry{slot.OpenSerial, TabWidth, slot.Encoding, slot.Index.get(), span, bounds, 0, 0, {}};
  if (bounds.ok) {
    const Stop end = Walk(slot, bounds, Point{}, kNoCellLimit, kNoTextLimit, &e.checkpoints);
    e.cells = end.at.cell;
    e.text = end.at.text;
  }
  if (e.checkpoints.empty()) e.checkpoints.push_back(Point{});
  return e;
}

}  // namespace

int HeadText(FileSlot& slot, int32_t line, char* out) {
  const Span span = SpanOf(slot, line);
  // Without its line feed and a CR, still longer than the cap.
  if (TabWidth <= 0 || span.next < span.begin + kLineBufferSize + 2) return -1;
  const std::string head = TextFrom(slot, line, 0, kMaxLineText);
  if (head.size() < static_cast<size_t>(kMaxLineText)) return -1;  // changed under the index
  std::memcpy(out, head.data(), head.size());
  out[head.size()] = '\0';
  return static_cast<int>(head.size());
}

bool IsLong(FileSlot& slot, int32_t line) {
  const Span span = SpanOf(slot, line);
  if (TabWidth <= 0 || span.next < span.begin + kLineBufferSize + 2) return false;
  return EntryOf(slot, line).text >= static_cast<uint64_t>(kMaxLineText);
}

int64_t Cells(FileSlot& slot, int32_t line) { return EntryOf(slot, line).cells; }

RowStart StartAtColumn(FileSlot& slot, int32_t line, int64_t column) {
  const Entry& e = EntryOf(slot, line);
  auto after = std::upper_bound(e.checkpoints.begin(), e.checkpoints.end(), column,
                                [](int64_t c, const Point& p) { return c < p.cell; });
  const Point from = after == e.checkpoints.begin() ? Point{} : *(after - 1);
  const Stop s = Walk(slot, e.bounds, from, column, kNoTextLimit, nullptr);
  if (s.atEnd || s.at.cell == column) return RowStart{s.at.raw, s.at.text, 0};
  // The cluster holds the column: the row starts after it, with blanks for
  // its cells right of the column.
  return RowStart{s.at.raw + s.rawLength, s.at.text + s.textLength, s.at.cell + s.cells - column};
}

int64_t CellOfText(FileSlot& slot, int32_t line, uint64_t text) {
  const Entry& e = EntryOf(slot, line);
  auto after = std::upper_bound(e.checkpoints.begin(), e.checkpoints.end(), text,
                                [](uint64_t t, const Point& p) { return t < p.text; });
  const Point from = after == e.checkpoints.begin() ? Point{} : *(after - 1);
  const Stop s = Walk(slot, e.bounds, from, kNoCellLimit, text, nullptr);
  // Inside a TAB's blanks: one cell a blank.
  if (!s.atEnd && s.rawLength == 1 && s.textLength != 1) {
    return s.at.cell + static_cast<int64_t>(text - s.at.text);
  }
  return s.at.cell;
}

std::string TextFrom(FileSlot& slot, int32_t line, uint64_t raw, size_t cap) {
  // As LineTextReader gives it, without moving the window.
  const Entry& e = EntryOf(slot, line);
  const size_t tab = static_cast<size_t>(std::max<int32_t>(TabWidth, 0));
  std::string text;
  text.reserve(cap);
  while (text.size() < cap) {
    const LineSlice s = PeekLineSlice(slot, e.bounds, raw, cap - text.size(), Scratch());
    if (s.size == 0) break;
    size_t i = 0;
    while (i < s.size && text.size() < cap) {
      // A run of bytes as they are, then the TAB or line feed that ends it.
      const size_t stop = i + std::min(s.size - i, cap - text.size());
      size_t j = i;
      while (j < stop && s.data[j] != '\t' && s.data[j] != '\n') ++j;
      text.append(s.data + i, j - i);
      i = j;
      if (i == stop) continue;
      if (s.data[i] == '\n') {
        // The file changed under the index: the text ends at the feed.
        if (!text.empty() && text.back() == '\r') text.pop_back();
        return text;
      }
      text.append(std::min(tab, cap - text.size()), ' ');
      ++i;
    }
    raw += s.size;
  }
  return text;
}

namespace {

// Appends the line's text [from, from + size) (from a raw cluster edge) to
// out, a piece at a time.
void AppendText(FileSlot& slot, int32_t line, const Point& from, uint64_t size, std::string* out) {
  LineTextReader reader(slot, line, from.raw, from.text);
  const size_t before = out->size();
  out->resize(before + size);
  size_t done = 0;
  while (done < size) {
    const size_t n = reader.Read(out->data() + before + done, static_cast<size_t>(size - done));
    if (n == 0) break;
    done += n;
  }
  out->resize(before + done);
}

Point PointBefore(const Entry& e, int64_t column) {
  auto after = std::upper_bound(e.checkpoints.begin(), e.checkpoints.end(), column,
                                [](int64_t c, const Point& p) { return c < p.cell; });
  return after == e.checkpoints.begin() ? Point{} : *(after - 1);
}

}  // namespace

uint64_t WholeText(FileSlot& slot, int32_t line, std::string* out) {
  const Entry& e = EntryOf(slot, line);
  if (out != nullptr) AppendText(slot, line, Point{}, e.text, out);
  return e.text;
}

uint64_t BlockText(FileSlot& slot, int32_t line, int64_t lo, int64_t hi, std::string* out) {
  const Entry& e = EntryOf(slot, line);
  if (hi < lo || hi < 0) return 0;
  lo = std::max<int64_t>(lo, 0);
  // Start: the cluster that holds cell lo, whole; inside a TAB, its blanks
  // from lo on.
  const Stop a = Walk(slot, e.bounds, PointBefore(e, lo), lo, kNoTextLimit, nullptr);
  if (a.atEnd) return 0;
  Point start = a.at;
  uint64_t leading = 0;
  if (a.at.cell < lo && a.rawLength == 1 && a.textLength == static_cast<uint64_t>(a.cells)) {
    const int64_t tabEnd = a.at.cell + a.cells;
    leading = static_cast<uint64_t>(std::min(tabEnd, hi + 1) - lo);
    start = Point{a.at.raw + 1, a.at.text + a.textLength, tabEnd};
  }
  // End: every cluster that starts at or before cell hi; of a TAB there,
  // its blanks up to hi.
  const Stop b = Walk(slot, e.bounds, start, hi + 1, kNoTextLimit, nullptr);
  uint64_t trailing = 0;
  bool wholeLast = false;
  if (!b.atEnd && b.at.cell <= hi && start.cell <= hi) {
    if (b.rawLength == 1 && b.textLength == static_cast<uint64_t>(b.cells) && b.cells > 1) {
      trailing = static_cast<uint64_t>(hi + 1 - b.at.cell);
    } else {
      wholeLast = true;
    }
  }
  const uint64_t middle = start.cell <= hi ? b.at.text - start.text : 0;
  const uint64_t size = leading + middle + trailing + (wholeLast ? b.textLength : 0);
  if (out != nullptr) {
    out->append(leading, ' ');
    AppendText(slot, line, start, middle + (wholeLast ? b.textLength : 0), out);
    out->append(trailing, ' ');
  }
  return size;
}

void Forget() { Cache().clear(); }

}  // namespace long_line
