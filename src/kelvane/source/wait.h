// The terms on which a blocking source call waits: an optional deadline, a flag another thread
// raises to cancel, and hooks that the caller's environment uses to give up a lock while the
// call blocks and to check, every tick, whether it should stop waiting (a pending signal).
//
// A call that stops waiting leaves its operation in flight: the next call on the same source
// picks the operation up where it was, so no byte is lost.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "kelvane/core/error.h"

namespace kelvane {

using WaitClock = std::chrono::steady_clock;

// Why a call gave up before its operation completed.
enum class WaitStop { none, timed_out, interrupted, cancelled };

class WaitHooks {
 public:
  virtual ~WaitHooks() = default;
  // Called on the waiting thread when it is about to block, and when it stops blocking.
  virtual void blocking() {}
  virtual void unblocked() {}
  // Called between blocking() and unblocked() every tick; true stops the wait (interrupted).
  virtual bool interrupted() { return false; }
};

struct WaitContext {
  std::optional<WaitClock::time_point> deadline;
  const std::atomic<bool>* cancelled = nullptr;
  WaitHooks* hooks = nullptr;
  std::chrono::milliseconds tick{50};
  // Set by the call that stopped waiting; the caller resets it before each call.
  WaitStop stop = WaitStop::none;

  bool is_cancelled() const { return cancelled && cancelled->load(std::memory_order_acquire); }

  // The error a call returns when it stops: Io with ETIMEDOUT, EINTR or ECANCELED.
  KelvaneError stopped(WaitStop why);
};

// What the blocking readers of files and sockets share: the terms their reads wait on.
class WaitedReads {
 public:
  // The terms on which later reads wait (none: without limit).
  void set_wait(WaitContext* ctx) { wait_ = ctx; }

 protected:
  WaitContext* wait_ = nullptr;
};

// The wait a caller gets when it passes none: no deadline, no cancellation, no hooks.
WaitContext& no_wait_limits();

// The moment `seconds` (finite, non-negative: callers check) after `now`; nothing for a wait
// longer than the clock can count from there (hundreds of years), which is waiting without limit.
inline std::optional<WaitClock::time_point> deadline_after(double seconds, WaitClock::time_point now = WaitClock::now()) {
  const double room = std::chrono::duration<double>(WaitClock::time_point::max() - now).count();
  if (!(seconds < room / 2)) return std::nullopt;
  return now + std::chrono::duration_cast<WaitClock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace kelvane
