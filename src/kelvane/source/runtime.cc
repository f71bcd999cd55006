#include "kelvane/source/runtime.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>

namespace kelvane {

namespace {

// The shared runtime of this process. The lock is created anew in a forked child, where a
// thread of the parent may have held it at the moment of the fork.
struct SharedRuntime {
  std::mutex lock;
  std::weak_ptr<Runtime> runtime;
};

// Bumped in every forked child, so that telling whether a runtime started in this process
// costs a load rather than a getpid() call.
std::atomic<unsigned> fork_generation{0};

SharedRuntime& shared_runtime() {
  static SharedRuntime* shared = [] {
    auto* s = new SharedRuntime;  // never destroyed: streams may outlive static destruction
    pthread_atfork(nullptr, nullptr, [] {
      fork_generation.fetch_add(1, std::memory_order_relaxed);
      new (&shared_runtime().lock) std::mutex;
    });
    return s;
  }();
  return *shared;
}

}  // namespace

Runtime::Runtime(RuntimeOptions options)
    : generation_((shared_runtime(), fork_generation.load(std::memory_order_relaxed))),
      io_(),
      guard_(asio::make_work_guard(io_)),
      pool_(options.blocking_threads) {}

bool Runtime::owned_here() const { return generation_ == fork_generation.load(std::memory_order_relaxed); }

Result<std::shared_ptr<Runtime>> Runtime::create(RuntimeOptions options) {
  if (options.io_threads == 0) options.io_threads = 1;
  if (options.blocking_threads == 0) options.blocking_threads = 1;
  // Asio and std::thread report a failed thread start by throwing; keep that inside.
  // A failure after some threads have started destroys the runtime, which joins them.
  std::shared_ptr<Runtime> rt;
  try {
    rt.reset(new Runtime(options));
    rt->io_workers_.reserve(options.io_threads);
    for (std::size_t i = 0; i < options.io_threads; ++i) {
      rt->io_workers_.emplace_back([io = &rt->io_] { io->run(); });
    }
  } catch (const std::system_error& e) {
    const int code = e.code().category() == std::system_category() || e.code().category() == std::generic_category()
                         ? e.code().value()
                         : EAGAIN;
    return fail(KelvaneError::from_errno(code));
  } catch (const std::bad_alloc&) {
    return fail(KelvaneError::from_errno(ENOMEM));
  }
  return rt;
}

Result<std::shared_ptr<Runtime>> Runtime::shared() {
  SharedRuntime& s = shared_runtime();
  std::lock_guard lock(s.lock);
  std::shared_ptr<Runtime> rt = s.runtime.lock();
  if (rt && rt->owned_here()) return rt;
  // None alive, or the parent's (kept alive by inherited sources, which never release it here).
  if (rt) abandon(std::move(rt));
  Result<std::shared_ptr<Runtime>> created = create();
  if (created) s.runtime = *created;
  return created;
}

void Runtime::shut_down() {
  guard_.reset();
  io_.stop();
  for (std::thread& t : io_workers_) {
    if (t.joinable()) t.join();
  }
  io_workers_.clear();
  pool_.stop();
  pool_.join();
}

Runtime::~Runtime() { shut_down(); }

}  // namespace kelvane
