// A one-shot rendezvous between a thread that blocks for a result and the runtime thread that
// produces it. It lives on the waiting thread's stack, so an I/O step costs no allocation.
//
// Replaces std::promise/std::future for the sources' blocking calls:
//     Completion<int> done;  post(executor, [&] { done.set(work()); });  int r = done.wait();
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>

namespace kelvane {

template <typename T>
class Completion {
 public:
  Completion() = default;
  Completion(const Completion&) = delete;
  Completion& operator=(const Completion&) = delete;

  // Stores the result and wakes the waiter. The notification happens under the lock, so the
  // waiter cannot return (and destroy this object) before set() has finished touching it.
  void set(T value) {
    std::lock_guard lock(mutex_);
    value_.emplace(std::move(value));
    ready_.notify_one();
  }

  // Blocks until set() has run, then hands out the result and makes the object ready for the
  // next round.
  T wait() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return value_.has_value(); });
    T value = std::move(*value_);
    value_.reset();
    return value;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::optional<T> value_;
};

}  // namespace kelvane
