#include "kelvane/py/turn.h"

namespace kelvane::py {

bool Turn::acquire(const char* refusal) {
  const unsigned long me = PyThread_get_thread_ident();
  {
    std::lock_guard lock(mutex_);
    if (!held_) return take(me);
    if (owner_ == me) {
      PyErr_SetString(PyExc_RuntimeError, refusal);
      return false;
    }
  }
  for (;;) {
    bool got = false;
    Py_BEGIN_ALLOW_THREADS
    {
      // Released before the interpreter lock is taken back: a thread holding that lock may be
      // waiting for this mutex in acquire() or release().
      std::unique_lock lock(mutex_);
      if (free_.wait_for(lock, kSignalCheckInterval, [this] { return !held_; })) got = take(me);
    }
    Py_END_ALLOW_THREADS
    if (got) return true;
    if (PyErr_CheckSignals() < 0) return false;
  }
}

void Turn::release() {
  std::lock_guard lock(mutex_);
  held_ = false;
  free_.notify_one();
}

bool Turn::take(unsigned long me) {
  held_ = true;
  owner_ = me;
  return true;
}

}  // namespace kelvane::py
