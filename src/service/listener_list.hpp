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
  // A listener that serves clients, or one that only watches the service (the monitoring
  // listener): what the watcher makes of its start is reported like the others', but whether
  // the service runs is decided by the serving listeners alone.
  enum class Role { kServes, kWatches };
  void Add(std::unique_ptr<Listener> listener, Role role = Role::kServes) {
    listeners_.push_back({std::move(listener), role});
  }

  // Opens every listener in order, each after the previous one has finished.
  asio::awaitable<void> OpenAll();

  // Closes them in the reverse order, the first one opened last, with `gap` between two closes.
  asio::awaitable<void> CloseAll(Clock& clock, std::chrono::milliseconds gap);

  // Of the serving listeners: one is up; one failed; some should listen, yet none does.
  bool anyUp() const { return servingUp_ > 0; }
  bool anyFailed() const { return servingFailed_ > 0; }
  bool noneCouldStart() const { return servingUp_ == 0 && servingFailed_ > 0; }

  // "Listening: WS 127.0.0.1:8080, WSS 127.0.0.1:8443; failed: SNMP 127.0.0.1:161: <reason>";
  // "Listening: none" when nothing is up.
  std::string StatusText() const;
  // "No Listener Could Start (<failed>; <failed>)", every failed listener named.
  std::string NoneCouldStartText() const;

  // Each enabled listener by its label, and whether it is up now; one not enabled has no sample.
  std::vector<ListenerSample> Samples() const;

 private:
  struct Entry {
    std::unique_ptr<Listener> listener;
    Role role;
  };
  std::vector<Entry> listeners_;
  std::vector<std::string> up_;      // reports of the listeners up
  std::vector<std::string> failed_;  // reports of the listeners that failed, with the reason
  int servingUp_ = 0;
  int servingFailed_ = 0;
};

}  // namespace vantor
