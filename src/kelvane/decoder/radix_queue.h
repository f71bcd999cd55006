// A monotone priority queue of (time, id) events: a radix heap.
//
// Events must never be pushed with a time earlier than the last popped one (growth clocks only
// move forward), and times must stay below 2^63. Push is O(1); pop is amortised O(log of the
// time span). Events of equal time come out in the order they were pushed (so runs are
// repeatable), each in O(1), so long runs of equal times stay cheap.
// Storage grows to the largest number of events queued at once and is kept across clear().
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

  // `time` must not be earlier than the last popped time (0 after clear()) and below 2^63.
  void push(Time time, Id id) {
    const std::size_t b = bucket_of(time);
    buckets_[b].push_back({time, id});
    used_ |= Mask{1} << b;
    ++size_;
  }

  // Removes and returns an earliest event (the first pushed among equal times). Not empty().
  Event pop() {
    if (!(used_ & Mask{1})) refill();
    std::vector<Event>& ready = buckets_[0];
    const Event event = ready[ready_at_++];
    if (ready_at_ == ready.size()) {
      ready.clear();
      ready_at_ = 0;
      used_ &= ~Mask{1};
    }
    --size_;
    return event;
  }

  void clear() {
    for (Mask m = used_; m != 0; m &= m - 1) buckets_[std::countr_zero(m)].clear();
    used_ = 0;
    size_ = 0;
    ready_at_ = 0;
    last_ = 0;
  }

 private:
  // Bucket 0 holds events at exactly last_, in push order from ready_at_ on; bucket k > 0 those
  // whose highest bit differing from last_ is bit k - 1 (at most bit 62, so k <= 63).
  std::size_t bucket_of(Time time) const {
    return time == last_ ? 0 : static_cast<std::size_t>(64 - std::countl_zero(time ^ last_));
  }

  // Moves the events of the first non-empty bucket down around its earliest time.
  void refill() {
    const auto k = static_cast<std::size_t>(std::countr_zero(used_));  // bucket 0 is empty
    std::vector<Event>& source = buckets_[k];
    Time earliest = source.front().time;
    for (const Event& e : source) earliest = e.time < earliest ? e.time : earliest;
    last_ = earliest;
    for (const Event& e : source) {
      const std::size_t b = bucket_of(e.time);
      buckets_[b].push_back(e);
      used_ |= Mask{1} << b;
    }
    source.clear();
    used_ &= ~(Mask{1} << k);
  }

  using Mask = std::uint64_t;  // bit k: bucket k holds events
  std::array<std::vector<Event>, 64> buckets_;
  Mask used_ = 0;
  std::size_t ready_at_ = 0;  // the next event of bucket 0
  std::size_t size_ = 0;
  Time last_ = 0;
};

}  // namespace kelvane
