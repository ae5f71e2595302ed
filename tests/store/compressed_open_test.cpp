// A compressed file opened into a slot reads as its plain text: the same
// lines, the format beside the encoding, no following, and a log line that
// names where reading stopped when the file is cut short.
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <algorithm>
#include "store/compressed_slot.h"
#include "store_fixture.h"

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class CompressedOpenTest : public StoreTest {
 protected:
  // The plain text's lines, then the same text packed by command (reading
  // the plain file from stdin) and opened.
  std::vector<std::string> PlainLines(const std::string& text) {
    OpenBytes(text, "plain.txt");
    std::vector<std::string> lines = AllLines();
    CloseDocument();
    return lines;
  }
  std::string Pack(const std::string& command, const std::string& name) {
    const std::string out = dir.path() + "/" + name;
    EXPECT_EQ(std::system((command + " < " + dir.path() + "/plain.txt > " + out).c_str()), 0);
    return out;
  }
  bool Logged(const std::string& part) const {
    for (const std::string& e : events)
      if (e.rfind("log ", 0) == 0 && e.find(part) != std::string::npos) return true;
    return false;
  }
};

TEST_F(CompressedOpenTest, EachFormatShowsThePlainLines) {
  // Long enough for several access points of every format in place.
  std::string text;
  for (int i = 0; text.size() < (9u << 20); ++i)
    text += NumberedLines(1, i % 3 ? "\r\n" : "\n") + "接続エラー、再試行しました\t" +
            std::to_string(i * 7919) + "\n";
  const std::vector<std::string> plain = PlainLines(text);
  const struct {
    const char* command;
    const char* panel;
    bool copied;
  } cases[] = {
      {"gzip -c", "UTF-8 (gzip)", false},
      {"bzip2 -1 -c", "UTF-8 (bzip2)", false},
      {"xz -0 -T2 --block-size=1MiB -c", "UTF-8 (xz)", false},
      {"zstd -q -c", "UTF-8 (zstd)", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    events.clear();
    const std::string path = Pack(c.command, "doc.log.1");  // the name says nothing
    ASSERT_EQ(OpenDocument(path), 0);
    EXPECT_TRUE(Slot().Compressed);
    EXPECT_EQ(Slot().LineCount, static_cast<int32_t>(plain.size()));
    EXPECT_TRUE(AllLines() == plain);
    // Backwards through the file: every line again from another access point.
    for (int32_t i = Slot().LineCount - 1; i >= 0; i -= 9973)
      EXPECT_EQ(GetLine(Slot(), i), plain[i]);
    EXPECT_NE(std::find(events.begin(), events.end(), std::string("status 7 ") + c.panel),
              events.end());
    EXPECT_EQ(EncodingPanelText(Slot()), c.panel);
    EXPECT_EQ(Logged("一時ファイルに展開"), c.copied);
    EXPECT_FALSE(FollowRefusal(Slot()).empty());
    EXPECT_FALSE(Logged("ERROR"));
    CloseDocument();
  }
}

TEST_F(CompressedOpenTest, ACutFileShowsWhatCouldBeReadAndWhereItStopped) {
  const std::string text = NumberedLines(200000);
  const std::vector<std::string> plain = PlainLines(text);
  for (const char* command : {"gzip -c", "bzip2 -1 -c", "xz -0 -c", "zstd -q -c"}) {
    SCOPED_TRACE(command);
    std::string packed = Slurp(Pack(command, "whole"));
    packed.resize(packed.size() * 2 / 3);
    events.clear();
    ASSERT_EQ(OpenDocument(dir.Write("cut", packed)), 0);
    const int32_t lines = Slot().LineCount;
    EXPECT_GT(lines, 0);
    EXPECT_LT(lines, static_cast<int32_t>(plain.size()));
    // Every line shown is the text's own; the last may be cut short.
    for (int32_t i = 0; i + 1 < lines; i += 997) EXPECT_EQ(GetLine(Slot(), i), plain[i]);
    EXPECT_EQ(plain[lines - 1].rfind(GetLine(Slot(), lines - 1), 0), 0u);
    EXPECT_TRUE(Logged("バイト目で読み取りを停止")) << ::testing::PrintToString(events);
    CloseDocument();
  }
}

}  // namespace
