#include "store/encoding.h"

#include <emmintrin.h>
#include <iconv.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

constexpr char16_t kStandIn = u'\u00B7';  // half-width in the page fonts: one cell
constexpr char16_t kReplacement = u'\uFFFD';

bool IsCp932Lead(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
bool IsCp932Trail(unsigned char b) { return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC); }
bool IsEucByte(unsigned char b) { return b >= 0xA1 && b <= 0xFE; }
bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Index of a lead byte in the double-byte table: 0x81..0x9F then 0xE0..0xFC.
int LeadIndex(unsigned char b) { return b <= 0x9F ? b - 0x81 : b - 0xE0 + 31; }
constexpr int kLeadCount = 31 + 29;
constexpr int kTrailCount = 0xFD - 0x40;  // indexed by trail - 0x40; 0x7F stays unmapped
constexpr int kJisCount = 94;             // rows and cells of a JIS plane: 0xA1..0xFE in EUC

// One character through the C library's converter, or kNoCharacter.
char32_t ConvertOne(iconv_t cd, const char* bytes, size_t length) {
  if (cd == reinterpret_cast<iconv_t>(-1)) return kNoCharacter;
  char32_t out[2] = {};
  char* in = const_cast<char*>(bytes);
  size_t inLeft = length;
  char* dst = reinterpret_cast<char*>(out);
  size_t outLeft = sizeof out;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  const size_t r = iconv(cd, &in, &inLeft, &dst, &outLeft);
  if (r == static_cast<size_t>(-1) || inLeft != 0 || sizeof out - outLeft != sizeof(char32_t)) {
    return kNoCharacter;
  }
  return out[0];
}

// Shift-JIS code of the JIS X 0208 row and cell held by an EUC-JP pair.
uint16_t EucPairToSjis(unsigned char b1, unsigned char b2) {
  const int j1 = b1 - 0x80;
  const int j2 = b2 - 0x80;
  const int s1 = ((j1 + 1) >> 1) + (j1 <= 0x5E ? 0x70 : 0xB0);
  const int s2 = j2 + ((j1 & 1) != 0 ? (j2 < 0x60 ? 0x1F : 0x20) : 0x7E);
  return static_cast<uint16_t>((s1 << 8) | s2);
}

// The decoding tables, built once from the C library's converters (a few
// milliseconds, on first use). EUC-JP's JIS X 0208 plane is read through the
// Shift-JIS table, so a character decodes to the same code point in both;
// its JIS X 0212 plane comes from the library's EUC-JP.
struct Tables {
  std::array<char32_t, 256> cp932Single{};  // kNoCharacter for lead and unassigned
  std::vector<char16_t> cp932Pair;          // 0 = unassigned
  std::vector<char16_t> jis0212;            // [row * 94 + cell], 0 = unassigned
  std::vector<uint16_t> cp932Reverse;       // BMP code point -> code, 0 = none
  std::vector<uint32_t> eucReverse;         // BMP code point -> bytes, 0 = none
  std::vector<uint8_t> doubleByte;          // bit set: BMP characters CP932 writes
                                            // with two bytes
  std::vector<uint8_t> cp932Codes;          // BMP code point -> codes that decode to it
  std::vector<uint8_t> eucCodes;            // (counted up to 255)

