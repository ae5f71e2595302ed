// The fast scan against the line-by-line oracle on many small random
// documents made of the bytes that trouble a scanner (line feeds, CRs, TABs,
// zero bytes, 0x5C, Shift-JIS lead and trail bytes, blanks, long runs), with
// random tab widths, patterns, options, top lines and directions. Any
// difference in the line, the offsets, the hits, TopLine or the progress
// calls is a fault of the fast scan. Fixed seeds: a failure repeats.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "search/search.h"
#include "search_fixture.h"
#include "store/encoding.h"

namespace {

struct Rng {
  uint64_t state;
  uint32_t Below(uint32_t n) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>((state >> 33) % n);
  }
  bool OneIn(uint32_t n) { return Below(n) == 0; }
};

char LeadByte(Rng& rng) {
  // Mostly real lead bytes; now and then one of 0xFD-0xFF.
  const uint32_t k = rng.Below(8);
  if (k < 4) return static_cast<char>(0x81 + rng.Below(0x1F));
  if (k < 7) return static_cast<char>(0xE0 + rng.Below(0x1D));
  return static_cast<char>(0xFD + rng.Below(3));
}

char TrailByte(Rng& rng) {
  const uint32_t k = rng.Below(7);
  if (k == 0) return '\\';
  if (k == 6) return "[\\]^{|}"[rng.Below(7)];  // the trail bytes that are metacharacters
  if (k == 1) return static_cast<char>('a' + rng.Below(26));
  if (k == 2) return static_cast<char>('A' + rng.Below(26));
  return static_cast<char>(0x40 + rng.Below(0xBD));
}

// A few bytes of document: one token of the nasty alphabet.
std::string Token(Rng& rng) {
  switch (rng.Below(20)) {
    case 0:
      return "\n";
    case 1:
      return "\r\n";
    case 2:
      return "\r";
    case 3:
      return "\t";
    case 4:
      return std::string(1, '\0');
    case 5:
      return "\\";
    case 6:
    case 7:
      return std::string{LeadByte(rng), TrailByte(rng)};
    case 8:
      return std::string(1, LeadByte(rng));  // a lone lead byte
    case 9:
      return std::string(1, TrailByte(rng));
    case 10:
    case 11:
      return " ";
    case 12:
      return std::string(1 + rng.Below(6), rng.OneIn(2) ? ' ' : '\t');
    case 13:
      if (rng.OneIn(6)) {
        // A run that ends near the 2047-byte cap, sometimes followed by a
        // line end or a TAB right at it.
        std::string run(2035 + rng.Below(25), "aAy\t"[rng.Below(4)]);
        if (rng.OneIn(2)) run += rng.OneIn(2) ? "\r\n" : "\t\r\n";
        return run;
      }
      return std::string(1 + rng.Below(40), static_cast<char>('a' + rng.Below(3)));
    default:
      return std::string(1, rng.OneIn(2) ? static_cast<char>('a' + rng.Below(4))
                                         : static_cast<char>('A' + rng.Below(4)));
  }
}

std::string RandomDocument(Rng& rng, size_t bytes) {
  std::string doc;
  while (doc.size() < bytes) doc += Token(rng);
  return doc;
}

// A plain pattern: mostly a piece of the document (so that it occurs), at
// times mutated, at times made of tokens.
std::string PlainPattern(Rng& rng, const std::string& doc) {
  std::string pattern;
  if (!doc.empty() && !rng.OneIn(5)) {
    const size_t at = rng.Below(static_cast<uint32_t>(doc.size()));
    pattern = doc.substr(at, 1 + rng.Below(rng.OneIn(4) ? 12 : 4));
    if (rng.OneIn(5)) pattern[rng.Below(static_cast<uint32_t>(pattern.size()))] = ' ';
  } else {
    const uint32_t n = 1 + rng.Below(3);
    for (uint32_t i = 0; i < n; ++i) pattern += Token(rng).substr(0, 6);
  }
  return pattern;
}

// A double-byte character of the document alphabet: lead byte, trail byte.
std::string DoubleByte(Rng& rng) { return std::string{LeadByte(rng), TrailByte(rng)}; }

