// The execution log, error reporting and the named commands. Every command
// appends its echo line to the log before it acts; the windows reach the
// commands only through this header, and the commands reach the windows only
// through CommandHooks.
#pragma once

#include <QByteArray>
#include <QFont>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "search/search.h"
#include "store/encoding.h"

class LineIndex;

// The line a search-log line shows cut (a line longer than GetLine's text):
// enough to find it again and to tell whether it is still the same line.
struct HitPlace {
  int slot = 0;
  int32_t line = 0;  // 0-based
  // FileSlot::OpenSerial and the index the line was found through: another
  // open, a close or a reading of the file anew gives other ones.
  uint64_t serial = 0;
  std::weak_ptr<const LineIndex> index;
  uint64_t rawLength = 0;  // the line's bytes in the file when it was found
  int32_t tabWidth = 0;    // TabWidth the text was made with
  // The match, byte offsets of the line's whole text.
  int64_t matchStart = 0;
  int64_t matchEnd = 0;
};

// What a hit line of the search result window was made from, kept with the
// line itself until the window is cleared: the document's encoding and, when
// the shown text does not encode back to them, the line's own bytes.
struct HitSource {
  TextEncoding encoding = TextEncoding::kCp932;
  std::string bytes;       // the whole search-log line, prefix included; empty: the text gives them
  bool fromUtf16 = false;  // a line of a UTF-16 file (its encoding is then UTF-8)
  std::optional<HitPlace> place;  // set when the shown text is the line cut
};

// Filled in by the main window and its dialogs; tests put recording
// stand-ins here. Unset hooks are skipped.
struct CommandHooks {
  // The execution log (Log1).
  std::function<void(const QString&)> append_log;
  std::function<QStringList()> log_lines;
  // A modal notice with the given caption and one OK button.
  std::function<void(const QString& caption, const QString& text)> message_box;
  // Status bar panels (0..6) and tab captions; both repaint at once.
  std::function<void(int panel, const QString&)> set_status;
  std::function<void(int slot, const QString&)> set_tab_caption;
  // The check mark of the menu item DspLine.
  std::function<void(bool)> set_line_number_check;
  // The radio items of the menu 文字コード: kAutoEncoding, a TextEncoding as
  // int or a UTF-16 choice, for the current slot.
  std::function<void(int choice)> set_encoding_check;
  // The check marks of 末尾を追従 (menu item and toolbar button).
  std::function<void(bool)> set_follow_check;
  // The search result window (SearchLogF): show it, add lines to its memo
  // SearchLog (the window repaints them at most about every 100 ms and on
  // flush), and read its lines back.
  std::function<void()> show_search_log;
  std::function<void(const QString&)> append_search_log;
  std::function<void(const QString&, HitSource)> append_search_hit;
  std::function<void()> flush_search_log;
  std::function<QStringList()> search_log_lines;
  // What line i of search_log_lines was made from; nothing for a report.
  std::function<std::optional<HitSource>(int line)> search_log_source;
  // A search (single or continuous) starts (true) or ends (false): show or
  // hide the Cancel buttons, disable or enable every other action and control.
  std::function<void(bool running)> search_running;
  // Progress of a search: the line reached out of the line count. Called
  // about ten times a second at most; lets input through (the Cancel
  // buttons, and whatever the disabled windows still let pass).
  std::function<void(int32_t line, int32_t lineCount)> search_progress;
  // The slot's index grew, completed, failed or was cancelled: the window
  // shows the count and share, and enables what waits for the whole file.
  std::function<void(int slot)> index_progress;
};
CommandHooks& CmdHooks();

// Execution log and errors.
void AppendLog(const QString& text);
void ReportError(const QString& text);  // modal box captioned "Error", then the log line
void ReportLastOsError();               // errno's system text through ReportError
// Local date and time in the locale's short date and long time formats.
QString ClockText();
// Writes the execution log's lines as Shift-JIS (CP932) bytes, CR LF after
// every line, no BOM, replacing the file through a temporary file in the same
// folder and a rename. When a line holds a character that CP932 lacks, the
// whole file is written as UTF-8 instead and a log line (also the file's
// last line) says so: nothing is replaced and nothing refused. On a failure
// of the file system the old file is left as it was, the error is reported
// and -1 is returned.
int SaveExecutionLog(const QStringList& lines, const QString& fileName);
// The same for bytes already encoded (CR LF included).
int SaveBytes(const QByteArray& bytes, const QString& fileName);
// The search result window's lines: in the encoding of the documents their
// hits came from, every hit line with its own bytes (sourceOf(i): what line
// i was made from); hits from documents in different encodings make a UTF-8
// file, in which a byte that decodes to no character is still written as it
// is. A line that is no hit is encoded anew. A hit line shown cut is written
// whole, read from its document a piece at a time, while that document is
// still the one it was found in; else its shown text is written and the log
// says so.
int SaveSearchLogLines(const QStringList& lines,
                       const std::function<std::optional<HitSource>(int)>& sourceOf,
                       const QString& fileName);

// Connects the store's and the search's callbacks to the log, the error
// report, the status bar and the view. Called once at start-up (and by tests).
void InstallCommandHooks();

// The named commands. Each returns 0 when it ran to its end, -1 when it
// stopped early; no caller looks at the result.
namespace rpcmd {
int _exit();
// The path as the bytes the system gave (argv, a drop, the open dialog):
// a name that is not valid UTF-8 opens too; the echo shows stand-ins for
// the bytes that do not decode.
int _open_file(const QByteArray& nativePath);
int _open_file(const QString& path);  // the path as text, encoded for the system
int _quit_file();
int _font_set(const QFont& font);
int _save_memo(const QString& fileName);
int _save_search_log(const QString& fileName);
int _dsp_lineno(bool on);
int _chenge_view(int slot);
int _jump(int32_t topLine, bool moveScrollBar);
int _select(int32_t lineNumber);
int _tab_set(int width);
int _find_str(const QString& text);  // FindString
// The current document's encoding: kAutoEncoding (detected from the file), a
// TextEncoding as int, or kUtf16LeChoice / kUtf16BeChoice. The page is drawn
// again; nothing is indexed again unless the choice moves between UTF-16
// and the byte encodings (the file is then read again from its start).
int _code_set(int choice);
// Follow mode of the current tab: on keeps the last page in view as the file
// grows (and shows it now).
int _follow_tail(bool on);
}  // namespace rpcmd

constexpr int kAutoEncoding = -1;
// UTF-16 of either order: the file is read again (its lines differ).
constexpr int kUtf16LeChoice = 3;
constexpr int kUtf16BeChoice = 4;
// The menu's name of a choice: "自動判別", "Shift_JIS", "UTF-8", "EUC-JP",
// "UTF-16LE", "UTF-16BE".
QString EncodingChoiceName(int choice);
// Status panel kEncodingPanel and the menu's radio items, for the current slot.
void ShowSlotEncoding();

// Ends the open of the current slot while its index is still being built
// (the キャンセル button and Esc): the slot is left empty, its page and bars
// cleared, and the log says so. -1 when the slot was not indexing.
int CancelOpen();

int FindString(const QString& text);
