#include "metrics/prometheus_text.hpp"
#include "metrics_samples.hpp"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

namespace vantor {
namespace {

using testing::FullTablesSnapshot;

// Each sample line's metric name, counted per name, with the check that its family was declared
// by a HELP and a TYPE line just before its first sample and never again.
std::map<std::string, int> SamplesPerFamily(const std::string& text) {
  std::map<std::string, int> samples;
  std::set<std::string> declared;
  std::string family, line;
  std::istringstream in(text);
  while (std::getline(in, line)) {
    if (line.starts_with("# HELP ")) {
      family = line.substr(7, line.find(' ', 7) - 7);
      EXPECT_TRUE(declared.insert(family).second) << family << " declared twice";
      continue;
    }
    if (line.starts_with("# TYPE " + family + " ")) continue;
    const std::string name = line.substr(0, line.find_first_of("{ "));
    EXPECT_EQ(name, family) << line;
    ++samples[name];
  }
  return samples;
}

TEST(PrometheusText, FullTablesGiveOneSeriesPerCustomerAndFigure) {
  std::string text;
  AppendPrometheusText(FullTablesSnapshot(), text);
  const auto samples = SamplesPerFamily(text);
  EXPECT_EQ(samples.at("vantor_agent_connected"), 99);
  EXPECT_EQ(samples.at("vantor_agent_messages_total"), 2 * 99);
  EXPECT_EQ(samples.at("vantor_agent_alarm_pending"), 99);
  // Only while the agent is connected: the odd slots.
  EXPECT_EQ(samples.at("vantor_agent_connected_since_seconds"), 50);
  EXPECT_EQ(samples.at("vantor_agent_keepalive_age_seconds"), 50);
  EXPECT_EQ(samples.at("vantor_agent_round_trip_average_seconds"), 50);
  EXPECT_EQ(samples.at("vantor_admissions_total"), static_cast<int>(AdmissionOutcome::kCount));
  EXPECT_EQ(samples.at("vantor_alarms_total"), 4);
  for (const char* line : {"vantor_agent_connected{customer=\"02000002\",slot=\"2\"} 0\n",
                           "vantor_agent_connected_since_seconds{customer=\"99000099\",slot=\"99\"} 1700000099\n",
                           "vantor_agent_messages_total{customer=\"03000003\",slot=\"3\",direction=\"to_mobile\"} 2999\n",
                           "vantor_agent_round_trip_average_seconds{customer=\"01000001\",slot=\"1\"} 0.012\n",
                           "vantor_agent_alarm_pending{customer=\"02000002\",slot=\"2\"} 1\n",
                           "vantor_listener_up{listener=\"wss\"} 0\n",
                           "vantor_relayed_messages_total{direction=\"to_mobile\"} 123455\n",
                           "vantor_events_total{level=\"3\"} 3\n",
                           "# TYPE vantor_relayed_bytes_total counter\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
}

class LabelEscapeTest : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(LabelEscapeTest, EscapesWhatTheFormatAsks) {
  EXPECT_EQ(EscapeLabelValue(GetParam().first), GetParam().second);
  MetricsSnapshot snapshot;
  snapshot.version = GetParam().first;
  std::string text;
  AppendPrometheusText(snapshot, text);
  EXPECT_NE(text.find("vantor_build_info{version=\"" + GetParam().second + "\"} 1\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Values, LabelEscapeTest,
                         ::testing::Values(std::pair{"1.1", "1.1"}, std::pair{"a\"b", "a\\\"b"},
                                           std::pair{"a\\b", "a\\\\b"}, std::pair{"a\nb", "a\\nb"},
                                           std::pair{"\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9"}));

}  // namespace
}  // namespace vantor
