// Saving the execution log and the search result window to files. Both are
// written whole, through a temporary file that replaces the old one only
// once every byte is on disk.
#include <QSaveFile>

#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "commands/Rpcmd1.h"
#include "store/encoding.h"
#include "store/slots.h"

namespace {

// The last line of a saved search log that holds lines of a UTF-16 file.
const QString kUtf16Note = QStringLiteral("# UTF-16 のファイルの行は UTF-8 で書いています");

std::u16string_view Units(const QString& text) {
  return {reinterpret_cast<const char16_t*>(text.utf16()), static_cast<size_t>(text.size())};
}

// bytes (a line in encoding `from`) in encoding `to`: each character encoded
// anew, each byte that decodes to nothing kept as it is, so that nothing is
// replaced.
std::string Reencode(const std::string& bytes, TextEncoding from, TextEncoding to) {
  std::string out;
  size_t at = 0;
  while (at < bytes.size()) {
    const CharSpan c = NextChar(from, bytes.data() + at, bytes.size() - at);
    std::string piece;
    std::u16string unit;
    if (c.code != kNoCharacter && c.code < 0x10000) {
      unit.push_back(static_cast<char16_t>(c.code));
    } else if (c.code != kNoCharacter) {
      unit.push_back(static_cast<char16_t>(0xD800 + ((c.code - 0x10000) >> 10)));
      unit.push_back(static_cast<char16_t>(0xDC00 + ((c.code - 0x10000) & 0x3FF)));
    }
    if (!unit.empty() && Encode(to, unit, piece)) {
      out += piece;
    } else {
      out.append(bytes, at, static_cast<size_t>(c.length));
    }
    at += static_cast<size_t>(c.length);
  }
  return out;
}

// The bytes a hit line was made of.
std::string HitBytes(const QString& line, const HitSource& source) {
  if (!source.bytes.empty()) return source.bytes;
  std::string bytes;
  Encode(source.encoding, Units(line), bytes);  // the text was checked to give them back
  return bytes;
}

}  // namespace

int SaveExecutionLog(const QStringList& lines, const QString& fileName) {
  QByteArray bytes;
  std::string encoded;
  for (const QString& line : lines) {
    if (!Encode(TextEncoding::kCp932, Units(line), encoded)) {
      // An echoed search text, a name shown with stand-ins, a note typed by
      // the user: UTF-8 holds every character, so the log is never refused.
      const QString note =
          QStringLiteral("# 実行ログを UTF-8 で保存します（Shift_JIS で表せない文字があるため）");
      AppendLog(note);
      bytes.clear();
      for (const QString& l : lines) bytes += l.toUtf8() + "\r\n";
      bytes += note.toUtf8() + "\r\n";
      return SaveBytes(bytes, fileName);
    }
    bytes.append(encoded.data(), static_cast<qsizetype>(encoded.size()));
    bytes += "\r\n";
  }
  return SaveBytes(bytes, fileName);
}

int SaveSearchLogLines(const QStringList& lines,
                       const std::function<std::optional<HitSource>(int)>& sourceOf,
                       const QString& fileName) {
  // One encoding for the whole file: that of the documents the hits came
  // from (Shift-JIS for report lines alone). Hits from documents in
  // different encodings are written in UTF-8, which holds every character
  // of all three.
  std::vector<std::optional<HitSource>> sources;
  sources.reserve(static_cast<size_t>(lines.size()));
  bool mixed = false;
  std::optional<TextEncoding> common;
  bool fromUtf16 = false;  // UTF-16 lines are held (and written) in UTF-8
  for (int i = 0; i < lines.size(); ++i) {
    sources.push_back(sourceOf(i));
    if (!sources.back()) continue;
    fromUtf16 = fromUtf16 || sources.back()->fromUtf16;
    const TextEncoding e = sources.back()->encoding;
    if (common && *common != e) mixed = true;
    if (!common) common = e;
  }
  TextEncoding target = mixed ? TextEncoding::kUtf8 : common.value_or(TextEncoding::kCp932);
  for (int attempt = 0; attempt < 2; ++attempt) {
    QByteArray bytes;
    bool fits = true;
    for (int i = 0; i < lines.size(); ++i) {
      std::string encoded;
      if (const std::optional<HitSource>& source = sources[static_cast<size_t>(i)]) {
        encoded = HitBytes(lines[i], *source);
        if (source->encoding != target) encoded = Reencode(encoded, source->encoding, target);
      } else if (!Encode(target, Units(lines[i]), encoded)) {
        fits = false;  // a report that the encoding cannot hold
        break;
      }
      bytes.append(encoded.data(), static_cast<qsizetype>(encoded.size()));
      bytes += "\r\n";
    }
    if (!fits && target != TextEncoding::kUtf8) {
      target = TextEncoding::kUtf8;
      continue;
    }
    if (fromUtf16) {
      std::string note;
      Encode(target, Units(kUtf16Note), note);  // ASCII and kana: every encoding holds them
      bytes.append(note.data(), static_cast<qsizetype>(note.size()));
      bytes += "\r\n";
    }
    if (target != TextEncoding::kCp932) {
      AppendLog(QStringLiteral("# 検索ログを %1 で保存します")
                    .arg(QString::fromLatin1(EncodingName(target))));
    }
    return SaveBytes(bytes, fileName);
  }
  return -1;
}

int SaveBytes(const QByteArray& bytes, const QString& fileName) {
  // QSaveFile writes a temporary file beside the target and renames it over
  // the target only after every byte is written, so a failed save never
  // costs the old file. The bytes go to its descriptor directly: the
  // device's own buffered write drops the system's reason for a short write
  // (disk full, file size limit).
  QSaveFile file(fileName);
  bool failed = true;
  QString reason;
  if (!file.open(QIODevice::WriteOnly)) {
    reason = file.errorString();
  } else {
    const char* p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
      const ssize_t n = ::write(file.handle(), p, static_cast<size_t>(left));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        reason = QString::fromStdString(LastOsErrorText());
        break;
      }
      p += n;
      left -= n;
    }
    if (left > 0) {
      file.cancelWriting();
    } else if (!file.commit()) {
      reason = file.errorString();
    } else {
      failed = false;
    }
  }
  if (failed) {
    ReportError(QStringLiteral("ファイル %1 に保存できませんでした: %2").arg(fileName, reason));
    return -1;
  }
  return 0;
}
