#include "service/service.hpp"

#include "core/pause.hpp"
#include "core/procedure.hpp"
#include "core/product.hpp"
#include "core/schema.hpp"
#include "core/settings.hpp"
#include "logging/debug_cleanup.hpp"
#include "logging/timestamp.hpp"
#include "platform/host/text_file.hpp"
#include "snmp/console_commands.hpp"
#include "snmp/snmp_requests.hpp"
#include "snmp/snmp_traps.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace vantor {
namespace fs = std::filesystem;

namespace {
constexpr std::string_view kStateProcedure = "dartSvc_State";
// How long a stop waits for a running tick or backup, and for open connections to close.
constexpr std::chrono::seconds kStopGrace{20};
constexpr std::chrono::seconds kCloseGrace{6};
// How long the end waits for queued database writes; within systemd's default stop timeout.
constexpr std::chrono::seconds kWriteFlushGrace{30};

std::string Join(const std::vector<std::string>& parts, std::string_view separator = ", ") {
  std::string out;
  for (const auto& part : parts) out += (out.empty() ? "" : std::string(separator)) + part;
  return out;
}
}  // namespace

Service::Service(asio::io_context& io, Clock& clock, WorkerPool& pool, ServiceHost& host,
                 fs::path programDir, ServiceComponents components)
    : io_(io),
      clock_(clock),
      pool_(pool),
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
                  ForwardSendStatus(receiver, subject, status, result, channel);
                },
                [this] { return tlsServer_ ? tlsServer_->LocalAddress() : std::string("0.0.0.0"); }),
      broker_(BrokerContext{clock, events_, programDir_, debugMode_,
                            [this](std::string custID, std::string payload) {
                              return notifier_.SaveBrokenConnAlarm(std::move(custID), std::move(payload));
                            },
                            [this](std::int16_t kaInterval) {
                              return Supervisor::AgentIdleLimit(kaInterval, components_.tickInterval);
                            },
                            [this](DbWrite write) { return writer_.Commit(std::move(write)); }}),
      supervisor_(SupervisorContext{
          clock, pool, events_, broker_, programDir_, debugMode_, lastHour_,
          SupervisionJobs{[this](std::string custID) { return notifier_.SendBrokenConnAlarm(std::move(custID)); },
                          [this](int hour) { return notifier_.TestMessDaily(hour); }}}) {
  events_.MirrorFailuresTo(host_);
  // A log folder removed while the service runs is made again by the next write into it; the
  // operator hears of it once per removal (the hook may be called on a worker thread).
  SetFolderRemadeHook([this](const fs::path& folder) {
    asio::post(io_, [this, name = folder.filename().string()] {
      PostEvent("LogFolder", "Folder " + name + " Was Missing And Has Been Created Again", kLevelDropped);
    });
  });
  plainServer_ = components_.makeWebSocketServer(broker_.plainEvents());
  tlsServer_ = components_.makeWebSocketServer(broker_.tlsEvents());
  broker_.AttachServers(plainServer_.get(), tlsServer_.get());
  if (!components_.certRoots) components_.certRoots = ProductCertStoreRoots(programDir_);
  components_.snmpAgent->SetRequestHandler(
      [this](SnmpMessage& message) { return snmpAgent_Request(message); });
}

Service::~Service() { SetFolderRemadeHook({}); }

fs::path Service::databaseFile() const { return programDir_ / kDatabaseFileName; }

std::uint64_t Service::UptimeHundredths() const { return SnmpUptimeHundredths(startTime_, clock_.Now()); }

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
    // A start that left nothing running ends the process at once; the statuses it wrote stay
    // in the settings row for the operator.
    if (state == kStateStop || exitCode_ != 0) {
      supervisor_.Disable();
      co_await WaitForRunningWork(kStopGrace);
      co_await CloseListeners();
      co_await FlushDatabaseWrites();
      pendingStates_.clear();  // nothing runs after the end
      if (onStopped_) onStopped_();
      break;
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
  const bool started = co_await Guarded(events_, kFormModule, kStateProcedure, [&]() -> asio::awaitable<void> {
    connectionText_ = databaseFile().string();
    co_await ClearDebugDir(programDir_, events_);
    {
      const auto settings = GeneralSettings::Load(databaseFile());
      progVersion_ = settings.Text("ProgVersion");
      debugMode_ = settings.Bool("DebugMode");
    }
    co_await broker_.CustTableInit();
    co_await broker_.MobTableInit();
    startTime_ = clock_.Now();
    co_await ServiceOpen("snmpAgent");
    co_await ServiceOpen("wsServer");
    co_await ServiceOpen("wssServer");
    // Nothing listens although something should: the end is reported instead of a start.
    if (listenersUp_.empty() && !listenersFailed_.empty()) co_return;
    lastHour_ = static_cast<std::int16_t>(LocalTime(clock_.Now()).tm_hour);
    supervisor_.Enable();
    if (components_.tickInterval > std::chrono::milliseconds::zero()) {
      asio::co_spawn(io_, supervisor_.Run(components_.tickInterval), asio::detached);
    }
    co_await events_.AppEvent(kFormModule, kStateProcedure,
                              "Service Started. Version: " + progVersion_, kLevelInfo);
  });
  co_await ReportStart(started);
}

