#include "metrics/metrics_snapshot.hpp"

#include <algorithm>
#include <chrono>

namespace vantor {

namespace {

double UnixSeconds(SystemTime time) {
  return std::chrono::duration<double>(time.time_since_epoch()).count();
}

AgentSample SampleOf(int slot, const CustomerRecord& r) {
  AgentSample sample;
  sample.slot = slot;
  sample.customer = r.custID;
  sample.connected = r.connected();
  sample.relayedToAgent = r.relayedToAgent;
  sample.relayedToMobile = r.relayedToMobile;
  sample.alarmPending = r.bcaWaitState;
  if (!r.connected()) return sample;
  sample.connectedSinceSeconds = UnixSeconds(r.connStartTime);
  sample.keepAliveAgeSeconds = r.aging;
  if (r.rttCount > 0) sample.roundTripAverageSeconds = r.rttSum / 1000.0 / r.rttCount;
  return sample;
}

void AddServer(MetricsSnapshot& snapshot, const WebSocketServer* server) {
  if (!server) return;
  const WebSocketServerStats stats = server->stats();
  snapshot.opening += stats.opening;
  snapshot.refusedAddressOpening += stats.refusedAddressOpening;
  snapshot.refusedConnectionCap += stats.refusedConnectionCap;
  snapshot.queueHighWaterBytes = std::max(snapshot.queueHighWaterBytes, stats.queueHighWaterBytes);
}

void AddTables(MetricsSnapshot& snapshot, const ConnectionTables& tables) {
  snapshot.agents.reserve(kCustomerSlots);
  for (int slot = 1; slot <= kCustomerSlots; ++slot) {
    const CustomerRecord& r = tables.Customer(slot);
    if (r.connected()) ++snapshot.agentsConnected;
    if (!r.custID.empty()) snapshot.agents.push_back(SampleOf(slot, r));
  }
  for (int slot = 1; slot <= kMobileSlots; ++slot) {
    if (tables.Mobile(slot).connected()) ++snapshot.mobilesConnected;
  }
}

}  // namespace

MetricsSnapshot TakeMetricsSnapshot(const MetricsSources& sources, std::vector<ListenerSample> listeners) {
  MetricsSnapshot snapshot;
  snapshot.version = sources.version;
  snapshot.listeners = std::move(listeners);
  AddTables(snapshot, sources.broker.tables());
  AddServer(snapshot, sources.plain);
  AddServer(snapshot, sources.tls);
  snapshot.broker = sources.broker.counts();
  snapshot.notify = sources.notifier.counts();
  snapshot.dbQueueDepth = sources.writer.pending();
  snapshot.dbRetries = sources.writer.retries();
  snapshot.dbStalls = sources.writer.stalls();
  for (int level = kLevelError; level <= kLevelInfo; ++level) {
    snapshot.events[static_cast<std::size_t>(level)] = sources.events.eventCount(level);
  }
  snapshot.snmp = sources.snmp.counts();
  snapshot.process = ReadProcessStats();
  return snapshot;
}

}  // namespace vantor
