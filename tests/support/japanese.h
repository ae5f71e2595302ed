// The same Japanese text in each of the three encodings, for tests that check
// that every operation gives the same characters whatever the file's
// encoding: TABs, half-width katakana, double-byte characters whose second
// Shift-JIS byte is 0x5C, JIS X 0212 (EUC-JP's three-byte form), 4-byte UTF-8
// and bytes that decode in no encoding at line ends. A line that an encoding
// cannot hold is left out of that encoding's file.
#pragma once

#include <string>
#include <vector>

#include "store/encoding.h"

namespace japanese {

struct SampleLine {
  std::u16string text;
  bool inCp932;
  bool inEucJp;
  std::string badTail;  // raw bytes after the text, invalid in every encoding
};

inline const std::vector<SampleLine>& Lines() {
  static const std::vector<SampleLine> lines = {
      {u"日本語のテキスト\tタブの後", true, true, ""},
      {u"ｶﾀｶﾅ半角ﾃｽﾄ ｱｲｳ", true, true, ""},
      {u"表示ソ能予十 第二バイト", true, true, ""},
      {u"ABC abc 全角ＡＢＣ ａｂｃ", true, true, ""},
      {u"丂丄丅 補助漢字", false, true, ""},
      {u"𠮷野家 🍣 四バイト", false, false, ""},
      {u"行末に不正バイト", true, true, "\xFF"},
      {u"second 不正", true, true, "\x80"},
      {u"検索語 日本 末尾", true, true, ""},
  };
  return lines;
}

inline bool Holds(TextEncoding e, const SampleLine& l) {
  return e == TextEncoding::kUtf8 || (e == TextEncoding::kCp932 ? l.inCp932 : l.inEucJp);
}

// The file's bytes: every line the encoding holds, CR LF after each.
inline std::string File(TextEncoding e) {
  std::string bytes;
  for (const SampleLine& l : Lines()) {
    if (!Holds(e, l)) continue;
    std::string encoded;
    Encode(e, l.text, encoded);
    bytes += encoded + l.badTail + "\r\n";
  }
  return bytes;
}

// The characters each line of File(e) must show: TABs as tabWidth blanks,
// every invalid byte as one `bad` character.
inline std::vector<std::u16string> Expected(TextEncoding e, char16_t bad, int tabWidth = 4) {
  std::vector<std::u16string> out;
  for (const SampleLine& l : Lines()) {
    if (!Holds(e, l)) continue;
    std::u16string t;
    for (const char16_t c : l.text) {
      if (c == u'\t') {
        t.append(static_cast<size_t>(tabWidth), u' ');
      } else {
        t.push_back(c);
      }
    }
    t.append(l.badTail.size(), bad);
    out.push_back(t);
  }
  return out;
}

inline const TextEncoding kAll[] = {TextEncoding::kCp932, TextEncoding::kUtf8,
                                    TextEncoding::kEucJp};

}  // namespace japanese
