#include "kelvane/decoder/radix_queue.h"

#include <gtest/gtest.h>

#include <queue>
#include <tuple>
#include <random>
#include <utility>
#include <vector>

namespace kelvane {
namespace {

// Random interleavings of pushes (never before the last popped time) and pops, checked against
// std::priority_queue ordered by time, then push order.
TEST(RadixQueue, MatchesAPriorityQueueOnMonotoneSequences) {
  std::mt19937_64 rng(7);
  RadixQueue queue;
  using Item = std::tuple<RadixQueue::Time, std::int64_t, RadixQueue::Id>;  // time, push, id
  std::int64_t pushes = 0;
  for (int trial = 0; trial < 200; ++trial) {
    std::priority_queue<Item, std::vector<Item>, std::greater<>> model;
    queue.clear();
    RadixQueue::Time last = 0;
    const int steps = 1 + static_cast<int>(rng() % 400);
    // Spans from a handful of values (many ties) up to large times.
    const RadixQueue::Time span = RadixQueue::Time{1} << (rng() % 40);
    for (int step = 0; step < steps; ++step) {
      if (model.empty() || rng() % 3 != 0) {
        const RadixQueue::Time t = last + rng() % (span + 1);
        const auto id = static_cast<RadixQueue::Id>(rng() % 50);
        queue.push(t, id);
        model.push({t, ++pushes, id});
      } else {
        ASSERT_FALSE(queue.empty());
        const RadixQueue::Event e = queue.pop();
        ASSERT_EQ(e.time, std::get<0>(model.top())) << "trial " << trial << " step " << step;
        ASSERT_EQ(e.id, std::get<2>(model.top())) << "trial " << trial << " step " << step;
        model.pop();
        last = e.time;
      }
      ASSERT_EQ(queue.size(), model.size());
    }
    while (!model.empty()) {
      const RadixQueue::Event e = queue.pop();
      ASSERT_EQ(e.time, std::get<0>(model.top()));
      ASSERT_EQ(e.id, std::get<2>(model.top()));
      model.pop();
    }
    EXPECT_TRUE(queue.empty());
  }
}

TEST(RadixQueue, ClearStartsTheClockAgain) {
  RadixQueue queue;
  queue.push(1000, 1);
  queue.push(5, 2);
  EXPECT_EQ(queue.pop().time, 5u);
  queue.clear();
  EXPECT_TRUE(queue.empty());
  queue.push(0, 3);  // earlier than anything popped before the clear
  queue.push(0, 1);
  EXPECT_EQ(queue.pop().id, 3u);
  EXPECT_EQ(queue.pop().id, 1u);
  EXPECT_TRUE(queue.empty());
}

}  // namespace
}  // namespace kelvane
