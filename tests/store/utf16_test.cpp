// A UTF-16 file reads as the same text in UTF-8: the same lines, the same
// bytes at every offset (also across access points), its byte order shown
// in the encoding panel; bad input is kept visible and never crashes.
#include <cstdlib>
#include <cstring>

#include "store/compressed_slot.h"
#include "store/utf16.h"
#include "store_fixture.h"
#include "support/utf16text.h"

namespace {

using Utf16Open = StoreTest;

// The slot's text from offset, length bytes, read through its window.
std::string SlotBytes(FileSlot& slot, uint64_t offset, uint64_t length) {
  if (MapWindowAt(slot, offset, offset + length) != 0) return "<no window>";
  return std::string(slot.ViewBase + (offset - slot.WindowOffset), length);
}

TEST_F(Utf16Open, EachOrderWithAndWithoutMarkReadsAsTheUtf8Text) {
  const std::string text = utf16text::Sample(3u << 20);  // several access points
  OpenBytes(text, "plain.txt");
  ASSERT_EQ(0, result);
  const std::vector<std::string> lines = AllLines();
  CloseDocument();
  const struct {
    const char* name;
    bool big;
    bool bom;
    const char* panel;
  } cases[] = {{"le_bom", false, true, "UTF-16LE"},
               {"le", false, false, "UTF-16LE"},
               {"be_bom", true, true, "UTF-16BE"},
               {"be", true, false, "UTF-16BE"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    OpenBytes(utf16text::FromUtf8(text, c.big, c.bom), std::string(c.name) + ".txt");
    ASSERT_EQ(0, result);
    FileSlot& slot = Slot();
    EXPECT_EQ(TextEncoding::kUtf8, slot.Encoding);
    EXPECT_EQ(c.panel, EncodingPanelText(slot));
    EXPECT_NE("", FollowRefusal(slot));
    EXPECT_EQ(text.size(), slot.FileSize);
    EXPECT_EQ(lines, AllLines());
    // Backwards, so that each read starts from an earlier access point.
    for (int32_t i = slot.LineCount - 1; i >= 0; i -= 997)
      EXPECT_EQ(lines[static_cast<size_t>(i)], GetLine(slot, i)) << i;
    for (const uint64_t at : {uint64_t{text.size() - 5000}, uint64_t{0}, uint64_t{(1u << 20) - 7},
                              uint64_t{524287}, uint64_t{text.size() / 2}, uint64_t{70000}}) {
      const uint64_t n = std::min<uint64_t>(9000, text.size() - at);
      EXPECT_EQ(text.substr(at, n), SlotBytes(slot, at, n)) << at;
    }
    CloseDocument();
  }
}

TEST_F(Utf16Open, BadUnitsStayVisibleWhateverThePieces) {
  // A pair across the sixteen units the ASCII run is tested in.
  const std::string across = "ABCDEFGHIJKLMNO\xF0\xA0\xAE\xB7" + std::string(40, 'a');
  const struct {
    const char* name;
    std::string le;  // little-endian input
    std::string utf8;
  } cases[] = {
      {"pair", std::string("A\0\x42\xD8\xB7\xDF", 6), "A\xF0\xA0\xAE\xB7"},
      {"lone_high_then_ascii", std::string("\x3D\xD8\x42\0", 4), "\xED\xA0\xBD\x42"},
      {"lone_high_at_end", std::string("\x3D\xD8", 2), "\xED\xA0\xBD"},
      {"lone_low", std::string("\x00\xDC\n\0", 4), "\xED\xB0\x80\n"},
      {"two_highs_then_low", std::string("\x3D\xD8\x3D\xD8\x00\xDC", 6),
       "\xED\xA0\xBD\xF0\x9F\x90\x80"},
      {"odd_last_byte", std::string("A\0B", 3), "A\xFF"},
      {"zero_unit", std::string("\0\0\xFF\xFF", 4), std::string("\0\xEF\xBF\xBF", 4)},
      {"pair_across_a_block", utf16text::FromUtf8(across, false, false), across},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const size_t piece : {size_t{1}, size_t{3}, c.le.size()}) {
      Utf16Decoder decoder(false);
      std::string out;
      for (size_t at = 0; at < c.le.size(); at += piece) {
        const size_t n = std::min(piece, c.le.size() - at);
        std::string buf(Utf16Decoder::Bound(n), '\0');
        buf.resize(
            decoder.Feed(reinterpret_cast<const unsigned char*>(c.le.data()) + at, n, buf.data()));
        out += buf;
      }
      std::string tail(8, '\0');
      tail.resize(decoder.Finish(tail.data()));
      EXPECT_EQ(c.utf8, out + tail) << "pieces of " << piece;
    }
    // The same bytes after a mark open as a document without a fault.
    OpenBytes("\xFF\xFE" + c.le, std::string(c.name) + ".txt");
    ASSERT_EQ(0, result);
    EXPECT_EQ(c.utf8.size(), Slot().FileSize);
    CloseDocument();
  }
}

TEST_F(Utf16Open, CompressedUtf16IsShownAsBytesWithALogLine) {
  const std::string path = dir.Write("wide.txt", utf16text::FromUtf8("abc\n", false, true));
  ASSERT_EQ(0, std::system(("gzip -f " + path).c_str()));
  result = OpenDocument(path + ".gz");
  ASSERT_EQ(0, result);
  EXPECT_EQ("Shift_JIS (gzip)", EncodingPanelText(Slot()));
  EXPECT_EQ(1, std::count(
                   events.begin(), events.end(),
                   "log # UTF-16 の圧縮ファイルは展開したバイトのまま表示します: " + path + ".gz"));
}

}  // namespace
