#pragma once
// The monitoring listener's status page: one self-contained HTML document (inline style, an inline
// SVG chart, no script and no external asset, so it works offline and under a strict content
// security policy) that reloads itself every few seconds. Every text that comes from a peer, the
// customer table or the event log is HTML-escaped.
//
// StatusPageView holds plain copies of what the page shows; BuildStatusPageView fills it from the
// same tables the SNMP objects and the metrics read, so the page, `vantor-console connections` and
// /metrics agree. Both functions run on the service's thread and do not throw except on
// allocation failure.

#include "core/tables.hpp"
#include "metrics/metrics_snapshot.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantor {

struct StatusPageView {
  // What the page shows of any connection.
  struct Connection {
    int slot = 0;
    std::string customer, company, kind, address, since;
    std::int64_t sent = 0, received = 0;
  };
  struct Agent : Connection {
    std::optional<double> roundTripMs;     // none before the first keep-alive round trip
    std::int64_t keepAliveAgeSeconds = 0;  // as supervision counts it, in its steps
    bool alarmPending = false;
  };
  struct Mobile : Connection {
    std::string version;
  };

  std::string version;
  std::string now;  // local date-time of the page
  std::int64_t uptimeSeconds = 0;
  std::vector<ListenerSample> listeners;
  std::vector<Agent> agents;
  std::vector<Mobile> mobiles;
  std::vector<std::string> recentEvents;  // newest last
  std::vector<double> relayedPerSecond;   // oldest first, one figure per chart slot
  int chartSlotSeconds = 10;
};

// The connected agents and mobiles of `tables`, as the SNMP objects show them.
void AddConnections(const ConnectionTables& tables, StatusPageView& view);

// The whole page.
std::string RenderStatusPage(const StatusPageView& view);

// `text` with & < > " ' replaced by character references.
std::string EscapeHtml(std::string_view text);

}  // namespace vantor
