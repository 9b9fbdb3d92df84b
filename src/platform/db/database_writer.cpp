#include "platform/db/database_writer.hpp"

#include "platform/async/no_throw_awaitable.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

namespace vantor {

namespace asio = boost::asio;
using SteadyClock = std::chrono::steady_clock;

// One coroutine waiting on the event thread; the writer thread completes it by posting there.
struct DatabaseWriter::Waiter {
  explicit Waiter(asio::io_context& io) : timer(io) {}
  asio::steady_timer timer;
  bool done = false;
  bool ok = false;
  std::string error;
};

DatabaseWriter::DatabaseWriter(asio::io_context& io, std::filesystem::path file, Reports reports, Timing timing)
    : io_(io), file_(std::move(file)), reports_(std::move(reports)), timing_(timing), thread_([this] { Run(); }) {}

DatabaseWriter::~DatabaseWriter() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void DatabaseWriter::Submit(DbWrite write) { Enqueue(std::move(write), nullptr); }

asio::awaitable<bool> DatabaseWriter::Commit(DbWrite write, std::string* error) {
  auto waiter = std::make_shared<Waiter>(io_);
  waiter->timer.expires_at(asio::steady_timer::time_point::max());
  Enqueue(std::move(write), waiter);
  // The completion is posted to this thread, so it cannot run before the wait has begun.
  co_await waiter->timer.async_wait(kNoThrow);
  if (error) *error = waiter->error;
  co_return waiter->ok;
}

asio::awaitable<bool> DatabaseWriter::WhenIdle(std::chrono::milliseconds limit) {
  auto waiter = std::make_shared<Waiter>(io_);
  {
    std::lock_guard lock(mutex_);
    if (queue_.empty()) co_return true;
    idleWaiters_.push_back(waiter);
  }
  waiter->timer.expires_after(limit);
  co_await waiter->timer.async_wait(kNoThrow);
  co_return waiter->done;
}

std::size_t DatabaseWriter::pending() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

void DatabaseWriter::Enqueue(DbWrite write, std::shared_ptr<Waiter> waiter) {
  {
    std::lock_guard lock(mutex_);
    // The write being attempted keeps its statement; any other write of the key is superseded.
    auto it = queue_.begin() + (busy_ && !queue_.empty() ? 1 : 0);
    for (; it != queue_.end() && it->write.key != write.key; ++it) {
    }
    if (it == queue_.end()) {
      queue_.push_back(Item{std::move(write), {}});
      it = std::prev(queue_.end());
    } else {
      it->write = std::move(write);
    }
    if (waiter) it->waiters.push_back(std::move(waiter));
  }
  wake_.notify_all();
}

DbStatus DatabaseWriter::Attempt(const DbWrite& write) const {
  DbStatus status;
  auto db = Database::Open(file_, Database::Mode::kReadWrite, status, static_cast<int>(timing_.busyTimeout.count()));
  if (!db) return status;
  return db->Execute(write.sql, write.params);
}

void DatabaseWriter::Run() {
  std::optional<SteadyClock::time_point> failingSince;
  bool stallReported = false;
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    busy_ = true;
    const DbWrite write = queue_.front().write;
    lock.unlock();
    const DbStatus status = Attempt(write);
    lock.lock();
    busy_ = false;
    if (!status && status.Transient()) {
      if (!failingSince) failingSince = SteadyClock::now();
      if (!stallReported && SteadyClock::now() - *failingSince >= timing_.stallReport) {
        stallReported = true;
        stalls_.fetch_add(1, std::memory_order_relaxed);
        asio::post(io_, [report = reports_.stall, text = status.error] { if (report) report(true, text); });
      }
      retries_.fetch_add(1, std::memory_order_relaxed);
      wake_.wait_for(lock, timing_.retryDelay, [&] { return stopping_; });
      continue;
    }
    if (stallReported) {
      asio::post(io_, [report = reports_.stall] { if (report) report(false, "database writes go through again"); });
    }
    failingSince.reset();
    stallReported = false;
    if (!status) {
      asio::post(io_, [report = reports_.failed, text = status.error] { if (report) report(text); });
    }
    for (auto& waiter : queue_.front().waiters) Complete(std::move(waiter), status);
    queue_.pop_front();
    if (queue_.empty()) {
      for (auto& waiter : idleWaiters_) Complete(std::move(waiter), DbStatus::Ok());
      idleWaiters_.clear();
    }
  }
}

void DatabaseWriter::Complete(std::shared_ptr<Waiter> waiter, const DbStatus& status) {
  asio::post(io_, [waiter = std::move(waiter), ok = status.ok, error = status.error] {
    waiter->done = true;
    waiter->ok = ok;
    waiter->error = error;
    waiter->timer.cancel();
  });
}

}  // namespace vantor
