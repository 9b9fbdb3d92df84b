#pragma once
// A metrics snapshot of full tables, for the exposition's tests and benchmark: 99 customers, the
// odd slots' agents connected, 50 mobiles, every counter set to a value of its own.

#include "metrics/metrics_snapshot.hpp"

#include <fmt/format.h>

namespace vantor::testing {

inline MetricsSnapshot FullTablesSnapshot() {
  MetricsSnapshot s;
  s.version = "1.1";
  s.listeners = {{"snmp", true}, {"ws", true}, {"wss", false}, {"metrics", true}};
  for (int slot = 1; slot <= kCustomerSlots; ++slot) {
    AgentSample a;
    a.slot = slot;
    a.customer = fmt::format("{:02d}{:06d}", slot, slot);
    a.connected = slot % 2 == 1;
    a.connectedSinceSeconds = a.connected ? 1.7e9 + slot : 0;
    a.relayedToAgent = 1000u * static_cast<unsigned>(slot);
    a.relayedToMobile = a.relayedToAgent - 1;
    if (a.connected) a.roundTripAverageSeconds = 0.012;
    a.keepAliveAgeSeconds = a.connected ? 30 : 0;
    a.alarmPending = slot == 2;
    s.agents.push_back(a);
  }
  s.agentsConnected = 50;
  s.mobilesConnected = 50;
  s.broker.relayedMessages = {123456, 123455};
  s.events = {0, 1, 2, 3};
  return s;
}

}  // namespace vantor::testing
