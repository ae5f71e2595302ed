// The text GetLine makes of each kind of line: line ends, TABs, zero bytes,
// Shift-JIS bytes and the 2047-byte cap.
#include <algorithm>
#include <string>
#include <vector>

#include "store_fixture.h"

namespace {

struct TextCase {
  const char* name;
  std::string bytes;
  int tab_width;
  std::vector<std::string> lines;
};

std::string Letters(size_t n) {
  std::string text;
  for (size_t i = 0; i < n; ++i) text += static_cast<char>('a' + i % 26);
  return text;
}

const std::vector<TextCase>& TextCases() {
  using namespace std::string_literals;
  static const std::vector<TextCase> cases = {
      {"CrLfLine", "abc\r\n", 4, {"abc"}},
      {"CrLfEmptyLine", "\r\n", 4, {""}},
      {"LfOnlyLineKeepsItsLastByte", "abc\n", 4, {"abc"}},
      {"SingleLineFeed", "\n", 4, {""}},
      {"TwoLineFeeds", "\n\n", 4, {"", ""}},
      {"EmptyLfLineDoesNotRunOn", "\nxyz\n", 4, {"", "xyz"}},
      {"NoFinalLineFeed", "abc\r\nlast", 4, {"abc", "last"}},
      {"CrAtEndOfFileStays", "abc\r", 4, {"abc\r"}},
      {"CrInsideLineStays", "a\rb\r\n", 4, {"a\rb"}},
      {"MixedLineEnds", "one\r\ntwo\nthree\r\n", 4, {"one", "two", "three"}},
      {"TabBeforeCrLf", "a\t\r\n", 4, {"a    "}},
      {"TabBeforeLf", "a\t\n", 4, {"a    "}},
      {"TabWidthEight", "\tx\r\n", 8, {"        x"}},
      {"TabWidthZeroDropsTabs", "a\tb\t\r\n", 0, {"ab"}},
      {"NegativeTabWidthDropsTabs", "a\tb\r\n", -3, {"ab"}},
      {"ZeroByteKeepsTheRest", "ab\0cd\r\n"s, 4, {"ab\0cd"s}},
      {"LeadingZeroByte", "\0x\n"s, 4, {"\0x"s}},
      {"ShiftJisTrailBytes",
       "\x83\x5c\x95\x5c\x83\x41\x82\xa0\r\n",
       4,
       {"\x83\x5c\x95\x5c\x83\x41\x82\xa0"}},
      {"Line2047", Letters(2047) + "\r\n", 4, {Letters(2047)}},
      {"Line2047LfOnly", Letters(2047) + "\n", 4, {Letters(2047)}},
      {"Line2048IsCut", Letters(2048) + "\r\nnext\r\n", 4, {Letters(2047), "next"}},
      {"Line3000IsCut", Letters(3000) + "\r\n", 4, {Letters(2047)}},
      {"Line2048AtEndOfFile", Letters(2048), 4, {Letters(2047)}},
      {"TabExpansionCutAt2047", Letters(2045) + "\tz\r\n", 4, {Letters(2045) + "  "}},
      {"ManyTabsCutAt2047", std::string(600, '\t') + "\r\n", 4, {std::string(2047, ' ')}},
      // With TABs that make nothing, 2047 bytes of the line are still all that
      // is taken: the CR of the line end never shows.
      {"TabWidthZeroTakes2047Bytes", "\t\t" + Letters(2046) + "\r\n", 0, {Letters(2045)}},
  };
  return cases;
}

class LineTextTest : public StoreTest, public ::testing::WithParamInterface<TextCase> {};

TEST_P(LineTextTest, GetLineGivesTheDisplayText) {
  const TextCase& c = GetParam();
  TabWidth = c.tab_width;
  OpenBytes(c.bytes);
  ASSERT_EQ(0, result);
  EXPECT_EQ(c.lines, AllLines());
  // The buffer form gives the same bytes, and its length.
  char buffer[kLineBufferSize];
  for (int32_t i = 0; i < Slot().LineCount; ++i) {
    const int length = GetLineInto(Slot(), i, buffer);
    EXPECT_EQ(c.lines[static_cast<size_t>(i)], std::string(buffer, static_cast<size_t>(length)));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, LineTextTest, ::testing::ValuesIn(TextCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StoreTest, LinesOutsideTheDocumentAreEmptyAndMapNothing) {
  OpenBytes(NumberedLines(20000));
  ASSERT_EQ(0, result);
  const uint64_t window = Slot().WindowOffset;
  const uint64_t maps = store_platform::MapCallCount();
  for (int32_t line : {-1, 20000, 20001, 1 << 30}) {
    EXPECT_EQ("", GetLine(Slot(), line)) << line;
  }
  EXPECT_EQ(maps, store_platform::MapCallCount());
  EXPECT_EQ(window, Slot().WindowOffset);
}

TEST_F(StoreTest, GetLineOnAnEmptySlotIsEmpty) { EXPECT_EQ("", GetLine(Slot(), 0)); }

}  // namespace

namespace {

// The display text by its definition, one byte at a time: the bytes before
// the line feed (a CR directly before it left out), TABs as blanks, at most
// 2047 bytes.
std::string ModelText(const std::string& line, int tab) {
  std::string content = line.substr(0, line.find('\n'));
  if (line.find('\n') != std::string::npos && !content.empty() && content.back() == '\r') {
    content.pop_back();
  }
  std::string text;
  for (char c : content) {
    if (c == '\t') {
      text.append(static_cast<size_t>(std::max(tab, 0)), ' ');
    } else {
      text += c;
    }
  }
  return text.substr(0, kMaxLineText);
}

TEST_F(StoreTest, EveryPlaceOfTabAndCrAgreesWithTheByteByByteText) {
  // Lines of 0 to 70 bytes with a TAB or a CR at each place, so that both
  // the 16-byte steps and the byte-wise tail meet each of them, followed by
  // lines near the 2047-byte cap with a CR LF end.
  std::vector<std::string> lines;
  for (size_t length = 0; length <= 70; ++length) {
    for (size_t at = 0; at < length; ++at) {
      std::string line(length, 'x');
      for (size_t j = 0; j < length; ++j) line[j] = static_cast<char>('a' + j % 26);
      line[at] = (at % 3 == 0) ? '\r' : '\t';
      lines.push_back(line + (length % 2 ? "\r\n" : "\n"));
    }
  }
  for (size_t length = 2030; length <= 2050; ++length) {
    lines.push_back(std::string(length - 3, 'y') + "\t\r\n");
    lines.push_back(std::string(length, 'z') + "\r\n");
  }
  std::string bytes;
  for (const std::string& line : lines) bytes += line;
  for (int tab : {0, 1, 4, 8}) {
    SCOPED_TRACE(tab);
    TabWidth = tab;
    OpenBytes(bytes, "places" + std::to_string(tab) + ".txt");
    ASSERT_EQ(0, result);
    ASSERT_EQ(static_cast<int32_t>(lines.size()), Slot().LineCount);
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(ModelText(lines[i], tab), GetLine(Slot(), static_cast<int32_t>(i))) << i;
    }
    CloseDocument();
  }
}

}  // namespace
