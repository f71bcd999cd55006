// The I/O runtime that frame sources run on: an Asio io_context run by one worker thread (kept
// alive by a work guard) for sockets, pipes and name resolution, and a small thread pool for
// blocking file operations. A caller posts work to it and waits for the result on its own
// terms (wait.h); the runtime's threads never call back into the caller's code beyond that work.
//
// All streams of a process share one runtime (Runtime::shared()), created on first use and
// destroyed when the last source holding it is gone. Destruction stops the io_context, joins
// its worker and joins the pool, so afterwards no thread of the runtime exists. Sources built
// on a runtime hold a reference to it.
//
// After fork() the child has the parent's runtime object but none of its threads: it is never
// used or destroyed there (see owned_here), and shared() starts a new one for the child.
#pragma once


#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/thread_pool.hpp>

#include <cstddef>
#include <memory>
#include <thread>
#include <type_traits>
#include <vector>

#include "kelvane/core/error.h"
#include "kelvane/source/completion.h"

namespace kelvane {

struct RuntimeOptions {
  std::size_t io_threads = 1;        // threads running the io_context
  std::size_t blocking_threads = 2;  // threads of the pool for blocking file calls
};

class Runtime {
 public:
  // Starts the threads. Fails with an Io error carrying the operating system's error when a
  // thread cannot be created; nothing is left running then.
  static Result<std::shared_ptr<Runtime>> create(RuntimeOptions options = {});
  // The process's shared runtime with the default options, started when none is alive in this
  // process.
  static Result<std::shared_ptr<Runtime>> shared();

  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;
  ~Runtime();

  asio::io_context& io_context() { return io_; }
  asio::thread_pool& blocking_pool() { return pool_; }
  // False in a child process forked after this runtime started: its threads are not there.
  bool owned_here() const;

  // Runs `fn` on the blocking pool and returns its result once it has run.
  template <typename F>
  std::invoke_result_t<F&> run_blocking(F&& fn) {
    Completion<std::invoke_result_t<F&>> done;
    asio::post(pool_, [&] { done.set(fn()); });
    return done.wait();
  }

  // Runs `fn` on the io_context's worker and returns its result once it has run.
  template <typename F>
  std::invoke_result_t<F&> run_on_io(F&& fn) {
    Completion<std::invoke_result_t<F&>> done;
    asio::post(io_, [&] { done.set(fn()); });
    return done.wait();
  }

 private:
  explicit Runtime(RuntimeOptions options);
  void shut_down();

  unsigned generation_;  // forks seen by this process when the runtime started
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  asio::thread_pool pool_;
  std::vector<std::thread> io_workers_;
};

// Keeps `object` alive for the rest of the process without running its destructor: what a
// forked child does with state whose threads and locks belong to its parent.
template <typename T>
void abandon(T&& object) {
  new std::decay_t<T>(std::forward<T>(object));
}

}  // namespace kelvane
