// The load tool's own pieces: message formats, percentiles, /proc reading, options, the report,
// and a simulated mobile against the echo server over loopback.
#include "echo_server.hpp"
#include "load_run.hpp"
#include "mobile_sim.hpp"
#include "options.hpp"
#include "protocol.hpp"
#include "report.hpp"
#include "service_probe.hpp"
#include "stats.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>

using namespace vantor::load;

TEST(LoadProtocol, CustomerIdsCountOnInSlotAndNumberAndRejectBadStarts) {
  EXPECT_EQ(customerId("01000001", 0), "01000001");
  EXPECT_EQ(customerId("01000001", 1), "02000002");
  EXPECT_EQ(customerId("01000001", 98), "99000099");
  EXPECT_EQ(customerId("05000009", 1), "06000010");
  EXPECT_THROW(customerId("1000001", 0), std::invalid_argument);
  EXPECT_THROW(customerId("0100000x", 0), std::invalid_argument);
  EXPECT_THROW(customerId("00000001", 0), std::invalid_argument);
  EXPECT_THROW(customerId("01000001", 99), std::invalid_argument);
  EXPECT_THROW(customerId("01999999", 1), std::invalid_argument);
}

TEST(LoadProtocol, HeadersAndLoginTargetsHaveTheFixedWidths) {
  EXPECT_EQ(loginTarget("agt", "01000001", "pw"), "/agt?01000001%20pw__________");
  EXPECT_EQ(header("CA", "01000001", "0"), "CA010000010  ");
  EXPECT_EQ(header("DM", "01000001", "12 "), "DM0100000112 ");
  EXPECT_EQ(header("DA", "01000001", "123"), "DA01000001123");
  EXPECT_EQ(numberField("DM0100000112 LOAD m=1 s=2", "DM", "01000001"), "12 ");
  EXPECT_EQ(numberField("DM0100000112 LOAD", "DA", "01000001"), std::nullopt);
  EXPECT_EQ(numberField("DM0100000212 LOAD", "DM", "01000001"), std::nullopt);
  EXPECT_EQ(numberField("DM01000001", "DM", "01000001"), std::nullopt);
  EXPECT_EQ(body("DA010000011  text after"), "text after");
  EXPECT_EQ(body("short"), "");
}

TEST(LoadProtocol, PayloadsRoundTripAndMalformedOnesAreRejected) {
  auto decoded = decodePayload(encodePayload({17, 123456789012ULL}));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->mobile, 17);
  EXPECT_EQ(decoded->seq, 123456789012ULL);
  for (const char* bad : {"", "LOAD m=1", "LOAD m=x s=2", "LOAD m=1 s=", "LOAD m=1 s=2x", "load m=1 s=2",
                          "LOAD m=1 s= 2"})
    EXPECT_FALSE(decodePayload(bad)) << bad;
}

TEST(LoadProtocol, PaddedPayloadsHaveTheSizeAskedForAndDecodeTheSame) {
  auto padded = encodePayload({7, 1234}, 64);
  EXPECT_EQ(padded.size(), 64u);
  EXPECT_TRUE(padded.starts_with("LOAD m=7 s=1234 ."));
  auto decoded = decodePayload(padded);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->mobile, 7);
  EXPECT_EQ(decoded->seq, 1234u);
  // A size the text already exceeds leaves it whole; one more than its length adds the space only.
  EXPECT_EQ(encodePayload({7, 1234}, 5), "LOAD m=7 s=1234");
  EXPECT_EQ(encodePayload({7, 1234}, 16), "LOAD m=7 s=1234 ");
  EXPECT_EQ(decodePayload("LOAD m=7 s=1234 ")->seq, 1234u);
}

TEST(LoadStats, PercentilesUseTheNearestRank) {
  EXPECT_EQ(percentile({}, 0.5), 0.0);
  EXPECT_EQ(percentile({7.0}, 0.99), 7.0);
  std::vector<double> hundred;
  for (int i = 100; i >= 1; --i) hundred.push_back(i);
  EXPECT_EQ(percentile(hundred, 0.50), 50.0);
  EXPECT_EQ(percentile(hundred, 0.99), 99.0);
  EXPECT_EQ(percentile(hundred, 1.0), 100.0);
  EXPECT_EQ(percentile(hundred, 0.0), 1.0);
}

