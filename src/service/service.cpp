#include "service/service.hpp"

#include "logging/debug_cleanup.hpp"
#include "logging/timestamp.hpp"
#include "service/pause.hpp"
#include "service/procedure.hpp"
#include "service/schema.hpp"
#include "service/settings.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace vantor {
namespace fs = std::filesystem;

namespace {
constexpr std::string_view kStateProcedure = "dartSvc_State";
// How long a stop waits for a running tick or backup before the process ends anyway.
constexpr std::chrono::seconds kStopGrace{20};
}  // namespace

Service::Service(asio::io_context& io, Clock& clock, WorkerPool& pool, ServiceHost& host,
                 fs::path programDir)
    : io_(io), clock_(clock), pool_(pool), host_(host), programDir_(std::move(programDir)),
      events_(clock, programDir_) {}

fs::path Service::databaseFile() const { return programDir_ / kDatabaseFileName; }

void Service::PostState(int state) {
  pendingStates_.push_back(state);
  if (statesRunning_) return;
  statesRunning_ = true;
  asio::co_spawn(io_, RunStates(), asio::detached);
}

asio::awaitable<void> Service::RunStates() {
  while (!pendingStates_.empty()) {
    const int state = pendingStates_.front();
    pendingStates_.pop_front();
    co_await dartSvc_State(state);
    if (state == kStateStop) {
      co_await WaitForRunningWork(kStopGrace);
      if (onStopped_) onStopped_();
    }
  }
  statesRunning_ = false;
}

asio::awaitable<void> Service::dartSvc_State(int state) {
  switch (state) {
    case kStateStart:
      co_await Start();
      break;
    case kStateStop:
      co_await Stop();
      break;
    case kStatePause:
      co_await events_.AppEvent(kFormModule, kStateProcedure, "Pause Not Implemented", kLevelInfo);
      break;
    case kStateResume:
      co_await events_.AppEvent(kFormModule, kStateProcedure, "Resume Not Implemented", kLevelInfo);
      break;
    default:
      break;
  }
}

asio::awaitable<void> Service::Start() {
  if (!connectionText_.empty()) co_return;  // a second start in one process does nothing
  co_await Guarded(events_, kFormModule, kStateProcedure, [&]() -> asio::awaitable<void> {
    connectionText_ = databaseFile().string();
    co_await ClearDebugDir(programDir_, events_);
    {
      const auto settings = GeneralSettings::Load(databaseFile());
      progVersion_ = settings.Text("ProgVersion");
      debugMode_ = settings.Bool("DebugMode");
    }
    startTime_ = clock_.Now();
    lastHour_ = static_cast<std::int16_t>(LocalTime(clock_.Now()).tm_hour);
    timerEnabled_ = true;
    co_await events_.AppEvent(kFormModule, kStateProcedure,
                              "Service Started. Version: " + progVersion_, kLevelInfo);
  });
  // Ready even after a failed start: the service stays idle instead of being restarted in a loop.
  host_.NotifyReady();
}

asio::awaitable<void> Service::Stop() {
  host_.NotifyStopping();
  co_await Guarded(events_, kFormModule, kStateProcedure, [&]() -> asio::awaitable<void> {
    timerEnabled_ = false;
    co_await events_.AppEvent(kFormModule, kStateProcedure, "Service Stopped", kLevelInfo);
    co_await PauseMs(clock_, 500);
    co_await ServiceClose("wsServer");
    co_await PauseMs(clock_, 100);
    co_await ServiceClose("wssServer");
    co_await PauseMs(clock_, 100);
    co_await ServiceClose("snmpAgent");
    co_await PauseMs(clock_, 500);
  });
}

asio::awaitable<void> Service::ServiceClose(std::string_view component) {
  co_await Guarded(events_, kCodeModule, "ServiceClose", [&]() -> asio::awaitable<void> {
    auto settings = GeneralSettings::Load(databaseFile());
    std::string column;
    bool wasRunning = false;
    if (component == "snmpAgent") {
      column = "SnmpStatus";
      wasRunning = settings.Text(column).find("SNMP Agent Started") != std::string::npos;
    } else if (component == "wsServer") {
      column = "WsStatus";
    } else if (component == "wssServer") {
      column = "WssStatus";
    } else {
      co_return;
    }
    // Let events already queued for the component run once before its status is reset.
    if (wasRunning) co_await asio::post(io_, asio::use_awaitable);
    settings.Set(column, std::string("Not Started"));
    settings.Save();
  });
}

asio::awaitable<void> Service::WaitForRunningWork(std::chrono::milliseconds limit) {
  const auto deadline = clock_.Now() + limit;
  while (runningWork_ > 0 && clock_.Now() < deadline) co_await PauseMs(clock_, 20);
}

}  // namespace vantor
