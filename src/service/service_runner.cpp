#include "service/service_runner.hpp"

#include "core/product.hpp"
#include "platform/async/worker_pool.hpp"
#include "platform/curl/https_client.hpp"
#include "platform/curl/smtp_client.hpp"
#include "platform/host/clock.hpp"
#include "platform/host/service_host.hpp"
#include "platform/net/beast_websocket_server.hpp"
#include "platform/snmp/udp_snmp_agent.hpp"
#include "service/service.hpp"

#include <boost/asio/signal_set.hpp>

#include <csignal>
#include <cstdlib>

namespace vantor {

namespace {

void WatchSignals(asio::signal_set& signals, Service& service) {
  signals.async_wait([&](const boost::system::error_code& ec, int signal) {
    if (ec) return;
    switch (signal) {
      case SIGTERM:
      case SIGINT: service.PostState(kStateStop); break;
      case SIGUSR1: service.PostState(kStatePause); break;
      case SIGUSR2: service.PostState(kStateResume); break;
      case SIGHUP: service.PostReload(); break;
      default: break;
    }
    WatchSignals(signals, service);
  });
}

// FOR TESTS ONLY: VANTOR_TEST_TICK_MS shortens the 30-second supervision tick so that an
// integration test can watch a silent agent being dropped. Production never sets it.
std::chrono::milliseconds TickInterval() {
  if (const char* value = std::getenv("VANTOR_TEST_TICK_MS")) {
    const long ms = std::strtol(value, nullptr, 10);
    if (ms >= 100) return std::chrono::milliseconds(ms);
  }
  return Supervisor::kTickInterval;
}

}  // namespace

int RunService(const std::filesystem::path& programDir) {
  // A write beyond the file-size limit (a quota, a full volume's limit) would end the process
  // with SIGXFSZ; ignored, the write fails with EFBIG and its writer reports the failure.
  std::signal(SIGXFSZ, SIG_IGN);
  asio::io_context io(1);
  RealClock clock(io);
  WorkerPool pool(2);
  SystemdServiceHost host;
  ServiceComponents components;
  components.makeWebSocketServer = [&io](WebSocketEvents& events) -> std::unique_ptr<WebSocketServer> {
    auto server = std::make_unique<BeastWebSocketServer>(io, events);
    server->SetServerName(kProductName);
    return server;
  };
  components.snmpAgent = std::make_unique<UdpSnmpAgent>(io);
  components.https = MakeCurlHttpsClient();
  components.smtp = MakeCurlSmtpClient();
  components.tickInterval = TickInterval();
  Service service(io, clock, pool, host, programDir, std::move(components));

  asio::signal_set signals(io, SIGTERM, SIGINT, SIGUSR1);
  signals.add(SIGUSR2);
  signals.add(SIGHUP);
  WatchSignals(signals, service);
  service.OnStopped([&] {
    signals.cancel();
    io.stop();
  });
  service.PostState(kStateStart);
  io.run();
  return service.exitCode();
}

}  // namespace vantor
