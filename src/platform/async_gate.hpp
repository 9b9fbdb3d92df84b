#pragma once
// A gate that lets one coroutine at a time through, in arrival order. The WebSocket server uses
// it to keep each open request paired with its own connected event across the connections of
// one instance.
//
// Owns the timers of the waiting coroutines. Single-threaded: every call runs on the thread of
// the io_context whose executor it was given. Nothing here throws except allocation failure.

#include "platform/no_throw_awaitable.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>

#include <deque>
#include <memory>
#include <utility>

namespace vantor {

class AsyncGate {
 public:
  explicit AsyncGate(boost::asio::any_io_executor executor) : executor_(std::move(executor)) {}

  // Returns at once when the gate is free, otherwise once every earlier holder has released it.
  // A waiter holds a timer that never expires on its own; Release() wakes it by cancelling it.
  boost::asio::awaitable<void> Acquire() {
    if (!busy_) {
      busy_ = true;
      co_return;
    }
    auto waiter = std::make_shared<boost::asio::steady_timer>(executor_, boost::asio::steady_timer::time_point::max());
    waiters_.push_back(waiter);
    co_await waiter->async_wait(kNoThrow);
  }

  // Hands the gate to the longest waiter, or frees it when nobody waits. Call once per Acquire.
  void Release() {
    if (waiters_.empty()) {
      busy_ = false;
      return;
    }
    auto next = waiters_.front();
    waiters_.pop_front();
    next->cancel();
  }

 private:
  boost::asio::any_io_executor executor_;
  bool busy_ = false;
  std::deque<std::shared_ptr<boost::asio::steady_timer>> waiters_;
};

// Releases an acquired gate once: explicitly through Release() or, at the latest, on destruction.
class GateHold {
 public:
  explicit GateHold(AsyncGate& gate) : gate_(&gate) {}
  ~GateHold() { Release(); }
  GateHold(const GateHold&) = delete;
  GateHold& operator=(const GateHold&) = delete;

  void Release() {
    if (gate_ != nullptr) std::exchange(gate_, nullptr)->Release();
  }

 private:
  AsyncGate* gate_;
};

}  // namespace vantor