  Tables()
      : cp932Pair(kLeadCount * kTrailCount, 0),
        jis0212(kJisCount * kJisCount, 0),
        cp932Reverse(0x10000, 0),
        eucReverse(0x10000, 0),
        doubleByte(0x10000 / 8, 0),
        cp932Codes(0x10000, 0),
        eucCodes(0x10000, 0) {
    iconv_t sjis = iconv_open("UTF-32LE", "CP932");
    iconv_t euc = iconv_open("UTF-32LE", "EUC-JP");
    for (int b = 0; b < 256; ++b) {
      if (b < 0x80) {
        cp932Single[b] = static_cast<char32_t>(b);
      } else if (b >= 0xA1 && b <= 0xDF) {
        cp932Single[b] = 0xFF61 + (b - 0xA1);
      } else {
        cp932Single[b] = kNoCharacter;  // leads, 0x80, 0xA0, 0xFD..0xFF
      }
    }
    // Reverse tables: the first code met wins. Leads are walked so that
    // Windows' preferred form of a duplicated character comes first: NEC's
    // row 13 before the IBM extensions at 0xFA..0xFC, and those before the
    // NEC-selected copies at 0xED..0xEE.
    std::vector<int> leads;
    for (int lead = 0x81; lead <= 0x9F; ++lead) leads.push_back(lead);
    for (int lead = 0xE0; lead <= 0xFC; ++lead) {
      if (lead != 0xED && lead != 0xEE) leads.push_back(lead);
    }
    leads.push_back(0xED);
    leads.push_back(0xEE);
    for (const int lead : leads) {
      for (int trail = 0x40; trail <= 0xFC; ++trail) {
        if (!IsCp932Trail(static_cast<unsigned char>(trail))) continue;
        const char bytes[2] = {static_cast<char>(lead), static_cast<char>(trail)};
        const char32_t c = ConvertOne(sjis, bytes, 2);
        if (c == kNoCharacter || c == 0 || c > 0xFFFF) continue;
        cp932Pair[LeadIndex(static_cast<unsigned char>(lead)) * kTrailCount + (trail - 0x40)] =
            static_cast<char16_t>(c);
        doubleByte[c >> 3] = static_cast<uint8_t>(doubleByte[c >> 3] | (1u << (c & 7)));
        Count(cp932Codes, c);
        if (cp932Reverse[c] == 0) cp932Reverse[c] = static_cast<uint16_t>((lead << 8) | trail);
      }
    }
    for (int b = 0x80; b < 0x100; ++b) {
      const char32_t c = cp932Single[b];
      if (c != kNoCharacter && cp932Reverse[c] == 0) cp932Reverse[c] = static_cast<uint16_t>(b);
      if (c != kNoCharacter) Count(cp932Codes, c);
    }
    // EUC-JP: JIS X 0208 first, then half-width kana, then JIS X 0212.
    for (int b1 = 0xA1; b1 <= 0xFE; ++b1) {
      for (int b2 = 0xA1; b2 <= 0xFE; ++b2) {
        const char32_t c =
            Pair(EucPairToSjis(static_cast<unsigned char>(b1), static_cast<unsigned char>(b2)));
        if (c != kNoCharacter && eucReverse[c] == 0) eucReverse[c] = (b1 << 8) | b2;
        if (c != kNoCharacter) Count(eucCodes, c);
      }
    }
    for (int b = 0xA1; b <= 0xDF; ++b) {
      eucReverse[0xFF61 + (b - 0xA1)] = 0x8E00 | b;
      Count(eucCodes, 0xFF61 + (b - 0xA1));
    }
    for (int row = 0; row < kJisCount; ++row) {
      for (int cell = 0; cell < kJisCount; ++cell) {
        const char bytes[3] = {static_cast<char>(0x8F), static_cast<char>(0xA1 + row),
                               static_cast<char>(0xA1 + cell)};
        const char32_t c = ConvertOne(euc, bytes, 3);
        if (c == kNoCharacter || c == 0 || c > 0xFFFF) continue;
        jis0212[row * kJisCount + cell] = static_cast<char16_t>(c);
        Count(eucCodes, c);
        if (eucReverse[c] == 0) eucReverse[c] = 0x8F0000u | ((0xA1u + row) << 8) | (0xA1u + cell);
      }
    }
    // Characters that other converters (and input methods) give for the
    // same marks that Shift-JIS decodes differently: typed text finds them.
    constexpr std::pair<char32_t, char32_t> kAliases[] = {
        {0x301C, 0xFF5E},  // wave dash -> full-width tilde
        {0x2016, 0x2225},  // double vertical line -> parallel to
        {0x2212, 0xFF0D},  // minus sign -> full-width hyphen-minus
        {0x00A2, 0xFFE0},  // cent sign
        {0x00A3, 0xFFE1},  // pound sign
        {0x00AC, 0xFFE2},  // not sign
        {0x2014, 0x2015},  // em dash -> horizontal bar
        {0x00A6, 0xFFE4},  // broken bar
    };
    for (const auto& [from, to] : kAliases) {
      if (cp932Reverse[from] == 0) cp932Reverse[from] = cp932Reverse[to];
      if (eucReverse[from] == 0) eucReverse[from] = eucReverse[to];
    }
    if (sjis != reinterpret_cast<iconv_t>(-1)) iconv_close(sjis);
    if (euc != reinterpret_cast<iconv_t>(-1)) iconv_close(euc);
  }

  static void Count(std::vector<uint8_t>& codes, char32_t c) {
    if (codes[c] < 255) ++codes[c];
  }

  char32_t Pair(uint16_t code) const {
    const auto lead = static_cast<unsigned char>(code >> 8);
    const auto trail = static_cast<unsigned char>(code & 0xFF);
    if (!IsCp932Lead(lead) || !IsCp932Trail(trail)) return kNoCharacter;
    const char16_t c = cp932Pair[LeadIndex(lead) * kTrailCount + (trail - 0x40)];
    return c != 0 ? c : kNoCharacter;
  }
  bool IsDoubleByte(char32_t c) const {
    return c < 0x10000 && (doubleByte[c >> 3] & (1u << (c & 7))) != 0;
  }
};

