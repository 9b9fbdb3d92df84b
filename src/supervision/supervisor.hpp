#pragma once
// The 30-second supervision tick: ages agents and mobiles, drops the silent ones (raising the
// broken-connection alarm for agents), checks each connected agent's message balance and
// round-trip time once an hour, and runs the hourly and daily jobs. Ticks never overlap: a tick
// that waits (an event's pause, an alarm transfer) delays the next one.
//
// Runs on the event thread, as a coroutine beside the connection handlers: after every wait it
// looks at the tables again and acts only on the connection it found before. A failure inside a
// tick ends that tick with one level-1 event ("frmVantorWebSrv_timer1"); the next tick runs.

#include "broker/broker.hpp"
#include "logging/app_event.hpp"
#include "platform/async/worker_pool.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace vantor {

// What the tick calls that lives elsewhere (the notification senders).
struct SupervisionJobs {
  std::function<asio::awaitable<void>(std::string custID)> sendBrokenConnAlarm;
  std::function<asio::awaitable<void>(int hourOfDay)> testMessDaily;
};

struct SupervisorContext {
  Clock& clock;
  WorkerPool& pool;
  AppEventLog& events;
  Broker& broker;
  std::filesystem::path programDir;
  bool& debugMode;
  std::int16_t& lastHour;
  SupervisionJobs jobs;
};

class Supervisor {
 public:
  static constexpr std::chrono::milliseconds kTickInterval{30'000};

  explicit Supervisor(SupervisorContext context) : c_(std::move(context)) {}

  // The aging (seconds) at which a connected agent is dropped: 90, or its announced keep-alive
  // interval plus one tick's step when that is longer, so that an agent keeping the interval it
  // announced is never dropped.
  static std::int32_t AgentDropLimit(std::int16_t kaInterval);
  // The silence after which an agent's connection may be closed by its server's idle watch: two
  // ticks after the latest tick that drops it, so that supervision judges the silence first (its
  // event, its alarm). `tick` is the tick interval; zero means the production one.
  static std::chrono::milliseconds AgentIdleLimit(std::int16_t kaInterval, std::chrono::milliseconds tick);

  // Ticks every `interval` until Disable(); the interval is shorter only in tests.
  asio::awaitable<void> Run(std::chrono::milliseconds interval = kTickInterval);
  void Enable() { enabled_ = true; }
  void Disable() { enabled_ = false; }
  bool enabled() const { return enabled_; }
  bool ticking() const { return ticking_; }

  // One tick (the timer's handler).
  asio::awaitable<void> timer1();

 private:
  asio::awaitable<void> AgentPass();
  asio::awaitable<void> MobilePass();
  asio::awaitable<void> HourChangePass(int currentHour);
  asio::awaitable<void> DropSilentAgent(int slot);
  asio::awaitable<void> CheckAgentHourly(int slot);
  asio::awaitable<void> DayChangeJobs();
  void DisconnectIfHeld(int slot, ConnectionRef connection);
  const ConnectionTables& Tables() const { return c_.broker.tables(); }

  SupervisorContext c_;
  bool enabled_ = false;
  bool ticking_ = false;
};

}  // namespace vantor
