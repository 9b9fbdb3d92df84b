#include "load_run.hpp"

#include "protocol.hpp"

#include <unistd.h>

#include <algorithm>
#include <csignal>

namespace vantor::load {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kOpeningGap{10};

LoadRun::LoadRun(asio::io_context& io, Endpoint endpoint, Options options, Print print)
    : io_(io), options_(std::move(options)), print_(std::move(print)), waitTimer_(io), measureTimer_(io),
      reportTimer_(io), endTimer_(io), signals_(io, SIGINT, SIGTERM) {
  for (int i = 0; i < options_.agents; ++i)
    agents_.push_back(std::make_unique<AgentSim>(io, endpoint, customerId(options_.customersFrom, i),
                                                 options_.password, options_.keepAlive, stats_));
  const Traffic traffic{options_.rate, static_cast<std::size_t>(options_.window),
                        static_cast<std::size_t>(options_.payloadBytes)};
  for (int i = 0; i < options_.mobiles; ++i)
    mobiles_.push_back(std::make_unique<MobileSim>(io, endpoint, i + 1,
                                                   customerId(options_.customersFrom, i % options_.customerCount()),
                                                   options_.password, traffic, stats_));
}

const Stats& LoadRun::run() {
  began_ = nextReport_ = Clock::now();
  // The service admits only a few connections per address at a time while they open, and all
  // of this tool's come from one address: the clients open one every kOpeningGap.
  std::chrono::milliseconds delay{};
  for (auto& agent : agents_) agent->start(delay += kOpeningGap);
  startMobilesWhenAgentsReady();
  measureWhenMobilesReady();
  scheduleReport();
  endTimer_.expires_at(began_ + std::chrono::seconds(options_.duration));
  endTimer_.async_wait([this](boost::system::error_code ec) {
    if (!ec) finish();
  });
  signals_.async_wait([this](boost::system::error_code ec, int) {
    if (!ec) finish();
  });
  io_.run();
  return stats_;
}

void LoadRun::startMobilesWhenAgentsReady() {
  // A mobile is refused while its customer's agent is away, so the mobiles wait for the agents
  // (for at most 10 s; after that, the missing ones show up as refusals).
  int ready = 0;
  for (auto& agent : agents_) ready += agent->ready() ? 1 : 0;
  if (ready == options_.agents || Clock::now() - began_ > std::chrono::seconds(10)) {
    std::chrono::milliseconds delay{};
    for (auto& mobile : mobiles_) mobile->start(delay += kOpeningGap);
    return;
  }
  waitTimer_.expires_after(std::chrono::milliseconds(100));
  waitTimer_.async_wait([this](boost::system::error_code ec) {
    if (!ec && !finished_) startMobilesWhenAgentsReady();
  });
}

void LoadRun::measureWhenMobilesReady() {
  const bool allReady = std::all_of(mobiles_.begin(), mobiles_.end(), [](auto& m) { return m->ready(); });
  measureTimer_.expires_after(allReady ? std::chrono::seconds(options_.warmup) : std::chrono::milliseconds(50));
  measureTimer_.async_wait([this, allReady](boost::system::error_code ec) {
    if (ec || finished_) return;
    if (allReady) beginMeasurement();
    else measureWhenMobilesReady();
  });
}

void LoadRun::beginMeasurement() {
  measuring_ = true;
  measureBegan_ = Clock::now();
  answeredBefore_ = stats_.answered;
  samplesBefore_ = stats_.roundTripsMs.size();
  cpuTicksBefore_ = serviceCpuTicks();
  if (!options_.measure) return;
  const auto end = std::min(endTimer_.expiry(), measureBegan_ + std::chrono::seconds(*options_.measure));
  endTimer_.expires_at(end);  // cancels the wait for the duration
  endTimer_.async_wait([this](boost::system::error_code ec) {
    if (!ec) finish();
  });
}

Measurement LoadRun::measurement() {
  Measurement m;
  if (!measuring_) return m;
  m.seconds = std::chrono::duration<double>(Clock::now() - measureBegan_).count();
  m.answered = stats_.answered - answeredBefore_;
  m.roundTripsMs.assign(stats_.roundTripsMs.begin() + static_cast<std::ptrdiff_t>(samplesBefore_),
                        stats_.roundTripsMs.end());
  auto cpuTicksNow = serviceCpuTicks();
  if (cpuTicksBefore_ && cpuTicksNow)
    m.serviceCpuSeconds = static_cast<double>(*cpuTicksNow - *cpuTicksBefore_) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  return m;
}

std::optional<long long> LoadRun::serviceCpuTicks() const {
  if (!options_.pid) return std::nullopt;
  auto ticks = probeService(*options_.pid).cpuTicks;
  return ticks < 0 ? std::nullopt : std::optional<long long>(ticks);
}

void LoadRun::scheduleReport() {
  nextReport_ += std::chrono::seconds(options_.reportEvery);
  if (nextReport_ >= began_ + std::chrono::seconds(options_.duration)) return;
  reportTimer_.expires_at(nextReport_);
  reportTimer_.async_wait([this](boost::system::error_code ec) {
    if (ec || finished_) return;
    print_(formatReport("REPORT", snapshot(), stats_));
    scheduleReport();
  });
}

Snapshot LoadRun::snapshot() {
  Snapshot s;
  s.elapsedSeconds = std::chrono::duration<double>(Clock::now() - began_).count();
  s.agents = options_.agents;
  s.mobiles = options_.mobiles;
  for (auto& agent : agents_) s.agentsReady += agent->ready() ? 1 : 0;
  for (auto& mobile : mobiles_) {
    mobile->expireLost();
    s.mobilesReady += mobile->ready() ? 1 : 0;
    s.inFlight += mobile->inFlight();
  }
  if (options_.pid) s.service = probeService(*options_.pid);
  return s;
}

void LoadRun::finish() {
  if (finished_) return;
  finished_ = true;
  // The summary describes the run as it stood at its end, before the clients close.
  print_(formatReport("SUMMARY", snapshot(), stats_));
  print_(formatResult(measurement(), stats_));
  waitTimer_.cancel();
  measureTimer_.cancel();
  reportTimer_.cancel();
  endTimer_.cancel();
  signals_.cancel();
  for (auto& mobile : mobiles_) mobile->stop();
  for (auto& agent : agents_) agent->stop();
}

}  // namespace vantor::load
