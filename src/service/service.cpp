#include "service/service.hpp"

#include "core/pause.hpp"
#include "core/procedure.hpp"
#include "core/product.hpp"
#include "core/schema.hpp"
#include "core/settings.hpp"
#include "logging/debug_cleanup.hpp"
#include "logging/timestamp.hpp"
#include "platform/host/text_file.hpp"
#include "metrics/prometheus_text.hpp"
#include "service/metrics_listener.hpp"
#include "service/status_page.hpp"
#include "service/query_options.hpp"
#include "service/snmp_listener.hpp"
#include "service/websocket_listener.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <numeric>

namespace vantor {
namespace fs = std::filesystem;

namespace {
constexpr std::string_view kStateProcedure = "dartSvc_State";
// How long a stop waits for a running tick or backup, and for open connections to close.
constexpr std::chrono::seconds kStopGrace{20};
constexpr std::chrono::seconds kCloseGrace{6};
// How long the end waits for queued database writes; within systemd's default stop timeout.
constexpr std::chrono::seconds kWriteFlushGrace{30};
}  // namespace

Service::Service(asio::io_context& io, Clock& clock, WorkerPool& pool, ServiceHost& host,
                 fs::path programDir, ServiceComponents components)
    : io_(io),
      clock_(clock),
      host_(host),
      programDir_(std::move(programDir)),
      events_(clock, programDir_),
      writer_(io, programDir_ / kDatabaseFileName,
              DatabaseWriter::Reports{
                  [this](bool stalled, const std::string& text) { ReportDatabaseStall(stalled, text); },
                  [this](const std::string& text) { PostEvent("DatabaseWriter", text, kLevelError); }}),
      components_(std::move(components)),
      notifier_(clock, pool, events_, programDir_ / kDatabaseFileName, writer_, *components_.https,
                *components_.smtp,
                [this](const std::string& receiver, const std::string& subject, int status,
                       const std::string& result, const std::string& channel) {
                  snmp_.ForwardSendStatus(receiver, subject, status, result, channel);
                },
                [this] { return servers_.tls ? servers_.tls->LocalAddress() : std::string("0.0.0.0"); }),
      broker_(BrokerContext{clock, events_, programDir_, run_.debugMode,
                            [this](std::string custID, std::string payload) {
                              return notifier_.SaveBrokenConnAlarm(std::move(custID), std::move(payload));
                            },
                            [this](std::int16_t kaInterval) {
                              return Supervisor::AgentIdleLimit(kaInterval, components_.tickInterval);
                            },
                            [this](DbWrite write) { return writer_.Commit(std::move(write)); }}),
      supervisor_(SupervisorContext{
          clock, pool, events_, broker_, programDir_, run_.debugMode, run_.lastHour,
          SupervisionJobs{[this](std::string custID) { return notifier_.SendBrokenConnAlarm(std::move(custID)); },
                          [this](int hour) { return notifier_.TestMessDaily(hour); }}}),
      snmp_(*components_.snmpAgent,
            SnmpRuntimeContext{clock, events_, broker_, host_, programDir_, run_.progVersion, run_.startTime,
                               [this](std::string procedure, std::string text, int level) {
                                 PostEvent(std::move(procedure), std::move(text), level);
                               }}) {
  events_.MirrorFailuresTo(host_);
  // A log folder removed while the service runs is made again by the next write into it; the
  // operator hears of it once per removal (the hook may be called on a worker thread).
  SetFolderRemadeHook([this](const fs::path& folder) {
    asio::post(io_, [this, name = folder.filename().string()] {
      PostEvent("LogFolder", "Folder " + name + " Was Missing And Has Been Created Again", kLevelDropped);
    });
  });
  servers_.plain = components_.makeWebSocketServer(broker_.plainEvents());
  servers_.tls = components_.makeWebSocketServer(broker_.tlsEvents());
  broker_.AttachServers(servers_.plain.get(), servers_.tls.get());
  if (!components_.certRoots) components_.certRoots = ProductCertStoreRoots(programDir_);
  AddListeners();
}

// The agent first, then the plain and the TLS server, then the monitoring listener: the order of
// the starts and of the reports.
void Service::AddListeners() {
  const ListenerContext context{io_, clock_, events_, host_, writer_, programDir_, run_.debugMode};
  listeners_.Add(std::make_unique<SnmpListener>(context, snmp_));
  listeners_.Add(std::make_unique<WebSocketListener>(context, false, *servers_.plain, broker_, *components_.certRoots));
  listeners_.Add(std::make_unique<WebSocketListener>(context, true, *servers_.tls, broker_, *components_.certRoots));
  MetricsListener::Pages pages{[this](std::string& out) { RenderMetrics(out); },
                               [this](const RateRing& relayRate, std::string& out) { RenderStatus(relayRate, out); },
                               [this] { return RelayedMessages(); }};
  listeners_.Add(std::make_unique<MetricsListener>(context, std::move(pages)), ListenerList::Role::kWatches);
}

void Service::RenderMetrics(std::string& out) const {
  static const std::string version = ProgramVersion();
  const MetricsSources sources{version, broker_, servers_.plain.get(), servers_.tls.get(),
                               notifier_, events_, writer_, snmp_};
  AppendPrometheusText(TakeMetricsSnapshot(sources, listeners_.Samples()), out);
}

void Service::RenderStatus(const RateRing& relayRate, std::string& out) const {
  StatusPageView view;
  view.version = ProgramVersion();
  const SystemTime now = clock_.Now();
  view.now = FormatDateTime(now);
  view.uptimeSeconds = std::chrono::duration_cast<std::chrono::seconds>(now - run_.startTime).count();
  view.listeners = listeners_.Samples();
  AddConnections(broker_.tables(), view);
  view.recentEvents.assign(events_.recentLines().begin(), events_.recentLines().end());
  view.relayedPerSecond = relayRate.PerSecond();
  view.chartSlotSeconds = static_cast<int>(relayRate.slot().count());
  out += RenderStatusPage(view);
}

std::uint64_t Service::RelayedMessages() const {
  const auto& relayed = broker_.counts().relayedMessages;
  return std::accumulate(relayed.begin(), relayed.end(), std::uint64_t{0});
}

Service::~Service() { SetFolderRemadeHook({}); }

fs::path Service::databaseFile() const { return programDir_ / kDatabaseFileName; }

void Service::PostState(int state) {
  states_.pending.push_back(state);
  if (states_.running) return;
  states_.running = true;
  asio::co_spawn(io_, RunStates(), asio::detached);
}

asio::awaitable<void> Service::RunStates() {
  while (!states_.pending.empty()) {
    const int state = states_.pending.front();
    states_.pending.pop_front();
    co_await dartSvc_State(state);
    // A start that left nothing running ends the process at once; the statuses it wrote stay
    // in the settings row for the operator.
    if (state == kStateStop || states_.exitCode != 0) {
      co_await End();
      break;
    }
  }
  states_.running = false;
}

asio::awaitable<void> Service::End() {
  supervisor_.Disable();
  co_await WaitForTick(kStopGrace);
  co_await ShutdownServers();
  co_await FlushDatabaseWrites();
  states_.pending.clear();  // nothing runs after the end
  if (states_.onStopped) states_.onStopped();
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
  if (!run_.connectionText.empty()) co_return;  // a second start in one process does nothing
  const bool started = co_await Guarded(events_, kFormModule, kStateProcedure, [&]() -> asio::awaitable<void> {
    run_.connectionText = databaseFile().string();
    co_await ClearDebugDir(programDir_, events_);
    {
      const auto settings = GeneralSettings::Load(databaseFile());
      run_.progVersion = settings.Text("ProgVersion");
      run_.debugMode = settings.Bool("DebugMode");
    }
    co_await broker_.CustTableInit();
    co_await broker_.MobTableInit();
    run_.startTime = clock_.Now();
    co_await listeners_.OpenAll();
    // Nothing listens although something should: the end is reported instead of a start.
    if (listeners_.noneCouldStart()) co_return;
    run_.lastHour = static_cast<std::int16_t>(LocalTime(clock_.Now()).tm_hour);
    supervisor_.Enable();
    if (components_.tickInterval > std::chrono::milliseconds::zero()) {
      asio::co_spawn(io_, supervisor_.Run(components_.tickInterval), asio::detached);
    }
    co_await events_.AppEvent(kFormModule, kStateProcedure,
                              "Service Started. Version: " + run_.progVersion, kLevelInfo);
  });
  co_await ReportStart(started);
}

asio::awaitable<void> Service::ReportStart(bool completed) {
  host_.NotifyStatus(listeners_.StatusText());
  if (listeners_.anyUp() || (completed && !listeners_.anyFailed())) {
    if (!listeners_.anyUp()) host_.Log(LogPriority::kWarning, "No listener is enabled: the service serves nobody");
    host_.NotifyReady();
    co_return;
  }
  // Nothing could start: end with a failure, so that the service manager's restart policy applies.
  // The level-1 event reaches the journal as well.
  states_.exitCode = 1;
  const std::string text = "Service Ended: " + (listeners_.anyFailed() ? listeners_.NoneCouldStartText()
                                                                      : std::string("Start Failed"));
  co_await events_.AppEvent(kFormModule, kStateProcedure, text, kLevelError);
}

void Service::ReportDatabaseStall(bool stalled, const std::string& text) {
  const std::string event = stalled ? "Database Writes Waiting For Over A Minute: " + text
                                    : "Database Writes Resumed";
  PostEvent("DatabaseWriter", event, stalled ? kLevelDropped : kLevelInfo);
}

asio::awaitable<void> Service::FlushDatabaseWrites() {
  const bool idle = co_await writer_.WhenIdle(kWriteFlushGrace);
  if (idle) co_return;
  host_.Log(LogPriority::kError, std::to_string(writer_.pending()) +
                                     " database writes could not be made before the end (the database stays locked "
                                     "or unavailable); they are lost");
}

// The event's coroutine starts after the caller has returned; it owns copies of its texts, which
// AppEvent only views.
void Service::PostEvent(std::string procedure, std::string text, int level) {
  asio::co_spawn(
      io_,
      [this, procedure = std::move(procedure), text = std::move(text), level]() -> asio::awaitable<void> {
        co_await events_.AppEvent(kCodeModule, procedure, text, level);
      },
      asio::detached);
}

void Service::PostReload() { asio::co_spawn(io_, Reload(), asio::detached); }

asio::awaitable<void> Service::Reload() {
  if (run_.connectionText.empty() || !supervisor_.enabled()) {
    host_.Log(LogPriority::kWarning, "SIGHUP ignored: the service is not running");
    co_return;
  }
  co_await broker_.CustTableUpdate();
  co_await events_.AppEvent(kFormModule, "SignalHangup", "Customer Table Re-read On SIGHUP", kLevelInfo);
}

asio::awaitable<void> Service::Stop() {
  host_.NotifyStopping();
  co_await Guarded(events_, kFormModule, kStateProcedure, [&]() -> asio::awaitable<void> {
    supervisor_.Disable();
    co_await events_.AppEvent(kFormModule, kStateProcedure, "Service Stopped", kLevelInfo);
    co_await PauseMs(clock_, 500);
    co_await listeners_.CloseAll(clock_, std::chrono::milliseconds(100));
    co_await PauseMs(clock_, 500);
  });
}

asio::awaitable<void> Service::ShutdownServers() {
  // Clients are told the service goes away (1001); their records are freed by the events that
  // follow, which get a bounded time to arrive.
  servers_.plain->Shutdown();
  servers_.tls->Shutdown();
  const auto deadline = clock_.Now() + kCloseGrace;
  auto anyConnected = [&] {
    for (int c = 1; c <= kCustomerSlots; ++c) {
      if (broker_.tables().Customer(c).connected()) return true;
    }
    for (int m = 1; m <= kMobileSlots; ++m) {
      if (broker_.tables().Mobile(m).connected()) return true;
    }
    return false;
  };
  while (anyConnected() && clock_.Now() < deadline) co_await PauseMs(clock_, 20);
}

asio::awaitable<void> Service::WaitForTick(std::chrono::milliseconds limit) {
  const auto deadline = clock_.Now() + limit;
  while (supervisor_.ticking() && clock_.Now() < deadline) {
    co_await PauseMs(clock_, 20);
  }
}

}  // namespace vantor
