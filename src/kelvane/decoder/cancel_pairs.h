// Toggles that cancel in pairs: an edge in two corrections, a detector flipped by two edges.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace kelvane {

// Sorts `items` and keeps, once each, the values listed an odd number of times.
template <typename T>
void cancel_pairs(std::vector<T>& items) {
  std::sort(items.begin(), items.end());
  std::size_t kept = 0;
  for (std::size_t i = 0; i < items.size();) {
    std::size_t j = i + 1;
    while (j < items.size() && items[j] == items[i]) ++j;
    if ((j - i) % 2 == 1) items[kept++] = items[i];
    i = j;
  }
  items.resize(kept);
}

}  // namespace kelvane