// A bracket expression with double-byte members and ranges between them,
// now and then negated or mixed with single bytes.
std::string DoubleByteClass(Rng& rng) {
  std::string text = rng.OneIn(3) ? "[^" : "[";
  const uint32_t members = 1 + rng.Below(3);
  for (uint32_t k = 0; k < members; ++k) {
    switch (rng.Below(5)) {
      case 0:
        text += "a-c";
        break;
      case 1: {
        // A range of double-byte characters (in order, or not).
        const std::string from = DoubleByte(rng);
        std::string to = from;
        to[1] = static_cast<char>(static_cast<unsigned char>(to[1]) + rng.Below(8));
        if (rng.OneIn(3)) to = DoubleByte(rng);
        text += from + "-" + to;
        break;
      }
      case 2:
        text += "\\-";
        break;
      default:
        text += DoubleByte(rng);
    }
  }
  return text + "]";
}

// One atom of a regular expression.
std::string RegexAtom(Rng& rng, int depth, int& quantifiers) {
  static const char* const kAtoms[] = {
      "a", "b", "A", "y", ".", "\\\\", "\\d", "\\w", "\\s", "\\S", "\\b", "\\B", "[a-c]", "[^a]",
      "[ \t]", " ", "^", "$", "\\.", "[\\\\]", "\\x00", "\\r", "[\x81-\x9f]", "\x83", "\\t",
      "[[:alpha:]]", "\\N", "\\V", "\\x5c", "[^\x80-\xff]", "(?=a)", "(?<=a)", "\\A", "\\z", "\\Z",
      "(?!b)", "\\R", "[a-zA-Z]", "\\D", "\\W",
      // A '{' that is no counted repeat is a literal brace.
      "{", "{a}", "a{", "{,2}", "{1,a}", "}", "]", "\\{",
      // Quoting, options, other groups and back-references.
      "\\Qa|b\\E", "\\Q{\\E", "\\Q.\\E", "(?i)", "(?s)", "(?m)", "(?x)", "(?#c|d)", "(?|a|b)",
      "(?>ab)", "(?<!a)", "(a)\\1", "\\1", "\\g1", "\\x41", "\\101", "[]a]", "[^]a]", "[\\]]",
      "\\|", "a|b", "\\Q\x83|\\E"};
  if (rng.OneIn(5)) {
    // A double-byte character, a class of them, or one escaped.
    const uint32_t k = rng.Below(5);
    std::string atom = k == 0   ? DoubleByteClass(rng)
                       : k == 1 ? "\\" + DoubleByte(rng)
                                : DoubleByte(rng);
    if (quantifiers < 2 && rng.OneIn(3)) {
      ++quantifiers;
      static const char* const kRepeats[] = {"+", "*", "?", "{2}", "{1,2}"};
      atom += kRepeats[rng.Below(std::size(kRepeats))];
    }
    return atom;
  }
  if (depth < 2 && rng.OneIn(6)) {
    std::string group = rng.OneIn(2) ? "(?:" : "(";
    const uint32_t branches = 1 + rng.Below(3);
    for (uint32_t b = 0; b < branches; ++b) {
      if (b > 0) group += '|';
      const uint32_t atoms = rng.Below(3);
      for (uint32_t k = 0; k < atoms; ++k) group += RegexAtom(rng, depth + 1, quantifiers);
    }
    return group + ")";
  }
  if (rng.OneIn(3)) {
    // A byte of the document alphabet, escaped when it is a metacharacter.
    const char c = rng.OneIn(2) ? static_cast<char>('a' + rng.Below(4)) : LeadByte(rng);
    return std::string(1, c);
  }
  std::string atom = kAtoms[rng.Below(std::size(kAtoms))];
  // Quantify only single atoms, never groups, and at most two of them, so no
  // expression backtracks for long over a 2047-byte line.
  if (quantifiers < 2 && atom != "^" && atom != "$" && atom[0] != '(' && rng.OneIn(3)) {
    ++quantifiers;
    static const char* const kQuantifiers[] = {"*", "+", "?", "{0,2}", "{2}", "*?"};
    atom += kQuantifiers[rng.Below(std::size(kQuantifiers))];
  }
  return atom;
}

