// A followed file: hits in the part that grew, and in a file read again
// after a rotation, agree between the fast scan and the line-by-line one.
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "search_fixture.h"
#include "store/filewatch.h"

namespace {

class FollowSearchTest : public SearchTest {
 protected:
  // Pumps until the slot holds count lines (the watcher runs on its own
  // thread); the bound is for liveness only.
  bool PumpUntil(int32_t count) {
    FileSlot& slot = SlotTable[CurrentSlot];
    for (int i = 0; i < 2000; ++i) {
      if (slot.Watcher) slot.Watcher->Poke();
      PumpIndex(slot);
      if (!slot.Worker && slot.LineCount == count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
};

std::string Lines(const char* word, int first, int count) {
  std::string text;
  for (int i = first; i < first + count; ++i)
    text += "line " + std::to_string(i) + (i % 1000 == 999 ? word : "") + "\r\n";
  return text;
}

TEST_F(FollowSearchTest, HitsInTheNewPartOfAGrowingFile) {
  Open(Lines(" OLD", 0, 5000));
  const std::string path = SlotTable[CurrentSlot].FileName;
  struct Step {
    const char* name;
    std::function<void()> write;
    int32_t lines;
    const char* word;
    std::vector<int32_t> found;  // every hit from the top, the final -1 included
  };
  const Step steps[] = {
      {"appended",
       [&] { std::ofstream(path, std::ios::app) << Lines(" NEW", 5000, 20000); },
       25000,
       "NEW",
       {5999,  6999,  7999,  8999,  9999,  10999, 11999, 12999, 13999, 14999, 15999,
        16999, 17999, 18999, 19999, 20999, 21999, 22999, 23999, 24999, -1}},
      {"rotated",
       [&] {
         std::filesystem::rename(path, path + ".1");
         std::ofstream(path) << Lines(" ROT", 0, 3000);
       },
       3000,
       "ROT",
       {999, 1999, 2999, -1}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    step.write();
    ASSERT_TRUE(PumpUntil(step.lines));
    options_ = {.Continuous = true, .Down = true};
    const Outcome outcome = RunBoth(step.word, 0, true);
    EXPECT_EQ(outcome.lines, step.found);
  }
}

}  // namespace
