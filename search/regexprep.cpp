#include "search/regexprep.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace search_detail {

namespace {

// The expression as regcomp sees it: up to its first zero byte.
std::string AsCString(const std::string& pattern) { return std::string(pattern.c_str()); }

bool IsAlnum(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

void AppendHex(std::string& out, unsigned char byte) {
  static const char kHex[] = "0123456789ABCDEF";
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 15];
}

// One double-byte character as a literal unit.
void AppendUnit(std::string& out, unsigned char lead, unsigned char trail) {
  out += "(?:";
  AppendHex(out, lead);
  AppendHex(out, trail);
  out += ')';
}

// Codes of bracket-expression members: a single byte is its value, a
// double-byte character lead * 256 + trail; -1 for members without one (an
// escape, a POSIX class).
struct ClassItem {
  std::string text;  // as typed, for members passed on unchanged
  int32_t code = -1;
  bool isDouble = false;
};

// The pieces of a bracket expression with double-byte members.
struct ClassPieces {
  std::string singles;                    // single-byte members, as class text
  std::vector<std::string> alternatives;  // double-byte members as sequences
};

// Characters whose codes lie in [lo, hi], split into the single-byte part
// and, per lead byte, the double-byte part.
void AddRange(ClassPieces& pieces, int32_t lo, int32_t hi) {
  if (lo > hi) {
    // Out of order: keep it an error for regcomp.
    pieces.singles += "\\xFF-\\x00";
    return;
  }
  if (lo <= 0xFF) {
    AppendHex(pieces.singles, static_cast<unsigned char>(lo));
    pieces.singles += '-';
    AppendHex(pieces.singles, static_cast<unsigned char>(hi < 0xFF ? hi : 0xFF));
  }
  if (hi < 0x100) return;
  if (lo < 0x100) lo = 0x100;
  const int loLead = lo >> 8;
  const int hiLead = hi >> 8;
  for (int lead = loLead; lead <= hiLead; ++lead) {
    if (!IsLeadByte(static_cast<unsigned char>(lead))) continue;
    const int from = lead == loLead ? (lo & 0xFF) : 0x00;
    const int to = lead == hiLead ? (hi & 0xFF) : 0xFF;
    std::string alternative;
    AppendHex(alternative, static_cast<unsigned char>(lead));
    alternative += '[';
    AppendHex(alternative, static_cast<unsigned char>(from));
    alternative += '-';
    AppendHex(alternative, static_cast<unsigned char>(to));
    alternative += ']';
    pieces.alternatives.push_back(alternative);
  }
}

// Reads the bracket expression that opens at pattern[i] ('['). Returns the
// index of its closing ']' or npos, with the members in items and negated
// set. False in whole (passed on as typed) for anything unusual: \Q in a
// class.
size_t ReadClass(const std::string& p, size_t i, std::vector<ClassItem>& items, bool& negated,
                 bool& hasDouble, bool& unusual) {
  const size_t n = p.size();
  size_t j = i + 1;
  negated = j < n && p[j] == '^';
  if (negated) ++j;
  bool first = true;
  while (j < n) {
    const unsigned char c = static_cast<unsigned char>(p[j]);
    if (c == ']' && !first) return j;
    first = false;
    ClassItem item;
    if (c == '[' && j + 1 < n && (p[j + 1] == ':' || p[j + 1] == '=' || p[j + 1] == '.')) {
      const char kind = p[j + 1];
      const size_t close = p.find(std::string{kind, ']'}, j + 2);
      if (close == std::string::npos) return std::string::npos;
      item.text = p.substr(j, close + 2 - j);
      j = close + 2;
    } else if (c == '\\') {
      if (j + 1 >= n) return std::string::npos;
      const unsigned char e = static_cast<unsigned char>(p[j + 1]);
      if (IsLeadByte(e) && j + 2 < n) {
        item.code = (e << 8) | static_cast<unsigned char>(p[j + 2]);
        item.isDouble = true;
        hasDouble = true;
        j += 3;
      } else if (e == 'Q' || e == 'E') {
        unusual = true;
        return std::string::npos;
      } else {
        size_t end = j + 2;
        if ((e == 'x' || e == 'o' || e == 'p' || e == 'P' || e == 'N') && end < n &&
            p[end] == '{') {
          const size_t close = p.find('}', end);
          end = close == std::string::npos ? n : close + 1;
        } else if (e == 'c' && end < n) {
          ++end;
        }
        item.text = p.substr(j, end - j);
        if (!IsAlnum(e) && e >= 0x20 && e < 0x7F) item.code = e;  // escaped punctuation
        j = end;
      }
    } else if (IsLeadByte(c) && j + 1 < n) {
      item.code = (c << 8) | static_cast<unsigned char>(p[j + 1]);
      item.isDouble = true;
      hasDouble = true;
      j += 2;
    } else {
      item.text = std::string(1, static_cast<char>(c));
      item.code = c;
      ++j;
    }
    items.push_back(item);
  }
  return std::string::npos;
}

void AppendClass(std::string& out, const std::vector<ClassItem>& items, bool negated) {
  ClassPieces pieces;
  for (size_t k = 0; k < items.size(); ++k) {
    const ClassItem& item = items[k];
    const bool range = k + 2 < items.size() && items[k + 1].text == "-" && !items[k + 1].isDouble;
    if (range && item.code >= 0 && items[k + 2].code >= 0 &&
        (item.isDouble || items[k + 2].isDouble)) {
      AddRange(pieces, item.code, items[k + 2].code);
      k += 2;
      continue;
    }
    if (item.isDouble) {
      std::string alternative;
      AppendHex(alternative, static_cast<unsigned char>(item.code >> 8));
      AppendHex(alternative, static_cast<unsigned char>(item.code & 0xFF));
      pieces.alternatives.push_back(alternative);
    } else if (item.text == "-" && ((k > 0 && items[k - 1].isDouble) ||
                                    (k + 1 < items.size() && items[k + 1].isDouble))) {
      // A '-' beside a double-byte member that makes no range with it (the
      // other side has no code) is a literal hyphen.
      pieces.singles += "\\-";
    } else {
      pieces.singles += item.text;
    }
  }
  std::string doubles;
  for (size_t k = 0; k < pieces.alternatives.size(); ++k) {
    if (k > 0) doubles += '|';
    doubles += pieces.alternatives[k];
  }
  static const char kLeads[] = "\\x81-\\x9F\\xE0-\\xFC";
  if (negated) {
    // One whole character that is no member: a double-byte one not among
    // the double-byte members, or a single byte outside the class.
    out += "(?:";
    if (!doubles.empty()) out += "(?!" + doubles + ")";
    out += std::string("(?:[") + kLeads + "][\\x00-\\xFF]|[^" + pieces.singles + kLeads + "]))";
    return;
  }
  out += "(?:";
  if (!pieces.singles.empty()) out += "[" + pieces.singles + "]|";
  out += doubles + ")";
}

}  // namespace

