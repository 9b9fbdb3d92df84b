// Start-up and shut-down of the three listeners: the SNMP agent, the plain and the TLS WebSocket
// server. Each start writes its status back into the settings row and, in debug mode, a block
// into Debug/Services.txt.

#include "core/pause.hpp"
#include "core/procedure.hpp"
#include "core/procedure_error.hpp"
#include "core/settings.hpp"
#include "core/snmp_settings.hpp"
#include "core/text_fields.hpp"
#include "logging/timestamp.hpp"
#include "platform/host/text_file.hpp"
#include "platform/net/ip_address.hpp"
#include "service/listener_status.hpp"
#include "service/service.hpp"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <fmt/format.h>

#include <unistd.h>

namespace vantor {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kOpen = "ServiceOpen";

// A start failure: the reason in words, the fixed event text where the operator knows one (empty:
// the event names the listener and the reason), and the reason line of the status.
struct StartFailure {
  std::string reason;
  std::string event;
  std::string statusReason;
};

StartFailure SnmpStartFailure(const std::error_code& ec) {
  if (ec == std::errc::address_in_use) return {ec.message(), "SNMP Agent Port was in use", "Port was in use"};
  if (ec == std::errc::address_not_available) {
    return {ec.message(), "SNMP Agent IP Address is not valid", "IP Address is not valid"};
  }
  return {ec.message(), "", ""};
}

std::int64_t OptionalNumber(std::string_view column, const std::string& text, std::int64_t min, std::int64_t max) {
  const auto number = ParseNumber(text);
  if (!number || *number < min || *number > max || *number != static_cast<std::int64_t>(*number)) {
    throw ProcedureError(fmt::format("Invalid {}: {} ({} to {} expected)", column, text, min, max));
  }
  return static_cast<std::int64_t>(*number);
}


std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

void WriteServicesBlock(const fs::path& programDir, std::string_view header, std::string_view status,
                        bool rewrite) {
  const fs::path file = programDir / "Debug" / "Services.txt";
  const std::string block = ServicesBlock(header, status);
  const bool ok = rewrite ? WriteText(file, block) : AppendText(file, block);
  if (!ok) throw ProcedureError("Path not found: " + file.string());
}

}  // namespace

asio::awaitable<void> Service::ServiceOpen(std::string_view component) {
  if (component == "snmpAgent") co_await OpenSnmpAgent();
  if (component == "wsServer") co_await OpenWebSocketServer(false);
  if (component == "wssServer") co_await OpenWebSocketServer(true);
}

asio::awaitable<void> Service::OpenSnmpAgent() {
  std::optional<StartFailure> failure;
  std::string where;
  try {
    auto settings = GeneralSettings::Load(databaseFile());
    std::string status = kNotStarted;
    if (settings.Bool("SnmpEnabled")) {
      const std::string address = SnmpAgentAddress(settings.Text("SnmpIpAddr"));
      const int port = settings.Int32("SnmpPort");
      where = Endpoint(address, port);
      const std::error_code ec = IsIpAddress(address)
                                     ? components_.snmpAgent->Start(port, address)
                                     : std::make_error_code(std::errc::address_not_available);
      if (ec) {
        failure = SnmpStartFailure(ec);
        if (!IsIpAddress(address)) failure->reason = "not an IP address";
      } else {
        co_await PauseMs(clock_, 1000);
        SnmpAgent& agent = *components_.snmpAgent;
        settings.Set("SnmpIpAddr", agent.LocalAddress());
        snmpGetComm_ = settings.Text("SnmpGetComm");
        snmpSetComm_ = SetCommunity(settings.Optional("SnmpSetComm"));
        status = StartedStatus(clock_.Now(), "SNMP Agent Started", agent.LocalAddress(), agent.LocalPort());
        // Read every trap setting before any takes effect, so a bad one leaves traps off.
        const bool sendAppEvents = settings.Bool("SendAppEvents");
        std::string trapHost = settings.Text("TrapHost");
        const std::int16_t trapPort = settings.Int16("TrapPort");
        std::string trapComm = settings.Text("TrapComm");
        sendAppEvents_ = sendAppEvents;
        trapHost_ = std::move(trapHost);
        trapPort_ = trapPort;
        trapComm_ = std::move(trapComm);
        snmpStarted_ = true;
        listenersUp_.push_back(fmt::format("SNMP {}:{}", agent.LocalAddress(), agent.LocalPort()));
        events_.SetTrapSink([this](const AppEventRecord& record) { SendAppEventTrap(record); });
        WarnOfDefaultCommunities(Endpoint(agent.LocalAddress(), agent.LocalPort()), agent.LocalAddress());
      }
    }
    if (!failure) {
      settings.Set("SnmpStatus", status);
      SaveSettings(settings);
      co_await PauseMs(clock_, 500);
      if (debugMode_) {
        WriteServicesBlock(programDir_, "############ SNMP Agent Started ###########", status, true);
      }
    }
  } catch (const std::exception& e) {
    failure = StartFailure{e.what(), "", ""};
  }
  if (!failure) co_return;
  co_await ReportListenerFailure("SNMP", where, failure->reason, failure->event);
  co_await Guarded(events_, kCodeModule, kOpen, [&]() -> asio::awaitable<void> {
    auto settings = GeneralSettings::Load(databaseFile());
    settings.Set("SnmpStatus", FailedStatus(clock_.Now(), failure->statusReason));
    SaveSettings(settings);
    co_return;
  });
}

