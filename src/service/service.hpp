#pragma once
// The service's main object: it owns the components and the shared state and receives every
// component event. All of it runs on one io_context thread; handlers are coroutines that may
// interleave only where they wait (PauseMs, AppEvent, awaited work).

#include "broker/broker.hpp"
#include "core/rate_ring.hpp"
#include "core/settings.hpp"
#include "logging/app_event.hpp"
#include "notify/notifier.hpp"
#include "platform/async/worker_pool.hpp"
#include "platform/db/database_writer.hpp"
#include "platform/host/clock.hpp"
#include "platform/host/service_host.hpp"
#include "platform/net/websocket_server.hpp"
#include "platform/snmp/snmp_agent.hpp"
#include "platform/tls/certificate_manager.hpp"
#include "service/listener_list.hpp"
#include "snmp/snmp_runtime.hpp"
#include "supervision/supervisor.hpp"

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace vantor {

// Service manager states.
enum ServiceState : int { kStateStop = 0, kStatePause = 1, kStateStart = 2, kStateResume = 3 };

// The components the service owns. Tests pass fakes; the program passes the real ones.
struct ServiceComponents {
  // Makes one WebSocket server reporting to `events` (called twice: plain, then TLS).
  std::function<std::unique_ptr<WebSocketServer>(WebSocketEvents& events)> makeWebSocketServer;
  std::unique_ptr<SnmpAgent> snmpAgent;
  std::unique_ptr<HttpsClient> https;
  std::unique_ptr<SmtpClient> smtp;
  // Where certificate stores live; by default below the program directory and /etc/vantor-web.
  std::optional<CertStoreRoots> certRoots;
  // Only tests change the supervision tick: shorter, or zero for no timer (ticks run by hand).
  std::chrono::milliseconds tickInterval = Supervisor::kTickInterval;
};

// What the start read and set, shared with the subsystems that refer to it.
struct RunInfo {
  std::string connectionText;  // set once by the first start; marks that start has run
  std::string progVersion;
  bool debugMode = false;
  SystemTime startTime{};
  std::int16_t lastHour = 0;
};

class Service {
 public:
  Service(asio::io_context& io, Clock& clock, WorkerPool& pool, ServiceHost& host,
          std::filesystem::path programDir, ServiceComponents components);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Queues a state change. State events are handled one at a time, in arrival order: a stop that
  // arrives while the start sequence waits runs after it.
  void PostState(int state);

  // Called once the stop state has been handled, the listeners closed and a running tick finished
  // (or its time ran out); the caller ends the event loop.
  void OnStopped(std::function<void()> callback) { states_.onStopped = std::move(callback); }

  // Re-reads the customer table, as the console's table-update command does (SIGHUP). Ignored,
  // with a warning, before the service has started.
  void PostReload();

  // The process's exit status: 1 when the start left nothing listening, 0 otherwise.
  int exitCode() const { return states_.exitCode; }

  // The state handler itself; other states than 0 to 3 are ignored.
  asio::awaitable<void> dartSvc_State(int state);

  // Read by tests.
  const RunInfo& run() const { return run_; }
  bool timerEnabled() const { return supervisor_.enabled(); }
  Broker& broker() { return broker_; }
  SnmpRuntime& snmp() { return snmp_; }
  DatabaseWriter& databaseWriter() { return writer_; }
  std::filesystem::path databaseFile() const;

 private:
  asio::awaitable<void> RunStates();
  asio::awaitable<void> Start();
  asio::awaitable<void> ReportStart(bool completed);
  asio::awaitable<void> Reload();
  asio::awaitable<void> Stop();
  asio::awaitable<void> End();
  asio::awaitable<void> ShutdownServers();
  asio::awaitable<void> FlushDatabaseWrites();
  asio::awaitable<void> WaitForTick(std::chrono::milliseconds limit);
  void AddListeners();
  // Appends the figures of this moment in the Prometheus text format (a scrape).
  void RenderMetrics(std::string& out) const;
  // Appends the status page of this moment; its chart shows `relayRate`.
  void RenderStatus(const RateRing& relayRate, std::string& out) const;
  // Messages relayed either way since the start.
  std::uint64_t RelayedMessages() const;
  void ReportDatabaseStall(bool stalled, const std::string& text);
  // Writes a level `level` event of module "modVantorWebSrv" from outside a handler.
  void PostEvent(std::string procedure, std::string text, int level);

  asio::io_context& io_;
  Clock& clock_;
  ServiceHost& host_;
  std::filesystem::path programDir_;
  AppEventLog events_;
  DatabaseWriter writer_;
  ServiceComponents components_;

  // State events wait here to be handled one at a time; the end is reported once.
  struct States {
    std::deque<int> pending;
    bool running = false;
    std::function<void()> onStopped;
    int exitCode = 0;
  } states_;

  RunInfo run_;
  Notifier notifier_;
  Broker broker_;
  struct {
    std::unique_ptr<WebSocketServer> plain;
    std::unique_ptr<WebSocketServer> tls;
  } servers_;
  Supervisor supervisor_;
  SnmpRuntime snmp_;
  ListenerList listeners_;
};

}  // namespace vantor
