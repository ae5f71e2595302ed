#include "commands/filter.h"

#include <QLocale>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <thread>
#include <vector>

#include "commands/Rpcmd1.h"
#include "search/filterrules.h"
#include "store/compressed_slot.h"
#include "store/linefilter.h"
#include "store/slots.h"
#include "view/shownlines.h"
#include "view/view.h"

namespace {

constexpr int kPumpIntervalMs = 50;
constexpr int kProgressPanel = 6;

// What a slot's filter was made from, so that the upkeep can tell when the
// shown lines must be found again.
struct SlotRules {
  QList<FilterRuleText> rules;
  uint64_t serial = 0;  // FileSlot::OpenSerial the rules belong to
  TextEncoding encoding = TextEncoding::kCp932;
  // The line the user had on top when the filter was applied: shown (or the
  // first shown line after it) as soon as the thread finds it, unless the
  // user scrolled meanwhile. -1: none.
  int32_t anchor = -1;
  int32_t drawnTop = -1;  // TopLine after the last draw of the upkeep
  int32_t drawnRows = -1;
  bool building = false;
  // The line on top when the first rule came: 解除 returns there when the
  // rules left no line to show (the page then stands past the end).
  int32_t origin = 0;
};
SlotRules g_rules[kSlotCount];

QTimer* PumpTimer() {
  static QTimer* timer = [] {
    auto* t = new QTimer();
    t->setInterval(kPumpIntervalMs);
    QObject::connect(t, &QTimer::timeout, [] { PumpFilters(); });
    return t;
  }();
  return timer;
}

int SlotIndex(const FileSlot& slot) { return static_cast<int>(&slot - SlotTable); }

void SetStatus(int panel, const QString& text) {
  if (CmdHooks().set_status) CmdHooks().set_status(panel, text);
}

void Changed() {
  if (FilterHooksRef().changed) FilterHooksRef().changed();
}

QString RuleEcho(const FilterRuleText& rule) {
  QString flags = rule.exclude ? QStringLiteral("-") : QStringLiteral("+");
  if (rule.regex) flags += QLatin1Char('r');
  if (rule.ignoreCase) flags += QLatin1Char('i');
  return flags + QLatin1Char(' ') + rule.text;
}

void Echo(const QString& rest) {
  AppendLog(QStringLiteral(" > _filter ") + QString::number(CurrentSlot) + QLatin1Char(' ') + rest);
}

// The rules in the document's encoding; false (and the user told) when a
// text cannot be written in it or an expression does not compile.
bool EncodeRules(const QList<FilterRuleText>& rules, TextEncoding encoding,
                 std::vector<FilterRule>& out) {
  out.clear();
  for (const FilterRuleText& text : rules) {
    FilterRule rule;
    rule.exclude = text.exclude;
    rule.regex = text.regex;
    rule.ignoreCase = text.ignoreCase;
    size_t bad = 0;
    if (!Encode(encoding, text.text.toStdU16String(), rule.text, &bad)) {
      ReportError(QStringLiteral("フィルタの「%1」は %2 では表せません")
                      .arg(text.text.mid(static_cast<qsizetype>(bad), 1),
                           QString::fromLatin1(EncodingName(encoding))));
      return false;
    }
    const std::string reason = FilterRuleError(rule, encoding);
    if (!reason.empty()) {
      ReportError(QStringLiteral("フィルタの条件が正しくありません: ") +
                  QString::fromUtf8(reason.data(), static_cast<qsizetype>(reason.size())));
      return false;
    }
    out.push_back(std::move(rule));
  }
  return true;
}

// Starts finding the slot's shown lines from its rules (none: every line).
void Build(FileSlot& slot, SlotRules& state) {
  slot.Filter.reset();
  state.encoding = slot.Encoding;
  state.serial = slot.OpenSerial;
  if (state.rules.isEmpty()) {
    state.building = false;
    return;
  }
  std::vector<FilterRule> rules;
  if (!EncodeRules(state.rules, slot.Encoding, rules)) {
    // Another encoding cannot hold a rule (the user was told): the rules go,
    // rather than be refused again at every look.
    state.rules.clear();
    state.building = false;
    AppendLog(QStringLiteral("# フィルタを解除しました"));
    return;
  }
  LineFilter::Job job;
  job.slot = SlotIndex(slot);
  job.fd = slot.FileHandle;
  job.index = slot.Index;
  job.tabWidth = TabWidth;
  job.test = MakeFilterTest(rules, slot.Encoding);
  // A compressed or UTF-16 document: the text (UTF-8 for UTF-16) is read
  // through its source, unpacked bytes by offset as the index counts them.
  // Runs of 4 MiB: the run and what is decoded ahead are held on the heap
  // (a plain file's runs are mapped).
  if (slot.Compressed) {
    job.source = slot.Compressed->source;
    job.runBytes = uint64_t{4} << 20;
  }
  if (!job.test || !job.index) return;
  slot.Filter = std::make_shared<LineFilter>(std::move(job), nullptr);
  slot.Filter->Extend(slot.LineCount, slot.FileSize);
  state.building = true;
  PumpTimer()->start();
}

// The current tab drawn again from its anchor (or top) and its bar's range.
// The rows are counted before the bar is ranged: the thread may show more
// lines meanwhile, and a count taken after would hide them from the upkeep,
// which ranges the bar again only when the count differs.
void Redraw(FileSlot& slot, SlotRules& state) {
  const int32_t rows = ShownRows(slot);
  SetVerticalRange(slot);
  if (SlotIndex(slot) != CurrentSlot) return;
  DrawView(state.anchor >= 0 ? state.anchor : slot.TopLine, true);
  state.drawnTop = slot.TopLine;
  state.drawnRows = rows;
}

// Panel 6, beside the line count: the share examined while the filter is
// built, then the lines shown out of all.
bool g_countsShown = false;  // panel 6 holds the filter's text

void ShowCounts(FileSlot& slot, SlotRules& state) {
  if (SlotIndex(slot) != CurrentSlot || ActiveFilter(slot) == nullptr) return;
  // A search or the index shows its own progress there.
  if (SearchRunning || !IndexComplete(slot)) return;
  g_countsShown = true;
  const QLocale english(QLocale::English);
  if (state.building) {
    const int share = slot.LineCount > 0
                          ? static_cast<int>(int64_t{slot.Filter->Covered()} * 100 / slot.LineCount)
                          : 100;
    SetStatus(kProgressPanel, QStringLiteral("フィルタ中 %1%").arg(share));
    return;
  }
  SetStatus(kProgressPanel,
            QStringLiteral("表示 %1 / %2")
                .arg(english.toString(ShownRows(slot)), english.toString(slot.LineCount)));
}

void PumpSlot(int index) {
  FileSlot& slot = SlotTable[index];
  SlotRules& state = g_rules[index];
  if (state.rules.isEmpty()) return;
  if (slot.ViewBase == nullptr || slot.OpenSerial != state.serial) {
    // Another document (or none): its rules went with it.
    slot.Filter.reset();
    state = SlotRules{};
    if (index == CurrentSlot) Changed();
    return;
  }
  // The document was read again, or its tab width or encoding changed: the
  // shown lines are found again, from the line on top.
  if (ActiveFilter(slot) == nullptr || state.encoding != slot.Encoding) {
    state.anchor = slot.TopLine;
    Build(slot, state);
    Redraw(slot, state);
  }
  LineFilter* filter = slot.Filter.get();
  if (filter == nullptr) return;
  if (filter->Cancelled()) {
    // Its thread stopped by itself: the list of shown lines could not grow.
    ReportError(QStringLiteral("メモリが不足しているため、フィルタを作成できません"));
    const int32_t top = slot.TopLine;
    state = SlotRules{};
    slot.Filter.reset();
    SetVerticalRange(slot);
    if (index == CurrentSlot) {
      SetStatus(kProgressPanel, QString());
      DrawView(top, true);
      Changed();
    }
    return;
  }
  filter->Extend(slot.LineCount, slot.FileSize);
  const bool caughtUp = filter->CaughtUp();
  // The user scrolled since the upkeep drew: the anchor is given up.
  if (state.anchor >= 0 && index == CurrentSlot && slot.TopLine != state.drawnTop &&
      state.drawnTop >= 0) {
    state.anchor = -1;
  }
  const int32_t rows = ShownRows(slot);
  if (rows != state.drawnRows) {
    SetVerticalRange(slot);
    const bool onView = index == CurrentSlot && slot.Image != nullptr;
    const int64_t pageEnd = RowOfLine(slot, slot.TopLine) + LinesPerPage(slot.Image);
    if (onView && (state.anchor >= 0 || slot.FollowTail || pageEnd > state.drawnRows)) {
      if (slot.FollowTail) {
        const int visible = VisibleLinesPerPage(slot.Image);
        DrawView(LineOfRow(slot, std::max<int64_t>(0, int64_t{rows} - visible)), true);
        state.drawnTop = slot.TopLine;
      } else {
        Redraw(slot, state);
      }
    }
    state.drawnRows = rows;
  }
  // Done only once the index is: a pass still running (a compressed file is
  // read slower than a filter decides) brings more lines to examine.
  if (state.building && caughtUp && IndexComplete(slot)) {
    state.building = false;
    state.anchor = -1;
    AppendLog(QStringLiteral("# フィルタ完了: %1 行中 %2 行を表示")
                  .arg(slot.LineCount)
                  .arg(filter->ShownCount()));
    if (index == CurrentSlot) Changed();
  } else if (!state.building && !caughtUp) {
    state.building = true;  // lines arrived (follow): the panel shows the progress again
  }
  ShowCounts(slot, state);
}

int Apply(FileSlot& slot) {
  SlotRules& state = g_rules[CurrentSlot];
  const int32_t top = slot.TopLine < slot.LineCount ? slot.TopLine : state.origin;
  state.anchor = state.rules.isEmpty() ? -1 : top;
  const bool wasFiltered = ActiveFilter(slot) != nullptr;
  Build(slot, state);
  if (state.rules.isEmpty()) {
    SetStatus(kProgressPanel, QString());
    ResetSelection(true);
    SetVerticalRange(slot);
    if (wasFiltered || slot.Image != nullptr) DrawView(top, true);
    ShowCounts(slot, state);
  } else {
    ResetSelection(true);
    // A first look, so that the first page shows before the next tick when
    // its lines are found quickly.
    for (int i = 0; i < 10 && !slot.Filter->CaughtUp() &&
                    slot.Filter->ShownCount() < RowOfLine(slot, top) + LinesPerPage(slot.Image);
         ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    Redraw(slot, state);
    PumpSlot(CurrentSlot);
  }
  Changed();
  return 0;
}

}  // namespace

FilterHooks& FilterHooksRef() {
  static FilterHooks hooks;
  return hooks;
}

namespace rpcmd {

int _filter(const FilterRuleText& rule) {
  Echo(RuleEcho(rule));
  FileSlot& slot = SlotTable[CurrentSlot];
  if (slot.ViewBase == nullptr) return -1;
  SlotRules& state = g_rules[CurrentSlot];
  if (state.serial != slot.OpenSerial) state = SlotRules{};
  std::vector<FilterRule> encoded;
  if (!EncodeRules({rule}, slot.Encoding, encoded)) return -1;
  if (state.rules.isEmpty()) state.origin = slot.TopLine;
  state.rules.append(rule);
  return Apply(slot);
}

int _filter_delete(int k) {
  Echo(QStringLiteral("delete ") + QString::number(k + 1));
  FileSlot& slot = SlotTable[CurrentSlot];
  SlotRules& state = g_rules[CurrentSlot];
  if (slot.ViewBase == nullptr || state.serial != slot.OpenSerial || k < 0 ||
      k >= state.rules.size()) {
    return -1;
  }
  state.rules.removeAt(k);
  return Apply(slot);
}

int _filter_clear() {
  Echo(QStringLiteral("clear"));
  FileSlot& slot = SlotTable[CurrentSlot];
  SlotRules& state = g_rules[CurrentSlot];
  if (slot.ViewBase == nullptr || state.rules.isEmpty()) {
    state = SlotRules{};
    slot.Filter.reset();
    Changed();
    return -1;
  }
  state.rules.clear();
  return Apply(slot);
}

}  // namespace rpcmd

QList<FilterRuleText> FilterRulesOf(int slot) {
  if (slot < 0 || slot >= kSlotCount) return {};
  if (g_rules[slot].serial != SlotTable[slot].OpenSerial) return {};
  return g_rules[slot].rules;
}

bool FilterBuilding() {
  const SlotRules& state = g_rules[CurrentSlot];
  return state.building && state.serial == SlotTable[CurrentSlot].OpenSerial;
}

int CancelFilterBuild() {
  if (!FilterBuilding()) return -1;
  FileSlot& slot = SlotTable[CurrentSlot];
  if (slot.Filter) slot.Filter->Cancel();
  AppendLog(QStringLiteral("# フィルタを中止しました"));
  g_rules[CurrentSlot].rules.clear();
  return Apply(slot);
}

void PumpFilters() {
  bool any = false;
  for (int n = 0; n < kSlotCount; ++n) {
    PumpSlot(n);
    any = any || !g_rules[n].rules.isEmpty();
  }
  if (g_countsShown && ActiveFilter(SlotTable[CurrentSlot]) == nullptr && !SearchRunning) {
    g_countsShown = false;  // another tab, or the filter went
    SetStatus(kProgressPanel, QString());
  }
  if (!any) PumpTimer()->stop();
}

void WaitForFilter() {
  FileSlot& slot = SlotTable[CurrentSlot];
  PumpFilters();
  while (slot.Filter && !slot.Filter->CaughtUp() && !slot.Filter->Cancelled()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  PumpFilters();
}
