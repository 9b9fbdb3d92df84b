#include "fakes/fake_clock.hpp"
#include "core/pause.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <gtest/gtest.h>

namespace vantor {
namespace {

using namespace std::chrono_literals;

TEST(PauseMs, WaitsInWholeTwentyMillisecondSteps) {
  asio::io_context io;
  testing::FakeClock clock(SystemTime{});
  asio::co_spawn(io, [&]() -> asio::awaitable<void> {
    co_await PauseMs(clock, 19);
    co_await PauseMs(clock, 0);
    co_await PauseMs(clock, 500);
    co_await PauseMs(clock, 1019);
  }, asio::detached);
  io.run();
  // 19 ms and 0 ms wait nothing, 1019 ms waits 1000 ms: any rounding up would show in the total.
  EXPECT_EQ(clock.Now(), SystemTime{} + 1500ms);
}

}  // namespace
}  // namespace vantor
