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

}  // namespace vantor::load
