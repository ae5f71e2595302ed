#include "commands/jumps.h"

#include <QString>
#include <algorithm>

#include "commands/Rpcmd1.h"
#include "view/shownlines.h"
#include "view/view.h"

namespace {

// One wait at most: a new jump replaces it. It belongs to one open of one
// slot (OpenSerial changes with every open and close).
struct JumpWait {
  int slot = -1;
  uint64_t serial = 0;
  int64_t line = 0;  // 0-based
};
JumpWait g_wait;

int SlotIndexOf(const FileSlot& slot) { return static_cast<int>(&slot - SlotTable); }

bool WaitBelongsTo(const FileSlot& slot) {
  return g_wait.slot == SlotIndexOf(slot) && g_wait.serial == slot.OpenSerial &&
         slot.ViewBase != nullptr;
}

// The page from the line is known, or the index is complete: the jump can go.
bool Reached(const FileSlot& slot, int64_t line) {
  const int rows = slot.Image != nullptr ? VisibleLinesPerPage(slot.Image) : 1;
  return line + rows <= slot.LineCount || IndexComplete(slot);
}

int32_t TopFor(const FileSlot& slot, int64_t line) {
  // Past the end, or past the last line a filtered tab shows.
  if (line >= slot.LineCount || RowOfLine(slot, static_cast<int32_t>(line)) >= ShownRows(slot)) {
    return LastPageTop(slot);
  }
  return static_cast<int32_t>(std::max<int64_t>(line, 0));
}

}  // namespace

int32_t LastPageTop(const FileSlot& slot) {
  const int rows = slot.Image != nullptr ? VisibleLinesPerPage(slot.Image) : 1;
  return LineOfRow(slot, std::max<int64_t>(0, int64_t{ShownRows(slot)} - rows));
}

bool PageShowsEnd(const FileSlot& slot, int64_t top) {
  const int rows = slot.Image != nullptr ? VisibleLinesPerPage(slot.Image) : 1;
  return RowOfLine(slot, static_cast<int32_t>(std::min<int64_t>(top, kMaxLineCount))) + rows >=
         ShownRows(slot);
}

int JumpToLine(int64_t line) {
  FileSlot& slot = SlotTable[CurrentSlot];
  if (slot.ViewBase == nullptr) return -1;
  line = std::max<int64_t>(line, 0);
  if (Reached(slot, line)) {
    if (WaitBelongsTo(slot)) g_wait = JumpWait{};
    return rpcmd::_jump(TopFor(slot, line), true);
  }
  g_wait = JumpWait{CurrentSlot, slot.OpenSerial, line};
  AppendLog(QStringLiteral("# %1 行目の読み込みを待っています（Esc で中止）").arg(line + 1));
  return 0;
}

bool JumpWaiting() { return WaitBelongsTo(SlotTable[CurrentSlot]); }

bool GiveUpJumpWait() {
  if (!JumpWaiting()) return false;
  AppendLog(QStringLiteral("# %1 行目への移動を中止しました").arg(g_wait.line + 1));
  g_wait = JumpWait{};
  return true;
}

void TakeJumpWait(FileSlot& slot) {
  if (g_wait.slot != SlotIndexOf(slot)) return;
  if (!WaitBelongsTo(slot)) {
    g_wait = JumpWait{};  // the document it waited in is gone
    return;
  }
  if (!Reached(slot, g_wait.line)) return;
  const int64_t line = g_wait.line;
  g_wait = JumpWait{};
  if (SlotIndexOf(slot) == CurrentSlot) {
    rpcmd::_jump(TopFor(slot, line), true);
    return;
  }
  // On another tab: the page is there when the tab is shown again.
  slot.FollowTail = slot.FollowTail && PageShowsEnd(slot, TopFor(slot, line));
  slot.TopLine = TopFor(slot, line);
}
