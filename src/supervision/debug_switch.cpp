#include "supervision/debug_switch.hpp"

#include "core/procedure.hpp"
#include "core/settings.hpp"

namespace vantor {

asio::awaitable<void> DebugOnOff(const std::filesystem::path& databaseFile, bool& debugMode,
                                 AppEventLog& events) {
  co_await Guarded(events, kCodeModule, "DebugOnOff", [&]() -> asio::awaitable<void> {
    debugMode = GeneralSettings::Load(databaseFile).Bool("DebugMode");
    co_return;
  });
}

}  // namespace vantor
