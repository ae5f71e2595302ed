// The fast scan. It gives exactly the results of the line-by-line scan
// (SearchNextReference): every line it reports is confirmed by the same
// LineMatcher on the line's GetLine text, and every shortcut below may only
// widen the set of candidate lines, never narrow it.
//
// Three plans, chosen per call:
// - raw plain: a substring filter over the mapped bytes of a block finds
//   candidate lines; each candidate is fetched and matched exactly, and the
//   filter resumes after that line. The filter's needle is the longest piece
//   of the pattern without blanks, TABs, line feeds and characters the
//   encoding writes with more than one code: a display text only adds
//   blanks (expanded TABs) and only drops bytes (CR), and every other
//   character has one code, so a piece that occurs in the text occurs in the
//   raw bytes of the same line. A range of lines longer than a window is
//   read in overlapping window-sized pieces. With case ignored the filter
//   folds ASCII case. A regular expression takes this plan too when a run
//   of plain bytes is part of every match (RequiredLiteral); its candidates
//   go to the engine.
// - regex in chunks: for expressions that cannot match across a line feed
//   and look at nothing outside the line (see RegexIsLineLocal), the
//   characters of a run of lines are joined with line feeds and searched by
//   one match call; the line holding the match start is then confirmed on
//   its own.
// - per line: every line fetched and matched, as the oracle does, but with
//   the text built straight from the window (TextFromRaw) instead of a
//   GetLineInto call per line; a hit is confirmed on GetLineInto's text.
//
// GetLine's text is a line's first 2047 bytes. A line whose text reaches
// that length may be longer: every plan hands it to Verify, which matches
// the whole line a piece at a time (LineMatcher::MatchLong), never holding
// it whole; the joined lines of the chunk plan hold only its start.
//
// Measured on a 1 GiB log of 40 million lines (bench_search): the raw filter
// runs at the speed of reading the mapped file (~0.17 s, grep -c takes
// ~0.19 s); the line-by-line scan takes ~2 s, building the joined texts ~0.6 s.
//
// All plans walk the lines block by block, in the same order as the oracle,
// and call the progress hook at the same lines.

#include <emmintrin.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "search/blockfilter.h"
#include "search/linetext.h"
#include "search/matcher.h"
#include "search/rawfind.h"
#include "search/rawspans.h"
#include "search/regexprep.h"
#include "search/search.h"
#include "store/slots.h"

namespace {

using search_detail::EntersBlock;
using search_detail::LineMatcher;
using search_detail::PollClock;
using search_detail::RawNeedle;
using search_detail::TextFromRaw;

// Segment's result when the scan must end as after a cancel: the progress
// hook cleared SearchRunning or the document changed under it.
constexpr int32_t kStopped = -3;

enum class Plan { kPerLine, kRawPlain, kRegexChunks };

}  // namespace

namespace search_detail {

std::string LongestPlainPiece(const std::string& pattern, TextEncoding encoding) {
  size_t bestStart = 0;
  size_t bestLength = 0;
  size_t start = 0;
  size_t i = 0;
  while (i <= pattern.size()) {
    size_t length = 1;
    bool cut = i == pattern.size();
    if (!cut) {
      const char b = pattern[i];
      if (static_cast<unsigned char>(b) < 0x80) {
        cut = b == ' ' || b == '\t' || b == '\n';
      } else {
        const CharSpan c = NextChar(encoding, pattern.data() + i, pattern.size() - i);
        length = static_cast<size_t>(c.length);
        cut = c.code != kNoCharacter && HasOtherCodes(encoding, c.code);
      }
    }
    if (cut) {
      if (i - start > bestLength) {
        bestStart = start;
        bestLength = i - start;
      }
      start = i + length;
    }
    i += length;
  }
  return pattern.substr(bestStart, bestLength);
}

}  // namespace search_detail

namespace {

using search_detail::LongestPlainPiece;

class FastScan {
 public:
  FastScan(FileSlot& slot, LineMatcher& matcher, const SearchDocument& document, PollClock& clock)
      : slot_(slot), matcher_(matcher), document_(document), clock_(clock) {}
  FastScan(const FastScan&) = delete;
  FastScan& operator=(const FastScan&) = delete;
  // A chunk of very long lines may have grown the buffer to megabytes; it
  // is not kept beyond the call then.
  ~FastScan() {
    if (chunk_.size() > (size_t{1} << 20)) std::vector<char32_t>().swap(chunk_);
  }