const Tables& T() {
  static const Tables tables;
  return tables;
}

// East Asian wide and full-width ranges (Unicode 15), first and last.
constexpr std::pair<char32_t, char32_t> kWideRanges[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
    {0x23F0, 0x23F0},   {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},
    {0x2648, 0x2653},   {0x267F, 0x267F},   {0x2693, 0x2693},   {0x26A1, 0x26A1},
    {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},   {0x26CE, 0x26CE},
    {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},
    {0x2728, 0x2728},   {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},
    {0x2757, 0x2757},   {0x2795, 0x2797},   {0x27B0, 0x27B0},   {0x27BF, 0x27BF},
    {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},   {0x2E80, 0x303E},
    {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
    {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},
    {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4},
    {0x17000, 0x18CFF}, {0x1B000, 0x1B2FF}, {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF},
    {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F251}, {0x1F300, 0x1F64F},
    {0x1F680, 0x1F6FF}, {0x1F900, 0x1F9FF}, {0x1FA70, 0x1FAFF}, {0x20000, 0x3FFFD},
};

// Characters that take no column of their own: combining marks, variation
// selectors, joiners and other invisible format characters. They draw on the
// character before them and go with it wherever a column is counted.
constexpr std::pair<char32_t, char32_t> kZeroWidthRanges[] = {
    {0x0300, 0x036F},   {0x0483, 0x0489},   {0x0591, 0x05BD},   {0x05BF, 0x05BF},
    {0x05C1, 0x05C2},   {0x05C4, 0x05C5},   {0x05C7, 0x05C7},   {0x0610, 0x061A},
    {0x064B, 0x065F},   {0x0670, 0x0670},   {0x06D6, 0x06DC},   {0x06DF, 0x06E4},
    {0x06E7, 0x06E8},   {0x06EA, 0x06ED},   {0x0E31, 0x0E31},   {0x0E34, 0x0E3A},
    {0x0E47, 0x0E4E},   {0x1AB0, 0x1AFF},   {0x1DC0, 0x1DFF},   {0x200B, 0x200F},
    {0x202A, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},   {0x20D0, 0x20FF},
    {0x302A, 0x302F},   {0x3099, 0x309A},   {0xFE00, 0xFE0F},   {0xFE20, 0xFE2F},
    {0xFEFF, 0xFEFF},   {0x1F3FB, 0x1F3FF}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
    {0xE0100, 0xE01EF},
};

template <size_t N>
bool InRanges(const std::pair<char32_t, char32_t> (&ranges)[N], char32_t c) {
  const auto* it = std::upper_bound(std::begin(ranges), std::end(ranges), c,
                                    [](char32_t v, const auto& r) { return v < r.first; });
  return it != std::begin(ranges) && c <= (it - 1)->second;
}

CharSpan Invalid(int length) { return CharSpan{length, length, kNoCharacter}; }

CharSpan NextCp932(const unsigned char* p, size_t length) {
  const unsigned char b = p[0];
  if (b < 0x80) return CharSpan{1, 1, b};
  if (IsCp932Lead(b)) {
    if (length < 2 || !IsCp932Trail(p[1])) return Invalid(1);
    const char32_t c = T().Pair(static_cast<uint16_t>((b << 8) | p[1]));
    return CharSpan{2, 2, c};  // two cells whether it maps or not
  }
  const char32_t c = T().cp932Single[b];
  return CharSpan{1, 1, c};
}

CharSpan NextUtf8(const unsigned char* p, size_t length) {
  const unsigned char b = p[0];
  if (b < 0x80) return CharSpan{1, 1, b};
  int n = 0;
  char32_t c = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
    c = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    c = b & 0x0F;
    if (b == 0xE0) lo = 0xA0;  // no overlong forms
    if (b == 0xED) hi = 0x9F;  // no surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    c = b & 0x07;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
  } else {
    return Invalid(1);
  }
  if (length < static_cast<size_t>(n) || p[1] < lo || p[1] > hi) return Invalid(1);
  for (int i = 1; i < n; ++i) {
    if (!IsContinuation(p[i])) return Invalid(1);
    c = (c << 6) | (p[i] & 0x3F);
  }
  return CharSpan{n, CodePointCells(c), c};
}

