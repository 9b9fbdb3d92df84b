// One load run: the agents (one per customer), then the mobiles once the agents are in, a
// report line every interval, and the summary when the duration is over or on SIGINT/SIGTERM.
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
  boost::asio::steady_timer reportTimer_;
  boost::asio::steady_timer endTimer_;
  boost::asio::signal_set signals_;
  std::chrono::steady_clock::time_point began_;
  std::chrono::steady_clock::time_point nextReport_;
  bool finished_ = false;
};

}  // namespace vantor::load