asio::awaitable<void> Service::ReportStart(bool completed) {
  std::string status = "Listening: " + (listenersUp_.empty() ? std::string("none") : Join(listenersUp_));
  if (!listenersFailed_.empty()) status += "; failed: " + Join(listenersFailed_);
  host_.NotifyStatus(status);
  if (!listenersUp_.empty() || (completed && listenersFailed_.empty())) {
    if (listenersUp_.empty()) host_.Log(LogPriority::kWarning, "No listener is enabled: the service serves nobody");
    host_.NotifyReady();
    co_return;
  }
  // Nothing could start: end with a failure, so that the service manager's restart policy applies.
  // The level-1 event reaches the journal as well.
  exitCode_ = 1;
  const std::string text = listenersFailed_.empty()
                               ? std::string("Service Ended: Start Failed")
                               : "Service Ended: No Listener Could Start (" + Join(listenersFailed_, "; ") + ")";
  co_await events_.AppEvent(kFormModule, kStateProcedure, text, kLevelError);
}

void Service::SaveSettings(GeneralSettings& settings) {
  for (auto& write : settings.TakeWrites()) writer_.Submit(std::move(write));
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
  if (connectionText_.empty() || !supervisor_.enabled()) {
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
    co_await ServiceClose("wsServer");
    co_await PauseMs(clock_, 100);
    co_await ServiceClose("wssServer");
    co_await PauseMs(clock_, 100);
    co_await ServiceClose("snmpAgent");
    co_await PauseMs(clock_, 500);
  });
}

asio::awaitable<void> Service::CloseListeners() {
  // Clients are told the service goes away (1001); their records are freed by the events that
  // follow, which get a bounded time to arrive.
  plainServer_->Shutdown();
  tlsServer_->Shutdown();
  const auto deadline = clock_.Now() + kCloseGrace;
  auto anyConnected = [&] {
    for (int c = 1; c <= kCustomerSlots; ++c) {
      if (broker_.tables().Customer(c).connID != 0) return true;
    }
    for (int m = 1; m <= kMobileSlots; ++m) {
      if (broker_.tables().Mobile(m).connID != 0) return true;
    }
    return false;
  };
  while (anyConnected() && clock_.Now() < deadline) co_await PauseMs(clock_, 20);
}

asio::awaitable<void> Service::WaitForRunningWork(std::chrono::milliseconds limit) {
  const auto deadline = clock_.Now() + limit;
  while ((runningWork_ > 0 || supervisor_.ticking()) && clock_.Now() < deadline) {
    co_await PauseMs(clock_, 20);
  }
}

void Service::ForwardSendStatus(const std::string& receiver, const std::string& subject, int status,
                                const std::string& result, const std::string& channel) {
  const SendStatus trap{receiver, subject, static_cast<std::int16_t>(status), result, channel};
  if (vantor::ForwardSendStatus(*components_.snmpAgent, sendAppEvents_, snmpStarted_, trap,
                                UptimeHundredths())) {
    return;
  }
  PostEvent("ForwardSendStatus", "The SNMP agent could not send the status trap", kLevelError);
}

void Service::SendAppEventTrap(const AppEventRecord& record) {
  const EventTrapRecord event{std::string(record.module), std::string(record.procedure),
                              std::string(record.text), record.level};
  vantor::SendAppEventTrap(*components_.snmpAgent, sendAppEvents_, snmpStarted_, trapHost_, trapPort_,
                           trapComm_, event, UptimeHundredths());
}

asio::awaitable<bool> Service::snmpAgent_Request(SnmpMessage& message) {
  std::string failure;
  try {
    const SnmpReadInputs inputs{progVersion_, UptimeHundredths(), snmpGetComm_, &broker_.tables()};
    const int type = message.type;
    bool answer = false;
    switch (type) {
      case snmp_type::kGetV1:
      case snmp_type::kGetV2c:
        answer = SnmpGetRequest(message, inputs);
        break;
      case snmp_type::kGetNextV1:
      case snmp_type::kGetNextV2c:
        answer = SnmpGetNextRequest(message, inputs);
        break;
      case snmp_type::kSetV1:
      case snmp_type::kSetV2c: {
        // Named, not a temporary of the co_await: GCC 12 destroys such aggregates twice.
        ConsoleContext context{snmpSetComm_, clock_, events_, broker_, programDir_};
        answer = co_await SnmpSetRequest(message, std::move(context));
        break;
      }
      default:
        break;
    }
    message.type = SnmpResponseType(type);
    co_return answer;
  } catch (const std::exception& e) {
    failure = e.what();
  }
  // The handler's own failure goes straight into the event file: no pause, no trap, no answer.
  events_.WriteLine(kFormModule, "snmpAgent_Request", failure, kLevelError);
  co_return false;
}

}  // namespace vantor
