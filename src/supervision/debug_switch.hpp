#pragma once

#include "logging/app_event.hpp"

#include <filesystem>

namespace vantor {

// Re-reads the DebugMode setting into `debugMode`; on a failure the flag keeps its value and a
// level-1 event is written.
asio::awaitable<void> DebugOnOff(const std::filesystem::path& databaseFile, bool& debugMode,
                                 AppEventLog& events);

}  // namespace vantor
