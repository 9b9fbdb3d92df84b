#include "service/service_runner.hpp"

#include "platform/clock.hpp"
#include "platform/service_host.hpp"
#include "platform/worker_pool.hpp"
#include "service/service.hpp"

#include <boost/asio/signal_set.hpp>

#include <csignal>

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
      default: break;
    }
    WatchSignals(signals, service);
  });
}

}  // namespace

int RunService(const std::filesystem::path& programDir) {
  asio::io_context io(1);
  RealClock clock(io);
  WorkerPool pool(2);
  SystemdServiceHost host;
  Service service(io, clock, pool, host, programDir);

  asio::signal_set signals(io, SIGTERM, SIGINT, SIGUSR1);
  signals.add(SIGUSR2);
  WatchSignals(signals, service);
  service.OnStopped([&] {
    signals.cancel();
    io.stop();
  });
  service.PostState(kStateStart);
  io.run();
  return 0;
}

}  // namespace vantor
