#pragma once
// The service's only source of time. Everything that reads the date or waits goes through a Clock,
// so tests can move time forward without sleeping.

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>

#include <chrono>

namespace vantor {

namespace asio = boost::asio;

using SystemTime = std::chrono::system_clock::time_point;

class Clock {
 public:
  virtual ~Clock() = default;

  // Current wall-clock time (local time is derived from it when formatted).
  virtual SystemTime Now() const = 0;

  // Waits for `duration` on the calling coroutine's executor; other events keep running meanwhile.
  virtual asio::awaitable<void> Wait(std::chrono::milliseconds duration) = 0;
};

// Real time: the system clock and Asio steady timers on the given io_context.
class RealClock final : public Clock {
 public:
  explicit RealClock(asio::io_context& io) : io_(io) {}

  SystemTime Now() const override;
  asio::awaitable<void> Wait(std::chrono::milliseconds duration) override;

 private:
  asio::io_context& io_;
};

}  // namespace vantor
