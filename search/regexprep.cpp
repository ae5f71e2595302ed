#include "search/regexprep.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "store/encoding.h"

namespace search_detail {

namespace {

// The expression as the engine reads it: up to its first zero byte.
std::string AsCString(const std::string& pattern) { return std::string(pattern.c_str()); }

bool IsAlnum(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Bytes of the character at p[i]: 1 for ASCII, else as the encoding splits
// it (the skeleton holds only whole characters there).
size_t Unit(const std::string& p, size_t i, TextEncoding encoding) {
  if (static_cast<unsigned char>(p[i]) < 0x80) return 1;
  return static_cast<size_t>(NextChar(encoding, p.data() + i, p.size() - i).length);
}

}  // namespace

// Only the top level of the expression gives bytes (never a group or a
// class). A run is cut by anything that is no literal; the atom before a
// quantifier that may repeat it zero times (?, *, a counted repeat) leaves the
// run. Refused (no run at all): alternatives at any depth, escapes that are
// not a known class or escaped punctuation (\Q, \x, digits, \p, \g ...), "(?"
// groups and options, "(*" verbs, a '{' that is not a well-formed counted
// repeat, POSIX classes and escapes of \Q or \E inside brackets, unbalanced
// parentheses.
std::string RequiredLiteral(const std::string& pattern, TextEncoding encoding) {
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
    if (c >= 0x80) {
      const size_t length = Unit(p, i, encoding);
      literal(p.substr(i, length));
      i += length - 1;
      continue;
    }
    if (c == '\\') {
      if (i + 1 >= n) return {};
      const unsigned char e = static_cast<unsigned char>(p[++i]);
      if (e >= 0x80) {
        const size_t length = Unit(p, i, encoding);
        literal(p.substr(i, length));
        i += length - 1;
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
          j += 1 + Unit(p, j + 1, encoding);
        } else {
          j += Unit(p, j, encoding);
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

// Refused (SIZE_MAX): whatever RequiredLiteral refuses, and every repeat
// without an upper bound (*, +, {n,}) of something that takes characters.
size_t RegexMaxUnits(const std::string& pattern, TextEncoding encoding) {
  constexpr size_t kUnbounded = SIZE_MAX;
  constexpr size_t kLimit = 1 << 16;  // longer bounds are as good as none here
  const std::string p = AsCString(pattern);
  const size_t n = p.size();
  // Per open group: the units of its items so far, and of its last atom.
  struct Level {
    size_t total = 0;
    size_t last = 0;
  };
  std::vector<Level> levels(1);
  auto atom = [&](size_t units) {
    levels.back().total += units;
    levels.back().last = units;
  };
  // A repeat of the last atom at most times times (kUnbounded: no bound).
  auto repeat = [&](size_t times) {
    Level& level = levels.back();
    if (level.last == 0) return true;
    if (times == kUnbounded || level.last * times > kLimit) return false;
    level.total = level.total - level.last + level.last * times;
    level.last *= times;
    return true;
  };
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(p[i]);
    if (c >= 0x80) {
      i += Unit(p, i, encoding) - 1;
      atom(1);
      continue;
    }
    if (c == '\\') {
      if (i + 1 >= n) return kUnbounded;
      const unsigned char e = static_cast<unsigned char>(p[++i]);
      if (e >= 0x80) {
        i += Unit(p, i, encoding) - 1;
        atom(1);
      } else if (IsAlnum(e)) {
        if (std::strchr("dDwWsS", e) != nullptr) {
          atom(1);
        } else if (e == 'b' || e == 'B') {
          atom(0);
        } else {
          return kUnbounded;
        }
      } else if (e <= ' ' || e >= 0x7F) {
        return kUnbounded;
      } else {
        atom(1);
      }
      continue;
    }
    if (c == '[') {
      size_t j = i + 1;
      if (j < n && p[j] == '^') ++j;
      if (j < n && p[j] == ']') ++j;
      while (j < n && p[j] != ']') {
        const unsigned char m = static_cast<unsigned char>(p[j]);
        if (m == '[') return kUnbounded;
        if (m == '\\') {
          if (j + 1 >= n || p[j + 1] == 'Q' || p[j + 1] == 'E') return kUnbounded;
          j += 1 + Unit(p, j + 1, encoding);
        } else {
          j += Unit(p, j, encoding);
        }
      }
      if (j >= n) return kUnbounded;
      i = j;
      atom(1);
      continue;
    }
    if (c == '(') {
      if (i + 1 < n && (p[i + 1] == '?' || p[i + 1] == '*')) return kUnbounded;
      levels.emplace_back();
      continue;
    }
    if (c == ')') {
      if (levels.size() < 2) return kUnbounded;
      const size_t units = levels.back().total;
      levels.pop_back();
      atom(units);
      continue;
    }
    if (c == '|') return kUnbounded;
    if (c == '{') {
      size_t j = i + 1;
      const size_t digits = j;
      while (j < n && p[j] >= '0' && p[j] <= '9') ++j;
      if (j == digits || j - digits > 5) return kUnbounded;
      size_t most = static_cast<size_t>(std::stoul(p.substr(digits, j - digits)));
      if (j < n && p[j] == ',') {
        const size_t upper = ++j;
        while (j < n && p[j] >= '0' && p[j] <= '9') ++j;
        if (j == upper || j - upper > 5) return kUnbounded;
        most = static_cast<size_t>(std::stoul(p.substr(upper, j - upper)));
      }
      if (j >= n || p[j] != '}') return kUnbounded;
      if (!repeat(most)) return kUnbounded;
      i = j;
      continue;
    }
    if (c == '?') continue;  // at most once, or a lazy repeat: no longer
    if (c == '*' || c == '+') {
      if (!repeat(kUnbounded)) return kUnbounded;
      continue;
    }
    atom(c == '^' || c == '$' ? 0 : 1);
  }
  if (levels.size() != 1) return kUnbounded;
  return levels.back().total;
}

// Refused: control bytes (a literal line feed or TAB); escapes other than
// \d \w \S \b \B \N \V, escaped punctuation and escaped double-byte
// characters (so no \s, \D, \W, \n, \x0a, octal, \A \z \Z \G \K, \Q,
// back-references, \p); negated classes and POSIX classes, which can match a
// line feed; every group opener "(?" except "(?:" and every verb "(*"
// (lookbehind, lookahead and option settings could see or change line
// boundaries). Double-byte characters are read as units, so their second
// bytes are never taken for metacharacters.
bool RegexIsLineLocal(const std::string& pattern, TextEncoding encoding) {
  const std::string p = AsCString(pattern);
  const size_t n = p.size();
  bool inClass = false;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(p[i]);
    if (c >= 0x80) {
      i += Unit(p, i, encoding) - 1;
      continue;
    }
    if (c < 0x20 || c == 0x7F) return false;
    if (c == '\\') {
      if (i + 1 >= n) return false;
      const unsigned char e = static_cast<unsigned char>(p[++i]);
      if (e >= 0x80) {
        i += Unit(p, i, encoding) - 1;
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
