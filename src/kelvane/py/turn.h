// Taking turns at an object several Python threads share: one thread at a time holds the turn,
// another thread's call waits for it without the interpreter lock (running signal handlers every
// tick), and a call from the thread that already holds it (a signal handler, a __str__ run from
// inside the call) is refused instead of deadlocking.
#pragma once

#include <Python.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kelvane::py {

// How often a wait without the interpreter lock takes it back to run signal handlers.
inline constexpr auto kSignalCheckInterval = std::chrono::milliseconds(50);

class Turn {
 public:
  // False with an exception set: RuntimeError(refusal) for the holding thread, or what a
  // signal handler raised while waiting.
  bool acquire(const char* refusal);
  void release();

 private:
  bool take(unsigned long me);

  std::mutex mutex_;
  std::condition_variable free_;
  bool held_ = false;
  unsigned long owner_ = 0;
};

class TurnGuard {
 public:
  TurnGuard(Turn& turn, const char* refusal = "Already borrowed")
      : turn_(turn.acquire(refusal) ? &turn : nullptr) {}
  TurnGuard(const TurnGuard&) = delete;
  TurnGuard& operator=(const TurnGuard&) = delete;
  ~TurnGuard() { release(); }
  // Ends the turn early (before building a result that may run arbitrary code).
  void release() {
    if (turn_) turn_->release();
    turn_ = nullptr;
  }
  explicit operator bool() const { return turn_ != nullptr; }

 private:
  Turn* turn_;
};

}  // namespace kelvane::py
