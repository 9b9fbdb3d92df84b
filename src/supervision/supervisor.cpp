#include "supervision/supervisor.hpp"

#include "core/message_header.hpp"
#include "core/pause.hpp"
#include "core/procedure.hpp"
#include "core/schema.hpp"
#include "logging/backup.hpp"
#include "logging/connection_reports.hpp"
#include "logging/debug_cleanup.hpp"
#include "logging/timestamp.hpp"
#include "supervision/debug_switch.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace vantor {

namespace {
constexpr std::string_view kTimer = "timer1";
constexpr int kAgingStep = 30;
constexpr int kAgentLimit = 90;
// Ticks beyond supervision's latest drop before the server's idle watch may close an agent.
constexpr int kIdleMarginTicks = 2;
constexpr int kMobileLimit = 300;
constexpr int kImmediateAlarmInterval = 30;
constexpr int kBalanceLimit = 2;
constexpr double kRttLimit = 1000;
}  // namespace

std::int32_t Supervisor::AgentDropLimit(std::int16_t kaInterval) {
  return std::max<std::int32_t>(kAgentLimit, std::int32_t{kaInterval} + kAgingStep);
}

std::chrono::milliseconds Supervisor::AgentIdleLimit(std::int16_t kaInterval, std::chrono::milliseconds tick) {
  if (tick <= std::chrono::milliseconds::zero()) tick = kTickInterval;
  // The tick that finds the aging at the limit drops the agent; the aging grows by one step per
  // tick from the first tick after the keep-alive, so that tick comes at most this many after it.
  const std::int32_t lastTick = (AgentDropLimit(kaInterval) + kAgingStep - 1) / kAgingStep + 1;
  return tick * (lastTick + kIdleMarginTicks);
}

asio::awaitable<void> Supervisor::Run(std::chrono::milliseconds interval) {
  while (enabled_) {
    co_await c_.clock.Wait(interval);
    if (!enabled_) break;
    co_await timer1();
  }
}

asio::awaitable<void> Supervisor::timer1() {
  ticking_ = true;
  co_await Guarded(c_.events, kFormModule, kTimer, [&]() -> asio::awaitable<void> {
    if (std::filesystem::exists(c_.programDir / "Log" / "ExtraLog.txt")) {
      co_await ExtraLog(Tables(), c_.clock, c_.events, c_.programDir);
    }
    co_await AgentPass();
    co_await MobilePass();
    const int currentHour = LocalTime(c_.clock.Now()).tm_hour;
    if (currentHour != c_.lastHour) co_await HourChangePass(currentHour);
  });
  ticking_ = false;
}

asio::awaitable<void> Supervisor::AgentPass() {
  ConnectionTables& tables = c_.broker.tables();
  for (int slot = 1; slot <= kCustomerSlots; ++slot) {
    const CustomerRecord& r = tables.Customer(slot);
    if (r.connected()) {
      if (r.aging < AgentDropLimit(r.kaInterval)) {
        tables.AgeAgent(slot, kAgingStep);
      } else {
        co_await DropSilentAgent(slot);
      }
    } else if (r.bcaWaitState) {
      if (r.bcaWaitTime < r.kaInterval) {
        tables.AdvanceAlarmWait(slot, kAgingStep);
      } else {
        const std::string custID = r.custID;
        co_await c_.jobs.sendBrokenConnAlarm(custID);
        tables.ClearAlarmWait(slot);
      }
    }
  }
}

asio::awaitable<void> Supervisor::DropSilentAgent(int slot) {
  ConnectionTables& tables = c_.broker.tables();
  const CustomerRecord dropped = tables.Customer(slot);
  co_await c_.events.AppEvent(kFormModule, kTimer,
                              dropped.company + " Disconnected From Server Due To No Keep-Alive Messages",
                              kLevelDropped);
  // The event paused: the connection may have ended meanwhile (its record freed), or the slot may
  // already hold a new agent, which must be left alone.
  DisconnectIfHeld(slot, dropped.connection);
  c_.broker.CountAgentDrop(AgentDrop::kKeepAliveTimeout);
  co_await PauseMs(c_.clock, 20);
  if (tables.Customer(slot).HoldsConnection(dropped.connection)) tables.ReleaseAgent(slot);
  const CustomerRecord& r = tables.Customer(slot);
  if (r.connected()) co_return;  // a new agent is connected: there is no broken connection
  if (r.kaInterval == kImmediateAlarmInterval) {
    co_await c_.jobs.sendBrokenConnAlarm(dropped.custID);
    // Sent: an alarm the connection's own end started meanwhile (during the event's pause) is
    // the same alarm and must not go out again.
    if (!tables.Customer(slot).connected()) tables.ClearAlarmWait(slot);
  } else {
    tables.StartAlarmWait(slot);
  }
}