std::string RegexPattern(Rng& rng, const std::string& doc) {
  if (rng.OneIn(5)) {
    // A document piece with metacharacters escaped, then maybe an anchor.
    std::string piece = PlainPattern(rng, doc);
    std::string pattern;
    for (char c : piece) {
      if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos) pattern += '\\';
      if (c == '\0') {
        pattern += "\\x00";
        continue;
      }
      pattern += c;
    }
    if (rng.OneIn(3)) pattern = "^" + pattern;
    if (rng.OneIn(3)) pattern += "$";
    return pattern;
  }
  std::string pattern;
  int quantifiers = 0;
  const uint32_t branches = rng.OneIn(4) ? 2 : 1;
  for (uint32_t b = 0; b < branches; ++b) {
    if (b > 0) pattern += '|';
    const uint32_t atoms = rng.Below(5);
    for (uint32_t k = 0; k < atoms; ++k) pattern += RegexAtom(rng, 0, quantifiers);
  }
  if (rng.OneIn(30)) pattern += "(";  // does not compile
  return pattern;
}

// Comparisons made by the tests of this file (printed at the end, so that a
// longer run can be told from the normal one). DOLMIK_RANDOM_ROUNDS
// multiplies the documents of the small-document test.
int comparisons = 0;

int Rounds() {
  const char* rounds = std::getenv("DOLMIK_RANDOM_ROUNDS");
  return rounds != nullptr && std::atoi(rounds) > 0 ? std::atoi(rounds) : 1;
}

class RandomSearchTest : public SearchTest {
 protected:
  // Runs one search through both scans and compares everything, the
  // progress calls included; returns false (with a failure) on a difference.
  bool Compare(const std::string& pattern, int32_t top, bool all, const std::string& what) {
    ++comparisons;
    std::vector<int32_t> progress;
    SearchHooksRef().progress = [&progress](int32_t line) { progress.push_back(line); };
    const Outcome reference = Run(SearchNextReference, pattern, top, all);
    const std::vector<int32_t> referenceProgress = progress;
    progress.clear();
    const Outcome fast = Run(SearchNext, pattern, top, all);
    SearchHooksRef().progress = nullptr;
    EXPECT_EQ(fast, reference) << what;
    EXPECT_EQ(progress, referenceProgress) << what;
    return fast == reference && progress == referenceProgress;
  }

  static std::string Describe(const std::string& pattern, const SearchOptions& o, int32_t top,
                              int tab) {
    std::string text = "pattern \"";
    for (unsigned char c : pattern) {
      if (c >= 0x20 && c < 0x7F) {
        text += static_cast<char>(c);
      } else {
        static const char kHex[] = "0123456789ABCDEF";
        text += "\\x";
        text += kHex[c >> 4];
        text += kHex[c & 15];
      }
    }
    return text + "\" regex " + std::to_string(o.Regex) + " icase " + std::to_string(o.IgnoreCase) +
           " down " + std::to_string(o.Down) + " all " + std::to_string(o.Continuous) + " top " +
           std::to_string(top) + " tab " + std::to_string(tab);
  }

  // queries random searches over the open document; false on the first
  // difference.
  bool Explore(Rng& rng, const std::string& doc, int queries, bool allowContinuous) {
    const int32_t count = SlotTable[CurrentSlot].LineCount;
    for (int q = 0; q < queries; ++q) {
      SearchOptions o;
      o.Regex = rng.OneIn(2);
      o.IgnoreCase = rng.OneIn(3);
      o.Down = rng.OneIn(2);
      o.Continuous = allowContinuous && rng.OneIn(3);
      std::string pattern = o.Regex ? RegexPattern(rng, doc) : PlainPattern(rng, doc);
      // The dialog upper-cases the pattern when case is ignored; now and then
      // a pattern arrives as typed.
      if (o.IgnoreCase && !rng.OneIn(4)) UpperCaseCp932(pattern);
      int32_t top = 0;
      switch (rng.Below(6)) {
        case 0:
          top = o.Down ? -1 : count;  // every line is examined
          break;
        case 1:
          top = static_cast<int32_t>(rng.Below(5)) - 2;
          break;
        case 2:
          top = count - 3 + static_cast<int32_t>(rng.Below(5));
          break;
        default:
          top = count > 0 ? static_cast<int32_t>(rng.Below(static_cast<uint32_t>(count))) : 0;
      }
      options_ = o;
      if (!Compare(pattern, top, o.Continuous, Describe(pattern, o, top, TabWidth))) return false;
    }
    return true;
  }
};

