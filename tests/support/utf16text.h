// The same text in UTF-16, for the tests that compare a UTF-16 file with
// its UTF-8 original.
#pragma once

#include <string>

namespace utf16text {

// Well-formed UTF-8 as UTF-16 bytes of one order, with a byte order mark
// first when bom is set.
inline std::string FromUtf8(const std::string& utf8, bool bigEndian, bool bom) {
  std::string out;
  auto unit = [&](unsigned u) {
    const char hi = static_cast<char>(u >> 8);
    const char lo = static_cast<char>(u & 0xFF);
    out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
  };
  if (bom) unit(0xFEFF);
  for (size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    const int n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    unsigned code = n == 1 ? b : b & (0x7F >> n);
    for (int k = 1; k < n; ++k) code = code << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    i += static_cast<size_t>(n);
    if (code >= 0x10000) {
      unit(0xD800 + ((code - 0x10000) >> 10));
      unit(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      unit(code);
    }
  }
  return out;
}

// Text of every kind a line holds: ASCII, Japanese, TABs, a character
// beyond the BMP (U+20BB7), empty lines, CRLF and LF, a line longer than
// 64 KiB; then numbered lines up to about `size` bytes of UTF-8.
inline std::string Sample(size_t size) {
  std::string text = "plain ASCII line\r\n日本語のログ\tタブの後\n\n\r\n";
  text += "\xF0\xA0\xAE\xB7野家 で𠮷を食べた\r\n";
  for (int i = 0; text.size() < (80u << 10); ++i) text += i % 2 ? "あいうえお" : "abcdefghij";
  text += "\n";
  for (int i = 0; text.size() < size; ++i)
    text += "行 " + std::to_string(i) + (i % 3 ? "\t接続エラー ERROR\r\n" : " retry Ok\n");
  return text;
}

}  // namespace utf16text