asio::awaitable<void> Supervisor::MobilePass() {
  ConnectionTables& tables = c_.broker.tables();
  for (int slot = 1; slot <= kMobileSlots; ++slot) {
    const MobileRecord& r = tables.Mobile(slot);
    if (!r.connected()) continue;
    if (r.aging < kMobileLimit) {
      tables.AgeMobile(slot, kAgingStep);
      continue;
    }
    const ConnectionRef connection = r.connection;
    constexpr std::string_view kInactive = "MSG:Disconnected Due To\r\nInactive > 5 Minutes.";
    // A mobile that has gone meanwhile needs neither the notice nor the disconnect.
    (void)c_.broker.SendTo(connection, ServerMessage(r.custID, kAgentNumberField, kInactive));
    co_await PauseMs(c_.clock, 50);
    if (tables.Mobile(slot).HoldsConnection(connection)) (void)c_.broker.DisconnectFrom(connection);
    co_await PauseMs(c_.clock, 20);
    if (tables.Mobile(slot).HoldsConnection(connection)) tables.ReleaseMobile(slot);
  }
}

void Supervisor::DisconnectIfHeld(int slot, ConnectionRef connection) {
  // One that has gone meanwhile is what the drop wanted; its end event frees the record.
  if (Tables().Customer(slot).HoldsConnection(connection)) (void)c_.broker.DisconnectFrom(connection);
}

asio::awaitable<void> Supervisor::HourChangePass(int currentHour) {
  co_await c_.jobs.testMessDaily(currentHour);
  for (int slot = 1; slot <= kCustomerSlots; ++slot) {
    if (Tables().Customer(slot).connected()) co_await CheckAgentHourly(slot);
  }
  co_await DebugOnOff(c_.programDir / kDatabaseFileName, c_.debugMode, c_.events);
  if (currentHour < c_.lastHour) co_await DayChangeJobs();
  c_.lastHour = static_cast<std::int16_t>(currentHour);
}

asio::awaitable<void> Supervisor::CheckAgentHourly(int slot) {
  ConnectionTables& tables = c_.broker.tables();
  const CustomerRecord before = tables.Customer(slot);
  std::string balance;
  if (before.pktRecv > before.pktSent && std::int64_t{before.pktRecv} - before.pktSent > kBalanceLimit) {
    balance = fmt::format("{} PktDiff: Recv={} Sent={}", before.company, before.pktRecv, before.pktSent);
  } else if (before.pktSent > before.pktRecv && std::int64_t{before.pktSent} - before.pktRecv > kBalanceLimit) {
    balance = fmt::format("{} PktDiff: Sent={} Recv={}", before.company, before.pktSent, before.pktRecv);
  }
  if (!balance.empty()) {
    co_await c_.events.AppEvent(kFormModule, kTimer, balance, kLevelDropped);
    // The round-trip check concerns the same connection only.
    if (!tables.Customer(slot).HoldsConnection(before.connection)) co_return;
  }
  const CustomerRecord& r = tables.Customer(slot);
  if (r.rttCount <= 0) co_return;
  const auto average = static_cast<std::int64_t>(std::floor(static_cast<double>(r.rttSum) / r.rttCount));
  if (average <= kRttLimit) {
    tables.ClearRoundTrips(slot);
    co_return;
  }
  co_await c_.events.AppEvent(
      kFormModule, kTimer,
      fmt::format("{} RTT: {}, Disconnected From Server Due To Long Keep-Alive RTT", r.company, average),
      kLevelDropped);
  DisconnectIfHeld(slot, before.connection);
  c_.broker.CountAgentDrop(AgentDrop::kLongRoundTrip);
  co_await PauseMs(c_.clock, 20);
  if (tables.Customer(slot).HoldsConnection(before.connection)) tables.ReleaseAgent(slot);
}

asio::awaitable<void> Supervisor::DayChangeJobs() {
  co_await ClearDebugDir(c_.programDir, c_.events);
  co_await ClearDebugDir_AE(c_.programDir, LocalDate(c_.clock.Now()), c_.events);
  co_await BackupDatabase(c_.clock, c_.pool, c_.events, c_.programDir);
  ConnectionTables& tables = c_.broker.tables();
  for (int slot = 1; slot <= kCustomerSlots; ++slot) {
    if (!tables.Customer(slot).connected()) continue;
    if (c_.debugMode) co_await LogAgentTraffic(tables, c_.clock, c_.events, c_.programDir, slot);
    if (!tables.Customer(slot).connected()) continue;  // it left while the report was written
    tables.ClearDailyCounts(slot);
  }
}

}  // namespace vantor