TEST_F(RandomSearchTest, SmallDocumentsOfAwkwardBytes) {
  Rng rng{20240611};
  const int documents = 2600 * Rounds();
  for (int doc_index = 0; doc_index < documents; ++doc_index) {
    const size_t size = rng.OneIn(8) ? 3000 + rng.Below(9000) : rng.Below(400);
    const std::string doc = RandomDocument(rng, size);
    if (doc.empty()) continue;
    static const int kTabs[] = {4, 4, 1, 2, 8, 0, -1};
    TabWidth = kTabs[rng.Below(std::size(kTabs))];
    Open(doc);
    const bool ok = Explore(rng, doc, 40, true);
    CloseDocument();
    ASSERT_TRUE(ok) << "document " << doc_index << " of " << doc.size() << " bytes";
  }
  std::printf("random comparisons so far: %d\n", comparisons);
}

// Documents of several blocks, with long lines and runs of empty lines at the
// block boundaries, so that the block-wise plans start and end mid-way.
TEST_F(RandomSearchTest, DocumentsAcrossBlockBoundaries) {
  Rng rng{77};
  for (int doc_index = 0; doc_index < 4; ++doc_index) {
    std::string doc;
    const int lines = 2 * kLinesPerBlock + static_cast<int>(rng.Below(200)) - 100;
    for (int i = 0; i < lines; ++i) {
      const int in_block = i % kLinesPerBlock;
      const bool near_boundary = in_block < 3 || in_block > kLinesPerBlock - 4;
      if (near_boundary || rng.OneIn(50)) {
        std::string line;
        const uint32_t tokens = rng.Below(near_boundary ? 4 : 12);
        for (uint32_t k = 0; k < tokens; ++k) {
          std::string t = Token(rng);
          t.erase(std::remove(t.begin(), t.end(), '\n'), t.end());
          line += t;
        }
        doc += line + (rng.OneIn(3) ? "\n" : "\r\n");
      } else {
        doc += rng.OneIn(2) ? "ab\r\n" : "\r\n";
      }
    }
    if (rng.OneIn(2)) doc += "tail\tab";
    static const int kTabs[] = {4, 0, 1};
    TabWidth = kTabs[doc_index % 3];
    Open(doc);
    const bool ok = Explore(rng, doc, 60, false);
    CloseDocument();
    ASSERT_TRUE(ok) << "document " << doc_index;
  }
  std::printf("random comparisons so far: %d\n", comparisons);
}

// Characters of the other two encodings, whole, cut or broken.
std::string EncodedToken(Rng& rng, TextEncoding e) {
  static const char16_t* const kTexts[] = {u"日", u"本", u"ｱ",  u"ﾃ",  u"é",  u"α", u"丂",
                                           u"〜", u"𠮷", u"ａ", u"Ａ", u"表", u"ソ"};
  if (rng.OneIn(6)) {
    // Broken: a lone lead, a byte no character uses, a stray second byte.
    static const char kBytes[] = {'\xE6', '\x97', '\xFF', '\x8E', '\x8F', '\xC6', '\xA5', '\x80'};
    return std::string(1, kBytes[rng.Below(sizeof kBytes)]);
  }
  std::string out;
  if (!Encode(e, kTexts[rng.Below(std::size(kTexts))], out)) out = "?";
  return out;
}

std::string EncodedDocument(Rng& rng, TextEncoding e, size_t bytes) {
  std::string doc;
  while (doc.size() < bytes) doc += rng.OneIn(2) ? EncodedToken(rng, e) : Token(rng);
  return doc;
}

