#include "search/filterrules.h"

#include <algorithm>

#include "search/matcher.h"
#include "search/rawfind.h"
#include "search/regexprep.h"

namespace {

using search_detail::LineMatcher;
using search_detail::RawNeedle;

// One rule: a piece of bytes that every matching text holds, looked for
// first (most lines of a log hold none), then the exact matcher.
struct CompiledRule {
  bool exclude = false;
  RawNeedle needle;
  std::unique_ptr<LineMatcher> matcher = std::make_unique<LineMatcher>();

  // Lines of the batch that may match, in order: those whose raw bytes
  // hold the piece; every line (all) when there is none, when TABs
  // vanish and may join the piece's parts in the text, or when the bytes
  // are only a long line's start.
  std::vector<int> candidates;
  bool all = false;
  size_t cursor = 0;  // the first candidate not below the line asked about last

  void Mark(const LineBatch& batch) {
    candidates.clear();
    cursor = 0;
    all = needle.empty() || batch.tabWidth <= 0 || batch.cut;
    if (all) return;
    size_t pos = 0;
    while (pos < batch.length) {
      const char* found = needle.FindFirst(batch.bytes + pos, batch.length - pos);
      if (found == nullptr) break;
      const int k = batch.lineAt(static_cast<size_t>(found - batch.bytes));
      candidates.push_back(k);
      pos = batch.start(k + 1);
    }
  }

  // Whether line k may match; asked with k growing.
  bool MayMatch(int k) {
    if (all) return true;
    while (cursor < candidates.size() && candidates[cursor] < k) ++cursor;
    return cursor < candidates.size() && candidates[cursor] == k;
  }

  // text: GetLine's text of line k; one that reaches its cap may be cut,
  // so the whole line is matched then, as the search does.
  bool Matches(const LineBatch& batch, int k, const char* text, int length) {
    if (length >= kMaxLineText) {
      int64_t start = 0;
      int64_t end = 0;
      const std::unique_ptr<TextPieces> whole = batch.wholeText(k);
      return matcher->MatchPieces(*whole, start, end);
    }
    int32_t start = 0;
    int32_t end = 0;
    return matcher->Match(text, length, start, end);
  }
};

class RuleTest : public LineTest {
 public:
  bool Add(const FilterRule& rule, TextEncoding encoding) {
    sources_.push_back(rule);
    encoding_ = encoding;
    CompiledRule compiled;
    compiled.exclude = rule.exclude;
    SearchOptions options;
    options.IgnoreCase = rule.ignoreCase;
    options.Regex = rule.regex;
    if (!compiled.matcher->Init(rule.text, options, encoding)) return false;
    // The piece is looked for in the raw bytes, as the fast scan does.
    const std::string piece = rule.regex
                                  ? search_detail::RequiredLiteral(
                                        search_detail::RegexSkeleton(rule.text, encoding), encoding)
                                  : search_detail::LongestPlainPiece(rule.text, encoding);
    if (!piece.empty()) compiled.needle = RawNeedle(piece, rule.ignoreCase);
    if (!rule.exclude) ++includes_;
    rules_.push_back(std::move(compiled));
    return true;
  }

  // Compiled anew: matchers keep buffers of their own.
  std::unique_ptr<LineTest> Clone() const override {
    auto copy = std::make_unique<RuleTest>();
    for (const FilterRule& rule : sources_) {
      if (!copy->Add(rule, encoding_)) return nullptr;
    }
    return copy;
  }

  void Decide(const LineBatch& batch, ShownBits& shown) override {
    for (CompiledRule& rule : rules_) rule.Mark(batch);
    // The lines to look at: with includes, their candidates (only those can
    // be shown); without, the excludes' candidates, every other line being
    // shown as it is. Every line when a rule of that kind has no piece.
    const bool showRest = includes_ == 0;
    consider_.clear();
    bool everyLine = false;
    for (const CompiledRule& rule : rules_) {
      if (rule.exclude != showRest) continue;
      everyLine = everyLine || rule.all;
      consider_.insert(consider_.end(), rule.candidates.begin(), rule.candidates.end());
    }
    if (!everyLine) {
      std::sort(consider_.begin(), consider_.end());
      consider_.erase(std::unique(consider_.begin(), consider_.end()), consider_.end());
    }
    const int count = everyLine ? batch.count : static_cast<int>(consider_.size());
    int shownUpTo = 0;  // with showRest: lines below this are in shown
    auto showUpTo = [&](int k) {
      shown.AddRange(shownUpTo, k);
      shownUpTo = std::max(shownUpTo, k);
    };
    char text[kLineBufferSize];
    for (int i = 0; i < count; ++i) {
      const int k = everyLine ? i : consider_[static_cast<size_t>(i)];
      if (showRest) {
        showUpTo(k);
        shownUpTo = k + 1;
      }
      int length = -1;  // fetched when a rule needs it
      auto matches = [&](CompiledRule& rule) {
        if (!rule.MayMatch(k)) return false;
        if (length < 0) length = batch.text(k, text);
        return rule.Matches(batch, k, text, length);
      };
      bool excluded = false;
      bool included = includes_ == 0;
      for (CompiledRule& rule : rules_) {
        if (rule.exclude) {
          excluded = excluded || matches(rule);
        } else if (!included) {
          included = matches(rule);
        }
      }
      if (included && !excluded) shown.Add(k);
    }
    if (showRest) showUpTo(batch.count);
  }

 private:
  std::vector<FilterRule> sources_;
  TextEncoding encoding_ = TextEncoding::kCp932;
  std::vector<CompiledRule> rules_;
  int includes_ = 0;
  std::vector<int> consider_;
};

}  // namespace

std::string FilterRuleError(const FilterRule& rule, TextEncoding encoding) {
  if (rule.text.empty()) return "空の条件は使えません";
  if (!rule.regex) return std::string();
  return RegexError(rule.text, encoding);
}

std::unique_ptr<LineTest> MakeFilterTest(const std::vector<FilterRule>& rules,
                                         TextEncoding encoding) {
  auto test = std::make_unique<RuleTest>();
  for (const FilterRule& rule : rules) {
    if (!FilterRuleError(rule, encoding).empty() || !test->Add(rule, encoding)) return nullptr;
  }
  return test;
}
