#include "service/status_page.hpp"

#include "logging/timestamp.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <iterator>

namespace vantor {
namespace {

// Seconds between the page's own reloads.
constexpr int kReloadSeconds = 5;

constexpr std::string_view kStyle =
    "body{font:14px system-ui,sans-serif;margin:1.5em;color:#222}"
    "h1{font-size:1.4em}h2{font-size:1.1em;margin-top:1.6em}"
    "table{border-collapse:collapse}th,td{padding:2px 8px;border-bottom:1px solid #ddd;text-align:left}"
    "td.n{text-align:right}.up{color:#176317}.down{color:#b00020;font-weight:bold}"
    "pre{background:#f6f6f6;padding:6px;white-space:pre-wrap}svg{background:#fafafa;border:1px solid #ddd}";

void AppendCell(std::string& out, std::string_view text, bool number = false) {
  out += number ? "<td class=\"n\">" : "<td>";
  out += EscapeHtml(text);
  out += "</td>";
}

void AppendHeader(std::string& out, std::initializer_list<std::string_view> names) {
  out += "<tr>";
  for (auto name : names) fmt::format_to(std::back_inserter(out), "<th>{}</th>", name);
  out += "</tr>";
}

std::string Uptime(std::int64_t seconds) {
  return fmt::format("{}d {:02}:{:02}:{:02}", seconds / 86400, seconds / 3600 % 24, seconds / 60 % 60, seconds % 60);
}

void AppendListeners(std::string& out, const StatusPageView& view) {
  out += "<h2>Listeners</h2><table>";
  AppendHeader(out, {"Listener", "State"});
  for (const auto& l : view.listeners) {
    out += "<tr>";
    AppendCell(out, l.name);
    out += l.up ? "<td class=\"up\">up</td>" : "<td class=\"down\">down</td>";
    out += "</tr>";
  }
  out += "</table>";
}

// The cells every connection has, from the slot to the messages received.
void AppendConnectionCells(std::string& out, const StatusPageView::Connection& c) {
  AppendCell(out, std::to_string(c.slot), true);
  AppendCell(out, c.customer);
  AppendCell(out, c.company);
  AppendCell(out, c.kind);
  AppendCell(out, c.address);
  AppendCell(out, c.since);
  AppendCell(out, std::to_string(c.sent), true);
  AppendCell(out, std::to_string(c.received), true);
}

void AppendAgents(std::string& out, const StatusPageView& view) {
  fmt::format_to(std::back_inserter(out), "<h2>Agents ({})</h2><table id=\"agents\">", view.agents.size());
  AppendHeader(out, {"Slot", "Customer", "Company", "Kind", "Address", "Since", "Sent", "Received", "RTT ms",
                     "Keep-alive age s", "Alarm pending"});
  for (const auto& a : view.agents) {
    out += "<tr>";
    AppendConnectionCells(out, a);
    AppendCell(out, a.roundTripMs ? fmt::format("{:.1f}", *a.roundTripMs) : "-", true);
    AppendCell(out, std::to_string(a.keepAliveAgeSeconds), true);
    AppendCell(out, a.alarmPending ? "yes" : "no");
    out += "</tr>";
  }
  out += "</table>";
}

void AppendMobiles(std::string& out, const StatusPageView& view) {
  fmt::format_to(std::back_inserter(out), "<h2>Mobiles ({})</h2><table id=\"mobiles\">", view.mobiles.size());
  AppendHeader(out, {"Slot", "Customer", "Company", "Kind", "Address", "Since", "Sent", "Received", "Version"});
  for (const auto& m : view.mobiles) {
    out += "<tr>";
    AppendConnectionCells(out, m);
    AppendCell(out, m.version);
    out += "</tr>";
  }
  out += "</table>";
}

// A bar per sampling slot of the relayed messages per second, newest at the right, scaled to the
// largest figure.
void AppendChart(std::string& out, const StatusPageView& view) {
  constexpr int kWidth = 720, kHeight = 160, kTop = 20;
  const auto& rates = view.relayedPerSecond;
  const double top = std::max(1.0, rates.empty() ? 0.0 : *std::max_element(rates.begin(), rates.end()));
  fmt::format_to(std::back_inserter(out),
                 "<h2>Relayed messages per second, last hour</h2><svg id=\"relay-chart\" width=\"{0}\" "
                 "height=\"{1}\" viewBox=\"0 0 {0} {1}\" role=\"img\" aria-label=\"relayed messages per second\">"
                 "<text x=\"4\" y=\"14\" font-size=\"12\">{2}</text>",
                 kWidth, kTop + kHeight, rates.empty() ? std::string("no figure yet") : fmt::format("{:.1f}/s", top));
  const std::size_t slots = std::max<std::size_t>(3600 / std::max(1, view.chartSlotSeconds), 1);
  const double width = static_cast<double>(kWidth) / static_cast<double>(slots);
  const std::size_t shown = std::min(rates.size(), slots);
  for (std::size_t i = 0; i < shown; ++i) {
    const double rate = rates[rates.size() - shown + i];
    const double height = rate / top * kHeight;
    fmt::format_to(std::back_inserter(out),
                   "<rect class=\"slot\" x=\"{:.1f}\" y=\"{:.1f}\" width=\"{:.1f}\" height=\"{:.1f}\" "
                   "fill=\"#1f5fa8\"><title>{:.1f}/s</title></rect>",
                   static_cast<double>(slots - shown + i) * width, kTop + kHeight - height, width, height, rate);
  }
  out += "</svg>";
}

void AppendEvents(std::string& out, const StatusPageView& view) {
  fmt::format_to(std::back_inserter(out), "<h2>Last {} events</h2><pre id=\"events\">", view.recentEvents.size());
  for (const auto& line : view.recentEvents) {
    out += EscapeHtml(line);
    out += '\n';
  }
  out += "</pre>";
}

}  // namespace

std::string EscapeHtml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

namespace {

StatusPageView::Connection ConnectionOf(int slot, const ConnectionFields& r) {
  return {slot, r.custID, r.company, std::string(r.connType()), r.connIpAddr, FormatDateTime(r.connStartTime),
          r.pktSent, r.pktRecv};
}

}  // namespace

void AddConnections(const ConnectionTables& tables, StatusPageView& view) {
  for (int slot = 1; slot <= kCustomerSlots; ++slot) {
    const CustomerRecord& r = tables.Customer(slot);
    if (!r.connected()) continue;
    StatusPageView::Agent a{ConnectionOf(slot, r), std::nullopt, r.aging, r.bcaWaitState};
    if (r.rttCount > 0) a.roundTripMs = static_cast<double>(r.rttSum) / r.rttCount;
    view.agents.push_back(std::move(a));
  }
  for (int slot = 1; slot <= kMobileSlots; ++slot) {
    const MobileRecord& r = tables.Mobile(slot);
    if (!r.connected()) continue;
    view.mobiles.push_back({ConnectionOf(slot, r), r.version});
  }
}

std::string RenderStatusPage(const StatusPageView& view) {
  std::string out;
  out.reserve(16 * 1024 + 256 * (view.agents.size() + view.mobiles.size()));
  fmt::format_to(std::back_inserter(out),
                 "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">"
                 "<meta http-equiv=\"refresh\" content=\"{}\"><link rel=\"icon\" href=\"data:,\"><title>Vantor Web status</title><style>{}</style>"
                 "</head><body><h1>Vantor Web {}</h1><p>{} &middot; up {}</p>",
                 kReloadSeconds, kStyle, EscapeHtml(view.version), EscapeHtml(view.now), Uptime(view.uptimeSeconds));
  AppendListeners(out, view);
  AppendAgents(out, view);
  AppendMobiles(out, view);
  AppendChart(out, view);
  AppendEvents(out, view);
  out += "</body></html>\n";
  return out;
}

}  // namespace vantor