std::string PrepareRegex(const std::string& pattern, std::vector<size_t>* origin) {
  const std::string p = AsCString(pattern);
  const size_t n = p.size();
  std::string out;
  out.reserve(n * 2);
  // Every byte written in one turn of the loop comes from the turn's first
  // typed byte.
  struct Record {
    const std::string& out;
    std::vector<size_t>* origin;
    size_t from;
    ~Record() {
      if (origin != nullptr) origin->resize(out.size(), from);
    }
  };
  if (origin != nullptr) origin->clear();
  bool quoted = false;  // inside \Q...\E
  for (size_t i = 0; i < n; ++i) {
    const Record record{out, origin, i};
    const unsigned char c = static_cast<unsigned char>(p[i]);
    if (quoted) {
      if (c == '\\' && i + 1 < n && p[i + 1] == 'E') {
        quoted = false;
        out += "\\E";
        ++i;
      } else if (IsLeadByte(c) && i + 1 < n) {
        out += "\\E";
        AppendUnit(out, c, static_cast<unsigned char>(p[i + 1]));
        out += "\\Q";
        ++i;
      } else {
        out += static_cast<char>(c);
      }
      continue;
    }
    if (c == '\\' && i + 1 < n) {
      const unsigned char e = static_cast<unsigned char>(p[i + 1]);
      if (IsLeadByte(e) && i + 2 < n) {
        AppendUnit(out, e, static_cast<unsigned char>(p[i + 2]));
        i += 2;
        continue;
      }
      if (e == 'Q') quoted = true;
      out += static_cast<char>(c);
      out += static_cast<char>(e);
      ++i;
      continue;
    }
    if (c == '(' && i + 2 < n && p[i + 1] == '?' && p[i + 2] == '#') {
      // A comment is passed on up to its closing parenthesis.
      const size_t close = p.find(')', i);
      const size_t end = close == std::string::npos ? n : close + 1;
      out.append(p, i, end - i);
      i = end - 1;
      continue;
    }
    if (c == '[') {
      std::vector<ClassItem> items;
      bool negated = false;
      bool hasDouble = false;
      bool unusual = false;
      const size_t close = ReadClass(p, i, items, negated, hasDouble, unusual);
      if (close != std::string::npos && hasDouble && !unusual) {
        AppendClass(out, items, negated);
        i = close;
        continue;
      }
      if (close != std::string::npos) {
        out.append(p, i, close + 1 - i);
        i = close;
        continue;
      }
      out += static_cast<char>(c);
      continue;
    }
    if (IsLeadByte(c) && i + 1 < n) {
      AppendUnit(out, c, static_cast<unsigned char>(p[i + 1]));
      ++i;
      continue;
    }
    out += static_cast<char>(c);
  }
  return out;
}

