#pragma once
// The one writer of the service's database: a thread of its own with an ordered queue, so that a
// lock held by another program never stalls the event thread, and no write is dropped.
//
// Each write is one statement. It is retried, in order, until it succeeds for as long as its
// failure may pass by itself (a lock, a missing or read-only file, a full disk: see
// DbStatus::Transient); a statement that can never succeed is given up and reported. A write
// that has waited longer than `stallReport` is reported once, and its success once more.
//
// Bound: a write carries a key naming what it sets (a settings column, a customer's alarm
// receiver). A new write whose key is already queued replaces the queued one in place, so the
// queue never holds more than one write per key: at most the settings columns plus the rows of
// the Customer table, however long the database stays locked and however often peers repeat
// themselves.
//
// Submit, Commit and WhenIdle are called on the event thread; completions and reports run there.

#include "platform/db/database.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vantor {

struct DbWrite {
  std::string key;  // what the write sets; a later write with the same key supersedes it
  std::string sql;
  std::vector<DbValue> params;
};

class DatabaseWriter {
 public:
  struct Timing {
    std::chrono::milliseconds retryDelay{200};   // between attempts after a transient failure
    std::chrono::milliseconds busyTimeout{1000};  // each attempt's wait for a lock
    std::chrono::milliseconds stallReport{60'000};
  };
  // `stalled` true: writes have waited longer than Timing::stallReport (the text says why);
  // false: they go through again. `failed`: a write was given up (its statement cannot succeed).
  struct Reports {
    std::function<void(bool stalled, const std::string& text)> stall;
    std::function<void(const std::string& text)> failed;
  };

  DatabaseWriter(boost::asio::io_context& io, std::filesystem::path file, Reports reports, Timing timing);
  DatabaseWriter(boost::asio::io_context& io, std::filesystem::path file, Reports reports)
      : DatabaseWriter(io, std::move(file), std::move(reports), Timing{}) {}
  // Stops the thread after the attempt in progress; writes still queued are not written (call
  // WhenIdle first).
  ~DatabaseWriter();

  DatabaseWriter(const DatabaseWriter&) = delete;
  DatabaseWriter& operator=(const DatabaseWriter&) = delete;

  // Queues the write and returns at once.
  void Submit(DbWrite write);
  // Queues the write and completes once it is committed (true) or given up (false, with the
  // reason in `error` when given). Pass a named DbWrite: GCC 12 destroys a temporary aggregate
  // inside a co_await argument twice.
  boost::asio::awaitable<bool> Commit(DbWrite write, std::string* error = nullptr);
  // Completes when the queue is empty (true) or after `limit` (false).
  boost::asio::awaitable<bool> WhenIdle(std::chrono::milliseconds limit);

  std::size_t pending() const;
  // Since the writer was made: attempts that failed for a reason that may pass and were retried,
  // and stalls (writes waiting longer than stallReport). Read on any thread.
  std::uint64_t retries() const { return retries_.load(std::memory_order_relaxed); }
  std::uint64_t stalls() const { return stalls_.load(std::memory_order_relaxed); }

 private:
  struct Waiter;
  struct Item {
    DbWrite write;
    std::vector<std::shared_ptr<Waiter>> waiters;
  };

  void Enqueue(DbWrite write, std::shared_ptr<Waiter> waiter);
  void Run();
  DbStatus Attempt(const DbWrite& write) const;
  // Posts the completion of one waiting coroutine to the event thread.
  void Complete(std::shared_ptr<Waiter> waiter, const DbStatus& status);

  boost::asio::io_context& io_;
  const std::filesystem::path file_;
  const Reports reports_;
  const Timing timing_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Item> queue_;
  bool busy_ = false;  // the front item is being attempted (it cannot be replaced)
  bool stopping_ = false;
  std::vector<std::shared_ptr<Waiter>> idleWaiters_;
  std::atomic<std::uint64_t> retries_{0};
  std::atomic<std::uint64_t> stalls_{0};
  std::thread thread_;
};

}  // namespace vantor
