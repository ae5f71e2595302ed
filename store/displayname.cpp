#include "store/displayname.h"

#include "store/encoding.h"

namespace {

// Every character of the part decodes in the encoding; read as Shift-JIS,
// none may be a control character either (a real name would not hold one).
bool DecodesWhole(TextEncoding encoding, std::string_view part) {
  size_t at = 0;
  while (at < part.size()) {
    const CharSpan c = NextChar(encoding, part.data() + at, part.size() - at);
    if (c.code == kNoCharacter || (encoding == TextEncoding::kCp932 && c.code < 0x20)) return false;
    at += static_cast<size_t>(c.length);
  }
  return true;
}

void AppendPart(std::string& out, std::string_view part) {
  if (DecodesWhole(TextEncoding::kUtf8, part)) {
    out.append(part);
    return;
  }
  const TextEncoding from =
      DecodesWhole(TextEncoding::kCp932, part) ? TextEncoding::kCp932 : TextEncoding::kUtf8;
  std::string utf8;
  Encode(TextEncoding::kUtf8, Decode(from, part, DecodeMode::kReplacement), utf8);
  out += utf8;
}

}  // namespace

std::string DisplayName(std::string_view native) {
  std::string out;
  out.reserve(native.size() * 2);
  size_t from = 0;
  while (true) {
    const size_t slash = native.find('/', from);  // never a byte of a CP932 character
    AppendPart(out, native.substr(from, slash == std::string_view::npos ? slash : slash - from));
    if (slash == std::string_view::npos) break;
    out.push_back('/');
    from = slash + 1;
  }
  return out;
}
