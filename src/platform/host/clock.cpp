#include "platform/host/clock.hpp"

#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace vantor {

SystemTime RealClock::Now() const { return std::chrono::system_clock::now(); }

asio::awaitable<void> RealClock::Wait(std::chrono::milliseconds duration) {
  asio::steady_timer timer(io_, duration);
  boost::system::error_code ignored;
  co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
}

}  // namespace vantor
