#pragma once
// A clock whose time moves only when told to, or when a coroutine waits on it. A wait completes
// at once (after letting other ready handlers run) and advances the time by its duration.

#include "platform/host/clock.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <functional>
#include <vector>

namespace vantor::testing {

class FakeClock final : public Clock {
 public:
  explicit FakeClock(SystemTime start) : now_(start) {}

  SystemTime Now() const override { return now_; }

  asio::awaitable<void> Wait(std::chrono::milliseconds duration) override {
    waits_.push_back(duration);
    now_ += duration;
    if (onWait) onWait(duration);
    co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
  }

  void Advance(std::chrono::milliseconds d) { now_ += d; }
  void Set(SystemTime t) { now_ = t; }
  const std::vector<std::chrono::milliseconds>& waits() const { return waits_; }
  void ClearWaits() { waits_.clear(); }

  // Called at the start of every wait: lets a test make something happen "during" a pause.
  std::function<void(std::chrono::milliseconds)> onWait;

 private:
  SystemTime now_;
  std::vector<std::chrono::milliseconds> waits_;
};

}  // namespace vantor::testing