  void Choose() {
    const SearchOptions& options = matcher_.options();
    // With TabWidth 0 or less a TAB vanishes and joins its neighbours, so
    // the raw bytes no longer hold every piece of the text.
    std::string piece;
    // A regular expression is analysed in the form that shows its
    // characters with several codes as '.' (RegexSkeleton).
    const TextEncoding encoding = matcher_.encoding();
    const std::string skeleton =
        options.Regex ? search_detail::RegexSkeleton(matcher_.pattern(), encoding) : std::string();
    if (TabWidth > 0) {
      piece = options.Regex ? search_detail::RequiredLiteral(skeleton, encoding)
                            : LongestPlainPiece(matcher_.pattern(), encoding);
    }
    if (piece.empty()) {
      if (options.Regex && search_detail::RegexIsLineLocal(skeleton, encoding)) {
        plan_ = Plan::kRegexChunks;
      }
      return;
    }
    needle_ = RawNeedle(std::move(piece), options.IgnoreCase);
    plan_ = Plan::kRawPlain;
  }

  // What the workers look for in whole blocks under this plan.
  search_detail::BlockQuery blockQuery() const {
    if (plan_ == Plan::kRawPlain) return {&needle_, nullptr, false};
    return {nullptr, &matcher_, plan_ == Plan::kRegexChunks};
  }

  // Examines lines first, first + step, ... up to last (same block, last
  // included). Returns the matching line, -1, or kStopped.
  int32_t Segment(int32_t first, int32_t last, int step) {
    segmentLow_ = std::min(first, last);
    segmentHigh_ = std::max(first, last);
    // Starts are decoded only as far as they are needed: the raw plan needs
    // the segment's two ends and the line of each candidate, the joined
    // lines the starts of one chunk at a time. Decoding a whole segment up
    // front cost a fifth of a plain search, and with dense hits it was done
    // again from each hit on, most of the search's time.
    lineStarts_.clear();
    if (slot_.Truncated) return PerLine(first, last, step);
    switch (plan_) {
      case Plan::kRawPlain:
        return RawPlain(first, last, step);
      case Plan::kRegexChunks:
        return RegexChunks(first, last, step);
      case Plan::kPerLine:
        break;
    }
    return PerLine(first, last, step);
  }

  // The hit's text as GetLine returned it, and the match.
  const char* text() const { return text_; }
  int length() const { return length_; }
  int64_t matchStart() const { return matchStart_; }
  int64_t matchEnd() const { return matchEnd_; }
  // After kStopped: the line the scan would have examined next.
  int32_t stoppedAt() const { return stoppedAt_; }

 private:
  // The starts of the segment's lines [low, high] and of the line after it
  // (when there is one), read from the index in one go.
  void LoadStarts(int32_t low, int32_t high) {
    const int32_t last = std::min(high + 1, slot_.LineCount - 1);
    startsFirst_ = low;
    lineStarts_.resize(static_cast<size_t>(std::max(last - low + 1, 0)));
    if (!lineStarts_.empty()) {
      slot_.Index->Starts(low, static_cast<int64_t>(lineStarts_.size()), lineStarts_.data());
    }
  }

  // Offset of line's first byte; line may be the first line after the
  // segment (it then exists: callers never ask past the last line).
  uint64_t Offset(int32_t line) const {
    const int64_t k = int64_t{line} - startsFirst_;
    if (k >= 0 && k < static_cast<int64_t>(lineStarts_.size())) {
      return lineStarts_[static_cast<size_t>(k)];
    }
    return LineStart(slot_, line);
  }

  // True when the window mapped now holds [begin, end) of the file.
  bool Covers(uint64_t begin, uint64_t end) const {
    return slot_.ViewBase != nullptr && end >= begin && begin >= slot_.WindowOffset &&
           end <= slot_.WindowOffset + slot_.ViewLength;
  }

  // Makes [begin, end) of the file readable through Raw: the window mapped
  // now is kept when it holds the range (a 16 MiB window holds the lines of
  // dozens of segments, and not remapping for each of them saves a third of
  // a scan's time), else a window around the range is mapped. False when
  // neither works, or the range is longer than a window (lines of several
  // KiB on average): the caller then goes line by line.
  bool MapRaw(uint64_t begin, uint64_t end) {
    if (slot_.Truncated) return false;
    if (Covers(begin, end)) return true;
    if (MapWindowAt(slot_, begin, end) != 0) return false;
    return !slot_.Truncated && Covers(begin, end);
  }

