// The load tool as its users see it: the options it takes and refuses, and simulated mobiles
// against the echo server over loopback. Its report lines and exit verdict are checked against the
// real service by the integration tests.
#include "echo_server.hpp"
#include "load_run.hpp"
#include "mobile_sim.hpp"
#include "options.hpp"
#include "protocol.hpp"
#include "stats.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <tuple>

using namespace vantor::load;

TEST(LoadOptions, TakesTheOptionsTheToolRunsWithAndRefusesWhatCannotRun) {
  const Options o = parseOptions({"--port", "1", "--host", "localhost", "--password", "x", "--rate", "2.5", "--window",
                                  "8", "--payload-bytes", "64", "--warmup", "2", "--measure", "10"});
  EXPECT_EQ(std::tuple(o.host, o.password, o.rate, o.window, o.payloadBytes, o.warmup, o.measure),
            std::tuple(std::string("localhost"), std::string("x"), 2.5, 8, 64, 2, std::optional<int>(10)));
  EXPECT_EQ(parseOptions({"--port", "1", "--agents", "99"}).customerCount(), 99);
  EXPECT_EQ(parseOptions({"--port", "1", "--agents", "0", "--mobiles", "5", "--customers", "10"}).customerCount(), 10);
  for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
           {}, {"--port", "70000"}, {"--port", "80x"}, {"--port", "1", "--rate", "0"}, {"--port", "1", "--agents"},
           {"--port", "1", "--what", "1"}, {"--port", "1", "--customers-from", "01999999", "--agents", "2"},
           {"--port", "1", "--customers-from", "0100000x"}, {"--port", "1", "--agents", "0"},
           {"--port", "1", "--window", "0"},
           {"--port", "1", "--customers-from", "98000001", "--mobiles", "1", "--customers", "3"}})
    EXPECT_THROW(parseOptions(bad), std::invalid_argument) << ::testing::PrintToString(bad);
}

// Simulated mobiles against the echo server, both on one io_context over loopback.
class LoadMobileAgainstEcho : public ::testing::Test {
 protected:
  void Start(EchoServer::Answer answer = echoAnswer) {
    const boost::asio::ip::address loopback = boost::asio::ip::make_address("127.0.0.1");
    server_ = std::make_unique<EchoServer>(io_, boost::asio::ip::tcp::endpoint{loopback, 0}, std::move(answer));
    server_->start();
    endpoint_.address = {loopback, server_->port()};
    endpoint_.host = "127.0.0.1:" + std::to_string(server_->port());
  }

  // Runs until `done` holds (looked at every millisecond), or gives up after 20 s so that a fault
  // shows as failed expectations, not a hang.
  void RunUntil(std::function<bool()> done) {
    bool finished = false;
    boost::asio::co_spawn(io_, [&]() -> boost::asio::awaitable<void> {
      boost::asio::steady_timer timer(io_);
      const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (!done() && std::chrono::steady_clock::now() < giveUp) {
        timer.expires_after(std::chrono::milliseconds(1));
        co_await timer.async_wait(boost::asio::use_awaitable);
      }
      finished = true;
      for (auto& mobile : mobiles_) mobile->stop();
      server_->stop();
    }, boost::asio::detached);
    io_.run();
    EXPECT_TRUE(finished);
  }

  MobileSim& Mobile(Traffic traffic, std::chrono::milliseconds lossTimeout = std::chrono::seconds(5)) {
    mobiles_.push_back(std::make_unique<MobileSim>(io_, endpoint_, 1, "01000001", "pw", traffic, stats_, lossTimeout));
    mobiles_.back()->start();
    return *mobiles_.back();
  }

  boost::asio::io_context io_;
  std::unique_ptr<EchoServer> server_;
  Endpoint endpoint_;
  Stats stats_;
  std::vector<std::unique_ptr<MobileSim>> mobiles_;
};

TEST_F(LoadMobileAgainstEcho, WrongAnswersAreCountedAndALostRequestFreesItsPlaceInTheWindow) {
  // The tenth request is answered with another mobile's id, the twentieth with its padding cut.
  Start([](std::string_view message) -> std::optional<std::string> {
    auto answer = echoAnswer(message);
    auto payload = answer ? decodePayload(body(*answer)) : std::nullopt;
    if (payload && payload->seq == 10) answer->replace(answer->find("m=1 "), 4, "m=2 ");
    if (payload && payload->seq == 20) answer->pop_back();
    return answer;
  });
  Mobile({1.0, 1, 40}, std::chrono::milliseconds(200));
  RunUntil([&] { return stats_.answered >= 50; });
  EXPECT_EQ(stats_.wrong, 2u);
  EXPECT_EQ(stats_.lost, 2u);  // requests 10 and 20 stay unanswered until their loss timeout
  EXPECT_EQ(stats_.sent, stats_.answered + stats_.lost + 1);
}

TEST_F(LoadMobileAgainstEcho, MeasuredStretchLeavesOutTheWarmUpAndEndsTheRun) {
  Start();
  auto options = parseOptions({"--port", std::to_string(server_->port()), "--agents", "0", "--mobiles", "2",
                               "--customers", "1", "--window", "2", "--payload-bytes", "64", "--warmup", "1",
                               "--measure", "1", "--duration", "60", "--pid", std::to_string(getpid())});
  std::string result;
  LoadRun run(io_, endpoint_, options, [&](const std::string& line) {
    result = line;
    if (line.starts_with("RESULT ")) server_->stop();
  });
  const Stats& stats = run.run();
  ASSERT_TRUE(result.starts_with("RESULT {")) << result;
  auto field = [&](const std::string& name) {
    auto at = result.find("\"" + name + "\": ");
    return at == std::string::npos ? -1.0 : std::stod(result.substr(at + name.size() + 4));
  };
  EXPECT_TRUE(stats.clean() && stats.late == 0);
  // Closed loop: each of the two mobiles still has its window of two requests out, no more.
  EXPECT_EQ(stats.sent, stats.answered + 2 * 2);
  EXPECT_EQ(stats.roundTripsMs.size(), stats.answered);
  // The mobiles were answered during the warm-up too, but the stretch counts only its own.
  EXPECT_GT(field("answered"), 0);
  EXPECT_LT(field("answered"), static_cast<double>(stats.answered));
  EXPECT_GE(field("seconds"), 1.0);
  EXPECT_NEAR(field("per_second") * field("seconds"), field("answered"), 0.1 * field("answered"));
  EXPECT_LE(field("p50_us"), field("p99_us"));
  // This process itself stood in for the service: it used CPU time in the stretch.
  EXPECT_GT(field("service_cpu_us_per_answer"), 0);
}