std::string EncodedRegex(Rng& rng, TextEncoding e, const std::string& doc) {
  if (rng.OneIn(4)) return RegexPattern(rng, doc);
  std::string pattern;
  const uint32_t atoms = 1 + rng.Below(4);
  for (uint32_t k = 0; k < atoms; ++k) {
    switch (rng.Below(6)) {
      case 0:
        pattern += ".";
        break;
      case 1:
        pattern += "[" + EncodedToken(rng, e) + EncodedToken(rng, e) + "]";
        break;
      case 2: {
        std::string from;
        std::string to;
        Encode(e, u"ｱ", from);
        Encode(e, u"ﾃ", to);
        pattern += (rng.OneIn(2) ? "[^" : "[") + from + "-" + to + "]";
        break;
      }
      case 3:
        pattern += "a";
        break;
      default:
        pattern += EncodedToken(rng, e);
    }
    if (rng.OneIn(3)) pattern += "+*?"[rng.Below(3)];
  }
  return pattern;
}

// UTF-8 and EUC-JP documents with their own characters among the awkward
// bytes, the slot's encoding set as the menu sets it.
TEST_F(RandomSearchTest, DocumentsInEveryEncoding) {
  Rng rng{1212};
  for (const TextEncoding e : {TextEncoding::kUtf8, TextEncoding::kEucJp, TextEncoding::kCp932}) {
    for (int doc_index = 0; doc_index < 300 * Rounds(); ++doc_index) {
      const std::string doc = EncodedDocument(rng, e, rng.Below(300) + 1);
      // A few bytes with every other one zero read as UTF-16, which the
      // store refuses to open; longer runs make such documents now and then.
      if (DetectEncoding(doc.data(), doc.size(), true).utf16) continue;
      static const int kTabs[] = {4, 1, 0};
      TabWidth = kTabs[rng.Below(std::size(kTabs))];
      Open(doc);
      SlotTable[CurrentSlot].Encoding = e;
      bool ok = true;
      for (int q = 0; q < 30 && ok; ++q) {
        SearchOptions o;
        o.Regex = rng.OneIn(2);
        o.IgnoreCase = rng.OneIn(3);
        o.Down = rng.OneIn(2);
        o.Continuous = rng.OneIn(3);
        std::string pattern = o.Regex ? EncodedRegex(rng, e, doc) : PlainPattern(rng, doc);
        if (o.IgnoreCase) UpperCaseText(pattern, e);
        options_ = o;
        const int32_t count = SlotTable[CurrentSlot].LineCount;
        const int32_t top = o.Down ? -1 : count;
        ok = Compare(pattern, top, o.Continuous,
                     std::string(EncodingName(e)) + " " + Describe(pattern, o, top, TabWidth));
      }
      CloseDocument();
      ASSERT_TRUE(ok) << EncodingName(e) << " document " << doc_index;
    }
  }
  std::printf("random comparisons so far: %d\n", comparisons);
}

}  // namespace

// ---------------------------------------------------------------------------
// One text, three encodings: the same generated lines written in Shift-JIS,
// UTF-8 and EUC-JP, each character with duplicate codes written now with one
// code, now with the other, a stray or cut byte in every encoding's own
// form, and characters only UTF-8 holds (combining marks, four-byte
// characters) written as one stray byte in the other two. Every query, as
// typed, must give the same hit lines and the same spans in characters in
// all three, through the fast scan and the oracle alike.

