#pragma once
// Moving entries of the image library: the one rule both the model and the
// Images tab's drag and drop follow.
#include <algorithm>
#include <cstddef>
#include <set>
#include <vector>

namespace tovrelle {

// The positions of `count` entries after those in `from` (keeping their
// order) move to stand before the entry that was at `to` (at the end when
// `to` is `count` or more).
inline std::vector<size_t> orderAfterMove(size_t count, const std::set<size_t>& from, size_t to) {
  to = std::min(to, count);
  std::vector<size_t> moved, kept;
  size_t insertAt = 0;
  for (size_t i = 0; i < count; ++i) {
    if (from.count(i)) {
      moved.push_back(i);
    } else {
      if (i < to) ++insertAt;
      kept.push_back(i);
    }
  }
  kept.insert(kept.begin() + static_cast<std::ptrdiff_t>(insertAt), moved.begin(), moved.end());
  return kept;
}

}  // namespace tovrelle