CharSpan NextEucJp(const unsigned char* p, size_t length) {
  const unsigned char b = p[0];
  if (b < 0x80) return CharSpan{1, 1, b};
  if (b == 0x8E) {
    if (length >= 2 && p[1] >= 0xA1 && p[1] <= 0xDF) return CharSpan{2, 1, 0xFF61u + (p[1] - 0xA1)};
    return Invalid(1);
  }
  if (b == 0x8F) {
    if (length < 3 || !IsEucByte(p[1]) || !IsEucByte(p[2])) return Invalid(1);
    const char16_t c = T().jis0212[(p[1] - 0xA1) * kJisCount + (p[2] - 0xA1)];
    if (c == 0) return Invalid(3);
    return CharSpan{3, CodePointCells(c), c};
  }
  if (IsEucByte(b)) {
    if (length < 2 || !IsEucByte(p[1])) return Invalid(1);
    const char32_t c = T().Pair(EucPairToSjis(b, p[1]));
    if (c == kNoCharacter) return Invalid(2);
    return CharSpan{2, CodePointCells(c), c};
  }
  return Invalid(1);
}

void Append(std::string& out, uint32_t bytes, int count) {
  for (int i = count - 1; i >= 0; --i) out.push_back(static_cast<char>((bytes >> (8 * i)) & 0xFF));
}

}  // namespace

const char* EncodingName(TextEncoding encoding) {
  switch (encoding) {
    case TextEncoding::kUtf8:
      return "UTF-8";
    case TextEncoding::kEucJp:
      return "EUC-JP";
    case TextEncoding::kCp932:
      break;
  }
  return "Shift_JIS";
}

namespace {

int CellsOf(char32_t code) {
  if (code < 0x300) return code < 0x80 || !T().IsDoubleByte(code) ? 1 : 2;
  if (InRanges(kZeroWidthRanges, code)) return 0;
  if (T().IsDoubleByte(code)) return 2;
  return code >= 0x1100 && InRanges(kWideRanges, code) ? 2 : 1;
}

// The cells of every character of the basic plane, counted once (64 KiB):
// a page of Japanese text asks for thousands a row.
const std::array<uint8_t, 0x10000>& BasicPlaneCells() {
  static const std::array<uint8_t, 0x10000> cells = [] {
    std::array<uint8_t, 0x10000> table{};
    for (char32_t c = 0; c < 0x10000; ++c) table[c] = static_cast<uint8_t>(CellsOf(c));
    return table;
  }();
  return cells;
}

}  // namespace

int CodePointCells(char32_t code) {
  if (code < 0x80) return 1;
  return code < 0x10000 ? BasicPlaneCells()[code] : CellsOf(code);
}

CharSpan NextChar(TextEncoding encoding, const char* text, size_t length) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  switch (encoding) {
    case TextEncoding::kUtf8:
      return NextUtf8(p, length);
    case TextEncoding::kEucJp:
      return NextEucJp(p, length);
    case TextEncoding::kCp932:
      break;
  }
  return NextCp932(p, length);
}

namespace {

// NextUtf8 with the three-byte form most CJK text is written in taken
// first, without the branches of the general decode: the leads E1 to EC,
// EE and EF, whose second bytes span every continuation byte. cells is
// BasicPlaneCells, fetched once for a run.
struct Utf8Run {
  const uint8_t* cells = BasicPlaneCells().data();
  __attribute__((always_inline)) CharSpan operator()(const unsigned char* p, size_t length) const {
    const unsigned char b = p[0];
    if (length >= 3 && (b & 0xF0) == 0xE0 && b != 0xE0 && b != 0xED && (p[1] & 0xC0) == 0x80 &&
        (p[2] & 0xC0) == 0x80) {
      const char32_t c =
          static_cast<char32_t>(((b & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F));
      return CharSpan{3, cells[c], c};
    }
    return NextUtf8(p, length);
  }
};

// NextCp932's lengths and cells, without the code point a run does not
// need: every character of it has cells.
struct Cp932Run {
  CharSpan operator()(const unsigned char* p, size_t length) const {
    if (p[0] >= 0x80 && IsCp932Lead(p[0])) {
      return length >= 2 && IsCp932Trail(p[1]) ? CharSpan{2, 2, kNoCharacter} : Invalid(1);
    }
    return CharSpan{1, 1, kNoCharacter};
  }
};

template <CharSpan (*Decode)(const unsigned char*, size_t)>
struct Plain {
  CharSpan operator()(const unsigned char* p, size_t length) const { return Decode(p, length); }
};

template <typename Next>
CellRun CellRunWith(Next next_char, const unsigned char* p, size_t length, size_t begin_before,
                    int64_t max_cells, size_t max_bytes, size_t max_chars) {
  CellRun run;
  if (length == 0 || p[0] < 0x80) return run;
  CharSpan c = next_char(p, length);
  while (run.chars < max_chars && run.bytes < begin_before && c.cells > 0) {
    const size_t next = run.bytes + static_cast<size_t>(c.length);
    if (next >= length || next > max_bytes || run.cells + c.cells > max_cells) break;
    const CharSpan d = next_char(p + next, length - next);
    if (d.cells <= 0) break;  // it joins c
    run.bytes = next;
    run.cells += c.cells;
    ++run.chars;
    if (p[next] < 0x80) break;
    c = d;
  }
  return run;
}

}  // namespace

CellRun CellRunOf(TextEncoding encoding, const char* text, size_t length, size_t begin_before,
                  int64_t max_cells, size_t max_bytes, size_t max_chars) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  switch (encoding) {
    case TextEncoding::kUtf8:
      return CellRunWith(Utf8Run{}, p, length, begin_before, max_cells, max_bytes, max_chars);
    case TextEncoding::kEucJp:
      return CellRunWith(Plain<NextEucJp>{}, p, length, begin_before, max_cells, max_bytes,
                         max_chars);
    case TextEncoding::kCp932:
      break;
  }
  return CellRunWith(Cp932Run{}, p, length, begin_before, max_cells, max_bytes, max_chars);
}

