#pragma once
// Reports of the connection tables for the operator: the snapshot log (Log/ExtraLog.txt), the
// two connection lists (Debug/AgtConn.txt, Debug/MobConn.txt) and the daily traffic line per
// agent (Log/AgentTraffic.txt). None of them changes the tables.

#include "core/tables.hpp"
#include "logging/app_event.hpp"

#include <filesystem>
#include <string>

namespace vantor {

// Dates in the "general" form of the reports: "M/D/YYYY h:mm:ss AM" with the time left out at
// midnight, as the system's general date format shows them.
std::string FormatGeneralDate(SystemTime time);

// The texts the writers append; exposed so they can be checked byte for byte.
std::string ExtraLogBlock(const ConnectionTables& tables, SystemTime now);
std::string ConnectionListText(const ConnectionTables& tables, bool agents);
std::string AgentTrafficLine(const ConnectionTables& tables, int slot, SystemTime now);

asio::awaitable<void> ExtraLog(const ConnectionTables& tables, Clock& clock, AppEventLog& events,
                               const std::filesystem::path& programDir);
asio::awaitable<void> PrintConnection(const ConnectionTables& tables, AppEventLog& events,
                                      const std::filesystem::path& programDir, std::string kind);
asio::awaitable<void> LogAgentTraffic(const ConnectionTables& tables, Clock& clock, AppEventLog& events,
                                      const std::filesystem::path& programDir, int slot);

}  // namespace vantor
