// Waiting without the interpreter lock: hooks for the source layer's waits that give the lock
// up while a call blocks and take it back briefly on every tick to run pending signal handlers.
#pragma once

#include <Python.h>

#include "kelvane/source/wait.h"

namespace kelvane::py {

// Takes the interpreter lock back from `saved`, runs pending signal handlers and gives the lock
// up again (storing the new state in `saved`). True when a handler raised; the exception stays
// set for the caller to report once it holds the lock for good.
inline bool run_signal_handlers(PyThreadState*& saved) {
  PyEval_RestoreThread(saved);
  const bool raised = PyErr_CheckSignals() < 0;
  saved = PyEval_SaveThread();
  return raised;
}

// Gives up the interpreter lock while a source call blocks and runs pending signal handlers
// every tick with it held.
class ReleaseInterpreter final : public WaitHooks {
 public:
  void blocking() override { saved_ = PyEval_SaveThread(); }
  void unblocked() override { PyEval_RestoreThread(saved_); }
  bool interrupted() override { return run_signal_handlers(saved_); }

 private:
  PyThreadState* saved_ = nullptr;
};

// For callers that released the interpreter lock themselves for a whole batch (`saved` holds
// their thread state): runs pending signal handlers every tick of a wait.
class CheckSignals final : public WaitHooks {
 public:
  explicit CheckSignals(PyThreadState*& saved) : saved_(saved) {}
  bool interrupted() override { return run_signal_handlers(saved_); }

 private:
  PyThreadState*& saved_;
};

}  // namespace kelvane::py