  // The byte at file offset through the window mapped now (after MapRaw).
  const char* Raw(uint64_t offset) const { return slot_.ViewBase + (offset - slot_.WindowOffset); }

  // Bytes of the mapped window from p to its end.
  size_t Readable(const char* p) const {
    return static_cast<size_t>(slot_.ViewBase + slot_.ViewLength - p);
  }

  // GetLine's text of line into out (kLineBufferSize bytes): built from the
  // window for every line but the file's last, which has no next line to
  // bound it.
  int FetchText(int32_t line, char* out) {
    if (line + 1 < slot_.LineCount && !slot_.Truncated) {
      const uint64_t begin = Offset(line);
      const uint64_t end = Offset(line + 1);
      if (end > begin && MapRaw(begin, end)) {
        const char* p = Raw(begin);
        return static_cast<int>(TextFromRaw(p, end - begin, Readable(p), out, false));
      }
    }
    return GetLineInto(slot_, line, out);
  }

  // Fetches line and matches it exactly; on a match keeps the text as
  // fetched and the offsets. A line whose text GetLine may have cut is
  // matched whole (MatchLong), letting input through between its pieces;
  // when that ends the scan, stopped_ is set and nothing else may be done.
  // near: the raw offset in the line of the raw needle's first bytes there,
  // when the caller found them (a long line is then matched from near them).
  static constexpr uint64_t kNoNear = ~uint64_t{0};
  bool Verify(int32_t line, uint64_t near = kNoNear) {
    length_ = GetLineInto(slot_, line, text_);
    if (length_ < kMaxLineText) {
      int32_t start = 0;
      int32_t end = 0;
      if (!matcher_.Match(text_, length_, start, end)) return false;
      matchStart_ = start;
      matchEnd_ = end;
      return true;
    }
    const auto poll = [&] {
      if (!clock_.Tick() || search_detail::LetInputThrough(line, document_, clock_)) return true;
      stopped_ = true;
      stoppedAt_ = line;
      return false;
    };
    const bool found =
        near == kNoNear ? matcher_.MatchLong(slot_, line, matchStart_, matchEnd_, poll)
                        : matcher_.MatchLongNear(slot_, line, near, matchStart_, matchEnd_, poll);
    if (!SearchRunning && !stopped_) {
      stopped_ = true;
      stoppedAt_ = line;
    }
    return found && !stopped_;
  }

  int32_t PerLine(int32_t first, int32_t last, int step) {
    if (lineStarts_.empty()) LoadStarts(segmentLow_, segmentHigh_);
    for (int32_t line = first;; line += step) {
      const int length = FetchText(line, subject_);
      int32_t start = 0;
      int32_t end = 0;
      // The hit is confirmed on GetLine's own text, which is also the text
      // the hit hook gets; a text that may be cut is matched whole there.
      if ((length >= kMaxLineText || matcher_.Match(subject_, length, start, end)) &&
          Verify(line)) {
        return line;
      }
      if (stopped_) return kStopped;
      if (line == last) return -1;
      if (!Continue(line + step)) return kStopped;
    }
  }

  // Called after each line or candidate that did not match: lets input
  // through when the poll interval has run out. False when the scan must
  // stop; the window mapped may have changed either way, so callers map
  // again before reading raw bytes.
  bool Continue(int32_t line) {
    if (stopped_) return false;
    if (!clock_.Tick() || search_detail::LetInputThrough(line, document_, clock_)) return true;
    stoppedAt_ = line;
    return false;
  }

  // The line of [low, high] (within the segment) that holds file offset.
  int32_t LineAt(uint64_t offset, int32_t low, int32_t high) const {
    if (low < startsFirst_ ||
        int64_t{high} - startsFirst_ >= static_cast<int64_t>(lineStarts_.size())) {
      return static_cast<int32_t>(slot_.Index->LineAt(offset, low, high));
    }
    const auto begin = lineStarts_.begin() + (low - startsFirst_);
    const auto end = lineStarts_.begin() + (high - startsFirst_) + 1;
    const auto after = std::upper_bound(begin, end, offset);
    return static_cast<int32_t>(startsFirst_ + (after - lineStarts_.begin()) - 1);
  }