TEST(LoadStats, OnlyARunWithoutAnyFaultIsClean) {
  Stats s;
  s.sent = s.answered = 10;
  EXPECT_TRUE(s.clean());
  for (auto field : {&Stats::wrong, &Stats::lost, &Stats::drops, &Stats::refused, &Stats::keepAlivesUnanswered}) {
    Stats faulty = s;
    faulty.*field = 1;
    EXPECT_FALSE(faulty.clean());
  }
}

TEST(LoadServiceProbe, ReadsKiBFieldsAndCountsDescriptors) {
  const char* status = "Name:\tsrv\nVmRSSX:\t1 kB\nVmRSS:\t   12345 kB\nRssAnon:\t  678 kB\nThreads:\t4\n";
  EXPECT_EQ(statusFieldKiB(status, "VmRSS"), 12345);
  EXPECT_EQ(statusFieldKiB(status, "RssAnon"), 678);
  EXPECT_EQ(statusFieldKiB(status, "Threads"), std::nullopt);  // not a size
  EXPECT_EQ(statusFieldKiB(status, "VmSwap"), std::nullopt);

  auto root = std::filesystem::temp_directory_path() / ("load_probe_" + std::to_string(getpid()));
  std::filesystem::create_directories(root / "42" / "fd");
  std::ofstream(root / "42" / "status") << status;
  for (const char* fd : {"0", "1", "2"}) std::ofstream(root / "42" / "fd" / fd) << "";
  auto usage = probeService(42, root.string());
  EXPECT_EQ(usage.vmRssKiB, 12345);
  EXPECT_EQ(usage.rssAnonKiB, 678);
  EXPECT_EQ(usage.openFds, 3);
  EXPECT_EQ(usage.cpuTicks, -1);  // no stat file
  auto gone = probeService(43, root.string());
  EXPECT_EQ(gone.vmRssKiB, -1);
  EXPECT_EQ(gone.openFds, -1);
  std::filesystem::remove_all(root);

  auto self = probeService(getpid());
  EXPECT_GT(self.vmRssKiB, 0);
  EXPECT_GE(self.openFds, 3);
  EXPECT_GE(self.cpuTicks, 0);
}

TEST(LoadServiceProbe, CpuTicksAreUserPlusSystemTimeEvenWithParenthesesInTheName) {
  EXPECT_EQ(statCpuTicks("42 (VantorWebSrv) S 1 42 42 0 -1 4194560 800 0 0 0 1234 567 0 0 20 0 5 0"), 1234 + 567);
  EXPECT_EQ(statCpuTicks("42 (a) b) (c) R 1 42 42 0 -1 0 0 0 0 0 10 20 0 0 20 0"), 30);
  EXPECT_EQ(statCpuTicks("42 (srv) S 1 42 42 0 -1 0 0 0 0 0"), std::nullopt);  // cut short
  EXPECT_EQ(statCpuTicks("no command name"), std::nullopt);
}

