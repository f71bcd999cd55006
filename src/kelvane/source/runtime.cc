#include "kelvane/source/runtime.h"

#include <cerrno>
#include <exception>
#include <new>
#include <system_error>

namespace kelvane {

Runtime::Runtime(RuntimeOptions options)
    : io_(),
      guard_(asio::make_work_guard(io_)),
      pool_(options.blocking_threads) {}

Result<std::unique_ptr<Runtime>> Runtime::create(RuntimeOptions options) {
  if (options.io_threads == 0) options.io_threads = 1;
  if (options.blocking_threads == 0) options.blocking_threads = 1;
  // Asio and std::thread report a failed thread start by throwing; keep that inside.
  // A failure after some threads have started destroys the runtime, which joins them.
  std::unique_ptr<Runtime> rt;
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
