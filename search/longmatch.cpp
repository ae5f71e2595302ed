// Matching a line of any length: its text is read a piece at a time
// (TextPieces, LineTextReader for a slot's line), decoded into characters as one decode of the
// whole text would split them, and searched in a window of characters that keeps only what a match
// still in progress needs.
//
// Character edges: a piece's bytes are decoded from a character edge; the
// characters that start in its last kEdgeBytes bytes are decoded again with
// the next piece, since the longest character of the three encodings (4
// bytes) or a stand-in for a cut one could go on past the piece.
//
// Plain text keeps the last (pattern length - 1) characters of each window.
// A regular expression is matched with hard partial matching: no match in
// a window means none starts in it (only its last look-behind characters
// are kept, as context); a partial match keeps the window from its start
// (and the look-behind before it) until more text decides it. A partial
// match that spans more than kMaxKeptUnits characters leaves the line
// undecided, as the engine's limits do: a result is never guessed.
#include <algorithm>
#include <cstring>
#include <vector>

#include "search/matcher.h"
#include "search/rawspans.h"
#include "store/lineslice.h"

namespace search_detail {

namespace {

constexpr size_t kPieceBytes = size_t{64} << 10;  // text read per step
// The first step reads less, and each step doubles it up to kPieceBytes: a
// match found near where the reading starts (a candidate of the raw finder)
// then costs a few KiB of decoding, not 64 KiB.
constexpr size_t kFirstPieceBytes = size_t{2} << 10;
constexpr size_t kEdgeBytes = 8;

// The window of characters: units_[k] begins at text byte origins_[k];
// origins_ has one entry more, the text offset just past the last unit.
struct Window {
  std::vector<char32_t> units;
  std::vector<uint64_t> origins{0};
  size_t size() const { return units.size(); }
  // Forgets the units before k.
  void Drop(size_t k) {
    units.erase(units.begin(), units.begin() + static_cast<std::ptrdiff_t>(k));
    origins.erase(origins.begin(), origins.begin() + static_cast<std::ptrdiff_t>(k));
  }
};

// Reads, decodes and appends one piece of the line's text to the window;
// false at the end of the text (nothing more to append).
class PieceDecoder {
 public:
  PieceDecoder(TextPieces& reader, TextEncoding encoding, bool cutAtZero, uint64_t origin)
      : reader_(reader), encoding_(encoding), cutAtZero_(cutAtZero), base_(origin) {}
  bool done() const { return done_; }

  void Append(Window& window) {
    bytes_.resize(kEdgeBytes + piece_);
    size_t length = carried_ + reader_.Read(bytes_.data() + carried_, piece_);
    piece_ = std::min(piece_ * 2, kPieceBytes);
    bool atEnd = reader_.AtEnd();
    if (cutAtZero_) {
      // The expression sees the text up to its first zero byte.
      if (const void* zero = std::memchr(bytes_.data() + carried_, '\0', length - carried_)) {
        length = static_cast<size_t>(static_cast<const char*>(zero) - bytes_.data());
        atEnd = true;
      }
    }
    units_.resize(length);
    origin_.resize(length + 1);
    const size_t count =
        DecodeUnits(encoding_, bytes_.data(), length, units_.data(), origin_.data());
    size_t keep = count;
    if (!atEnd) {
      while (keep > 0 && static_cast<size_t>(origin_[keep - 1]) + kEdgeBytes > length) --keep;
    }
    const size_t used = keep < count ? static_cast<size_t>(origin_[keep]) : length;
    window.units.insert(window.units.end(), units_.begin(),
                        units_.begin() + static_cast<std::ptrdiff_t>(keep));
    const size_t at = window.origins.size() - 1;
    window.origins.resize(at + keep + 1);
    uint64_t* origins = window.origins.data() + at;
    for (size_t k = 0; k < keep; ++k) origins[k] = base_ + uint64_t(origin_[k]);
    base_ += used;
    origins[keep] = base_;
    carried_ = length - used;
    std::memmove(bytes_.data(), bytes_.data() + used, carried_);
    done_ = atEnd;
  }

