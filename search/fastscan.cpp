#include "search/matcher.h"
#include "search/search.h"

int SearchNext(const std::string& pattern, int32_t& matchStart, int32_t& matchEnd) {
  return SearchNextReference(pattern, matchStart, matchEnd);
}