size_t KnownEdgeBefore(TextEncoding encoding, const char* text, size_t pos, size_t reach) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  for (size_t k = pos; k + reach >= pos; --k) {
    const unsigned char b = p[k];
    switch (encoding) {
      case TextEncoding::kUtf8:
        // A sequence takes only continuation bytes after its first.
        if (!IsContinuation(b)) return k;
        break;
      case TextEncoding::kEucJp:
        // Every byte after a sequence's first is 0xA1..0xFE.
        if (!IsEucByte(b)) return k;
        break;
      case TextEncoding::kCp932:
        // A byte that is never a trail begins a character; a byte that is
        // never a lead ends one (alone or as a trail).
        if (!IsCp932Trail(b) || (k > 0 && k + reach > pos && !IsCp932Lead(p[k - 1]))) return k;
        break;
    }
    if (k == 0) break;
  }
  return SIZE_MAX;
}

bool IsCharStart(TextEncoding encoding, const char* text, size_t length, size_t pos) {
  if (pos == 0 || pos >= length) return true;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  if (encoding == TextEncoding::kUtf8) {
    // Every byte but a continuation byte begins a character; a continuation
    // byte does unless a well-formed sequence up to three bytes back holds it.
    if (!IsContinuation(p[pos])) return true;
    for (size_t back = 1; back <= 3 && back <= pos; ++back) {
      if (IsContinuation(p[pos - back])) continue;
      return NextUtf8(p + pos - back, length - (pos - back)).length <= static_cast<int>(back);
    }
    return true;
  }
  // Walk forward from the nearest byte before pos that is never the second
  // or third byte of a character, and so always begins one.
  size_t from = pos;
  while (from > 0) {
    const unsigned char b = p[from - 1];
    const bool neverTrail =
        encoding == TextEncoding::kCp932 ? !IsCp932Trail(b) : (b < 0xA1 || b == 0xFF);
    --from;
    if (neverTrail) break;
  }
  size_t at = from;
  while (at < pos) at += static_cast<size_t>(NextChar(encoding, text + at, length - at).length);
  return at == pos;
}

int CellWidth(TextEncoding encoding, const char* text, size_t length) {
  if (encoding == TextEncoding::kCp932) return static_cast<int>(length);  // one cell per byte
  int cells = 0;
  size_t at = 0;
  while (at < length) {
    const auto b = static_cast<unsigned char>(text[at]);
    if (b < 0x80) {
      ++cells;
      ++at;
      continue;
    }
    const CharSpan c = NextChar(encoding, text + at, length - at);
    cells += c.cells;
    at += static_cast<size_t>(c.length);
  }
  return cells;
}

size_t DecodeInto(TextEncoding encoding, const char* text, size_t length, DecodeMode mode,
                  char16_t* out) {
  const char16_t bad = mode == DecodeMode::kStandIns ? kStandIn : kReplacement;
  char16_t* dst = out;
  size_t at = 0;
  while (at < length) {
    const auto b = static_cast<unsigned char>(text[at]);
    if (b < 0x80) {  // the common case: ASCII, the same in every encoding
      // A zero byte is a stand-in even on the clipboard: other programs end
      // pasted text at a NUL.
      *dst++ = b == 0 ? kStandIn : b;
      ++at;
      continue;
    }
    const CharSpan c = NextChar(encoding, text + at, length - at);
    if (c.code == kNoCharacter) {
      for (int i = 0; i < c.length; ++i) *dst++ = bad;
    } else if (c.code < 0x10000) {
      *dst++ = static_cast<char16_t>(c.code);
    } else {
      const char32_t v = c.code - 0x10000;
      *dst++ = static_cast<char16_t>(0xD800 + (v >> 10));
      *dst++ = static_cast<char16_t>(0xDC00 + (v & 0x3FF));
    }
    at += static_cast<size_t>(c.length);
  }
  return static_cast<size_t>(dst - out);
}

