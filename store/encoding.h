// What the program knows about the three text encodings it reads: where a
// character begins and ends, how many display cells it takes, how it decodes
// to Unicode and how typed text encodes back, ASCII case folding, and the
// detection of a document's encoding from a sample of its bytes. Plain C++
// without Qt: the view and the search both use it.
//
// Text stays bytes everywhere else; this unit is the only place that turns
// bytes into characters.
//
// One rule holds for every encoding: a byte that does not begin a well-formed
// character is a character of its own, one byte long and one cell wide, drawn
// as a stand-in. A structurally well-formed double-byte (or EUC-JP
// three-byte) sequence that maps to no character is one unit that draws one
// stand-in per byte, so it is as many cells wide as it has bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

enum class TextEncoding : uint8_t {
  kCp932,  // Shift-JIS as Windows writes it (code page 932); pure ASCII too
  kUtf8,
  kEucJp,  // JIS X 0208 (with the CP932 extensions), half-width kana, JIS X 0212
};

// "Shift_JIS", "UTF-8", "EUC-JP": the names the menu and the status bar show.
const char* EncodingName(TextEncoding encoding);

struct EncodingGuess {
  TextEncoding encoding = TextEncoding::kCp932;
  int bomLength = 0;            // 3 for a UTF-8 byte order mark, else 0
  bool utf16 = false;           // a UTF-16 file (BOM or zero bytes in every other place)
  bool utf16BigEndian = false;  // of a UTF-16 file: its byte order
};

// Bytes of the file's start that detection reads. Detection walks them three
// times at most; 64 KiB takes well under a millisecond.
constexpr size_t kDetectionSample = 64 * 1024;

// The encoding of a file from its first bytes. wholeFile: the sample is the
// entire file, so a multi-byte sequence cut at its end is a fault, not the
// edge of the sample.
EncodingGuess DetectEncoding(const char* sample, size_t length, bool wholeFile);

// One character at text[0] of the length bytes there (length >= 1).
struct CharSpan {
  int length;     // bytes, >= 1
  int cells;      // display cells: 1 or 2 for a character, 0 for one that takes no
                  // column (a combining mark, a variation selector, a joiner),
                  // 1 per byte of a stand-in
  char32_t code;  // the character, or kNoCharacter when it does not decode
};
constexpr char32_t kNoCharacter = 0xFFFFFFFF;
CharSpan NextChar(TextEncoding encoding, const char* text, size_t length);

// A run of characters from text[0] that are not ASCII, have cells, and are
// each followed within length by a character with cells: characters that
// stand alone, as a walk over NextChar one at a time would take them (most
// Japanese text is such runs). Takes none that begins at or past
// begin_before, none that would bring the run past max_cells or max_bytes,
// and at most max_chars.
struct CellRun {
  size_t bytes = 0;
  int64_t cells = 0;
  size_t chars = 0;
};
CellRun CellRunOf(TextEncoding encoding, const char* text, size_t length, size_t begin_before,
                  int64_t max_cells, size_t max_bytes, size_t max_chars);

// A character edge of a text told by nearby bytes alone: the largest k in
// [pos - reach, pos] (reach <= pos; text[0..pos] readable) at which every
// decode of the whole text splits, whatever came before text[pos - reach],
// so that a decode may start there instead of at the text's start. SIZE_MAX
// when those bytes hold no such edge (Shift-JIS text of lead bytes only).
size_t KnownEdgeBefore(TextEncoding encoding, const char* text, size_t pos, size_t reach);

// True when byte pos of text (walked from text[0], a character start) begins
// a character. pos == length counts as an edge.
bool IsCharStart(TextEncoding encoding, const char* text, size_t length, size_t pos);

// The characters of text as the search matches them, split exactly as the
// page splits them (NextChar): one unit per character, its code point. A
// unit that decodes to no character becomes one unit above Unicode that
// carries its bytes (UndecodableUnit), so that it matches only the same
// bytes, and '.' or a negated class take it whole. A zero byte is U+0000.
// origin (may be null) gets the byte offset of each unit and, after the
// last, length. out needs room for length units, origin for length + 1.
// Returns the units written.
size_t DecodeUnits(TextEncoding encoding, const char* text, size_t length, char32_t* out,
                   int32_t* origin);

// The unit DecodeUnits gives for an undecodable character of 1 to 3 bytes:
// above U+10FFFF, so that no typed character is equal to it.
constexpr char32_t kUndecodableBase = 0x01000000;
inline char32_t UndecodableUnit(const char* bytes, int length) {
  char32_t packed = 0;
  for (int i = 0; i < length; ++i) packed = (packed << 8) | static_cast<unsigned char>(bytes[i]);
  return kUndecodableBase | packed;
}

// True when the encoding writes the character with more than one code
// (CP932's NEC and IBM duplicate rows, EUC-JP's JIS X 0212 codes of JIS X
// 0208 characters): a search must not look for its bytes, only for the
// character.
bool HasOtherCodes(TextEncoding encoding, char32_t code);

// Display cells of the whole text.
int CellWidth(TextEncoding encoding, const char* text, size_t length);

// Cells a code point takes on the page: 2 for East Asian wide and full-width
// characters and for every character Shift-JIS writes with two bytes, so
// that a character is as wide in every encoding; 0 for combining marks,
// variation selectors, joiners and other characters that draw no advance of
// their own; 1 otherwise.
int CodePointCells(char32_t code);

// How a decode shows what is not a character. kStandIns: a zero byte and
// each undecodable byte become U+00B7, one cell like the byte it stands for
// (for the page). kReplacement: a zero byte becomes U+00B7 as well (the
// clipboard never gets a NUL), an undecodable byte U+FFFD (for the
// clipboard).
enum class DecodeMode : uint8_t { kStandIns, kReplacement };

// Decodes length bytes into out as UTF-16 and returns the units written.
// Never more units than bytes: out needs room for length units.
size_t DecodeInto(TextEncoding encoding, const char* text, size_t length, DecodeMode mode,
                  char16_t* out);
std::u16string Decode(TextEncoding encoding, std::string_view text,
                      DecodeMode mode = DecodeMode::kStandIns);

// Encodes UTF-16 text. False (and out unspecified) when a character has no
// form in the encoding; *badIndex then names the first such unit.
bool Encode(TextEncoding encoding, std::u16string_view text, std::string& out,
            size_t* badIndex = nullptr);

// a-z to A-Z in place, on whole characters only: a byte inside a multi-byte
// character is never changed, and the length stays the same.
void UpperCaseAscii(TextEncoding encoding, char* text, size_t length);