// Only the top level of the expression gives bytes (never a group or a
// class). A run is cut by anything that is no literal; the atom before a
// quantifier that may repeat it zero times (?, *, a counted repeat) leaves the
// run. Refused (no run at all): alternatives at any depth, escapes that are
// not a known class or escaped punctuation (\Q, \x, digits, \p, \g ...), "(?"
// groups and options, "(*" verbs, a '{' that is not a well-formed counted
// repeat, POSIX classes and escapes of \Q or \E inside brackets, unbalanced
// parentheses.
std::string RequiredLiteral(const std::string& pattern) {
  const std::string p = AsCString(pattern);
  const size_t n = p.size();
  std::string best;
  std::string run;
  size_t lastAtom = 0;  // bytes of the atom that ends run (0: none)
  auto flush = [&] {
    if (run.size() > best.size()) best = run;
    run.clear();
    lastAtom = 0;
  };
  int depth = 0;
  auto literal = [&](const std::string& bytes) {
    if (depth > 0) return;
    // A blank or a control byte (even as the second byte of a character)
    // cuts the run: a blank of the display text may be an expanded TAB in
    // the raw bytes the filter reads.
    for (const char b : bytes) {
      if (static_cast<unsigned char>(b) <= ' ' || b == 0x7F) {
        flush();
        return;
      }
    }
    run += bytes;
    lastAtom = bytes.size();
  };
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(p[i]);
    if (IsLeadByte(c) && i + 1 < n) {
      literal(p.substr(i, 2));
      ++i;
      continue;
    }
    if (c == '\\') {
      if (i + 1 >= n) return {};
      const unsigned char e = static_cast<unsigned char>(p[++i]);
      if (IsLeadByte(e) && i + 1 < n) {
        literal(p.substr(i, 2));
        ++i;
      } else if (IsAlnum(e)) {
        if (std::strchr("dDwWsSbB", e) == nullptr) return {};
        flush();
      } else if (e <= ' ' || e >= 0x7F) {
        return {};
      } else {
        literal(std::string(1, static_cast<char>(e)));
      }
      continue;
    }
    if (c == '[') {
      flush();
      size_t j = i + 1;
      if (j < n && p[j] == '^') ++j;
      if (j < n && p[j] == ']') ++j;
      while (j < n && p[j] != ']') {
        const unsigned char m = static_cast<unsigned char>(p[j]);
        if (m == '[') return {};
        if (m == '\\') {
          if (j + 1 >= n || p[j + 1] == 'Q' || p[j + 1] == 'E') return {};
          j += IsLeadByte(static_cast<unsigned char>(p[j + 1])) ? 3 : 2;
        } else {
          j += CharLength(p.data(), j, n);
        }
      }
      if (j >= n) return {};
      i = j;
      continue;
    }
    if (c == '(') {
      if (i + 1 < n && (p[i + 1] == '?' || p[i + 1] == '*')) return {};
      flush();
      ++depth;
      continue;
    }
    if (c == ')') {
      if (--depth < 0) return {};
      flush();
      continue;
    }
    if (c == '|') return {};
    if (c == '{') {
      // Only {n}, {n,} and {n,m}; anything else is read differently by
      // different versions of the library.
      size_t j = i + 1;
      const size_t digits = j;
      while (j < n && p[j] >= '0' && p[j] <= '9') ++j;
      if (j == digits) return {};
      if (j < n && p[j] == ',') {
        ++j;
        while (j < n && p[j] >= '0' && p[j] <= '9') ++j;
      }
      if (j >= n || p[j] != '}') return {};
      if (lastAtom > 0) run.resize(run.size() - lastAtom);
      flush();
      i = j;
      continue;
    }
    if (c == '?' || c == '*') {
      if (lastAtom > 0) run.resize(run.size() - lastAtom);
      flush();
      continue;
    }
    if (c == '+' || c == '.' || c == '^' || c == '$' || c <= ' ' || c == 0x7F) {
      flush();
      continue;
    }
    literal(std::string(1, static_cast<char>(c)));
  }
  if (depth != 0) return {};
  flush();
  return best;
}

