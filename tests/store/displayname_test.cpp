// File names as shown: each part of a path in the encoding it decodes in.
#include "store/displayname.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(DisplayName, EachPartOfAPathIsShownInTheEncodingItDecodesIn) {
  struct Case {
    const char* name;
    std::string native;
    std::string shown;
  };
  const Case cases[] = {
      {"utf8_as_it_is", "/home/u/日本.txt", "/home/u/日本.txt"},
      {"sjis_name", "/home/u/\x93\xFA\x96\x7B.txt", "/home/u/日本.txt"},
      {"sjis_name_with_trail_5c", "\x95\x5C.csv", "表.csv"},
      {"sjis_folder_under_utf8_folder", "/データ/\x83\x66\x81\x5B\x83\x5E/a.txt",
       "/データ/データ/a.txt"},
      {"neither_gets_stand_ins", "/tmp/\xFF\xFE.txt", "/tmp/\xEF\xBF\xBD\xEF\xBF\xBD.txt"},
      {"sjis_lone_lead_byte", "x\x93.txt", "x\xEF\xBF\xBD.txt"},
      {"relative_and_empty_parts", "a//b/", "a//b/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.shown, DisplayName(c.native));
  }
}

}  // namespace