  // The needle's first occurrence in file bytes [from, end) (forward) or
  // its last in [from, end) (backward), read through the window a window
  // step or more at a time, consecutive pieces overlapping by the needle's
  // length - 1 bytes, so that a range of lines longer than a window is
  // searched as one. kNotFound, or kUnreadable when bytes cannot be mapped
  // (the caller goes line by line). Between pieces input gets through:
  // kStoppedAt when the scan must end (stoppedAt_ is set).
  static constexpr uint64_t kNotFound = ~uint64_t{0};
  static constexpr uint64_t kUnreadable = kNotFound - 1;
  static constexpr uint64_t kStoppedAt = kNotFound - 2;
  static constexpr uint64_t kTiledRange = 2 * search_detail::kTileBytes;

  uint64_t FindInRange(uint64_t from, uint64_t end, int step, int32_t low, int32_t high) {
    // A range of megabytes (long lines) is first looked up in the tiles the
    // workers decide; what they leave is read here.
    while (end - from >= kTiledRange) {
      const search_detail::SpanAnswer tiles =
          search_detail::FindInTiles(slot_, needle_, from, end, step);
      if (tiles.kind == search_detail::SpanAnswer::kFound) return tiles.at;
      if (tiles.kind == search_detail::SpanAnswer::kNone) return kNotFound;
      (step > 0 ? from : end) = tiles.at;
      if (tiles.kind == search_detail::SpanAnswer::kUnknown || from >= end) break;
      if (!Continue(LineAt(step > 0 ? from : end - 1, low, high))) return kStoppedAt;
    }
    const uint64_t overlap = needle_.size() - 1;
    bool firstPiece = true;
    while (from < end) {
      if (!firstPiece) {
        const uint64_t at = step > 0 ? from : end - 1;
        if (!Continue(LineAt(at, low, high))) return kStoppedAt;
      }
      firstPiece = false;
      // The piece: what the window mapped now holds from the range's near
      // end on, at least a window step of it.
      uint64_t begin = from;
      uint64_t stop = end;
      if (step > 0) {
        uint64_t reach = from + kWindowStep;
        if (Covers(from, from + 1)) reach = std::max(reach, slot_.WindowOffset + slot_.ViewLength);
        stop = std::min(end, reach);
      } else {
        uint64_t reach = end - std::min(end, kWindowStep);
        if (Covers(end - 1, end)) reach = std::min(reach, slot_.WindowOffset);
        begin = std::max(from, reach);
      }
      if (!MapRaw(begin, stop)) return kUnreadable;
      const char* base = Raw(begin);
      const char* found =
          step > 0 ? needle_.FindFirst(base, stop - begin) : needle_.FindLast(base, stop - begin);
      if (found != nullptr) return begin + static_cast<uint64_t>(found - base);
      if (step > 0) {
        if (stop == end) break;
        from = stop - overlap;
      } else {
        if (begin == from) break;
        end = begin + overlap;
      }
    }
    return kNotFound;
  }

  // FindInRange, or for a block whose starts the workers listed, the same
  // answer from the list: its first (forward) / last (backward) start s with
  // from <= s and s + the needle's size <= end.
  uint64_t Candidate(uint64_t from, uint64_t end, int step, int32_t low, int32_t high) {
    if (!listed_) return FindInRange(from, end, step, low, high);
    const uint64_t n = needle_.size();
    if (end < from + n) return kNotFound;
    const std::vector<uint64_t>& starts = listedStarts_;
    if (step > 0) {
      const auto at = std::lower_bound(starts.begin(), starts.end(), from);
      return at != starts.end() && *at + n <= end ? *at : kNotFound;
    }
    const auto after = std::upper_bound(starts.begin(), starts.end(), end - n);
    return after != starts.begin() && *(after - 1) >= from ? *(after - 1) : kNotFound;
  }

