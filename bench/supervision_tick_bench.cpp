// CPU time of one supervision tick with full tables: 99 agents and 50 mobiles connected through
// the broker on a fake WebSocket server, a fake clock, debug mode off. "Tick" is the tick of
// every 30 s (ages each record); "HourlyTick" the first tick of an hour, which also checks each
// agent's message balance and round-trip time and re-reads DebugMode from the database.
//
// The records start aged far below the drop limits, so that the measured ticks only age them, as
// they do in a live service whose clients keep talking; the run fails if any was dropped.

#include "broker/broker.hpp"
#include "fakes/fake_clock.hpp"
#include "fakes/fake_websocket_server.hpp"
#include "supervision/supervisor.hpp"
#include "test_support.hpp"

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <string>

namespace {

using vantor::testing::FakeClock;
using vantor::testing::FakeWebSocketServer;
using vantor::testing::TempProgramDir;

constexpr int kFarBelowLimits = -1'000'000'000;
constexpr vantor::ConnectionId kFirstMobileId = 200;

std::string CustomerId(int slot) { return fmt::format("{:02d}{:06d}", slot, slot); }

struct FullTables {
  TempProgramDir dir;
  boost::asio::io_context io;
  FakeClock clock{vantor::testing::LocalTimePoint(2026, 4, 1, 10, 0, 0)};
  vantor::AppEventLog log{clock, dir.path()};
  vantor::WorkerPool pool{1};
  bool debug = false;
  std::int16_t lastHour = 10;
  vantor::Broker broker{vantor::BrokerContext{
      clock, log, dir.path(), debug,
      [](std::string, std::string) -> boost::asio::awaitable<bool> { co_return true; }, {}, {}}};
  FakeWebSocketServer ws{broker.plainEvents()};
  FakeWebSocketServer wss{broker.tlsEvents()};
  vantor::Supervisor supervisor{vantor::SupervisorContext{
      clock, pool, log, broker, dir.path(), debug, lastHour,
      vantor::SupervisionJobs{[](std::string) -> boost::asio::awaitable<void> { co_return; },
                              [](int) -> boost::asio::awaitable<void> { co_return; }}}};

  FullTables() {
    broker.AttachServers(&ws, &wss);
    for (int slot = 1; slot <= vantor::kCustomerSlots; ++slot) {
      dir.Sql("INSERT INTO Customer (CustID, Enabled, Company) VALUES (?, 1, ?)",
              {CustomerId(slot), fmt::format("Company {}", slot)});
    }
    Run(broker.CustTableInit());
    for (int slot = 1; slot <= vantor::kCustomerSlots; ++slot) {
      Run(ws.Connect(static_cast<vantor::ConnectionId>(slot), "/agt?" + CustomerId(slot) + " pw__________",
                     fmt::format("10.0.0.{}", slot)));
    }
    for (int i = 0; i < vantor::kMobileSlots; ++i) {
      Run(ws.Connect(static_cast<vantor::ConnectionId>(kFirstMobileId + i),
                     "/mob?" + CustomerId(i % vantor::kCustomerSlots + 1) + " pw__________",
                     fmt::format("10.0.1.{}", i)));
    }
    for (int slot = 1; slot <= vantor::kCustomerSlots; ++slot) broker.tables().AgeAgent(slot, kFarBelowLimits);
    for (int slot = 1; slot <= vantor::kMobileSlots; ++slot) broker.tables().AgeMobile(slot, kFarBelowLimits);
    ws.sent.clear();
  }

  // Every agent and mobile holds its record.
  bool Full() {
    for (int slot = 1; slot <= vantor::kCustomerSlots; ++slot)
      if (!broker.tables().Customer(slot).connected()) return false;
    for (int slot = 1; slot <= vantor::kMobileSlots; ++slot)
      if (!broker.tables().Mobile(slot).connected()) return false;
    return true;
  }

  template <typename Awaitable>
  void Run(Awaitable a) {
    vantor::testing::RunToEnd(io, std::move(a));
  }
};

void RunTicks(benchmark::State& state, bool hourChange) {
  FullTables t;
  if (!t.Full()) {
    state.SkipWithError("the tables are not full");
    return;
  }
  t.Run([&]() -> boost::asio::awaitable<void> {
    for (auto _ : state) {
      if (hourChange) t.lastHour = 9;
      co_await t.supervisor.timer1();
    }
  }());
  if (!t.Full() || !t.ws.disconnected.empty()) state.SkipWithError("a tick dropped a connection");
}

void BM_Tick(benchmark::State& state) { RunTicks(state, false); }
void BM_HourlyTick(benchmark::State& state) { RunTicks(state, true); }

BENCHMARK(BM_Tick);
BENCHMARK(BM_HourlyTick);

}  // namespace

BENCHMARK_MAIN();
