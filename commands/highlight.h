// The page's coloured marks: every occurrence of the last search's text (in
// a colour of its own; the hit itself is inverted on top) until the text
// changes or 表示 → 強調表示を消す, and up to eight highlight rules of the
// user (設定 → 強調表示...) on every page of every tab, for the run.
#pragma once

#include <QColor>
#include <QList>
#include <QString>

struct HighlightRule {
  QString text;
  bool regex = false;
  bool ignoreCase = false;
  QColor colour;
};

constexpr int kMaxHighlightRules = 8;
// The search's marks: a pale yellow.
inline QColor SearchMarkColour() { return QColor(0xFF, 0xF0, 0x80); }

// Marks every occurrence of text (as the search with these options finds
// it) from now on; an empty text marks nothing. Redraws the page.
void MarkSearchText(const QString& text, bool regex, bool ignoreCase);
// The search box holds text now: the marks go when it is another text.
void SearchTextEdited(const QString& text);
// 強調表示を消す: the search's marks go (the rules stay).
void ClearSearchMarks();

QList<HighlightRule> HighlightRules();
// Replaces the rules (at most kMaxHighlightRules are kept); false, with the
// user told, when a rule's expression does not compile. Redraws the page.
bool SetHighlightRules(const QList<HighlightRule>& rules);

// Connects the view's row marks to the above. Called once at start-up (and
// by tests).
void InstallHighlightMarks();
