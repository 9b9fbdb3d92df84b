#pragma once
// Log/StatLog.txt: the statistics that agents report, one line per report line, prefixed with the
// customer's company and the agent's version.

#include "logging/app_event.hpp"

#include <filesystem>
#include <string>

namespace vantor {

// Appends every CR LF-terminated line of `report`; text after the last CR LF is not written. The
// report's tabs separate columns; CR, LF and TAB inside the other texts are escaped.
// A new file gets the header that the agent's version calls for. Failures are logged (level 1).
asio::awaitable<void> SaveStatLog(Clock& clock, AppEventLog& events,
                                  const std::filesystem::path& programDir, std::string company,
                                  std::string version, std::string report);

// The header line for a new file, or an empty text for none. Throws ProcedureError when the
// version's parts are not numbers.
std::string StatLogHeader(std::string_view version);

}  // namespace vantor
