#include "report.hpp"

#include <cstdio>

namespace vantor::load {

std::string formatReport(const std::string& label, const Snapshot& snap, const Stats& stats) {
  char line[640];
  int n = std::snprintf(
      line, sizeof line,
      "%s elapsed=%.0fs agents=%d/%d mobiles=%d/%d sent=%llu answered=%llu in_flight=%zu "
      "wrong=%llu lost=%llu late=%llu drops=%llu refused=%llu keepalives=%llu echoed=%llu unanswered=%llu "
      "rtt_p50=%.2fms rtt_p99=%.2fms",
      label.c_str(), snap.elapsedSeconds, snap.agentsReady, snap.agents, snap.mobilesReady,
      snap.mobiles, static_cast<unsigned long long>(stats.sent),
      static_cast<unsigned long long>(stats.answered), snap.inFlight,
      static_cast<unsigned long long>(stats.wrong), static_cast<unsigned long long>(stats.lost),
      static_cast<unsigned long long>(stats.late), static_cast<unsigned long long>(stats.drops), static_cast<unsigned long long>(stats.refused),
      static_cast<unsigned long long>(stats.keepAlivesSent),
      static_cast<unsigned long long>(stats.keepAlivesEchoed),
      static_cast<unsigned long long>(stats.keepAlivesUnanswered),
      percentile(stats.roundTripsMs, 0.50), percentile(stats.roundTripsMs, 0.99));
  std::string out(line, static_cast<std::size_t>(n < 0 ? 0 : n));
  if (snap.service) {
    std::snprintf(line, sizeof line, " VmRSS=%ldKiB RssAnon=%ldKiB fds=%ld", snap.service->vmRssKiB,
                  snap.service->rssAnonKiB, snap.service->openFds);
    out += line;
  }
  return out;
}

std::string formatResult(const Measurement& m, const Stats& stats) {
  const double perSecond = m.seconds > 0 ? static_cast<double>(m.answered) / m.seconds : 0.0;
  std::string cpu = "null";
  if (m.serviceCpuSeconds && m.answered > 0) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", *m.serviceCpuSeconds * 1e6 / static_cast<double>(m.answered));
    cpu = text;
  }
  char line[640];
  int n = std::snprintf(
      line, sizeof line,
      "RESULT {\"seconds\": %.3f, \"answered\": %llu, \"per_second\": %.1f, \"p50_us\": %.1f, "
      "\"p99_us\": %.1f, \"service_cpu_us_per_answer\": %s, \"sent\": %llu, \"wrong\": %llu, "
      "\"lost\": %llu, \"late\": %llu, \"drops\": %llu, \"refused\": %llu, \"unanswered\": %llu}",
      m.seconds, static_cast<unsigned long long>(m.answered), perSecond,
      percentile(m.roundTripsMs, 0.50) * 1000, percentile(m.roundTripsMs, 0.99) * 1000, cpu.c_str(),
      static_cast<unsigned long long>(stats.sent), static_cast<unsigned long long>(stats.wrong),
      static_cast<unsigned long long>(stats.lost), static_cast<unsigned long long>(stats.late),
      static_cast<unsigned long long>(stats.drops), static_cast<unsigned long long>(stats.refused),
      static_cast<unsigned long long>(stats.keepAlivesUnanswered));
  return std::string(line, static_cast<std::size_t>(n < 0 ? 0 : n));
}

}  // namespace vantor::load
