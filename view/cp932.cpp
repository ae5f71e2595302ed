// Shift-JIS (code page 932) at the edges of the view: decoding for drawing,
// measuring and the clipboard, encoding for text typed by the user, and the
// column cut of a block copy. Everywhere else text stays bytes.
#include <QStringDecoder>
#include <QStringEncoder>
#include <array>
#include <memory>

#include "view/view.h"
#include "view/view_internal.h"

namespace {

constexpr char16_t kStandIn = u'\u00B7';  // half-width in the page fonts: one byte, one cell
constexpr char16_t kReplacement = u'\uFFFD';
constexpr char16_t kUnmapped = 0;  // table entry: the decoder has no character for it

bool IsTrailByte(unsigned char b) { return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC); }

// Index of a lead byte in the double-byte table: 0x81..0x9F then 0xE0..0xFC.
int LeadIndex(unsigned char b) { return b <= 0x9F ? b - 0x81 : b - 0xE0 + 31; }
constexpr int kLeadCount = 31 + 29;
constexpr int kTrailCount = 0xFD - 0x40;  // indexed by trail - 0x40; 0x7F stays unmapped

// One decode of every byte and every structurally valid pair, done once.
// Each entry is the UTF-16 unit the system decoder gives, or kUnmapped when it
// gives its substitute (CP932 maps nothing outside the BMP).
struct Cp932Tables {
  std::array<char16_t, 256> single{};
  std::array<char16_t, kLeadCount * kTrailCount> pair{};

  Cp932Tables() {
    QByteArray all;
    all.reserve(256 * 2 + kLeadCount * kTrailCount * 3);
    for (int b = 0; b < 256; ++b) {
      // Lead bytes and the separator itself are filled in below.
      const bool placeholder = IsCp932LeadByte(static_cast<unsigned char>(b)) || b == '\n';
      all.append(placeholder ? ' ' : static_cast<char>(b));
      all.append('\n');
    }
    for (int lead = 0x81; lead <= 0xFC; ++lead) {
      if (!IsCp932LeadByte(static_cast<unsigned char>(lead))) continue;
      for (int trail = 0x40; trail <= 0xFC; ++trail) {
        if (!IsTrailByte(static_cast<unsigned char>(trail))) continue;
        all.append(static_cast<char>(lead));
        all.append(static_cast<char>(trail));
        all.append('\n');
      }
    }
    QStringDecoder decoder("windows-31j");
    const QString text = decoder.isValid() ? decoder.decode(all) : QString();
    const QStringList parts = text.split(u'\n');
    int k = 0;
    auto take = [&]() -> char16_t {
      if (k >= parts.size()) return kUnmapped;
      const QString& p = parts[k++];
      if (p.size() != 1) return kUnmapped;
      const char16_t c = p[0].unicode();
      return (c == 0x1A || c == kReplacement) ? kUnmapped : c;
    };
    for (int b = 0; b < 256; ++b) single[b] = take();
    // The line feed itself is the separator above; give it and the
    // substitute control its own value back.
    single['\n'] = u'\n';
    single[0x1A] = 0x1A;
    for (int lead = 0x81; lead <= 0xFC; ++lead) {
      if (!IsCp932LeadByte(static_cast<unsigned char>(lead))) continue;
      for (int trail = 0x40; trail <= 0xFC; ++trail) {
        if (!IsTrailByte(static_cast<unsigned char>(trail))) continue;
        pair[LeadIndex(static_cast<unsigned char>(lead)) * kTrailCount + (trail - 0x40)] = take();
      }
    }
    for (int b = 0; b < 256; ++b) {
      if (IsCp932LeadByte(static_cast<unsigned char>(b))) single[b] = kUnmapped;
    }
  }
};

const Cp932Tables& Tables() {
  static const Cp932Tables tables;
  return tables;
}

}  // namespace

bool IsCp932LeadByte(unsigned char b) {
  return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

void AppendCp932(QString& out, const char* bytes, int length, bool stand_ins) {
  if (length <= 0) return;
  const Cp932Tables& t = Tables();
  const qsizetype start = out.size();
  out.resize(start + length);  // never more units than bytes
  char16_t* dst = reinterpret_cast<char16_t*>(out.data()) + start;
  char16_t* const begin = dst;
  const char16_t bad = stand_ins ? kStandIn : kReplacement;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes);
  const auto* end = p + length;
  while (p < end) {
    const unsigned char b = *p;
    if (b < 0x80 && b != 0) {  // the common case: ASCII
      *dst++ = b;
      ++p;
      continue;
    }
    if (b == 0) {
      *dst++ = stand_ins ? kStandIn : u'\0';
      ++p;
      continue;
    }
    if (IsCp932LeadByte(b)) {
      if (p + 1 < end && IsTrailByte(p[1])) {
        const char16_t c = t.pair[LeadIndex(b) * kTrailCount + (p[1] - 0x40)];
        if (c != kUnmapped) {
          *dst++ = c;
        } else {  // an unassigned pair: one stand-in per byte keeps the row's width
          *dst++ = bad;
          *dst++ = bad;
        }
        p += 2;
      } else {  // a lone or cut lead byte; the byte after it is read on its own
        *dst++ = bad;
        ++p;
      }
      continue;
    }
    const char16_t c = t.single[b];
    *dst++ = c != kUnmapped ? c : bad;
    ++p;
  }
  out.resize(start + (dst - begin));
}

QString DecodeCp932(const char* bytes, int length, bool stand_ins) {
  QString out;
  AppendCp932(out, bytes, length, stand_ins);
  return out;
}

QByteArray EncodeCp932(const QString& text) {
  QStringEncoder encoder("windows-31j");
  if (!encoder.isValid()) return text.toLatin1();
  return encoder.encode(text);
}

int CutColumns(const char* lineBytes, int length, int c1, int c2, char* out) {
  if (length < 1) return 0;
  int lo = std::min(c1, c2);
  int hi = std::max(c1, c2);
  if (lo < 0) lo = 0;
  if (hi < 0) return 0;
  if (lo > length) return 0;
  const auto* b = reinterpret_cast<const unsigned char*>(lineBytes);
  auto charLength = [&](int pos) { return IsCp932LeadByte(b[pos]) ? 2 : 1; };
  // Start: the first byte of the character that holds byte lo (a cut
  // double-byte character at the very end counts as holding the byte after it).
  int pos = 0;
  int start = -1;
  while (pos < length) {
    const int n = charLength(pos);
    if (lo < pos + n) {
      start = pos;
      break;
    }
    pos += n;
  }
  if (start < 0) return 0;
  int last = length - 1;
  if (hi < length - 1) {
    while (pos < length) {
      const int n = charLength(pos);
      if (hi < pos + n) {
        last = std::min(pos + n - 1, length - 1);
        break;
      }
      pos += n;
    }
  }
  const int n = last - start + 1;
  if (n < 1) return 0;
  std::copy(lineBytes + start, lineBytes + start + n, out);
  return n;
}
