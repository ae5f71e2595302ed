// Saving the execution log and the search result window to files. Both are
// written whole, through a temporary file that replaces the old one only
// once every byte is on disk.
#include <QSaveFile>

#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commands/Rpcmd1.h"
#include "commands/hitplace.h"
#include "search/search.h"
#include "store/encoding.h"
#include "store/lineslice.h"
#include "store/slots.h"

namespace {

// The last line of a saved search log that holds lines of a UTF-16 file.
const QString kUtf16Note = QStringLiteral("# UTF-16 のファイルの行は UTF-8 で書いています");

std::u16string_view Units(const QString& text) {
  return {reinterpret_cast<const char16_t*>(text.utf16()), static_cast<size_t>(text.size())};
}

// Writes a file through a temporary file beside it that replaces it only
// once every byte is written (QSaveFile), so that a failed save never costs
// the old file. The bytes go to its descriptor directly: the device's own
// buffered write drops the system's reason for a short write (disk full,
// file size limit).
class SavedFile {
 public:
  explicit SavedFile(const QString& fileName) : file_(fileName) {
    if (!file_.open(QIODevice::WriteOnly)) reason_ = file_.errorString();
  }
  bool ok() const { return reason_.isEmpty(); }
  void Write(const char* p, size_t left) {
    while (ok() && left > 0) {
      const ssize_t n = ::write(file_.handle(), p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        reason_ = QString::fromStdString(LastOsErrorText());
        break;
      }
      p += n;
      left -= static_cast<size_t>(n);
    }
  }
  void Write(std::string_view bytes) { Write(bytes.data(), bytes.size()); }
  // 0, or -1 after reporting why the file could not be written.
  int Finish() {
    if (!ok()) {
      file_.cancelWriting();
    } else if (!file_.commit()) {
      reason_ = file_.errorString();
    }
    if (ok()) return 0;
    ReportError(
        QStringLiteral("ファイル %1 に保存できませんでした: %2").arg(file_.fileName(), reason_));
    return -1;
  }

 private:
  QSaveFile file_;
  QString reason_;
};

// Bytes in encoding `from` to encoding `to`, a piece at a time: each
// character encoded anew, each byte that decodes to nothing kept as it is,
// so that nothing is replaced. A character the piece ends inside waits for
// the next piece.
class Reencoder {
 public:
  Reencoder(TextEncoding from, TextEncoding to) : from_(from), to_(to) {}
  // Appends what bytes give to out; last: no more bytes follow.
  void Take(std::string_view bytes, bool last, std::string& out) {
    carried_.append(bytes);
    size_t at = 0;
    std::string piece;
    std::u16string unit;
    // No character of the three encodings is longer than 4 bytes.
    while (at < carried_.size() && (last || carried_.size() - at >= 4)) {
      const CharSpan c = NextChar(from_, carried_.data() + at, carried_.size() - at);
      unit.clear();
      if (c.code != kNoCharacter && c.code < 0x10000) {
        unit.push_back(static_cast<char16_t>(c.code));
      } else if (c.code != kNoCharacter) {
        unit.push_back(static_cast<char16_t>(0xD800 + ((c.code - 0x10000) >> 10)));
        unit.push_back(static_cast<char16_t>(0xDC00 + ((c.code - 0x10000) & 0x3FF)));
      }
      if (!unit.empty() && Encode(to_, unit, piece)) {
        out += piece;
      } else {
        out.append(carried_, at, static_cast<size_t>(c.length));
      }
      at += static_cast<size_t>(c.length);
    }
    carried_.erase(0, at);
  }

 private:
  TextEncoding from_;
  TextEncoding to_;
  std::string carried_;
};

// The bytes a hit line was made of.
std::string HitBytes(const QString& line, const HitSource& source) {
  if (!source.bytes.empty()) return source.bytes;
  std::string bytes;
  Encode(source.encoding, Units(line), bytes);  // the text was checked to give them back
  return bytes;
}

// Writes the whole text of the line a cut hit line shows, prefix first, in
// pieces of at most 1 MiB: the line is never held whole. False, with
// nothing written, when its document no longer holds the line.
bool WriteWholeHitLine(const HitSource& source, TextEncoding target, SavedFile& out) {
  const HitPlace& place = *source.place;
  FileSlot* slot = SlotHoldingPlace(place);
  if (slot == nullptr) return false;
  LineTextReader reader(*slot, place.line);
  if (!reader.ok()) return false;
  reader.SetTabWidth(place.tabWidth);
  reader.EndAfter(place.rawLength);
  std::optional<Reencoder> reencoder;
  if (source.encoding != target) reencoder.emplace(source.encoding, target);
  std::string piece = FormatSearchLogLine(place.slot, place.line + 1, {});
  std::string converted;
  std::vector<char> buffer(size_t{1} << 20);
  for (;;) {
    if (reencoder) {
      converted.clear();
      reencoder->Take(piece, reader.AtEnd(), converted);
      out.Write(converted);
    } else {
      out.Write(piece);
    }
    if (reader.AtEnd() || !out.ok()) break;
    piece.assign(buffer.data(), reader.Read(buffer.data(), buffer.size()));
  }
  return true;
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
  // of all three, and so are reports the encoding cannot hold.
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
  std::string encoded;
  for (int i = 0; i < lines.size() && target != TextEncoding::kUtf8; ++i) {
    if (!sources[static_cast<size_t>(i)] && !Encode(target, Units(lines[i]), encoded)) {
      target = TextEncoding::kUtf8;
    }
  }
  if (target != TextEncoding::kCp932) {
    AppendLog(QStringLiteral("# 検索ログを %1 で保存します")
                  .arg(QString::fromLatin1(EncodingName(target))));
  }
  SavedFile out(fileName);
  int64_t shownOnly = 0;  // cut lines whose document is gone
  for (int i = 0; i < lines.size() && out.ok(); ++i) {
    encoded.clear();
    if (const std::optional<HitSource>& source = sources[static_cast<size_t>(i)]) {
      if (source->place && WriteWholeHitLine(*source, target, out)) {
        out.Write("\r\n");
        continue;
      }
      if (source->place) ++shownOnly;
      encoded = HitBytes(lines[i], *source);
      if (source->encoding != target) {
        std::string converted;
        Reencoder(source->encoding, target).Take(encoded, true, converted);
        encoded.swap(converted);
      }
    } else {
      Encode(target, Units(lines[i]), encoded);
    }
    out.Write(encoded);
    out.Write("\r\n");
  }
  if (fromUtf16) {
    Encode(target, Units(kUtf16Note), encoded);  // ASCII and kana: every encoding holds them
    out.Write(encoded);
    out.Write("\r\n");
  }
  if (shownOnly > 0) {
    AppendLog(
        QStringLiteral("# 元の文書が閉じられたか読み直されたため、%1 行は表示のまま保存しました")
            .arg(shownOnly));
  }
  return out.Finish();
}

int SaveBytes(const QByteArray& bytes, const QString& fileName) {
  SavedFile out(fileName);
  out.Write(bytes.constData(), static_cast<size_t>(bytes.size()));
  return out.Finish();
}
