#pragma once

#include "platform/host/clock.hpp"

namespace vantor {

// The program's one way to wait: (ms / 20) * 20 milliseconds, so values below 20 do not wait.
// Other events run while the caller waits.
asio::awaitable<void> PauseMs(Clock& clock, int ms);

}  // namespace vantor