  int32_t RawPlain(int32_t first, int32_t last, int step) {
    const int32_t low = std::min(first, last);
    const int32_t high = std::max(first, last);
    // The file's last line has no next line to bound it: it is matched on
    // its own, in its turn.
    const int32_t lastLine = slot_.LineCount - 1;
    const int32_t rawHigh = high == lastLine ? high - 1 : high;
    if (step < 0 && high == lastLine) {
      if (VerifyLast(high)) return high;
      if (stopped_) return kStopped;
    }
    if (rawHigh >= low) {
      const uint64_t begin = Offset(low);
      const uint64_t end = Offset(rawHigh + 1);
      // The workers may have listed every start of the needle in the block:
      // the candidates are then taken from the list, the block not read.
      listed_ =
          search_detail::BlockStarts(slot_, blockQuery(), low / kLinesPerBlock, listedStarts_);
      if (step > 0) {
        uint64_t from = begin;
        while (from < end) {
          const uint64_t found = Candidate(from, end, step, low, rawHigh);
          if (found == kStoppedAt) return kStopped;
          if (found == kUnreadable) return PerLine(LineAt(from, low, rawHigh), last, step);
          if (found == kNotFound) break;
          const int32_t line = LineAt(found, low, rawHigh);
          // The range starts at a line's start: found is the needle's first
          // bytes in its line.
          if (Verify(line, found - Offset(line))) return line;
          if (stopped_) return kStopped;
          if (line == rawHigh) break;
          if (!Continue(line + 1)) return kStopped;
          from = Offset(line + 1);
        }
      } else {
        uint64_t to = end;
        while (to > begin) {
          const uint64_t found = Candidate(begin, to, step, low, rawHigh);
          if (found == kStoppedAt) return kStopped;
          if (found == kUnreadable) return PerLine(LineAt(to - 1, low, rawHigh), low, step);
          if (found == kNotFound) break;
          const int32_t line = LineAt(found, low, rawHigh);
          if (Verify(line)) return line;
          if (stopped_) return kStopped;
          if (line == low) break;
          if (!Continue(line - 1)) return kStopped;
          to = Offset(line);
        }
      }
    }
    if (step > 0 && high == lastLine && high > rawHigh) {
      if (VerifyLast(high)) return high;
      if (stopped_) return kStopped;
    }
    return -1;
  }

  // Verify for the file's last line, which ends where the file ends: the
  // needle is looked for in its bytes first (a line of megabytes is then
  // matched from near its candidate, or not at all).
  bool VerifyLast(int32_t line) {
    const uint64_t begin = Offset(line);
    if (slot_.FileSize - begin <= size_t{kMaxLineText}) return Verify(line);
    const uint64_t found = FindInRange(begin, slot_.FileSize, 1, line, line);
    if (found == kNotFound) return false;
    if (found == kStoppedAt) {
      stopped_ = true;
      return false;
    }
    return Verify(line, found == kUnreadable ? kNoNear : found - begin);
  }

  // Joins the characters of lines [low, high] into chunk_ (each line's
  // units, then a line feed), with starts_[k] the unit offset of line low + k
  // and starts_.back() the end. A line is seen up to its first zero byte, as
  // the matcher sees it.
  void BuildChunk(int32_t low, int32_t high) {
    const TextEncoding encoding = matcher_.encoding();
    // Lines up to rawHigh are built from the window; the file's last line
    // comes from GetLineInto.
    LoadStarts(low, high);
    int32_t rawHigh = std::min(high, slot_.LineCount - 2);
    if (rawHigh >= low && (slot_.Truncated || !MapRaw(Offset(low), Offset(rawHigh + 1)))) {
      rawHigh = low - 1;
    }
    starts_.clear();
    longLines_.clear();
    size_t used = 0;
    for (int32_t line = low; line <= high; ++line) {
      // Room for the longest text and its line feed.
      if (chunk_.size() < used + kLineBufferSize + 1) {
        chunk_.resize(std::max(chunk_.size() * 2, size_t{1} << 16));
      }
      size_t length = 0;
      if (line <= rawHigh) {
        const uint64_t begin = Offset(line);
        const char* p = Raw(begin);
        _mm_prefetch(p + 2048, _MM_HINT_T0);  // across page ends, where the hardware stops
        length = TextFromRaw(p, Offset(line + 1) - begin, Readable(p), subject_, true);
      } else {
        length = static_cast<size_t>(GetLineInto(slot_, line, subject_));
        if (length >= size_t{kMaxLineText}) longLines_.push_back(static_cast<uint32_t>(line - low));
        length = strnlen(subject_, length);
      }
      if (line <= rawHigh && Offset(line + 1) - Offset(line) > size_t{kMaxLineText}) {
        longLines_.push_back(static_cast<uint32_t>(line - low));
      } else if (line <= rawHigh && length >= size_t{kMaxLineText}) {
        longLines_.push_back(static_cast<uint32_t>(line - low));  // cut by its TABs
      }
      starts_.push_back(static_cast<uint32_t>(used));
      used += DecodeUnits(encoding, subject_, length, chunk_.data() + used, nullptr);
      chunk_[used++] = U'\n';
    }
    starts_.push_back(static_cast<uint32_t>(used));
  }

