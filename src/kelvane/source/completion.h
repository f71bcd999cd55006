// A one-shot rendezvous between a thread that blocks for a result and the runtime thread that
// produces it.
//
//     Completion<int> done;  post(executor, [&] { done.set(work()); });  int r = done.wait();
//
// An operation that may outlive its waiter (one that the waiter may stop waiting for, see
// wait.h) keeps its Completion in state shared with the handler, so that setting it after the
// waiter has gone is harmless.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>

#include "kelvane/source/wait.h"

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
    return take();
  }

  // The result if it has been set, without waiting.
  std::optional<T> try_take() {
    std::lock_guard lock(mutex_);
    if (!value_) return std::nullopt;
    return take();
  }

  // Like wait(), on the terms of `ctx`: nothing (with ctx.stop set) when the wait stops first,
  // in which case the result stays to be collected by a later call.
  std::optional<T> wait(WaitContext& ctx) {
    std::unique_lock lock(mutex_);
    if (value_) return take();
    lock.unlock();
    // unblocked() runs on every way out, an exception included, after the lock is released.
    struct Blocked {
      WaitHooks* hooks;
      explicit Blocked(WaitHooks* h) : hooks(h) {
        if (hooks) hooks->blocking();
      }
      ~Blocked() {
        if (hooks) hooks->unblocked();
      }
    } blocked(ctx.hooks);
    lock.lock();
    WaitStop why = WaitStop::none;
    for (;;) {
      WaitClock::time_point until = WaitClock::now() + ctx.tick;
      if (ctx.deadline) until = std::min(until, *ctx.deadline);
      if (ready_.wait_until(lock, until, [this] { return value_.has_value(); })) break;
      if (ctx.is_cancelled()) {
        why = WaitStop::cancelled;
        break;
      }
      if (ctx.deadline && WaitClock::now() >= *ctx.deadline) {
        why = WaitStop::timed_out;
        break;
      }
      if (ctx.hooks) {
        lock.unlock();
        const bool stop = ctx.hooks->interrupted();
        lock.lock();
        if (stop) {
          why = WaitStop::interrupted;
          break;
        }
      }
    }
    ctx.stop = why;
    std::optional<T> out;
    if (why == WaitStop::none) out.emplace(take());
    lock.unlock();
    return out;
  }

 private:
  T take() {
    T value = std::move(*value_);
    value_.reset();
    return value;
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::optional<T> value_;
};

}  // namespace kelvane
