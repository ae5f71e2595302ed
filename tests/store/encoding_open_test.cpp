// Opening a file gives its slot an encoding; a UTF-8 byte order mark is no
// text, and a UTF-16 file reads as its text in UTF-8.
#include "store_fixture.h"
#include "support/japanese.h"

namespace {

using EncodingOpen = StoreTest;

TEST_F(EncodingOpen, EachSampleFileGetsItsEncodingAndTheSameLineBytes) {
  for (const TextEncoding e : japanese::kAll) {
    SCOPED_TRACE(EncodingName(e));
    const std::string bytes = japanese::File(e);
    OpenBytes(bytes, std::string("sample_") + EncodingName(e) + ".txt");
    ASSERT_EQ(0, result);
    EXPECT_EQ(std::string(EncodingName(e)), EncodingName(Slot().Encoding));
    EXPECT_FALSE(Slot().EncodingChosen);
    std::vector<std::u16string> shown;
    for (const std::string& line : AllLines()) shown.push_back(Decode(e, line));
    EXPECT_EQ(japanese::Expected(e, u'\u00B7'), shown);
    CloseDocument();
  }
}

TEST_F(EncodingOpen, ByteOrderMarkIsNeverPartOfTheFirstLine) {
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"text",
       "\xEF\xBB\xBF"
       "abc\r\nxyz\r\n",
       {"abc", "xyz"}},
      {"empty_first_line", "\xEF\xBB\xBF\r\nx", {"", "x"}},
      {"mark_only", "\xEF\xBB\xBF", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OpenBytes(c.bytes, std::string(c.name) + ".txt");
    ASSERT_EQ(0, result);
    EXPECT_EQ(TextEncoding::kUtf8, Slot().Encoding);
    EXPECT_EQ(c.lines, AllLines());
    CloseDocument();
  }
}

TEST_F(EncodingOpen, Utf16OpensAsItsTextInUtf8) {
  OpenBytes(std::string("\xFF\xFEh\0i\0\r\0\n\0\x42\x30", 12), "wide.txt");
  ASSERT_EQ(0, result);
  EXPECT_EQ(TextEncoding::kUtf8, Slot().Encoding);
  EXPECT_EQ((std::vector<std::string>{"hi", "\xE3\x81\x82"}), AllLines());
  // The slot is free again after a close: the next file opens into it.
  CloseDocument();
  OpenBytes("ok\r\n", "next.txt");
  EXPECT_EQ(0, result);
  EXPECT_EQ(TextEncoding::kCp932, Slot().Encoding);
}

}  // namespace
