#include "logging/connection_reports.hpp"

#include "core/procedure.hpp"
#include "core/procedure_error.hpp"
#include "logging/timestamp.hpp"
#include "platform/host/text_file.hpp"

#include <fmt/format.h>

namespace vantor {
namespace fs = std::filesystem;

namespace {

const char* Word(bool value) { return value ? "True" : "False"; }

std::string AverageRtt(const CustomerRecord& r) {
  return std::to_string(static_cast<std::int64_t>(static_cast<double>(r.rttSum) / r.rttCount));
}

void Write(const fs::path& file, std::string_view text, bool append) {
  const bool ok = append ? AppendText(file, text) : WriteText(file, text);
  if (!ok) throw ProcedureError("Path not found: " + file.string());
}

}  // namespace

std::string FormatGeneralDate(SystemTime time) {
  const std::tm t = LocalTime(time);
  std::string text = fmt::format("{}/{}/{}", t.tm_mon + 1, t.tm_mday, t.tm_year + 1900);
  if (t.tm_hour == 0 && t.tm_min == 0 && t.tm_sec == 0) return text;
  const int hour12 = t.tm_hour % 12 == 0 ? 12 : t.tm_hour % 12;
  return text + fmt::format(" {}:{:02}:{:02} {}", hour12, t.tm_min, t.tm_sec, t.tm_hour < 12 ? "AM" : "PM");
}

std::string ExtraLogBlock(const ConnectionTables& tables, SystemTime now) {
  std::string text = "\r\n" + std::string(35, '*') + "\r\n" + FormatDateTime(now) + "\r\n";
  text += "----- Customer -----\r\n";
  text += "custID\t\tconnType\tconnID\tconnStartTime\t\taging\tconnIpAddr\tbcaWaitState\tbcaWaitTime\r\n";
  for (int c = 1; c <= kCustomerSlots; ++c) {
    const CustomerRecord& r = tables.Customer(c);
    if (!r.connected() && !r.bcaWaitState) continue;
    text += fmt::format("{}\t{}\t\t{}\t{}\t{}\t{}\t{}\t{}\r\n", r.custID, r.connType(), r.connection.id,
                        FormatGeneralDate(r.connStartTime), r.aging, r.connIpAddr,
                        Word(r.bcaWaitState), r.bcaWaitTime);
  }
  text += "\r\n----- Mobile -----\r\n";
  text += "custID\t\tconnType\tconnID\tconnStartTime\t\taging\tconnIpAddr\r\n";
  for (int m = 1; m <= kMobileSlots; ++m) {
    const MobileRecord& r = tables.Mobile(m);
    if (!r.connected()) continue;
    text += fmt::format("{}\t{}\t\t{}\t{}\t{}\t{}\r\n", r.custID, r.connType(), r.connection.id,
                        FormatGeneralDate(r.connStartTime), r.aging, r.connIpAddr);
  }
  return text;
}

std::string ConnectionListText(const ConnectionTables& tables, bool agents) {
  std::string text;
  if (agents) {
    for (int c = 1; c <= kCustomerSlots; ++c) {
      const CustomerRecord& r = tables.Customer(c);
      if (!r.enabled) continue;
      text += fmt::format("{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\r\n", c, r.custID,
                          r.connType(), r.connection.id, r.connIpAddr, FormatDateTime(r.connStartTime),
                          r.pktSent, r.pktRecv, r.rttCount > 1 ? AverageRtt(r) : "0", r.aging,
                          EscapeForLine(r.version), EscapeForLine(r.company), EscapeForLine(r.custPass));
    }
    return text;
  }
  for (int m = 1; m <= kMobileSlots; ++m) {
    const MobileRecord& r = tables.Mobile(m);
    if (!r.connected()) continue;
    text += fmt::format("{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t-\t{}\t{}\t{}\t{}\r\n", m, r.custID,
                        r.connType(), r.connection.id, r.connIpAddr, FormatDateTime(r.connStartTime),
                        r.pktSent, r.pktRecv, r.aging, EscapeForLine(r.version), EscapeForLine(r.company),
                        EscapeForLine(r.custPass));
  }
  return text;
}

std::string AgentTrafficLine(const ConnectionTables& tables, int slot, SystemTime now) {
  const CustomerRecord& r = tables.Customer(slot);
  const std::string day = FormatDateTime(now - std::chrono::hours(1)).substr(0, 10);
  return fmt::format("{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\r\n", day, r.custID, r.connIpAddr,
                     FormatGeneralDate(r.connStartTime), r.pktRecv, r.pktSent,
                     r.rttCount < 1 ? "0" : AverageRtt(r), EscapeForLine(r.company));
}

asio::awaitable<void> ExtraLog(const ConnectionTables& tables, Clock& clock, AppEventLog& events,
                               const fs::path& programDir) {
  co_await Guarded(events, kCodeModule, "ExtraLog", [&]() -> asio::awaitable<void> {
    Write(programDir / "Log" / "ExtraLog.txt", ExtraLogBlock(tables, clock.Now()), true);
    co_return;
  });
}

asio::awaitable<void> PrintConnection(const ConnectionTables& tables, AppEventLog& events,
                                      const fs::path& programDir, std::string kind) {
  co_await Guarded(events, kCodeModule, "PrintConnection", [&]() -> asio::awaitable<void> {
    const bool agents = kind == "Agt";
    Write(programDir / "Debug" / (agents ? "AgtConn.txt" : "MobConn.txt"),
          ConnectionListText(tables, agents), false);
    co_return;
  });
}

asio::awaitable<void> LogAgentTraffic(const ConnectionTables& tables, Clock& clock, AppEventLog& events,
                                      const fs::path& programDir, int slot) {
  co_await Guarded(events, kCodeModule, "LogAgentTraffic", [&]() -> asio::awaitable<void> {
    const fs::path file = programDir / "Log" / "AgentTraffic.txt";
    const std::string line = AgentTrafficLine(tables, slot, clock.Now());
    if (!fs::exists(file)) {
      Write(file,
            "TimePeriod\tCustomer\tFrom IpAddress\tLast Reconnect Time\tRecv\tSent\tRTT\tCompany\r\n",
            true);
    }
    Write(file, line, true);
    co_return;
  });
}

}  // namespace vantor
