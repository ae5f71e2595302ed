// Input let through the progress hook may close, replace or switch the
// document, or change the tab width, while a scan runs. Every plan of both
// scans must then end as a cancel does: -1, no hit, SearchRunning cleared,
// and no read of the old document (the ASan build checks that).
#include <functional>
#include <string>
#include <vector>

#include "search/search.h"
#include "search_fixture.h"

namespace {

SearchOptions Opts(bool ignoreCase, bool regex, bool down) {
  SearchOptions options;
  options.IgnoreCase = ignoreCase;
  options.Regex = regex;
  options.Down = down;
  return options;
}

struct PlanCase {
  const char* name;
  std::string pattern;
  SearchOptions options;
};

// One pattern per plan of the fast scan. The document's first and last lines
// are the hits; every line between holds the text right after a lead byte, a
// candidate that the exact match turns down.
const std::vector<PlanCase> kPlans = {
    {"raw_plain_down", "abc", Opts(false, false, true)},
    {"raw_plain_up", "abc", Opts(false, false, false)},
    {"raw_plain_ignore_case", "ABC", Opts(true, false, true)},
    {"raw_regex_literal", "ab+c", Opts(false, true, true)},
    {"regex_chunks_down", "[a][b][c]", Opts(false, true, true)},
    {"regex_chunks_up", "[a][b][c]", Opts(false, true, false)},
    {"regex_per_line", "(?=a)[a][b][c]", Opts(false, true, true)},
};

struct Action {
  const char* name;
  std::function<void(const std::string& other)> run;
};

const std::vector<Action> kActions = {
    {"closed", [](const std::string&) { CloseDocument(); }},
    {"replaced", [](const std::string& other) { OpenDocument(other); }},
    {"tab_switched", [](const std::string&) { CurrentSlot = 1; }},
    {"tab_width_changed", [](const std::string&) { TabWidth = 8; }},
};

class InputDuringScanTest : public SearchTest {
 protected:
  void SetUp() override {
    SearchTest::SetUp();
    std::string doc = "abc\r\n";
    for (int i = 0; i < 2 * kLinesPerBlock + 500; ++i)
      doc +=
          "\x83"
          "abc\r\n";
    lastLine_ = 2 * kLinesPerBlock + 501;
    doc += "abc\r\n";
    other_ = dir_.Write("other.txt", doc);
    CurrentSlot = 1;
    Open(doc);  // the tab switched to holds a document too
    CurrentSlot = 0;
    Open(doc);
  }

  int32_t lastLine_ = 0;
  std::string other_;
};

TEST_F(InputDuringScanTest, ChangedDocumentEndsEveryPlanAsACancel) {
  for (const int pollMs : {0, 3600 * 1000}) {
    for (const PlanCase& plan : kPlans) {
      for (const Action& action : kActions) {
        for (const int atCall : {1, 2}) {
          for (SearchFunction function : {SearchNextReference, SearchNext}) {
            const std::string what = std::string(plan.name) + " " + action.name + " at call " +
                                     std::to_string(atCall) + " poll " + std::to_string(pollMs) +
                                     (function == SearchNext ? " fast" : " reference");
            CurrentSlot = 0;
            TabWidth = 4;
            if (SlotTable[0].ViewBase == nullptr || SlotTable[0].LineCount != lastLine_ + 1) {
              ASSERT_EQ(OpenDocument(other_), 0);
            }
            options_ = plan.options;
            options_.Continuous = true;
            SearchHooksRef().poll_interval_ms = pollMs;
            int calls = 0;
            SearchHooksRef().progress = [&](int32_t) {
              if (++calls == atCall) action.run(other_);
            };
            const int32_t top = plan.options.Down ? 0 : lastLine_;
            const Outcome outcome = Run(function, plan.pattern, top);
            EXPECT_GE(calls, atCall) << what;
            EXPECT_EQ(outcome.lines, std::vector<int32_t>{-1}) << what;
            EXPECT_TRUE(outcome.hits.empty()) << what;
            EXPECT_FALSE(SearchRunning) << what;
          }
        }
      }
    }
  }
}

// With the document left alone, polling at every line or candidate changes
// nothing but the number of progress calls: the hit is still found.
TEST_F(InputDuringScanTest, PollingAtEveryLineFindsTheSameHit) {
  for (const PlanCase& plan : kPlans) {
    options_ = plan.options;
    SearchHooksRef().poll_interval_ms = 0;
    int calls = 0;
    SearchHooksRef().progress = [&](int32_t) { ++calls; };
    const Outcome outcome = RunBoth(plan.pattern, plan.options.Down ? 0 : lastLine_);
    EXPECT_EQ(outcome.lines, std::vector<int32_t>{plan.options.Down ? lastLine_ : 0}) << plan.name;
    EXPECT_GT(calls, 2) << plan.name;
  }
}

}  // namespace
