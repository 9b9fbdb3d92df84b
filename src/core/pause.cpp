#include "core/pause.hpp"

namespace vantor {

asio::awaitable<void> PauseMs(Clock& clock, int ms) {
  const int steps = ms / 20;
  if (steps <= 0) co_return;
  co_await clock.Wait(std::chrono::milliseconds(steps * 20));
}

}  // namespace vantor
