// Minimum-weight perfect matching on a small general graph, by LEMON's blossom algorithm.
//
// The graph is filled afresh for every problem (reset, then add_edge) and LEMON's storage is
// kept between problems. This file is compiled as C++17 (see CMakeLists.txt): LEMON 1.3's
// graph maps call std::allocator members that C++20 removed, so nothing of LEMON appears in
// this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kelvane {

class MinWeightMatching {
 public:
  // Fails only on memory exhaustion (std::bad_alloc), as do the members below.
  MinWeightMatching();
  ~MinWeightMatching();
  MinWeightMatching(const MinWeightMatching&) = delete;
  MinWeightMatching& operator=(const MinWeightMatching&) = delete;

  // Starts a new problem on nodes 0 .. nodes - 1 and no edges.
  void reset(std::size_t nodes);
  // An edge u - v (u != v, both below the node count) of the given weight (any sign, small
  // enough that four times a sum of node count of them fits in 64 bits).
  void add_edge(std::uint32_t u, std::uint32_t v, std::int64_t weight);
  // Finds a perfect matching of least total weight; false when there is no perfect matching.
  bool solve();
  // After solve() returned true: the node matched with `node`.
  std::uint32_t mate(std::uint32_t node) const;

 private:
  struct Blossom;
  std::unique_ptr<Blossom> blossom_;
};

}  // namespace kelvane
