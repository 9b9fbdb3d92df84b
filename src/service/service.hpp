#pragma once
// The service's main object: it owns the shared state and receives every component event.
// All of it runs on one io_context thread; handlers are coroutines that may interleave only where
// they wait (PauseMs, AppEvent, awaited work).

#include "logging/app_event.hpp"
#include "platform/clock.hpp"
#include "platform/service_host.hpp"
#include "platform/worker_pool.hpp"

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>

namespace vantor {

// Service manager states.
enum ServiceState : int { kStateStop = 0, kStatePause = 1, kStateStart = 2, kStateResume = 3 };

class Service {
 public:
  Service(asio::io_context& io, Clock& clock, WorkerPool& pool, ServiceHost& host,
          std::filesystem::path programDir);

  // Queues a state change. State events are handled one at a time, in arrival order: a stop that
  // arrives while the start sequence waits runs after it.
  void PostState(int state);

  // Called once the stop state has been handled and running work has finished (or its time ran
  // out); the caller ends the event loop.
  void OnStopped(std::function<void()> callback) { onStopped_ = std::move(callback); }

  // The state handler itself; other states than 0 to 3 are ignored.
  asio::awaitable<void> dartSvc_State(int state);

  // Marks long-running work (a tick, a backup) so that a stop can let it finish.
  class WorkScope {
   public:
    explicit WorkScope(Service& s) : s_(s) { ++s_.runningWork_; }
    ~WorkScope() { --s_.runningWork_; }
   private:
    Service& s_;
  };

  // Shared state, read by tests and by later handlers.
  const std::string& connectionText() const { return connectionText_; }
  const std::string& progVersion() const { return progVersion_; }
  bool debugMode() const { return debugMode_; }
  SystemTime startTime() const { return startTime_; }
  std::int16_t lastHour() const { return lastHour_; }
  bool timerEnabled() const { return timerEnabled_; }
  AppEventLog& events() { return events_; }
  const std::filesystem::path& programDir() const { return programDir_; }
  std::filesystem::path databaseFile() const;

 private:
  asio::awaitable<void> RunStates();
  asio::awaitable<void> Start();
  asio::awaitable<void> Stop();
  asio::awaitable<void> WaitForRunningWork(std::chrono::milliseconds limit);
  asio::awaitable<void> ServiceClose(std::string_view component);

  asio::io_context& io_;
  Clock& clock_;
  WorkerPool& pool_;
  ServiceHost& host_;
  std::filesystem::path programDir_;
  AppEventLog events_;

  std::deque<int> pendingStates_;
  bool statesRunning_ = false;
  std::function<void()> onStopped_;
  int runningWork_ = 0;

  std::string connectionText_;  // set once by the first start; marks that start has run
  std::string progVersion_;
  bool debugMode_ = false;
  SystemTime startTime_{};
  std::int16_t lastHour_ = 0;
  bool timerEnabled_ = false;
};

}  // namespace vantor