// Refused: control bytes (a literal line feed or TAB); escapes other than
// \d \w \S \b \B \N \V, escaped punctuation and escaped double-byte
// characters (so no \s, \D, \W, \n, \x0a, octal, \A \z \Z \G \K, \Q,
// back-references, \p); negated classes and POSIX classes, which can match a
// line feed; every group opener "(?" except "(?:" and every verb "(*"
// (lookbehind, lookahead and option settings could see or change line
// boundaries). Double-byte characters are read as units, so their second
// bytes are never taken for metacharacters.
bool RegexIsLineLocal(const std::string& pattern) {
  const std::string p = AsCString(pattern);
  const size_t n = p.size();
  bool inClass = false;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(p[i]);
    if (IsLeadByte(c)) {
      ++i;
      continue;
    }
    if (c < 0x20 || c == 0x7F) return false;
    if (c == '\\') {
      if (i + 1 >= n) return false;
      const unsigned char e = static_cast<unsigned char>(p[++i]);
      if (IsLeadByte(e)) {
        ++i;
      } else if (IsAlnum(e)) {
        if (std::strchr("dwSbBNV", e) == nullptr) return false;
      } else if (e < 0x20 || e == 0x7F) {
        return false;
      }
      continue;
    }
    if (c == '[') {
      if (inClass) return false;  // a POSIX class or an odd member
      if (i + 1 < n && p[i + 1] == '^') return false;
      inClass = true;
      if (i + 1 < n && p[i + 1] == ']') ++i;  // a ']' right after '[' is a member
      continue;
    }
    if (c == ']') {
      inClass = false;
      continue;
    }
    if (inClass) continue;
    if (c == '(' && i + 1 < n && p[i + 1] == '*') return false;
    if (c == '(' && i + 1 < n && p[i + 1] == '?') {
      if (i + 2 >= n || p[i + 2] != ':') return false;
    }
  }
  return !inClass;
}

}  // namespace search_detail
