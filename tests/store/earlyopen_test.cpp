// An open staged before the windows exist: adopted by the open of the same
// file, it logs and shows what an open started then would; anything that
// happened to the file, the slot or the way it is read in between makes the
// open start afresh, so that no staged bytes are trusted.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "store/earlyopen.h"
#include "store_fixture.h"

namespace {

enum class Between { kNothing, kReplaced, kRewritten, kGrown, kDeleted, kDiscarded };

struct EarlyCase {
  const char* name;
  Between between;
  OpenAs as;
  int slot;                 // the slot the window opens the file into
  bool exists_when_staged;  // false: created only after the staged open gave up
};

class EarlyOpenTest : public StoreTest, public ::testing::WithParamInterface<EarlyCase> {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    Hooks().index_wake = [](int) {};  // indexes on workers; WaitForIndex pumps
  }
  void TearDown() override {
    DiscardEarlyOpen();
    StoreTest::TearDown();
  }

  // What the user gets from the open: the log and screen events, the lines.
  std::vector<std::string> OpenAndWait(const std::string& path, const EarlyCase& c) {
    CurrentSlot = c.slot;
    result = OpenDocument(path, c.as);
    WaitForIndex(Slot());
    std::vector<std::string> seen = events;
    seen.push_back("result " + std::to_string(result));
    for (const std::string& line : AllLines()) seen.push_back("line " + line);
    return seen;
  }

  void Change(const std::string& path, Between between) {
    switch (between) {
      case Between::kReplaced:
        ASSERT_EQ(0, std::rename(dir.Write("new.txt", "new\r\nfile\n").c_str(), path.c_str()));
        break;
      case Between::kRewritten:
        dir.Write("doc.txt", NumberedLines(900, "\n", 12));
        break;
      case Between::kGrown:
        std::ofstream(path, std::ios::binary | std::ios::app) << "tail line\n";
        break;
      case Between::kDeleted:
        ASSERT_EQ(0, ::unlink(path.c_str()));
        break;
      case Between::kDiscarded:
        DiscardEarlyOpen();
        break;
      case Between::kNothing:
        break;
    }
  }
};

TEST_P(EarlyOpenTest, ShowsWhatAnOpenStartedThenShows) {
  const EarlyCase& c = GetParam();
  const std::string text = NumberedLines(1000, "\n");
  // The reference: the same file, the same change, no staged open.
  std::string path = dir.Write("doc.txt", text);
  Change(path, c.between);
  const std::vector<std::string> expected = OpenAndWait(path, c);

  ResetSlotTable();
  events.clear();
  ::unlink(path.c_str());
  if (c.exists_when_staged) path = dir.Write("doc.txt", text);
  StartEarlyOpen(path, 0);
  EXPECT_EQ(c.exists_when_staged, EarlyOpenPending());
  EXPECT_TRUE(events.empty()) << "the staged open is silent";
  if (!c.exists_when_staged) path = dir.Write("doc.txt", text);
  Change(path, c.between);
  EXPECT_EQ(expected, OpenAndWait(path, c));
  EXPECT_FALSE(EarlyOpenPending());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EarlyOpenTest,
    ::testing::Values(EarlyCase{"Adopted", Between::kNothing, OpenAs::kDetect, 0, true},
                      EarlyCase{"ReplacedAtThePath", Between::kReplaced, OpenAs::kDetect, 0, true},
                      EarlyCase{"RewrittenInPlace", Between::kRewritten, OpenAs::kDetect, 0, true},
                      EarlyCase{"Grown", Between::kGrown, OpenAs::kDetect, 0, true},
                      EarlyCase{"Deleted", Between::kDeleted, OpenAs::kDetect, 0, true},
                      EarlyCase{"Discarded", Between::kDiscarded, OpenAs::kDetect, 0, true},
                      EarlyCase{"ReadAnotherWay", Between::kNothing, OpenAs::kBytes, 0, true},
                      EarlyCase{"IntoAnotherSlot", Between::kNothing, OpenAs::kDetect, 1, true},
                      EarlyCase{"MissingWhenStaged", Between::kNothing, OpenAs::kDetect, 0, false}),
    [](const ::testing::TestParamInfo<EarlyCase>& info) { return info.param.name; });

}  // namespace
