#pragma once
// A small pool of threads for work that blocks (network transfers, database copies).
// Run() executes a callable on the pool and resumes the awaiting coroutine on its own executor,
// so results always come back to the main thread.

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <cstddef>
#include <type_traits>
#include <utility>

namespace vantor {

namespace asio = boost::asio;

class WorkerPool {
 public:
  explicit WorkerPool(std::size_t threads = 2) : pool_(threads) {}
  ~WorkerPool() { pool_.join(); }

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // The callable must not touch the service's state; it gets copies of what it needs.
  // An exception thrown by the callable is rethrown in the awaiting coroutine.
  template <typename Fn>
  asio::awaitable<std::invoke_result_t<Fn>> Run(Fn fn) {
    using Result = std::invoke_result_t<Fn>;
    // Named, not a temporary of the co_await expression: GCC 12 destroys such temporaries twice
    // when they own memory (a lambda capturing strings), which corrupts the heap.
    auto task = [fn = std::move(fn)]() mutable -> asio::awaitable<Result> { co_return fn(); };
    co_return co_await asio::co_spawn(pool_.get_executor(), std::move(task), asio::use_awaitable);
  }

  // Waits for the running work to finish; used at shut-down.
  void Join() { pool_.join(); }

 private:
  asio::thread_pool pool_;
};

}  // namespace vantor