TEST(LoadOptions, ParsesEveryOptionAndRejectsBadOnes) {
  auto o = parseOptions({"--port", "8080", "--agents", "99", "--mobiles", "50", "--customers-from",
                         "01000001", "--password", "x", "--rate", "2.5", "--keepalive", "3",
                         "--duration", "60", "--report-every", "5", "--pid", "77", "--host", "localhost"});
  EXPECT_EQ(o.port, 8080);
  EXPECT_EQ(o.agents, 99);
  EXPECT_EQ(o.mobiles, 50);
  EXPECT_EQ(o.customersFrom, "01000001");
  EXPECT_EQ(o.password, "x");
  EXPECT_DOUBLE_EQ(o.rate, 2.5);
  EXPECT_EQ(o.keepAlive, 3);
  EXPECT_EQ(o.duration, 60);
  EXPECT_EQ(o.reportEvery, 5);
  EXPECT_EQ(o.pid, 77);
  EXPECT_EQ(o.host, "localhost");
  EXPECT_FALSE(parseOptions({"--port", "1"}).pid);
  EXPECT_EQ(o.customerCount(), 99);

  auto closedLoop = parseOptions({"--port", "1", "--agents", "0", "--mobiles", "50", "--customers", "10",
                                  "--window", "8", "--payload-bytes", "64", "--warmup", "2", "--measure", "10"});
  EXPECT_EQ(closedLoop.agents, 0);
  EXPECT_EQ(closedLoop.customerCount(), 10);
  EXPECT_EQ(closedLoop.window, 8);
  EXPECT_EQ(closedLoop.payloadBytes, 64);
  EXPECT_EQ(closedLoop.warmup, 2);
  EXPECT_EQ(closedLoop.measure, 10);
  EXPECT_FALSE(parseOptions({"--port", "1"}).measure);

  for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
           {}, {"--agents", "2"}, {"--port", "0"}, {"--port", "70000"}, {"--port", "80x"},
           {"--port", "1", "--rate", "0"}, {"--port", "1", "--agents"}, {"--port", "1", "--what", "1"},
           {"--port", "1", "--customers-from", "99000001", "--agents", "2"},
           {"--port", "1", "--agents", "0"}, {"--port", "1", "--agents", "0", "--mobiles", "2"},
           {"--port", "1", "--window", "0"}, {"--port", "1", "--measure", "0"},
           {"--port", "1", "--customers-from", "98000001", "--mobiles", "1", "--customers", "3"}})
    EXPECT_THROW(parseOptions(bad), std::invalid_argument);
}

TEST(LoadReport, ShowsEveryCounterAndTheServiceOnlyWhenProbed) {
  Stats s;
  s.sent = 12;
  s.answered = 9;
  s.wrong = 1;
  s.lost = 2;
  s.drops = 3;
  s.refused = 8;
  s.keepAlivesSent = 4;
  s.keepAlivesEchoed = 5;
  s.keepAlivesUnanswered = 6;
  s.roundTripsMs = {1.0, 2.0, 3.0, 4.0};
  Snapshot snap;
  snap.elapsedSeconds = 61.4;
  snap.agents = 10;
  snap.agentsReady = 9;
  snap.mobiles = 20;
  snap.mobilesReady = 18;
  snap.inFlight = 7;
  auto line = formatReport("REPORT", snap, s);
  EXPECT_EQ(line,
            "REPORT elapsed=61s agents=9/10 mobiles=18/20 sent=12 answered=9 in_flight=7 wrong=1 "
            "lost=2 late=0 drops=3 refused=8 keepalives=4 echoed=5 unanswered=6 rtt_p50=2.00ms rtt_p99=4.00ms");
  snap.service = ServiceUsage{2048, 1024, 17};
  EXPECT_TRUE(formatReport("SUMMARY", snap, s).ends_with(" VmRSS=2048KiB RssAnon=1024KiB fds=17"));
}

TEST(LoadReport, ResultGivesTheStretchInMicrosecondsAndCpuPerAnswer) {
  Stats s;
  s.sent = 2010;
  s.wrong = 1;
  s.lost = 2;
  Measurement m;
  m.seconds = 4.0;
  m.answered = 2000;
  for (int i = 1; i <= 100; ++i) m.roundTripsMs.push_back(i * 0.01);  // 10 us .. 1000 us
  m.serviceCpuSeconds = 0.5;
  EXPECT_EQ(formatResult(m, s),
            "RESULT {\"seconds\": 4.000, \"answered\": 2000, \"per_second\": 500.0, \"p50_us\": 500.0, "
            "\"p99_us\": 990.0, \"service_cpu_us_per_answer\": 250.00, \"sent\": 2010, \"wrong\": 1, "
            "\"lost\": 2, \"late\": 0, \"drops\": 0, \"refused\": 0, \"unanswered\": 0}");
  // No stretch measured: nothing to divide by, and no CPU figure without a probe.
  EXPECT_TRUE(formatResult(Measurement{}, s).starts_with(
      "RESULT {\"seconds\": 0.000, \"answered\": 0, \"per_second\": 0.0, \"p50_us\": 0.0, \"p99_us\": 0.0, "
      "\"service_cpu_us_per_answer\": null,"));
}

