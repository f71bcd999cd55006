// A monotone priority queue of (time, id) events: a radix heap.
//
// Events must never be pushed with a time earlier than the last popped one (growth clocks only
// move forward). Push is O(1); pop is amortised O(log of the time span). Among events of equal
// time the smallest id comes out first. Storage grows to the largest number of events queued
// at once and is kept across clear().
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <vector>

namespace kelvane {

class RadixQueue {
 public:
  using Time = std::uint64_t;
  using Id = std::uint32_t;
  struct Event {
    Time time = 0;
    Id id = 0;
  };

  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }

  // `time` must not be earlier than the last popped time (0 after clear()).
  void push(Time time, Id id) {
    buckets_[bucket_of(time)].push_back({time, id});
    ++size_;
  }

  // Removes and returns the earliest event (smallest id among equal times). Not empty().
  Event pop() {
    if (buckets_[0].empty()) refill();
    std::vector<Event>& ready = buckets_[0];
    std::size_t pick = 0;
    for (std::size_t i = 1; i < ready.size(); ++i) {
      if (ready[i].id < ready[pick].id) pick = i;
    }
    const Event event = ready[pick];
    ready[pick] = ready.back();
    ready.pop_back();
    --size_;
    return event;
  }

  void clear() {
    for (std::vector<Event>& b : buckets_) b.clear();
    size_ = 0;
    last_ = 0;
  }

 private:
  // Bucket 0 holds events at exactly last_; bucket k > 0 those whose highest bit differing
  // from last_ is bit k - 1.
  std::size_t bucket_of(Time time) const {
    return time == last_ ? 0 : static_cast<std::size_t>(64 - std::countl_zero(time ^ last_));
  }

  // Moves the events of the first non-empty bucket down around its earliest time.
  void refill() {
    std::size_t k = 1;
    while (buckets_[k].empty()) ++k;
    std::vector<Event>& source = buckets_[k];
    Time earliest = source.front().time;
    for (const Event& e : source) earliest = e.time < earliest ? e.time : earliest;
    last_ = earliest;
    for (const Event& e : source) buckets_[bucket_of(e.time)].push_back(e);
    source.clear();
  }

  std::array<std::vector<Event>, 65> buckets_;
  std::size_t size_ = 0;
  Time last_ = 0;
};

}  // namespace kelvane
