// UTF-16 text (little- or big-endian) read as UTF-8. A UTF-16 file is read
// through a CompressedSource whose "codec" transcodes instead of unpacking:
// its pass turns the file into UTF-8 for the indexer and keeps access points
// {UTF-8 offset, file offset} on the way; a read decodes from the nearest.
// The slot then holds UTF-8 text, so line feeds, columns, copies and the
// search work on it as on any UTF-8 file; only the name shown says UTF-16.
//
// The transcoding is exact for every well-formed file: each character
// becomes its UTF-8 form, U+0000 a zero byte, a byte order mark at the
// start (of the order read) nothing. What is not well-formed stays visible:
//   - an unpaired surrogate becomes the three bytes its code would take in
//     UTF-8 (ED A0 80 to ED BF BF). No UTF-8 decoder takes them for a
//     character, so the page draws three stand-ins, a copy gives three
//     U+FFFD, and the code can still be read from the bytes;
//   - an odd last byte becomes the byte 0xFF, which UTF-8 never uses: one
//     stand-in on the page, U+FFFD in a copy.
// Access points are kept only where the decoder holds nothing back (not
// between the two halves of a pair), where decoding restarts without state.
#pragma once

#include <cstddef>
#include <cstdint>

class Utf16Decoder {
 public:
  explicit Utf16Decoder(bool bigEndian) : big_(bigEndian) {}

  // Most bytes Feed writes for length input bytes.
  static constexpr size_t Bound(size_t length) { return length / 2 * 3 + 8; }

  // Converts the next length bytes of the text into out (room for
  // Bound(length)); returns the bytes written. An odd byte or the first half
  // of a pair at the end is held back for the next call.
  size_t Feed(const unsigned char* in, size_t length, char* out);
  // The end of the text: writes what was held back (at most 4 bytes).
  size_t Finish(char* out);
  // Nothing is held back: the next input byte begins a code unit that does
  // not complete a pair.
  bool AtBoundary() const { return !has_byte_ && !has_high_; }

 private:
  char* Unit(uint16_t unit, char* out);

  bool big_;
  bool has_byte_ = false;
  bool has_high_ = false;
  unsigned char byte_ = 0;
  uint16_t high_ = 0;
};

// The byte order mark of this order at the start of the first two bytes:
// its length (2), else 0.
inline int Utf16BomLength(const unsigned char* head, size_t length, bool bigEndian) {
  if (length < 2) return 0;
  return (bigEndian ? head[0] == 0xFE && head[1] == 0xFF : head[0] == 0xFF && head[1] == 0xFE) ? 2
                                                                                               : 0;
}