// A simulated mobile against the echo server, both on one io_context over loopback.
class LoadMobileAgainstEcho : public ::testing::Test {
 protected:
  static constexpr std::size_t kWindow = 4;

  void Start(EchoServer::Answer answer = echoAnswer) {
    server_ = std::make_unique<EchoServer>(io_, boost::asio::ip::tcp::endpoint{boost::asio::ip::make_address("127.0.0.1"), 0},
                                           std::move(answer));
    server_->start();
    endpoint_.address = {boost::asio::ip::make_address("127.0.0.1"), server_->port()};
    endpoint_.host = "127.0.0.1:" + std::to_string(server_->port());
  }

  // Runs until `done` holds (looked at every millisecond, with `each` called beside it), or gives
  // up after 20 s so that a fault shows as failed expectations, not a hang.
  void RunUntil(std::function<bool()> done, std::function<void()> each = [] {}) {
    bool finished = false;
    boost::asio::co_spawn(io_, [&]() -> boost::asio::awaitable<void> {
      boost::asio::steady_timer timer(io_);
      const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (!done() && std::chrono::steady_clock::now() < giveUp) {
        each();
        timer.expires_after(std::chrono::milliseconds(1));
        co_await timer.async_wait(boost::asio::use_awaitable);
      }
      finished = true;
      for (auto& stop : stops_) stop();
      server_->stop();
    }, boost::asio::detached);
    io_.run();
    EXPECT_TRUE(finished);
  }

  MobileSim& Mobile(Traffic traffic, std::chrono::milliseconds lossTimeout = std::chrono::seconds(5)) {
    mobiles_.push_back(std::make_unique<MobileSim>(io_, endpoint_, 1, "01000001", "pw", traffic, stats_, lossTimeout));
    auto& mobile = *mobiles_.back();
    stops_.push_back([&mobile] { mobile.stop(); });
    mobile.start();
    return mobile;
  }

  boost::asio::io_context io_;
  std::unique_ptr<EchoServer> server_;
  Endpoint endpoint_;
  Stats stats_;
  std::vector<std::unique_ptr<MobileSim>> mobiles_;
  std::vector<std::function<void()>> stops_;
};

TEST_F(LoadMobileAgainstEcho, EchoServerAdmitsAMobileAndAnswersVersionAndRequestsOnly) {
  Start();
  std::vector<std::string> got;
  boost::asio::co_spawn(io_, [&]() -> boost::asio::awaitable<void> {
    for (int i = 0; i < 2; ++i) {
      auto conn = std::make_shared<WsConnection>(io_.get_executor());
      co_await conn->open(endpoint_, loginTarget("mob", "01000001", "pw"));
      got.push_back(co_await conn->read());
      if (i == 1) {
        conn->send("CM010000012  VER:3.10");
        conn->send("XX010000012  not a request");  // no answer
        conn->send("DM010000012  LOAD m=1 s=1 ...");
        got.push_back(co_await conn->read());
        got.push_back(co_await conn->read());
      }
      conn->close();
    }
    server_->stop();
  }, boost::asio::detached);
  io_.run();
  EXPECT_EQ(got, (std::vector<std::string>{"CW010000011  Connection Accepted", "CW010000012  Connection Accepted",
                                           "CW010000010  VER:OK", "DA010000012  LOAD m=1 s=1 ..."}));
  EXPECT_EQ(echoAnswer("DM0100000150 x"), "DA0100000150 x");
  EXPECT_EQ(echoAnswer("DM01"), std::nullopt);
  EXPECT_EQ(echoAnswer("CM010000011  hello"), std::nullopt);
}

