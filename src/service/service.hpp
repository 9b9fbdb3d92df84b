#pragma once
// The service's main object: it owns the components and the shared state and receives every
// component event. All of it runs on one io_context thread; handlers are coroutines that may
// interleave only where they wait (PauseMs, AppEvent, awaited work).

#include "broker/broker.hpp"
#include "core/settings.hpp"
#include "core/snmp_settings.hpp"
#include "logging/app_event.hpp"
#include "notify/notifier.hpp"
#include "platform/async/worker_pool.hpp"
#include "platform/db/database_writer.hpp"
#include "platform/host/clock.hpp"
#include "platform/host/service_host.hpp"
#include "platform/net/websocket_server.hpp"
#include "platform/snmp/snmp_agent.hpp"
#include "platform/tls/certificate_manager.hpp"
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

  // Called once the stop state has been handled, the listeners closed and running work finished
  // (or its time ran out); the caller ends the event loop.
  void OnStopped(std::function<void()> callback) { onStopped_ = std::move(callback); }

  // Re-reads the customer table, as the console's table-update command does (SIGHUP). Ignored,
  // with a warning, before the service has started.
  void PostReload();

  // The process's exit status: 1 when the start left nothing listening, 0 otherwise.
  int exitCode() const { return exitCode_; }

  // The state handler itself; other states than 0 to 3 are ignored.
  asio::awaitable<void> dartSvc_State(int state);

  // The SNMP agent's request handler; false means no answer.
  asio::awaitable<bool> snmpAgent_Request(SnmpMessage& message);

  // Marks long-running work so that a stop can let it finish.
  class WorkScope {
   public:
    explicit WorkScope(Service& s) : s_(s) { ++s_.runningWork_; }
    ~WorkScope() { --s_.runningWork_; }
   private:
    Service& s_;
  };

  // Shared state, read by tests and by handlers.
  const std::string& connectionText() const { return connectionText_; }
  const std::string& progVersion() const { return progVersion_; }
  bool debugMode() const { return debugMode_; }
  SystemTime startTime() const { return startTime_; }
  std::int16_t lastHour() const { return lastHour_; }
  bool timerEnabled() const { return supervisor_.enabled(); }
  AppEventLog& events() { return events_; }
  Broker& broker() { return broker_; }
  Notifier& notifier() { return notifier_; }
  DatabaseWriter& databaseWriter() { return writer_; }
  Supervisor& supervisor() { return supervisor_; }
  const std::filesystem::path& programDir() const { return programDir_; }
  std::filesystem::path databaseFile() const;

  // Sends the status trap of a notification when traps are on and the agent runs.
  void ForwardSendStatus(const std::string& receiver, const std::string& subject, int status,
                         const std::string& result, const std::string& channel);

 private:
  asio::awaitable<void> RunStates();
  asio::awaitable<void> Start();
  asio::awaitable<void> ReportStart(bool completed);
  asio::awaitable<void> Reload();
  asio::awaitable<void> Stop();
  asio::awaitable<void> CloseListeners();
  asio::awaitable<void> FlushDatabaseWrites();
  asio::awaitable<void> WaitForRunningWork(std::chrono::milliseconds limit);
  asio::awaitable<void> ServiceOpen(std::string_view component);
  asio::awaitable<void> ServiceClose(std::string_view component);
  asio::awaitable<void> OpenSnmpAgent();
  asio::awaitable<void> OpenWebSocketServer(bool tls);
  // Warns on the journal when the SNMP agent serves other hosts with a default community.
  void WarnOfDefaultCommunities(const std::string& where, const std::string& address);
  // Records a listener that could not start and reports it: the event (`event`, or the named
  // failure when empty) and a journal line naming the listener, its address and the reason.
  asio::awaitable<void> ReportListenerFailure(std::string_view listener, std::string_view where,
                                              std::string_view reason, std::string_view event);
  asio::awaitable<void> ConfigureTls(GeneralSettings& settings);
  void ConfigureAdmissionLimits(const GeneralSettings& settings, WebSocketServer& server);
  // Hands the settings' staged changes to the database writer.
  void SaveSettings(GeneralSettings& settings);
  void ReportDatabaseStall(bool stalled, const std::string& text);
  // Writes a level `level` event of module "modVantorWebSrv" from outside a handler.
  void PostEvent(std::string procedure, std::string text, int level);
  void SendAppEventTrap(const AppEventRecord& record);
  std::uint64_t UptimeHundredths() const;

  asio::io_context& io_;
  Clock& clock_;
  WorkerPool& pool_;
  ServiceHost& host_;
  std::filesystem::path programDir_;
  AppEventLog events_;
  DatabaseWriter writer_;
  ServiceComponents components_;

  std::deque<int> pendingStates_;
  bool statesRunning_ = false;
  std::function<void()> onStopped_;
  int runningWork_ = 0;
  int exitCode_ = 0;

  // Listeners by what the start made of them: "SNMP 127.0.0.1:161" when up,
  // "SNMP 127.0.0.1:161: Address already in use" when failed.
  std::vector<std::string> listenersUp_;
  std::vector<std::string> listenersFailed_;

  std::string connectionText_;  // set once by the first start; marks that start has run
  std::string progVersion_;
  bool debugMode_ = false;
  SystemTime startTime_{};
  std::int16_t lastHour_ = 0;

  // SNMP and trap settings, kept from the agent's start.
  std::string snmpGetComm_;
  std::string snmpSetComm_ = kDefaultSetCommunity;
  bool sendAppEvents_ = false;
  std::string trapHost_;
  std::int16_t trapPort_ = 0;
  std::string trapComm_;
  bool snmpStarted_ = false;

  Notifier notifier_;
  Broker broker_;
  std::unique_ptr<WebSocketServer> plainServer_;
  std::unique_ptr<WebSocketServer> tlsServer_;
  Supervisor supervisor_;
};

}  // namespace vantor