std::u16string Decode(TextEncoding encoding, std::string_view text, DecodeMode mode) {
  std::u16string out(text.size(), u'\0');
  out.resize(DecodeInto(encoding, text.data(), text.size(), mode, out.data()));
  return out;
}

size_t DecodeUnits(TextEncoding encoding, const char* text, size_t length, char32_t* out,
                   int32_t* origin) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  size_t units = 0;
  size_t at = 0;
  while (at < length) {
    if (p[at] < 0x80) {
      // ASCII is the same in every encoding and most of most lines: sixteen
      // bytes at a time while they are all ASCII.
      while (at + 16 <= length) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
        if (_mm_movemask_epi8(bytes) != 0) break;
        const __m128i zero = _mm_setzero_si128();
        const __m128i low = _mm_unpacklo_epi8(bytes, zero);
        const __m128i high = _mm_unpackhi_epi8(bytes, zero);
        auto* dst = reinterpret_cast<__m128i*>(out + units);
        _mm_storeu_si128(dst, _mm_unpacklo_epi16(low, zero));
        _mm_storeu_si128(dst + 1, _mm_unpackhi_epi16(low, zero));
        _mm_storeu_si128(dst + 2, _mm_unpacklo_epi16(high, zero));
        _mm_storeu_si128(dst + 3, _mm_unpackhi_epi16(high, zero));
        if (origin != nullptr) {
          const __m128i base = _mm_set1_epi32(static_cast<int32_t>(at));
          auto* o = reinterpret_cast<__m128i*>(origin + units);
          _mm_storeu_si128(o, _mm_add_epi32(base, _mm_setr_epi32(0, 1, 2, 3)));
          _mm_storeu_si128(o + 1, _mm_add_epi32(base, _mm_setr_epi32(4, 5, 6, 7)));
          _mm_storeu_si128(o + 2, _mm_add_epi32(base, _mm_setr_epi32(8, 9, 10, 11)));
          _mm_storeu_si128(o + 3, _mm_add_epi32(base, _mm_setr_epi32(12, 13, 14, 15)));
        }
        at += 16;
        units += 16;
      }
      if (at >= length || p[at] >= 0x80) continue;
      size_t end = at + 1;
      while (end < length && p[end] < 0x80) ++end;
      for (; at < end; ++at, ++units) {
        out[units] = p[at];
        if (origin != nullptr) origin[units] = static_cast<int32_t>(at);
      }
      continue;
    }
    const CharSpan c = NextChar(encoding, text + at, length - at);
    out[units] = c.code != kNoCharacter ? c.code : UndecodableUnit(text + at, c.length);
    if (origin != nullptr) origin[units] = static_cast<int32_t>(at);
    ++units;
    at += static_cast<size_t>(c.length);
  }
  if (origin != nullptr) origin[units] = static_cast<int32_t>(length);
  return units;
}

bool HasOtherCodes(TextEncoding encoding, char32_t code) {
  if (code >= 0x10000 || encoding == TextEncoding::kUtf8) return false;
  const std::vector<uint8_t>& codes =
      encoding == TextEncoding::kCp932 ? T().cp932Codes : T().eucCodes;
  return codes[code] > 1;
}

