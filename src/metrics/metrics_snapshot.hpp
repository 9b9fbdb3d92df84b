#pragma once
// The service's figures at one moment, as plain values: what a monitoring scrape renders, and
// what a status page can show from the same numbers. Taking one reads the counters of the
// subsystems and the connection tables in memory and /proc/self; never the database.
//
// Taken on the event thread, like everything it reads.

#include "broker/broker.hpp"
#include "logging/app_event.hpp"
#include "notify/notifier.hpp"
#include "platform/db/database_writer.hpp"
#include "platform/host/process_stats.hpp"
#include "platform/net/websocket_server.hpp"
#include "snmp/snmp_runtime.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vantor {

struct ListenerSample {
  std::string name;  // "ws", "wss", "snmp", "metrics"
  bool up = false;
};

// One customer of the customer table, by slot.
struct AgentSample {
  int slot = 0;
  std::string customer;  // the customer id
  bool connected = false;
  double connectedSinceSeconds = 0;  // Unix time; meaningful while connected
  std::uint64_t relayedToAgent = 0;
  std::uint64_t relayedToMobile = 0;
  std::optional<double> roundTripAverageSeconds;  // while connected, once a sample came this hour
  double keepAliveAgeSeconds = 0;                 // the silence supervision counted; while connected
  bool alarmPending = false;
};

struct MetricsSnapshot {
  std::string version;
  std::vector<ListenerSample> listeners;
  int agentsConnected = 0;
  int mobilesConnected = 0;
  std::size_t opening = 0;  // connections of both servers still opening
  int agentCapacity = kCustomerSlots;
  int mobileCapacity = kMobileSlots;
  std::vector<AgentSample> agents;
  BrokerCounts broker;
  std::uint64_t refusedAddressOpening = 0;  // both servers
  std::uint64_t refusedConnectionCap = 0;
  std::size_t queueHighWaterBytes = 0;      // the larger of both servers'
  NotifyCounts notify;
  std::size_t dbQueueDepth = 0;
  std::uint64_t dbRetries = 0;
  std::uint64_t dbStalls = 0;
  std::array<std::uint64_t, kLevelInfo + 1> events{};  // index: level 1 to 3
  SnmpCounts snmp;
  ProcessStats process;
};

// What a snapshot is taken from; every reference outlives the call. A server may be null.
struct MetricsSources {
  std::string_view version;
  const Broker& broker;
  const WebSocketServer* plain;
  const WebSocketServer* tls;
  const Notifier& notifier;
  const AppEventLog& events;
  const DatabaseWriter& writer;
  const SnmpRuntime& snmp;
};

// `listeners` are the service's own; the rest comes from the sources.
MetricsSnapshot TakeMetricsSnapshot(const MetricsSources& sources, std::vector<ListenerSample> listeners);

}  // namespace vantor
