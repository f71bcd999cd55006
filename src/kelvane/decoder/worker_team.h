// The threads that decode the windows of one step together.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace kelvane {

// Helper threads that run the jobs of one step with the calling thread, taking jobs from a
// shared counter so that a thread with cheaper windows takes more of them. The helpers start on
// first use and sleep between steps. The calling thread never waits for a helper to wake: once
// it has run out of jobs it closes the step, and a helper that wakes after that sleeps again;
// it waits only for helpers still decoding a job (on a loaded machine, where a woken thread may
// wait long for a core, the calling thread then simply does more of the work).
class WorkerTeam {
 public:
  explicit WorkerTeam(unsigned threads) : threads_(threads) {}
  ~WorkerTeam() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    helpers_.clear();  // joins
  }

  // Calls work(thread, job) for every job in [0, jobs), thread in [0, threads). May throw
  // std::bad_alloc (from any thread's work, rethrown here).
  void run(std::size_t jobs, const std::function<void(unsigned, std::size_t)>& work) {
    if (jobs < 2 || threads_ < 2) {
      for (std::size_t j = 0; j < jobs; ++j) work(0, j);
      return;
    }
    start_helpers();
    {
      std::lock_guard lock(mutex_);
      work_ = &work;
      jobs_ = jobs;
      next_.store(0, std::memory_order_relaxed);
      failed_ = false;
      open_ = true;
      ++generation_;
    }
    wake_.notify_all();
    take_jobs(0);
    std::unique_lock lock(mutex_);
    open_ = false;
    done_.wait(lock, [&] { return busy_ == 0; });
    work_ = nullptr;
    if (failed_) throw std::bad_alloc();
  }

 private:
  void start_helpers() {
    if (started_) return;
    started_ = true;
    for (unsigned t = 1; t < threads_; ++t) {
      try {
        helpers_.emplace_back([this, t] { helper(t); });
      } catch (const std::system_error&) {
        break;  // no thread to be had: the calling thread takes its share
      }
    }
  }

  void take_jobs(unsigned thread) {
    for (std::size_t j; (j = next_.fetch_add(1, std::memory_order_relaxed)) < jobs_;) {
      try {
        (*work_)(thread, j);
      } catch (const std::bad_alloc&) {
        std::lock_guard lock(mutex_);
        failed_ = true;
      }
    }
  }

  void helper(unsigned thread) {
    std::uint64_t seen = 0;
    for (;;) {
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
        if (stop_) return;
        seen = generation_;
        if (!open_) continue;  // the calling thread has finished this step alone
        ++busy_;
      }
      take_jobs(thread);
      std::lock_guard lock(mutex_);
      if (--busy_ == 0) done_.notify_one();
    }
  }

  unsigned threads_;
  bool started_ = false;
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  const std::function<void(unsigned, std::size_t)>* work_ = nullptr;
  std::size_t jobs_ = 0;
  std::atomic<std::size_t> next_{0};
  unsigned busy_ = 0;  // helpers inside the open step
  bool open_ = false;  // helpers may still join the step
  bool failed_ = false;
  bool stop_ = false;
  std::uint64_t generation_ = 0;
  std::vector<std::jthread> helpers_;  // last: joined before the members they use go
};

}  // namespace kelvane