namespace {

constexpr char16_t kStray = u'\uFFFF';  // a stray byte in the model text: never typed

struct TextToken {
  std::u16string text;      // kStray for a stray byte
  std::string forms[3][2];  // per encoding (kAll order), one or two ways to write it
  int ways[3] = {1, 1, 1};
};

const TextEncoding kThree[] = {TextEncoding::kCp932, TextEncoding::kUtf8, TextEncoding::kEucJp};

// Every code of c in the encoding, found by decoding every candidate.
std::vector<std::string> CodesOf(TextEncoding e, char32_t c) {
  std::vector<std::string> codes;
  auto tryBytes = [&](std::string bytes) {
    const CharSpan span = NextChar(e, bytes.data(), bytes.size());
    if (span.code == c && span.length == static_cast<int>(bytes.size())) codes.push_back(bytes);
  };
  for (int b1 = 0x81; b1 <= 0xFE; ++b1) {
    for (int b2 = 0x40; b2 <= 0xFE; ++b2) {
      tryBytes(std::string{static_cast<char>(b1), static_cast<char>(b2)});
      if (e == TextEncoding::kEucJp && b1 >= 0xA1 && b2 >= 0xA1) {
        tryBytes(std::string{'\x8F', static_cast<char>(b1), static_cast<char>(b2)});
      }
    }
  }
  return codes;
}

std::vector<TextToken> MakeAlphabet() {
  std::vector<TextToken> alphabet;
  auto plain = [&](const std::u16string& text) {
    TextToken t;
    t.text = text;
    for (int k = 0; k < 3; ++k) EXPECT_TRUE(Encode(kThree[k], text, t.forms[k][0]));
    alphabet.push_back(t);
  };
  for (const char16_t* text :
       {u"a",  u"b",  u"c",  u"A",  u"B",  u"x",  u"0",  u"7",  u"42", u" ",  u" ",   u"\t",
        u"_",  u"\\", u".",  u"-",  u"日", u"本", u"語", u"ア", u"イ", u"ン", u"ｱ",   u"ｲ",
        u"表", u"ソ", u"予", u"、", u"亜", u"ー", u"Ａ", u"ａ", u"α",  u"Я",  u"ＡＢ"}) {
    plain(text);
  }
  // Characters with two codes in Shift-JIS or EUC-JP.
  for (const char16_t c : {u'纊', u'∵', u'～', u'№', u'￢', u'Ⅰ', u'ⅰ', u'丨'}) {
    TextToken t;
    t.text = std::u16string(1, c);
    int several = 0;
    for (int k = 0; k < 3; ++k) {
      std::vector<std::string> codes = CodesOf(kThree[k], c);
      if (kThree[k] == TextEncoding::kUtf8) {
        codes.clear();
        Encode(kThree[k], t.text, codes.emplace_back());
      }
      EXPECT_FALSE(codes.empty()) << EncodingName(kThree[k]) << " " << static_cast<int>(c);
      if (codes.empty()) continue;
      t.forms[k][0] = codes.front();
      t.forms[k][1] = codes.back();
      t.ways[k] = 2;
      several += codes.size() > 1;
    }
    EXPECT_GT(several, 0) << static_cast<int>(c);
    alphabet.push_back(t);
  }
  // A stray lead or first byte before a digit, which then starts a character
  // of its own (in Shift-JIS "\x81" "0" draws as a stand-in and 0).
  TextToken stray{std::u16string{kStray, u'0'}, {{"\x81\x30"}, {"\xC3\x30"}, {"\xA4\x30"}}};
  alphabet.push_back(stray);
  // A stray byte that never begins a character, and the characters only
  // UTF-8 holds, which the other two then hold as such a byte.
  alphabet.push_back(TextToken{std::u16string{kStray}, {{"\x80"}, {"\xFF"}, {"\xFF"}}});
  alphabet.push_back(
      TextToken{std::u16string{u'e', kStray}, {{"e\x80"}, {"e\xCC\x81"}, {"e\xFF"}}});
  alphabet.push_back(TextToken{std::u16string{kStray}, {{"\x80"}, {"\xF0\xA0\xAE\xB7"}, {"\xFF"}}});
  alphabet.push_back(TextToken{std::u16string{kStray}, {{"\x80"}, {"\xF0\x9F\x98\x80"}, {"\xFF"}}});
  return alphabet;
}

// A line end, now and then after a lead byte that it cuts.
const TextToken kLineEnds[] = {
    {u"\n", {{"\r\n"}, {"\r\n"}, {"\r\n"}}},
    {u"\n", {{"\n"}, {"\n"}, {"\n"}}},
    {std::u16string{kStray, u'\n'}, {{"\x81\r\n"}, {"\xE6\r\n"}, {"\x8F\r\n"}}},
};

// A span of a hit, in characters of its line; or none.
struct LineVerdict {
  int32_t start = -1;
  int32_t end = -1;
  bool operator==(const LineVerdict&) const = default;
};

class OneTextTest : public RandomSearchTest {
 protected:
  // Every hit of a continuous search from the first line (the last upward),
  // per line; false when the pattern cannot be written in the encoding.
  std::vector<LineVerdict> Verdicts(bool fast, const std::string& pattern, bool down) {
    FileSlot& slot = SlotTable[CurrentSlot];
    std::vector<LineVerdict> verdicts(static_cast<size_t>(slot.LineCount));
    slot.TopLine = down ? 0 : slot.LineCount - 1;
    SearchRunning = true;
    SearchRun run;
    run.withTopLine = true;
    for (;;) {
      int32_t start = 0;
      int32_t end = 0;
      const int line = fast ? SearchNextWith(pattern, start, end, run)
                            : SearchNextReferenceWith(pattern, start, end, run);
      run.withTopLine = false;
      if (line < 0) break;
      const std::string text = GetLine(slot, line);
      std::vector<char32_t> units(text.size() + 1);
      std::vector<int32_t> origin(text.size() + 2);
      const size_t count =
          DecodeUnits(slot.Encoding, text.data(), text.size(), units.data(), origin.data());
      auto character = [&](int32_t offset) {
        const auto at = std::find(origin.begin(), origin.begin() + count + 1, offset);
        return at == origin.begin() + count + 1 ? -2 : static_cast<int32_t>(at - origin.begin());
      };
      verdicts[static_cast<size_t>(line)] = LineVerdict{character(start), character(end)};
    }
    return verdicts;
  }
};

std::u16string TypedPiece(Rng& rng, const std::vector<std::u16string>& lines) {
  const std::u16string& line = lines[rng.Below(static_cast<uint32_t>(lines.size()))];
  if (line.empty()) return u"a";
  const size_t at = rng.Below(static_cast<uint32_t>(line.size()));
  std::u16string piece = line.substr(at, 1 + rng.Below(4));
  return piece;
}

std::u16string PlainQuery(Rng& rng, const std::vector<std::u16string>& lines, bool fold) {
  std::u16string piece = TypedPiece(rng, lines);
  const size_t stray = piece.find(kStray);
  if (stray != std::u16string::npos) piece.resize(stray);
  if (piece.empty()) piece.push_back(u'ア');
  for (char16_t& c : piece) {
    if (!fold || !rng.OneIn(2)) continue;
    if (c >= u'a' && c <= u'z')
      c = static_cast<char16_t>(c - 32);
    else if (c >= u'A' && c <= u'Z')
      c = static_cast<char16_t>(c + 32);
    else if (c == u'Ａ')
      c = u'ａ';
  }
  return piece;
}

std::u16string RegexQuery(Rng& rng, const std::vector<std::u16string>& lines) {
  static const char16_t* const kAtoms[] = {u".",
                                           u"..",
                                           u"\\w",
                                           u"\\W",
                                           u"\\d+",
                                           u"\\b",
                                           u"\\B",
                                           u"[^ ]",
                                           u"[ア-ン]",
                                           u"[一-龠]",
                                           u"[a-c]+",
                                           u"^",
                                           u"$",
                                           u"(?i)b",
                                           u"\\S",
                                           u"\\s",
                                           u"纊",
                                           u"∵",
                                           u"x*",
                                           u"[Ａａ]",
                                           u"[^a]",
                                           u"[[:digit:]]",
                                           u"A",
                                           u"b",
                                           u"[～￢]",
                                           u"№?",
                                           u"\\x{FF5E}",
                                           u"\\D",
                                           u"[^\\x00-\\x7F]",
                                           u"ｱ|ｲ",
                                           u"(?:日|本)+",
                                           u"\\\\"};
  std::u16string pattern;
  const uint32_t atoms = 1 + rng.Below(3);
  for (uint32_t k = 0; k < atoms; ++k) {
    if (rng.OneIn(3)) {
      // A piece of the text, its metacharacters escaped, a stray byte as '.'.
      for (const char16_t c : TypedPiece(rng, lines)) {
        if (c == kStray) {
          pattern += u'.';
        } else if (c == u'\t') {
          pattern += u"\\t";
        } else {
          if (std::u16string_view(u"\\^$.|?*+()[]{}-").find(c) != std::u16string_view::npos) {
            pattern += u'\\';
          }
          pattern += c;
        }
      }
    } else {
      pattern += kAtoms[rng.Below(std::size(kAtoms))];
    }
    if (rng.OneIn(4)) pattern += u"+*?"[rng.Below(3)];
  }
  return pattern;
}

TEST_F(OneTextTest, TheSameTextGivesTheSameHitsInAllThreeEncodings) {
  const std::vector<TextToken> alphabet = MakeAlphabet();
  Rng rng{3103};
  int64_t lineComparisons = 0;
  const int documents = 120 * Rounds();
  for (int doc_index = 0; doc_index < documents; ++doc_index) {
    // The document: lines of tokens, each written per encoding.
    std::string bytes[3];
    std::vector<std::u16string> lines(1);
    const int lineCount = 10 + static_cast<int>(rng.Below(20));
    for (int n = 0; n < lineCount; ++n) {
      const uint32_t tokens = rng.Below(12);
      for (uint32_t t = 0; t < tokens; ++t) {
        const TextToken& token = alphabet[rng.Below(static_cast<uint32_t>(alphabet.size()))];
        lines.back() += token.text;
        for (int k = 0; k < 3; ++k) bytes[k] += token.forms[k][rng.Below(token.ways[k])];
      }
      const TextToken& end = kLineEnds[rng.Below(std::size(kLineEnds))];
      for (int k = 0; k < 3; ++k) bytes[k] += end.forms[k][0];
      lines.back() += end.text.substr(0, end.text.size() - 1);
      lines.emplace_back();
    }
    // The queries, as typed, and each one's verdicts per encoding.
    struct TypedQuery {
      std::u16string text;
      SearchOptions options;
    };
    std::vector<TypedQuery> queries;
    for (int q = 0; q < 40; ++q) {
      SearchOptions o;
      o.Regex = rng.OneIn(2);
      o.IgnoreCase = rng.OneIn(2);
      o.Continuous = true;
      o.Down = !rng.OneIn(4);
      queries.push_back(
          {o.Regex ? RegexQuery(rng, lines) : PlainQuery(rng, lines, o.IgnoreCase), o});
    }
    std::vector<std::vector<LineVerdict>> verdicts[3];
    for (int k = 0; k < 3; ++k) {
      TabWidth = 4;
      Open(bytes[k]);
      SlotTable[CurrentSlot].Encoding = kThree[k];
      for (const TypedQuery& q : queries) {
        std::string pattern;
        ASSERT_TRUE(Encode(kThree[k], q.text, pattern));
        options_ = q.options;
        verdicts[k].push_back(Verdicts(true, pattern, q.options.Down));
        ASSERT_EQ(verdicts[k].back(), Verdicts(false, pattern, q.options.Down))
            << EncodingName(kThree[k]) << " document " << doc_index;
      }
      CloseDocument();
    }
    auto shown = [](const std::u16string& text) {
      std::string out;
      Encode(TextEncoding::kUtf8, text, out);
      return out;
    };
    for (size_t q = 0; q < queries.size(); ++q) {
      for (const int k : {0, 2}) {
        lineComparisons += static_cast<int64_t>(verdicts[1][q].size());
        ASSERT_EQ(verdicts[1][q].size(), verdicts[k][q].size());
        for (size_t line = 0; line < verdicts[1][q].size(); ++line) {
          const LineVerdict& utf8 = verdicts[1][q][line];
          const LineVerdict& other = verdicts[k][q][line];
          ASSERT_TRUE(utf8 == other)
              << EncodingName(kThree[k]) << " document " << doc_index << " query \""
              << shown(queries[q].text) << "\" on \"" << shown(lines[line]) << "\" regex "
              << queries[q].options.Regex << " icase " << queries[q].options.IgnoreCase << " line "
              << line + 1 << ": UTF-8 " << utf8.start << ".." << utf8.end << ", other "
              << other.start << ".." << other.end;
        }
      }
    }
  }
  std::printf("lines compared across encodings: %lld\n", static_cast<long long>(lineComparisons));
  EXPECT_GE(lineComparisons, 100000 * Rounds());
}

}  // namespace