// Every host that reaches the agent knows the default communities; the operator hears of each one
// the agent takes there.
void Service::WarnOfDefaultCommunities(const std::string& where, const std::string& address) {
  if (IsLoopbackAddress(address)) return;
  if (snmpGetComm_ == kDefaultGetCommunity) {
    host_.Log(LogPriority::kWarning, fmt::format("SNMP listener {} takes the default read community '{}' from "
                                                 "other hosts (set SnmpGetComm)", where, kDefaultGetCommunity));
  }
  if (snmpSetComm_ == kDefaultSetCommunity) {
    host_.Log(LogPriority::kWarning, fmt::format("SNMP listener {} takes console commands with the default set "
                                                 "community from other hosts (set SnmpSetComm)", where));
  }
}

asio::awaitable<void> Service::ReportListenerFailure(std::string_view listener, std::string_view where,
                                                     std::string_view reason, std::string_view event) {
  const std::string named = ListenerFailureText(listener, where, reason);
  listenersFailed_.push_back(where.empty() ? fmt::format("{}: {}", listener, reason)
                                           : fmt::format("{} {}: {}", listener, where, reason));
  // A fixed event text does not say where or why; the journal hears that in a line of its own.
  const std::string text = event.empty() ? named : std::string(event);
  co_await events_.AppEvent(kCodeModule, kOpen, text, kLevelError);
  if (!event.empty()) host_.Log(LogPriority::kError, named);
}

asio::awaitable<void> Service::ConfigureTls(GeneralSettings& settings) {
  WebSocketServer& server = *tlsServer_;
  const std::string subject = settings.Text("CertSubject");
  CertificateResult selected;
  if (subject.empty()) {
    // No certificate configured: the TLS server still serves, on a certificate made now.
    selected = MakeSelfSignedCertificate(HostName());
  } else {
    const std::string type = settings.Text("CertType");
    CertificateSelection selection;
    if (type == "User") selection.storeType = 0;
    if (type == "Computer") selection.storeType = 1;
    selection.store = settings.Text("CertStore");
    selection.subject = subject;
    co_await PauseMs(clock_, 1000);
    selected = SelectServerCertificate(*components_.certRoots, selection);
  }
  if (!selected.certificate) throw ProcedureError("Server certificate: " + selected.error);
  if (auto error = server.UseTls(selected.certificate->credentials)) {
    throw ProcedureError("Server certificate: " + *error);
  }
  if (!subject.empty() && debugMode_) {
    const fs::path file = programDir_ / "Debug" / "CertInfo_Server.txt";
    const std::string text = "This file is created by VantorWebSrv.exe before the service is started.\r\n\r\n" +
                             FormatDateTime(clock_.Now()) + "\r\n" + CertificateInfoText(*selected.certificate);
    if (!WriteText(file, text)) throw ProcedureError("Path not found: " + file.string());
  }
}

// The refusal limiter and the trusted reverse proxies, from their optional settings; absent, the
// limiter's defaults and no proxy.
void Service::ConfigureAdmissionLimits(const GeneralSettings& settings, WebSocketServer& server) {
  RefusalLimiter::Limits limits;
  if (const auto count = settings.Optional("MaxRefusedPerAddr")) {
    limits.maxRefused = static_cast<int>(OptionalNumber("MaxRefusedPerAddr", *count, 1, 65535));
  }
  if (const auto seconds = settings.Optional("RefusedCoolingSec")) {
    limits.cooling = std::chrono::seconds(OptionalNumber("RefusedCoolingSec", *seconds, 1, 86400));
  }
  const std::string proxies = settings.Optional("TrustedProxies").value_or("");
  auto trusted = ParseAddressList(proxies);
  if (!trusted || (!trusted->empty() && !server.Configure("ExemptAddresses=" + proxies))) {
    throw ProcedureError("Invalid TrustedProxies: " + proxies + " (IP addresses separated by commas expected)");
  }
  broker_.ConfigureAdmissionLimits(limits, std::move(*trusted));
}

