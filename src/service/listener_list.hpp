#pragma once
// The service's listeners in the order they open, and what the start made of them: the status
// line for the service manager and the text of an end when nothing could start.

#include "metrics/metrics_snapshot.hpp"
#include "platform/host/clock.hpp"
#include "service/listener.hpp"

#include <memory>
#include <string>
#include <vector>

namespace vantor {

class ListenerList {
 public:
  void Add(std::unique_ptr<Listener> listener) { listeners_.push_back(std::move(listener)); }

  // Opens every listener in order, each after the previous one has finished.
  asio::awaitable<void> OpenAll();

  // Closes them in the reverse order, the first one opened last, with `gap` between two closes.
  asio::awaitable<void> CloseAll(Clock& clock, std::chrono::milliseconds gap);

  bool anyUp() const { return !up_.empty(); }
  bool anyFailed() const { return !failed_.empty(); }
  // Something should listen, yet nothing does.
  bool noneCouldStart() const { return up_.empty() && !failed_.empty(); }

  // "Listening: WS 127.0.0.1:8080, WSS 127.0.0.1:8443; failed: SNMP 127.0.0.1:161: <reason>";
  // "Listening: none" when nothing is up.
  std::string StatusText() const;
  // "No Listener Could Start (<failed>; <failed>)".
  std::string NoneCouldStartText() const;

  // Each listener by its label, and whether it is up now.
  std::vector<ListenerSample> Samples() const;

 private:
  std::vector<std::unique_ptr<Listener>> listeners_;
  std::vector<std::string> up_;      // reports of the listeners up
  std::vector<std::string> failed_;  // reports of the listeners that failed, with the reason
};

}  // namespace vantor
