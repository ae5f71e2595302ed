// File names for the screen and the log. A name stays the bytes the system
// gave (the file opens from them); only what is shown is decoded.
#pragma once

#include <string>
#include <string_view>

// A path's native bytes as UTF-8 text, one part between slashes at a time:
// a part that is UTF-8 is taken as it is; one that is not is read as
// Shift-JIS (CP932) when every byte of it decodes to a character (names
// from Windows archives); otherwise each byte that does not decode as
// UTF-8 shows as U+FFFD.
std::string DisplayName(std::string_view native);