  // Searches chunk lines [low, high] (already built). For a downward scan
  // the first matching line, upward the last. -2: the engine gave up on the
  // joined lines (a resource limit); the caller goes line by line instead.
  // kStopped as for Segment.
  int32_t SearchChunk(int32_t low, int step) {
    int32_t best = -1;
    const size_t lines = starts_.size() - 1;
    // Downward, the long lines before each candidate are matched whole
    // first (in order); upward, those after the last confirmed line.
    size_t nextLong = 0;
    auto longBefore = [&](size_t k) -> int32_t {
      for (; nextLong < longLines_.size() && longLines_[nextLong] < k; ++nextLong) {
        const int32_t line = low + static_cast<int32_t>(longLines_[nextLong]);
        if (Verify(line)) return line;
        if (stopped_ || !Continue(line + 1)) return kStopped;
      }
      return -1;
    };
    uint32_t from = 0;
    while (from < starts_.back()) {
      // The subject begins at a line start, as one line's subject does. The
      // exact match is Verify's, on one line.
      size_t start = 0;
      size_t end = 0;
      const search_detail::LineMatch found =
          matcher_.regex().Find(chunk_.data() + from, starts_.back() - from, 0, start, end);
      if (found == search_detail::LineMatch::kNo) break;
      if (found == search_detail::LineMatch::kUndecided) return -2;
      const uint32_t at = from + static_cast<uint32_t>(start);
      const size_t k = static_cast<size_t>(std::upper_bound(starts_.begin(), starts_.end(), at) -
                                           starts_.begin() - 1);
      if (k >= lines) break;  // only the end of the joined text matched
      if (step > 0) {
        const int32_t earlier = longBefore(k);
        if (earlier != -1) return earlier;
        if (nextLong < longLines_.size() && longLines_[nextLong] == k) ++nextLong;
      }
      // Confirmed on GetLine's own text, as the oracle matches it.
      if (Verify(low + static_cast<int32_t>(k))) {
        best = low + static_cast<int32_t>(k);
        if (step > 0) return best;
      } else if (stopped_ || !Continue(low + static_cast<int32_t>(k))) {
        return kStopped;
      }
      from = starts_[k + 1];
    }
    if (step > 0) return longBefore(lines);
    for (size_t i = longLines_.size(); i-- > 0;) {
      const int32_t line = low + static_cast<int32_t>(longLines_[i]);
      if (line <= best) break;
      if (Verify(line)) {
        best = line;
        break;
      }
      if (stopped_ || !Continue(line - 1)) return kStopped;
    }
    // Upward: the last confirmed line; fetch it again for its text and match.
    if (best >= 0 && !Verify(best)) best = stopped_ ? kStopped : -1;
    return best;
  }

  int32_t RegexChunks(int32_t first, int32_t last, int step) {
    // Chunks grow from 16 lines, so that a continuous search with hits close
    // together does not join lines far beyond the next hit, and shrink again
    // when one match call over a chunk takes long: no input gets through during
    // the call, and an expression that backtracks for tens of milliseconds
    // on every line would hold the window for seconds in a chunk of 64.
    using Clock = std::chrono::steady_clock;
    int32_t size = 16;
    for (int32_t line = first;;) {
      const int32_t end =
          step > 0 ? std::min(last, line + size - 1) : std::max(last, line - size + 1);
      const int32_t low = std::min(line, end);
      const int32_t high = std::max(line, end);
      const Clock::time_point start = Clock::now();
      BuildChunk(low, high);
      int32_t found = SearchChunk(low, step);
      if (found == -2) found = PerLine(line, end, step);
      if (found >= 0 || found == kStopped) return found;
      if (end == last) return -1;
      line = end + step;
      const Clock::duration took = Clock::now() - start;
      if (took > std::chrono::milliseconds(10)) {
        size = std::max(size / 4, int32_t{1});
      } else if (took < std::chrono::milliseconds(2)) {
        size = std::min(size * 2, int32_t{4096});
      }
      if (!Continue(line)) return kStopped;
    }
  }