asio::awaitable<void> Service::OpenWebSocketServer(bool tls) {
  const std::string prefix = tls ? "Wss" : "Ws";
  const std::string listener = tls ? "WSS" : "WS";
  WebSocketServer& server = tls ? *tlsServer_ : *plainServer_;
  std::optional<std::string> failure;  // the reason, in words
  bool addressMissing = false;         // the machine does not have the configured address
  std::string where;
  try {
    auto settings = GeneralSettings::Load(databaseFile());
    std::string status = kNotStarted;
    if (settings.Bool(prefix + "Enabled")) {
      const std::string address = settings.Text(prefix + "IpAddr");
      const int port = settings.Int32(prefix + "Port");
      where = Endpoint(address, port);
      if (address != "0.0.0.0") server.SetLocalAddress(address);
      if (tls) co_await ConfigureTls(settings);
      server.SetLocalPort(port);
      if (tls) co_await PauseMs(clock_, 500);
      if (const auto limit = settings.Optional("MaxOpeningPerAddr");
          limit && !server.Configure("MaxOpeningPerAddress=" + *limit)) {
        throw ProcedureError("Invalid MaxOpeningPerAddr: " + *limit + " (1 to 65535 expected)");
      }
      ConfigureAdmissionLimits(settings, server);
      const bool isAddress = IsIpAddress(address);
      const std::error_code ec = isAddress ? server.Listen() : std::make_error_code(std::errc::address_not_available);
      if (ec) {
        addressMissing = ec == std::errc::address_not_available;
        failure = isAddress ? ec.message() : "not an IP address";
      } else {
        co_await PauseMs(clock_, tls ? 500 : 1000);
        settings.Set(prefix + "IpAddr", server.LocalAddress());
        listenersUp_.push_back(fmt::format("{} {}:{}", listener, server.LocalAddress(), server.LocalPort()));
        status = StartedStatus(clock_.Now(), listener + " Server Started", server.LocalAddress(), server.LocalPort());
        if (tls && settings.Text("CertSubject").empty() && !IsLoopbackAddress(server.LocalAddress())) {
          host_.Log(LogPriority::kWarning,
                    fmt::format("WSS listener {} serves other hosts a self-signed certificate made at this start, "
                                "which clients cannot verify (set CertSubject)",
                                Endpoint(server.LocalAddress(), server.LocalPort())));
        }
      }
    }
    if (!failure) {
      settings.Set(prefix + "Status", status);
      SaveSettings(settings);
      if (debugMode_) {
        WriteServicesBlock(programDir_,
                           tls ? "########### WSS Server Started ############"
                               : "########### WS Server Started ############",
                           status, false);
      }
    }
  } catch (const std::exception& e) {
    failure = e.what();
  }
  if (!failure) co_return;
  const std::string event = addressMissing ? listener + " Server IP Address is not valid" : std::string();
  co_await ReportListenerFailure(listener, where, *failure, event);
  co_await Guarded(events_, kCodeModule, kOpen, [&]() -> asio::awaitable<void> {
    auto settings = GeneralSettings::Load(databaseFile());
    // Only an address the machine does not have is given up: the next start listens on every
    // address. A port in use or a bad certificate keeps the configured address.
    const std::string old = settings.Text(prefix + "IpAddr");
    if (addressMissing && old != "0.0.0.0") {
      host_.Log(LogPriority::kWarning, fmt::format("{}IpAddr changed from '{}' to '0.0.0.0' for the next start",
                                                   prefix, EscapeForLine(old)));
      settings.Set(prefix + "IpAddr", std::string("0.0.0.0"));
    }
    settings.Set(prefix + "Status", FailedStatus(clock_.Now(), ""));
    SaveSettings(settings);
    co_return;
  });
}

asio::awaitable<void> Service::ServiceClose(std::string_view component) {
  co_await Guarded(events_, kCodeModule, "ServiceClose", [&]() -> asio::awaitable<void> {
    auto settings = GeneralSettings::Load(databaseFile());
    std::string column;
    bool running = false;
    if (component == "snmpAgent") {
      column = "SnmpStatus";
      running = settings.Text(column).find("SNMP Agent Started") != std::string::npos;
    } else if (component == "wsServer") {
      column = "WsStatus";
      running = plainServer_->Listening();
    } else if (component == "wssServer") {
      column = "WssStatus";
      running = tlsServer_->Listening();
    } else {
      co_return;
    }
    // Let events already queued for the component run once before its status is reset.
    if (running) co_await asio::post(io_, asio::use_awaitable);
    settings.Set(column, std::string(kNotStarted));
    SaveSettings(settings);
  });
}

}  // namespace vantor
