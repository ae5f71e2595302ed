#include "commands/highlight.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "commands/Rpcmd1.h"
#include "search/occurrences.h"
#include "store/slots.h"
#include "view/highlights.h"
#include "view/view.h"

namespace {

struct Mark {
  QString text;
  bool regex = false;
  bool ignoreCase = false;
  QRgb colour = 0;
};

struct Marks {
  Mark search;  // empty text: none
  QList<HighlightRule> rules;
  // The finders of every mark, made for one encoding at a time (the page
  // draws one document): rebuilt when the marks or the encoding change.
  std::vector<std::pair<std::unique_ptr<OccurrenceFinder>, QRgb>> finders;
  bool built = false;
  TextEncoding encoding = TextEncoding::kCp932;
};
Marks g_marks;

void Redraw() {
  g_marks.built = false;
  const FileSlot& slot = SlotTable[CurrentSlot];
  if (slot.ViewBase != nullptr) DrawView(slot.TopLine, false);
}

void AddFinder(const QString& text, bool regex, bool ignoreCase, QRgb colour,
               TextEncoding encoding) {
  std::string pattern;
  // A text the encoding cannot hold marks nothing in it.
  if (text.isEmpty() || !Encode(encoding, text.toStdU16String(), pattern)) return;
  auto finder = std::make_unique<OccurrenceFinder>();
  if (!finder->Init(pattern, regex, ignoreCase, encoding)) return;
  g_marks.finders.emplace_back(std::move(finder), colour);
}

void Build(TextEncoding encoding) {
  g_marks.finders.clear();
  for (const HighlightRule& rule : g_marks.rules) {
    AddFinder(rule.text, rule.regex, rule.ignoreCase, rule.colour.rgb(), encoding);
  }
  // The search's marks last: they paint over a rule's.
  const Mark& search = g_marks.search;
  AddFinder(search.text, search.regex, search.ignoreCase, search.colour, encoding);
  g_marks.encoding = encoding;
  g_marks.built = true;
}

void MarkLine(TextEncoding encoding, const char* text, int length, std::vector<MarkSpan>& out) {
  if (g_marks.search.text.isEmpty() && g_marks.rules.isEmpty()) return;
  if (!g_marks.built || g_marks.encoding != encoding) Build(encoding);
  static std::vector<std::pair<int32_t, int32_t>> found;
  for (auto& [finder, colour] : g_marks.finders) {
    finder->FindAll(text, length, found);
    for (const auto& [start, end] : found) out.push_back(MarkSpan{start, end, colour});
  }
}

}  // namespace

void MarkSearchText(const QString& text, bool regex, bool ignoreCase) {
  g_marks.search = Mark{text, regex, ignoreCase, SearchMarkColour().rgb()};
  g_marks.built = false;
}

void SearchTextEdited(const QString& text) {
  if (g_marks.search.text.isEmpty() || text == g_marks.search.text) return;
  ClearSearchMarks();
}

void ClearSearchMarks() {
  g_marks.search = Mark{};
  Redraw();
}

QList<HighlightRule> HighlightRules() { return g_marks.rules; }

bool SetHighlightRules(const QList<HighlightRule>& rules) {
  const TextEncoding encoding = SlotTable[CurrentSlot].Encoding;
  for (const HighlightRule& rule : rules) {
    std::string pattern;
    if (!rule.regex || !Encode(encoding, rule.text.toStdU16String(), pattern)) continue;
    const std::string reason = RegexError(pattern, encoding);
    if (!reason.empty()) {
      ReportError(QStringLiteral("正規表現が正しくありません: ") +
                  QString::fromUtf8(reason.data(), static_cast<qsizetype>(reason.size())));
      return false;
    }
  }
  g_marks.rules = rules.mid(0, kMaxHighlightRules);
  Redraw();
  return true;
}

void InstallHighlightMarks() { RowMarks() = MarkLine; }
