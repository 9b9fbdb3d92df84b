// One load run: the agents (one per customer), then the mobiles once the agents are in, a
// report line every interval, and the summary when the duration is over or on SIGINT/SIGTERM.
// The measured stretch begins a warm-up after every mobile is ready, and the run ends early
// when it has lasted the measure time; the result line describes that stretch only.
#pragma once

#include "agent_sim.hpp"
#include "mobile_sim.hpp"
#include "options.hpp"
#include "report.hpp"
#include "stats.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vantor::load {

class LoadRun {
 public:
  using Print = std::function<void(const std::string&)>;

  LoadRun(boost::asio::io_context& io, Endpoint endpoint, Options options, Print print);

  // Runs the io_context to the end; returns the final stats (clean() tells the exit status).
  const Stats& run();

 private:
  void startMobilesWhenAgentsReady();
  void measureWhenMobilesReady();
  void beginMeasurement();
  Measurement measurement();
  std::optional<long long> serviceCpuTicks() const;
  void scheduleReport();
  void finish();
  Snapshot snapshot();

  boost::asio::io_context& io_;
  Options options_;
  Print print_;
  Stats stats_;
  std::vector<std::unique_ptr<AgentSim>> agents_;
  std::vector<std::unique_ptr<MobileSim>> mobiles_;
  boost::asio::steady_timer waitTimer_;
  boost::asio::steady_timer measureTimer_;
  boost::asio::steady_timer reportTimer_;
  boost::asio::steady_timer endTimer_;
  boost::asio::signal_set signals_;
  std::chrono::steady_clock::time_point began_;
  std::chrono::steady_clock::time_point nextReport_;
  bool finished_ = false;
  bool measuring_ = false;
  std::chrono::steady_clock::time_point measureBegan_;
  std::uint64_t answeredBefore_ = 0;
  std::size_t samplesBefore_ = 0;
  std::optional<long long> cpuTicksBefore_;
};

}  // namespace vantor::load
