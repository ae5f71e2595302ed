#include "commands/hitplace.h"

#include "store/lineslice.h"
#include "store/slots.h"
#include "view/view.h"

HitPlace PlaceOfHit(int slot, int32_t line, const HitSpan& span) {
  HitPlace place;
  place.slot = slot;
  place.line = line;
  place.matchStart = span.matchStart;
  place.matchEnd = span.matchEnd;
  place.tabWidth = TabWidth;
  if (slot < 0 || slot >= kSlotCount) return place;
  FileSlot& file = SlotTable[slot];
  place.serial = file.OpenSerial;
  place.index = file.Index;
  place.rawLength = GetLineBounds(file, line).length();
  return place;
}

FileSlot* SlotHoldingPlace(const HitPlace& place) {
  if (place.slot < 0 || place.slot >= kSlotCount) return nullptr;
  FileSlot& slot = SlotTable[place.slot];
  const std::shared_ptr<const LineIndex> index = place.index.lock();
  if (slot.ViewBase == nullptr || slot.OpenSerial != place.serial || index == nullptr ||
      index != slot.Index) {
    return nullptr;
  }
  const LineBounds bounds = GetLineBounds(slot, place.line);
  if (!bounds.ok || bounds.length() < place.rawLength) return nullptr;
  return &slot;
}

void ScrollToHitPlace(const HitPlace& place) {
  // The offsets count a TAB as the blanks of the width it was found with.
  if (place.slot != CurrentSlot || place.tabWidth != TabWidth ||
      SlotHoldingPlace(place) == nullptr) {
    return;
  }
  ScrollToMatch(place.line, place.matchStart, place.matchEnd);
}