TEST_F(LoadMobileAgainstEcho, WindowModeKeepsExactlyTheWindowInFlight) {
  Start();
  auto& mobile = Mobile({1.0, kWindow, 64});
  std::size_t looks = 0, otherCounts = 0;
  RunUntil([&] { return stats_.answered >= 500; },
           [&] {
             if (!mobile.ready()) return;
             ++looks;
             if (mobile.inFlight() != kWindow) ++otherCounts;
           });
  EXPECT_GE(stats_.answered, 500u);
  EXPECT_GT(looks, 0u);
  EXPECT_EQ(otherCounts, 0u);
  EXPECT_EQ(stats_.sent, stats_.answered + kWindow);
  EXPECT_EQ(stats_.wrong + stats_.lost + stats_.late + stats_.drops + stats_.refused, 0u);
  EXPECT_EQ(stats_.roundTripsMs.size(), stats_.answered);
}

TEST_F(LoadMobileAgainstEcho, AWrongAnswerIsCountedAndTheWindowRefillsOnceItsRequestIsLost) {
  // The tenth request is answered with another mobile's id.
  Start([](std::string_view message) -> std::optional<std::string> {
    auto answer = echoAnswer(message);
    auto payload = answer ? decodePayload(body(*answer)) : std::nullopt;
    if (payload && payload->seq == 10) answer->replace(answer->find("m=1 "), 4, "m=2 ");
    return answer;
  });
  Mobile({1.0, 1, 40}, std::chrono::milliseconds(200));
  RunUntil([&] { return stats_.answered >= 50; });
  EXPECT_EQ(stats_.wrong, 1u);
  EXPECT_EQ(stats_.lost, 1u);  // request 10 stays unanswered until its loss timeout
  EXPECT_GE(stats_.answered, 50u);
  EXPECT_EQ(stats_.sent, stats_.answered + stats_.lost + 1);
}

TEST_F(LoadMobileAgainstEcho, AnAnswerWithItsPaddingCutIsWrong) {
  Start([](std::string_view message) -> std::optional<std::string> {
    auto answer = echoAnswer(message);
    if (answer && message.starts_with("DM")) answer->pop_back();
    return answer;
  });
  Mobile({1.0, 1, 64});
  RunUntil([&] { return stats_.wrong >= 1; });
  EXPECT_EQ(stats_.wrong, 1u);
  EXPECT_EQ(stats_.answered, 0u);
}

TEST_F(LoadMobileAgainstEcho, MeasuredStretchLeavesOutTheWarmUpAndEndsTheRun) {
  Start();
  auto options = parseOptions({"--port", std::to_string(server_->port()), "--agents", "0", "--mobiles", "2",
                               "--customers", "1", "--window", "2", "--payload-bytes", "64", "--warmup", "1",
                               "--measure", "1", "--duration", "60", "--pid", std::to_string(getpid())});
  std::vector<std::string> lines;
  LoadRun run(io_, endpoint_, options, [&](const std::string& line) {
    lines.push_back(line);
    if (line.starts_with("RESULT ")) server_->stop();
  });
  const Stats& stats = run.run();
  ASSERT_FALSE(lines.empty());
  const std::string& result = lines.back();
  ASSERT_TRUE(result.starts_with("RESULT {")) << result;
  auto field = [&](const std::string& name) {
    auto at = result.find("\"" + name + "\": ");
    return at == std::string::npos ? -1.0 : std::stod(result.substr(at + name.size() + 4));
  };
  EXPECT_TRUE(stats.clean());
  // The mobiles were answered during the warm-up too, but the stretch counts only its own.
  EXPECT_GT(field("answered"), 0);
  EXPECT_LT(field("answered"), static_cast<double>(stats.answered));
  EXPECT_GE(field("seconds"), 1.0);
  EXPECT_NEAR(field("per_second") * field("seconds"), field("answered"), 0.1 * field("answered"));
  EXPECT_LE(field("p50_us"), field("p99_us"));
  // This process itself stood in for the service: it used CPU time in the stretch.
  EXPECT_GT(field("service_cpu_us_per_answer"), 0);
}
