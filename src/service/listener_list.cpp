#include "service/listener_list.hpp"

#include "core/pause.hpp"

namespace vantor {
namespace {

std::string Join(const std::vector<std::string>& parts, std::string_view separator) {
  std::string out;
  for (const auto& part : parts) out += (out.empty() ? "" : std::string(separator)) + part;
  return out;
}

}  // namespace

asio::awaitable<void> ListenerList::OpenAll() {
  for (auto& [listener, role] : listeners_) {
    const Listener::State state = co_await listener->Open();
    const bool serves = role == Role::kServes;
    if (state == Listener::State::kUp) {
      up_.push_back(listener->report());
      servingUp_ += serves ? 1 : 0;
    }
    if (state == Listener::State::kFailed) {
      failed_.push_back(listener->report());
      servingFailed_ += serves ? 1 : 0;
    }
  }
}

asio::awaitable<void> ListenerList::CloseAll(Clock& clock, std::chrono::milliseconds gap) {
  for (auto it = listeners_.rbegin(); it != listeners_.rend(); ++it) {
    if (it != listeners_.rbegin()) co_await PauseMs(clock, static_cast<int>(gap.count()));
    co_await it->listener->Close();
  }
}

std::string ListenerList::StatusText() const {
  std::string status = "Listening: " + (up_.empty() ? std::string("none") : Join(up_, ", "));
  if (!failed_.empty()) status += "; failed: " + Join(failed_, ", ");
  return status;
}

std::string ListenerList::NoneCouldStartText() const { return "No Listener Could Start (" + Join(failed_, "; ") + ")"; }

std::vector<ListenerSample> ListenerList::Samples() const {
  std::vector<ListenerSample> samples;
  samples.reserve(listeners_.size());
  for (const auto& entry : listeners_) {
    if (entry.listener->enabled()) samples.push_back({entry.listener->label(), entry.listener->up()});
  }
  return samples;
}

}  // namespace vantor