  FileSlot& slot_;
  LineMatcher& matcher_;
  const SearchDocument& document_;
  PollClock& clock_;
  Plan plan_ = Plan::kPerLine;
  RawNeedle needle_;
  char text_[kLineBufferSize];
  char subject_[kLineBufferSize + 1];
  int length_ = 0;
  int64_t matchStart_ = 0;
  int64_t matchEnd_ = 0;
  int32_t stoppedAt_ = 0;
  bool stopped_ = false;  // a whole-line match let input through and the scan must end
  // Chunk lines (offsets from the chunk's first) whose text GetLine may cut:
  // their joined text is only their start, so they are matched whole.
  std::vector<uint32_t> longLines_;
  // Kept from call to call on each thread, so that the many calls of a
  // continuous search do not allocate them again.
  static thread_local std::vector<char32_t> chunk_;
  static thread_local std::vector<uint32_t> starts_;
  // Line starts loaded by LoadStarts: none, the segment's (PerLine) or the
  // chunk's (BuildChunk). Offset falls back to the index for other lines.
  std::vector<uint64_t> lineStarts_;
  int32_t startsFirst_ = 0;
  // The raw plan's segment: whether its block's needle starts are listed
  // (file offsets, ascending).
  bool listed_ = false;
  std::vector<uint64_t> listedStarts_;
  int32_t segmentLow_ = 0;
  int32_t segmentHigh_ = 0;
};

thread_local std::vector<char32_t> FastScan::chunk_;
thread_local std::vector<uint32_t> FastScan::starts_;

}  // namespace

int SearchNextWith(const std::string& pattern, int32_t& matchStart, int32_t& matchEnd,
                   SearchRun& run) {
  const SearchOptions options = CurrentSearchOptions();
  if (CurrentSlot < 0 || CurrentSlot >= kSlotCount) return -1;
  FileSlot& slot = SlotTable[CurrentSlot];
  if (slot.ViewBase == nullptr) return -1;
  if (!search_detail::PatternCanMatch(pattern, options)) return -1;
  LineMatcher matcher;
  if (!matcher.Init(pattern, options, slot.Encoding)) return -1;
  const SearchDocument document = SearchDocument::Current();
  PollClock clock;
  FastScan local(slot, matcher, document, clock);
  local.Choose();

  const search_detail::BlockQuery query = local.blockQuery();
  const int step = options.Down ? 1 : -1;
  const int32_t first = search_detail::FirstLine(slot, step, run.withTopLine);
  int32_t stoppedAt = first;  // the first line not examined when the scan stops
  int result = -1;
  bool stopped = false;
  for (int32_t line = first; line >= 0 && line < slot.LineCount;) {
    stoppedAt = line;
    if (line != first && EntersBlock(line, step) &&
        !search_detail::LetInputThrough(line, document, clock)) {
      stopped = true;
      break;
    }
    if (!SearchRunning) {
      stopped = true;
      break;
    }
    const int32_t blockFirst = line & ~(kLinesPerBlock - 1);
    const int32_t last =
        step > 0 ? std::min(blockFirst + kLinesPerBlock - 1, slot.LineCount - 1) : blockFirst;
    // Whole blocks without a candidate are known without a look (the
    // workers decided them a span at a time).
    if (!search_detail::BlockMayHold(slot, query, std::min(line, last), std::max(line, last),
                                     step)) {
      line = last + step;
      continue;
    }
    const int32_t hit = local.Segment(line, last, step);
    if (hit == kStopped) {
      stopped = true;
      stoppedAt = local.stoppedAt();
      break;
    }
    if (hit >= 0) {
      search_detail::SetMatch(run, local.matchStart(), local.matchEnd(), matchStart, matchEnd);
      if (options.Continuous) {
        search_detail::ReportHit(slot, hit, local.text(), local.length(), local.matchStart(),
                                 local.matchEnd());
      }
      result = hit;
      break;
    }
    line = last + step;
  }
  run.undecided += matcher.undecided();
  if (stopped) {
    run.stopped = true;
    run.reached = stoppedAt == first ? slot.TopLine : stoppedAt - step;
  }
  return result;
}

int SearchNext(const std::string& pattern, int32_t& matchStart, int32_t& matchEnd) {
  SearchRun run;
  return SearchNextWith(pattern, matchStart, matchEnd, run);
}
