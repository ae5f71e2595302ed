// Text at the edges of the view: decoding for drawing, measuring and the
// clipboard (through the encoding unit), and the column cut of a block copy.
// Everywhere else text stays bytes.
#include <QStringEncoder>
#include <algorithm>

#include "view/view.h"
#include "view/view_internal.h"

bool IsCp932LeadByte(unsigned char b) {
  return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

void AppendDecoded(QString& out, TextEncoding encoding, const char* bytes, int length,
                   bool stand_ins) {
  if (length <= 0) return;
  const qsizetype start = out.size();
  out.resize(start + length);  // never more units than bytes
  const size_t n = DecodeInto(encoding, bytes, static_cast<size_t>(length),
                              stand_ins ? DecodeMode::kStandIns : DecodeMode::kReplacement,
                              reinterpret_cast<char16_t*>(out.data()) + start);
  out.resize(start + static_cast<qsizetype>(n));
}

void AppendCp932(QString& out, const char* bytes, int length, bool stand_ins) {
  AppendDecoded(out, TextEncoding::kCp932, bytes, length, stand_ins);
}

QString DecodeText(TextEncoding encoding, const char* bytes, int length, bool stand_ins) {
  QString out;
  AppendDecoded(out, encoding, bytes, length, stand_ins);
  return out;
}

QString DecodeCp932(const char* bytes, int length, bool stand_ins) {
  return DecodeText(TextEncoding::kCp932, bytes, length, stand_ins);
}

Cluster NextCluster(TextEncoding encoding, const char* text, int length) {
  Cluster cluster{0, 0};
  while (cluster.length < length) {
    const CharSpan c =
        NextChar(encoding, text + cluster.length, static_cast<size_t>(length - cluster.length));
    if (c.cells > 0 && cluster.cells > 0) break;  // the next character's own cluster
    cluster.length += c.length;
    cluster.cells += c.cells;
  }
  return cluster;
}

namespace {

// The block of a line in an encoding whose characters are not one cell per
// byte: the clusters whose cells meet columns lo..hi, whole.
int CutCells(const char* lineBytes, int length, int c1, int c2, char* out, TextEncoding encoding) {
  if (length < 1) return 0;
  const int lo = std::max(std::min(c1, c2), 0);
  const int hi = std::max(c1, c2);
  if (hi < 0) return 0;
  int pos = 0;
  int cell = 0;
  int start = -1;
  int end = -1;  // exclusive
  while (pos < length) {
    const Cluster c = NextCluster(encoding, lineBytes + pos, length - pos);
    const int next = cell + c.cells;
    if (start < 0 && lo < next) start = pos;
    if (start >= 0 && hi < next) {
      end = pos + c.length;
      break;
    }
    pos += c.length;
    cell = next;
  }
  if (start < 0) return 0;
  if (end < 0) end = length;  // the block reaches past the line's end
  std::copy(lineBytes + start, lineBytes + end, out);
  return end - start;
}

}  // namespace

QByteArray EncodeCp932(const QString& text) {
  QStringEncoder encoder("windows-31j");
  if (!encoder.isValid()) return text.toLatin1();
  return encoder.encode(text);
}

int CutColumns(const char* lineBytes, int length, int c1, int c2, char* out,
               TextEncoding encoding) {
  if (encoding != TextEncoding::kCp932) return CutCells(lineBytes, length, c1, c2, out, encoding);
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
