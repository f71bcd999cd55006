// The per-object borrow counter every class of the module guards its native state with.
//
// A reading method holds a shared borrow for its duration, a changing method an exclusive one.
// A conflicting borrow is refused at once with RuntimeError ("Already borrowed" when an
// exclusive borrow is refused, "Already mutably borrowed" when a shared one is); nothing waits.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace kelvane::py {

class BorrowFlag {
 public:
  bool try_shared() {
    std::int32_t s = state_.load(std::memory_order_relaxed);
    while (s >= 0) {
      if (state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire)) return true;
    }
    return false;
  }
  void release_shared() { state_.fetch_sub(1, std::memory_order_release); }
  bool try_exclusive() {
    std::int32_t expected = 0;
    return state_.compare_exchange_strong(expected, -1, std::memory_order_acquire);
  }
  void release_exclusive() { state_.store(0, std::memory_order_release); }

 private:
  std::atomic<std::int32_t> state_{0};  // > 0: shared holders; -1: one exclusive holder
};

// Holds a shared borrow for a scope. Check `ok()` (or bool) right after construction: when
// the borrow was refused, RuntimeError is already set and the method must return its error value.
class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) : flag_(flag.try_shared() ? &flag : nullptr) {
    if (!flag_) PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow() {
    if (flag_) flag_->release_shared();
  }
  explicit operator bool() const { return flag_ != nullptr; }

 private:
  BorrowFlag* flag_;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag.try_exclusive() ? &flag : nullptr) {
    if (!flag_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ~ExclusiveBorrow() { release(); }
  // Ends the borrow early (before building a result that may run arbitrary code).
  void release() {
    if (flag_) flag_->release_exclusive();
    flag_ = nullptr;
  }
  explicit operator bool() const { return flag_ != nullptr; }

 private:
  BorrowFlag* flag_;
};

}  // namespace kelvane::py
