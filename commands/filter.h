// The filter of each tab: its rules as the user typed them, the commands
// that change them (echoed in the execution log like every command), and
// the upkeep that keeps the shown lines (store/linefilter.h) in step with
// the document: new lines as they arrive, a document read again, another
// tab width or encoding.
#pragma once

#include <QList>
#include <QString>
#include <cstdint>
#include <functional>

struct FilterRuleText {
  QString text;
  bool exclude = false;     // 除く: lines that match are hidden
  bool regex = false;       // 正規表現
  bool ignoreCase = false;  // 大文字・小文字を区別しない
};

namespace rpcmd {
// Adds a rule to the current tab's filter and applies the filter at once.
// " > _filter 0 + INFO", " > _filter 0 -i debug" (r: regular expression,
// i: case ignored).
int _filter(const FilterRuleText& rule);
// Deletes rule k (0-based) of the current tab: " > _filter 0 delete 1" (1-based).
int _filter_delete(int k);
// Removes every rule: " > _filter 0 clear". The tab shows every line again,
// from the line on top.
int _filter_clear();
}  // namespace rpcmd

// The rules of a slot's filter, in the order they were added.
QList<FilterRuleText> FilterRulesOf(int slot);
// True while the current tab's filter is still examining lines it knows.
bool FilterBuilding();
// Esc while the filter is built: the rules go, and the log says so. -1 when
// no filter was being built.
int CancelFilterBuild();
// Takes in what the filters' threads found and what the documents did
// since the last call. Runs by itself about 20 times a second while a tab
// has a filter; tests call it (and WaitForFilter) to step.
void PumpFilters();
// Waits until the current tab's filter has examined every line it knows,
// then pumps.
void WaitForFilter();
// Called when the filter state of the current tab changed (dialog list,
// Esc shortcut); set by the window.
struct FilterHooks {
  std::function<void()> changed;
};
FilterHooks& FilterHooksRef();