 private:
  TextPieces& reader_;
  TextEncoding encoding_;
  bool cutAtZero_;
  bool done_ = false;
  std::vector<char> bytes_;
  std::vector<char32_t> units_;
  std::vector<int32_t> origin_;
  size_t piece_ = kFirstPieceBytes;  // bytes of text the next step reads
  size_t carried_ = 0;               // bytes at the front of bytes_ not decoded yet
  uint64_t base_ = 0;                // text offset of bytes_[0]
};

}  // namespace

bool LineMatcher::MatchLong(FileSlot& slot, int32_t line, int64_t& matchStart, int64_t& matchEnd,
                            const std::function<bool()>& poll) {
  LineTextReader reader(slot, line);
  if (!reader.ok()) return false;
  return MatchPieces(reader, matchStart, matchEnd, poll);
}

bool LineMatcher::MatchLongNear(FileSlot& slot, int32_t line, uint64_t near, int64_t& matchStart,
                                int64_t& matchEnd, const std::function<bool()>& poll) {
  if (reachBefore_ == SIZE_MAX) return MatchLong(slot, line, matchStart, matchEnd, poll);
  // A character takes at most 4 bytes and a TAB one, so no match (nor what
  // its look-behind reads) starts more than this before the needle's first
  // bytes.
  const uint64_t before = 4 * reachBefore_ + kEdgeBytes;
  constexpr size_t kReach = 64;  // bytes searched back for a known edge
  // A candidate within the first piece (kFirstPieceBytes) is matched from
  // the line's start: no edge to look for, no TABs to count. (Matching from
  // the start up to 64 KiB in cost a search on lines of megabytes a fifth
  // of its time: pieces up to 64 KiB decoded into fresh memory.)
  if (near < before + kReach + kFirstPieceBytes / 2) {
    return MatchLong(slot, line, matchStart, matchEnd, poll);
  }
  const LineBounds bounds = GetLineBounds(slot, line);
  const uint64_t target = near - before;
  const LineSlice s = GetLineSlice(slot, bounds, target - kReach, kReach + 1);
  const size_t k =
      s.size == kReach + 1 ? KnownEdgeBefore(encoding_, s.data, kReach, kReach) : SIZE_MAX;
  const uint64_t edge = target - kReach + k;
  uint64_t text = 0;
  // The expression sees the text up to its first zero byte: one before
  // the edge ends it there, which the whole way tells.
  if (k == SIZE_MAX || !TextOffsetInTiles(slot, bounds, edge, options_.Regex, text)) {
    return MatchLong(slot, line, matchStart, matchEnd, poll);
  }
  LineTextReader reader(slot, line, edge, text);
  return MatchFrom(reader, text, true, matchStart, matchEnd, poll);
}

bool LineMatcher::MatchPieces(TextPieces& text, int64_t& matchStart, int64_t& matchEnd,
                              const std::function<bool()>& poll) {
  return MatchFrom(text, 0, false, matchStart, matchEnd, poll);
}

bool LineMatcher::MatchFrom(TextPieces& text, uint64_t origin, bool notAtStart, int64_t& matchStart,
                            int64_t& matchEnd, const std::function<bool()>& poll) {
  if (!options_.Regex && needle_.empty()) return false;
  PieceDecoder decoder(text, encoding_, options_.Regex, origin);
  Window window;
  window.origins.front() = origin;
  const bool regex = options_.Regex;
  const size_t behind = regex ? regex_.lookBehind() : 0;
  size_t from = 0;  // the first unit a match may start at
  // notAtStart: units were dropped, or the text began after the line's
  // start: units[0] is not the line's first.
  size_t folded = 0;  // plain, case ignored: units already folded
  bool first = true;
  while (true) {
    if (!first && poll && !poll()) return false;
    first = false;
    decoder.Append(window);
    const bool more = !decoder.done();
    // Nothing new and more to come (a piece of a pending character only).
    if (more && window.size() <= from) continue;
    size_t start = 0;
    size_t end = 0;
    if (regex) {
      const UnitRegex::Piece found = regex_.FindInPiece(window.units.data(), window.size(), from,
                                                        notAtStart, more, start, end);
      if (found == UnitRegex::Piece::kYes) {
        matchStart = static_cast<int64_t>(window.origins[start]);
        matchEnd = static_cast<int64_t>(window.origins[end]);
        return true;
      }
      if (found == UnitRegex::Piece::kUndecided) {
        ++undecided_;
        return false;
      }
      if (!more) return false;
      const size_t next = found == UnitRegex::Piece::kPartial ? start : window.size();
      const size_t keepFrom = next - std::min(next, behind);
      if (window.size() - keepFrom > kMaxKeptUnits) {
        ++undecided_;
        return false;
      }
      if (keepFrom > 0) notAtStart = true;
      window.Drop(keepFrom);
      from = next - keepFrom;
      continue;
    }
    if (options_.IgnoreCase) {
      FoldUnits(window.units.data() + folded, window.size() - folded);
      folded = window.size();
    }
    const auto hit = std::search(window.units.begin() + static_cast<std::ptrdiff_t>(from),
                                 window.units.end(), needle_.begin(), needle_.end());
    if (hit != window.units.end()) {
      start = static_cast<size_t>(hit - window.units.begin());
      matchStart = static_cast<int64_t>(window.origins[start]);
      matchEnd = static_cast<int64_t>(window.origins[start + needle_.size()]);
      return true;
    }
    if (!more) return false;
    // Only the last (length - 1) units can begin a match that the next
    // piece completes.
    const size_t keep = std::min(window.size(), needle_.size() - 1);
    window.Drop(window.size() - keep);
    folded = window.size();
    from = 0;
  }
}

namespace {

// Bytes [0, limit) of text cut back to its last character edge (as decoded
// from text[0], an edge), or all of it when it is not longer.
size_t EdgeBefore(TextEncoding encoding, const std::string& text, size_t limit) {
  if (text.size() <= limit) return text.size();
  size_t at = 0;
  while (at < text.size()) {
    const CharSpan c = NextChar(encoding, text.data() + at, text.size() - at);
    if (at + static_cast<size_t>(c.length) > limit) break;
    at += static_cast<size_t>(c.length);
  }
  return at;
}

}  // namespace

std::string LongHitText(FileSlot& slot, int32_t line, int64_t matchStart, int64_t matchEnd) {
  const TextEncoding encoding = slot.Encoding;
  std::string mark;
  Encode(encoding, u" … ", mark);
  const uint64_t start = static_cast<uint64_t>(std::max<int64_t>(matchStart, 0));
  const uint64_t end = std::max(static_cast<uint64_t>(std::max<int64_t>(matchEnd, 0)), start);
  std::string head(kShownStart + 8, '\0');
  LineTextReader reader(slot, line);
  head.resize(reader.Read(head.data(), head.size()));
  const bool whole = reader.AtEnd() && head.size() <= kShownStart;
  if (whole || end <= kShownStart) {
    // The hit lies in the line's start: the start is all that is shown.
    const size_t cut = EdgeBefore(encoding, head, std::max<size_t>(kShownStart, end));
    return head.substr(0, cut) + (cut < head.size() || !reader.AtEnd() ? mark : std::string());
  }
  std::string text = head.substr(0, EdgeBefore(encoding, head, kShownStart)) + mark;
  // The hit and what follows it, from its first byte (a character edge).
  LineTextReader from(slot, line);
  if (from.Skip(start) != start) return text;
  const size_t hitBytes = static_cast<size_t>(std::min<uint64_t>(end - start, kShownHit));
  std::string tail(hitBytes + kShownAfter + 8, '\0');
  tail.resize(from.Read(tail.data(), tail.size()));
  const size_t cut = EdgeBefore(encoding, tail, hitBytes + kShownAfter);
  text.append(tail, 0, cut);
  if (cut < tail.size() || !from.AtEnd()) text += mark;
  return text;
}

}  // namespace search_detail
