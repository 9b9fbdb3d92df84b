// The load tool's own pieces: message formats, percentiles, /proc reading, options, the report.
#include "options.hpp"
#include "protocol.hpp"
#include "report.hpp"
#include "service_probe.hpp"
#include "stats.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
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
  for (const char* bad : {"", "LOAD m=1", "LOAD m=x s=2", "LOAD m=1 s=", "LOAD m=1 s=2x", "load m=1 s=2"})
    EXPECT_FALSE(decodePayload(bad)) << bad;
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
  auto gone = probeService(43, root.string());
  EXPECT_EQ(gone.vmRssKiB, -1);
  EXPECT_EQ(gone.openFds, -1);
  std::filesystem::remove_all(root);

  auto self = probeService(getpid());
  EXPECT_GT(self.vmRssKiB, 0);
  EXPECT_GE(self.openFds, 3);
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

  for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
           {}, {"--agents", "2"}, {"--port", "0"}, {"--port", "70000"}, {"--port", "80x"},
           {"--port", "1", "--rate", "0"}, {"--port", "1", "--agents"}, {"--port", "1", "--what", "1"},
           {"--port", "1", "--customers-from", "99000001", "--agents", "2"}})
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
