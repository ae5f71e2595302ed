// The line behind a search-log line that shows it cut: found again in its
// document for the window's click and its 保存, as long as the document is
// the one the hit was found in.
#pragma once

#include <cstdint>
#include <optional>

#include "commands/Rpcmd1.h"
#include "search/search.h"

struct FileSlot;

// The place of a hit the scan just reported in the slot.
HitPlace PlaceOfHit(int slot, int32_t line, const HitSpan& span);
// The slot of place when it still holds the line the hit was found on: the
// same open, the same index (not read anew), the line still there and at
// least as long (a growing last line keeps its first bytes). Null else.
FileSlot* SlotHoldingPlace(const HitPlace& place);
// Scrolls the current page sideways so that the hit of place is in view,
// when its document is on view and the hit's line on the page.
void ScrollToHitPlace(const HitPlace& place);