bool Encode(TextEncoding encoding, std::u16string_view text, std::string& out, size_t* badIndex) {
  out.clear();
  out.reserve(text.size() * 3);
  const Tables& t = T();
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    const size_t at = i;
    auto fail = [&] {
      if (badIndex != nullptr) *badIndex = at;
      return false;
    };
    if (c >= 0xD800 && c <= 0xDFFF) {
      if (c >= 0xDC00 || i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) {
        return fail();  // a lone surrogate is no character
      }
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    switch (encoding) {
      case TextEncoding::kUtf8:
        if (c < 0x800) {
          Append(out, 0xC080 | ((c >> 6) << 8) | (c & 0x3F), 2);
        } else if (c < 0x10000) {
          Append(out, 0xE08080 | ((c >> 12) << 16) | (((c >> 6) & 0x3F) << 8) | (c & 0x3F), 3);
        } else {
          Append(out,
                 0xF0808080u | ((c >> 18) << 24) | (((c >> 12) & 0x3F) << 16) |
                     (((c >> 6) & 0x3F) << 8) | (c & 0x3F),
                 4);
        }
        break;
      case TextEncoding::kCp932: {
        const uint16_t code = c < 0x10000 ? t.cp932Reverse[c] : 0;
        if (code == 0) return fail();
        Append(out, code, code > 0xFF ? 2 : 1);
        break;
      }
      case TextEncoding::kEucJp: {
        const uint32_t code = c < 0x10000 ? t.eucReverse[c] : 0;
        if (code == 0) return fail();
        Append(out, code, code > 0xFFFF ? 3 : 2);
        break;
      }
    }
  }
  return true;
}

void UpperCaseAscii(TextEncoding encoding, char* text, size_t length) {
  if (encoding != TextEncoding::kCp932) {
    // UTF-8 and EUC-JP never use a byte below 0x80 inside a multi-byte
    // character, so every a-z byte is a letter of its own.
    for (size_t i = 0; i < length; ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (c >= 'a' && c <= 'z') text[i] = static_cast<char>(c - ('a' - 'A'));
    }
    return;
  }
  size_t i = 0;
  while (i < length) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 'a' && c <= 'z') text[i] = static_cast<char>(c - ('a' - 'A'));
    i += static_cast<size_t>(
        NextCp932(reinterpret_cast<unsigned char*>(text + i), length - i).length);
  }
}

// --- detection ----------------------------------------------------------------

namespace {

struct Tally {
  size_t multiByte = 0;      // well-formed characters of more than one byte
  size_t longSequences = 0;  // UTF-8 only: characters of three or four bytes
  size_t bad = 0;            // bytes that begin no character, and codes that map to none
  size_t narrowKana = 0;     // CP932 only: single-byte half-width kana
  size_t eucOnly = 0;        // EUC-JP only: half-width kana (8E xx), JIS X 0212 (8F xx xx)
};

// cut: the sample may end inside a character; its last bytes are not counted.
Tally Count(TextEncoding encoding, const unsigned char* p, size_t length, bool cut) {
  Tally t;
  size_t at = 0;
  while (at < length) {
    if (p[at] < 0x80) {
      ++at;
      continue;
    }
    if (cut && length - at < 4) break;
    const CharSpan c = NextChar(encoding, reinterpret_cast<const char*>(p + at), length - at);
    if (c.code == kNoCharacter) {
      ++t.bad;
    } else if (c.length > 1) {
      ++t.multiByte;
      if (c.length > 2 && encoding == TextEncoding::kUtf8) ++t.longSequences;
      if (encoding == TextEncoding::kEucJp && (p[at] == 0x8E || p[at] == 0x8F)) ++t.eucOnly;
    } else if (encoding == TextEncoding::kCp932) {
      ++t.narrowKana;
    }
    at += static_cast<size_t>(c.length);
  }
  return t;
}

// A UTF-16 code unit that text holds: line ends and TABs, printable ASCII
// and Latin, Greek and Cyrillic, punctuation and symbols, kana, CJK
// ideographs, Hangul, full-width forms, and surrogates (characters beyond
// the BMP). Zero, other control codes and private use are not text.
bool IsTextUnit(uint16_t u) {
  if (u < 0x80) return u == 0x09 || u == 0x0A || u == 0x0D || (u >= 0x20 && u < 0x7F);
  return (u >= 0xA0 && u <= 0x052F) || (u >= 0x2000 && u <= 0x2BFF) ||
         (u >= 0x3000 && u <= 0x30FF) || (u >= 0x3400 && u <= 0x4DBF) ||
         (u >= 0x4E00 && u <= 0x9FFF) || (u >= 0xAC00 && u <= 0xDFFF) ||
         (u >= 0xF900 && u <= 0xFAFF) || (u >= 0xFE30 && u <= 0xFE4F) ||
         (u >= 0xFF00 && u <= 0xFFEF);
}

// 0 when the bytes are not UTF-16 text, 1 for little-endian, 2 for
// big-endian.
int Utf16Order(const unsigned char* p, size_t length) {
  if (length >= 2 && p[0] == 0xFF && p[1] == 0xFE) return 1;
  if (length >= 2 && p[0] == 0xFE && p[1] == 0xFF) return 2;
  const size_t pairs = length / 2;
  if (pairs < 2) return 0;
  size_t zeros[2] = {0, 0};  // at even and at odd offsets
  for (size_t i = 0; i < pairs; ++i) {
    zeros[0] += p[2 * i] == 0;
    zeros[1] += p[2 * i + 1] == 0;
  }
  // ASCII in UTF-16: every other byte is zero, allowing a few characters
  // outside Latin-1; a run of zeros (both sides) is not text.
  const size_t most = std::max(zeros[0], zeros[1]);
  const size_t least = std::min(zeros[0], zeros[1]);
  // The zeros are the high bytes: at odd offsets in little-endian.
  if (most * 10 >= pairs * 9 && least * 10 <= pairs) return zeros[1] >= zeros[0] ? 1 : 2;
  // Japanese in UTF-16 has zeros only where it holds ASCII, at least in its
  // line ends; text in the other encodings holds no zero byte at all. The
  // zeros alone do not tell the byte order (U+3000 and U+4E00 put one in the
  // low byte), so each order is tried: a line feed unit, units that are
  // nearly all text, and none that ASCII with stray zero bytes would make:
  // a zero unit, or a line feed or carriage return as the high byte (where
  // the line ends of ASCII text land in every other line). Pairs of ASCII
  // bytes read as CJK units too, but their low bytes stay below 0x80, where
  // those of kanji fall about half of the time; kana count whatever their
  // low byte (hiragana from あ to み have one below 0x80).
  if (most == 0) return 0;
  for (const int high : {1, 0}) {  // 1: little-endian
    size_t text = 0;
    bool lineFeed = false;
    bool asciiSign = false;
    size_t wide = 0;     // units beyond Latin-1
    size_t highLow = 0;  // of them, those with a low byte of 0x80 or more
    for (size_t i = 0; i < pairs; ++i) {
      const uint16_t u = static_cast<uint16_t>((p[2 * i + high] << 8) | p[2 * i + 1 - high]);
      text += IsTextUnit(u);
      lineFeed = lineFeed || u == 0x0A;
      asciiSign = asciiSign || u == 0 || (u >> 8) == 0x0A || (u >> 8) == 0x0D;
      wide += u >= 0x100;
      highLow += u >= 0x100 && ((u & 0xFF) >= 0x80 || (u >= 0x3041 && u <= 0x30FF));
    }
    if (lineFeed && !asciiSign && text * 20 >= pairs * 19 && highLow * 4 >= wide) {
      return high == 1 ? 1 : 2;
    }
  }
  return 0;
}

}  // namespace

