#pragma once

#include <filesystem>

namespace vantor {

// Runs the service in the foreground until SIGTERM or SIGINT: start at once, SIGUSR1 pause,
// SIGUSR2 resume. Returns the process's exit status.
int RunService(const std::filesystem::path& programDir);

}  // namespace vantor
