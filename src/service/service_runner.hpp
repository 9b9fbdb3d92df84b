#pragma once

#include <filesystem>

namespace vantor {

// Runs the service in the foreground until SIGTERM or SIGINT: start at once, SIGUSR1 pause,
// SIGUSR2 resume, SIGHUP re-read the customer table. Returns the process's exit status: non-zero
// when nothing could start.
int RunService(const std::filesystem::path& programDir);

}  // namespace vantor
