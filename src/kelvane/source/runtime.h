// The private I/O runtime of one stream: an Asio io_context run by its own worker thread (kept
// alive by a work guard) for sockets and name resolution, and a small thread pool for blocking
// file operations. The thread that owns the stream posts work to it and blocks until the work
// is done; the runtime's threads never call back into the caller's code beyond that work.
//
// Destruction stops the io_context, joins its worker and joins the pool, so afterwards no
// thread of the runtime exists. Sources built on a runtime must be destroyed before it.
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
  std::size_t blocking_threads = 1;  // threads of the pool for blocking file calls
};

class Runtime {
 public:
  // Starts the threads. Fails with an Io error carrying the operating system's error when a
  // thread cannot be created; nothing is left running then.
  static Result<std::unique_ptr<Runtime>> create(RuntimeOptions options = {});

  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;
  ~Runtime();

  asio::io_context& io_context() { return io_; }
  asio::thread_pool& blocking_pool() { return pool_; }

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

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  asio::thread_pool pool_;
  std::vector<std::thread> io_workers_;
};

}  // namespace kelvane
