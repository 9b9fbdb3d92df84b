#include "service/websocket_listener.hpp"

#include "core/endpoint.hpp"
#include "core/pause.hpp"
#include "core/procedure_error.hpp"
#include "core/text_fields.hpp"
#include "logging/timestamp.hpp"
#include "platform/host/text_file.hpp"
#include "platform/net/ip_address.hpp"

#include <fmt/format.h>

#include <unistd.h>

namespace vantor {
namespace fs = std::filesystem;

namespace {

Listener::Names NamesOf(bool tls) {
  if (tls) return {"WSS", "Wss", "WSS Server Started", "########### WSS Server Started ############", false, {}};
  return {"WS", "Ws", "WS Server Started", "########### WS Server Started ############", false, {}};
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

}  // namespace

WebSocketListener::WebSocketListener(ListenerContext context, bool tls, WebSocketServer& server, Broker& broker,
                                     const CertStoreRoots& certRoots)
    : Listener(context, NamesOf(tls)), tls_(tls), server_(server), broker_(broker), certRoots_(certRoots) {}

asio::awaitable<std::optional<Listener::StartFailure>> WebSocketListener::Start(GeneralSettings& settings) {
  const std::string& prefix = names_.columnPrefix;
  const std::string address = settings.Text(prefix + "IpAddr");
  const int port = settings.Int32(prefix + "Port");
  Configured(address, port);
  if (address != "0.0.0.0") server_.SetLocalAddress(address);
  if (tls_) co_await ConfigureTls(settings);
  server_.SetLocalPort(port);
  if (tls_) co_await PauseMs(context_.clock, 500);
  if (const auto limit = settings.Optional("MaxOpeningPerAddr");
      limit && !server_.Configure("MaxOpeningPerAddress=" + *limit)) {
    throw ProcedureError("Invalid MaxOpeningPerAddr: " + *limit + " (1 to 65535 expected)");
  }
  ConfigureAdmissionLimits(settings);
  const bool isAddress = IsIpAddress(address);
  const std::error_code ec = isAddress ? server_.Listen() : std::make_error_code(std::errc::address_not_available);
  if (ec) {
    const bool missing = ec == std::errc::address_not_available;
    co_return StartFailure{isAddress ? ec.message() : "not an IP address",
                           missing ? names_.kind + " Server IP Address is not valid" : std::string(), "", missing};
  }
  co_await PauseMs(context_.clock, tls_ ? 500 : 1000);
  settings.Set(prefix + "IpAddr", server_.LocalAddress());
  Bound(server_.LocalAddress(), server_.LocalPort());
  if (tls_) WarnOfSelfSignedCertificate(settings);
  co_return std::nullopt;
}

// Only an address the machine does not have is given up: the next start listens on every
// address. A port in use or a bad certificate keeps the configured address.
void WebSocketListener::StageFailure(GeneralSettings& settings, const StartFailure& failure) {
  const std::string column = names_.columnPrefix + "IpAddr";
  const std::string old = settings.Text(column);
  if (!failure.addressMissing || old == "0.0.0.0") return;
  context_.host.Log(LogPriority::kWarning,
                    fmt::format("{} changed from '{}' to '0.0.0.0' for the next start", column, EscapeForLine(old)));
  settings.Set(column, std::string("0.0.0.0"));
}

void WebSocketListener::WarnOfSelfSignedCertificate(const GeneralSettings& settings) {
  if (!settings.Text("CertSubject").empty() || IsLoopbackAddress(server_.LocalAddress())) return;
  context_.host.Log(LogPriority::kWarning,
                    fmt::format("WSS listener {} serves other hosts a self-signed certificate made at this start, "
                                "which clients cannot verify (set CertSubject)",
                                Endpoint(server_.LocalAddress(), server_.LocalPort())));
}

asio::awaitable<void> WebSocketListener::ConfigureTls(GeneralSettings& settings) {
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
    co_await PauseMs(context_.clock, 1000);
    selected = SelectServerCertificate(certRoots_, selection);
  }
  if (!selected.certificate) throw ProcedureError("Server certificate: " + selected.error);
  if (const TlsSetup setup = server_.UseTls(selected.certificate->credentials); !setup.ok()) {
    throw ProcedureError("Server certificate: " + setup.reason);
  }
  if (!subject.empty() && context_.debugMode) {
    const fs::path file = context_.programDir / "Debug" / "CertInfo_Server.txt";
    const std::string text = "This file is created by VantorWebSrv.exe before the service is started.\r\n\r\n" +
                             FormatDateTime(context_.clock.Now()) + "\r\n" + CertificateInfoText(*selected.certificate);
    if (!WriteText(file, text)) throw ProcedureError("Path not found: " + file.string());
  }
}

// The refusal limiter and the trusted reverse proxies, from their optional settings; absent, the
// limiter's defaults and no proxy.
void WebSocketListener::ConfigureAdmissionLimits(const GeneralSettings& settings) {
  RefusalLimiter::Limits limits;
  if (const auto count = settings.Optional("MaxRefusedPerAddr")) {
    limits.maxRefused = static_cast<int>(OptionalNumber("MaxRefusedPerAddr", *count, 1, 65535));
  }
  if (const auto seconds = settings.Optional("RefusedCoolingSec")) {
    limits.cooling = std::chrono::seconds(OptionalNumber("RefusedCoolingSec", *seconds, 1, 86400));
  }
  const std::string proxies = settings.Optional("TrustedProxies").value_or("");
  auto trusted = ParseAddressList(proxies);
  if (!trusted || (!trusted->empty() && !server_.Configure("ExemptAddresses=" + proxies))) {
    throw ProcedureError("Invalid TrustedProxies: " + proxies + " (IP addresses separated by commas expected)");
  }
  broker_.ConfigureAdmissionLimits(limits, std::move(*trusted));
}

}  // namespace vantor