EncodingGuess DetectEncoding(const char* sample, size_t length, bool wholeFile) {
  EncodingGuess guess;
  const auto* p = reinterpret_cast<const unsigned char*>(sample);
  length = std::min(length, kDetectionSample);
  if (length >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
    guess.encoding = TextEncoding::kUtf8;
    guess.bomLength = 3;
    return guess;
  }
  if (const int order = Utf16Order(p, length); order != 0) {
    guess.utf16 = true;
    guess.utf16BigEndian = order == 2;
    return guess;
  }
  const bool cut = !wholeFile;
  const Tally utf8 = Count(TextEncoding::kUtf8, p, length, cut);
  if (utf8.multiByte == 0 && utf8.bad == 0) return guess;  // ASCII: the same in all three
  // A few broken bytes (a line cut by another program, a stray byte) do not
  // make a UTF-8 file something else. Shift-JIS text read as UTF-8 breaks on
  // nearly every character, EUC-JP text on more than half of them, and
  // neither forms many three-byte sequences, which Japanese in UTF-8 is made
  // of; half-width kana in Shift-JIS do form two-byte ones, one pair in four.
  if (utf8.multiByte > 2 * utf8.bad || utf8.longSequences > utf8.bad) {
    guess.encoding = TextEncoding::kUtf8;
    return guess;
  }
  const Tally euc = Count(TextEncoding::kEucJp, p, length, cut);
  const Tally sjis = Count(TextEncoding::kCp932, p, length, cut);
  if (euc.multiByte == 0) return guess;
  if (euc.bad < sjis.bad) {
    guess.encoding = TextEncoding::kEucJp;
  } else if (euc.bad == sjis.bad && (euc.eucOnly > 0 || sjis.narrowKana > sjis.multiByte)) {
    // Both read it without a fault. EUC-JP's half-width kana and JIS X 0212
    // read as Shift-JIS kanji of two rows only (8E, 8F), with half-width kana
    // between them, which Shift-JIS text of any length does not do without
    // also using codes that EUC-JP cannot read. EUC-JP text read as
    // Shift-JIS turns mostly into half-width kana, which real Shift-JIS text
    // uses little.
    guess.encoding = TextEncoding::kEucJp;
  }
  return guess;
}
