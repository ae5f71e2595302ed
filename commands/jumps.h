// Jumps to a line the user names (指定行へ移動, ファイル最後へ移動), and the
// wait for a line the index has not reached yet.
#pragma once

#include <cstdint>

#include "store/slots.h"

// The top line of the last page in sight: the file's last line on the
// page's last visible row.
int32_t LastPageTop(const FileSlot& slot);
// True when a page from top shows the slot's last line.
bool PageShowsEnd(const FileSlot& slot, int64_t top);
// 指定行へ移動 of the 0-based line: a line past the end shows the last page
// in sight. While the index is built, a line it has not reached yet is
// waited for (the log says so; GiveUpJumpWait ends the wait) and shown once
// it is known. -1 when the current slot is empty.
int JumpToLine(int64_t line);
// True while a jump waits for the index of the current slot.
bool JumpWaiting();
// Ends the current slot's wait; true when there was one.
bool GiveUpJumpWait();
// The slot's index grew or is complete: a waiting jump that can go now goes.
void TakeJumpWait(FileSlot& slot);
