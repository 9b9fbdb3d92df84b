#pragma once
// The unit tests' broker (broker_rig.hpp) for a fuzz target, built afresh for every input on one
// program directory, with an alarm receiver store that keeps nothing (a commit per message would
// be slow). Every send is checked as it happens: only to an open connection, and relayed text
// only to the connection its header names.

#include "broker_rig.hpp"
#include "fuzz_check.hpp"
#include "notify/alarm_receiver_store.hpp"

#include <algorithm>
#include <array>
#include <optional>

namespace vantor::fuzzing {

using testing::FakeWebSocketServer;

class BrokerHarness {
 public:
  BrokerHarness() {
    Reset();
    for (int c = 1; c <= kCustomerSlots; ++c) accounts_[c] = rig_->Customer(c);
  }

  // A new broker with the customer table loaded, no connections and empty log folders.
  void Reset() {
    for (const char* folder : kFolders) {
      for (const auto& entry : std::filesystem::directory_iterator(programDir() / folder)) {
        std::filesystem::remove(entry.path());
      }
    }
    rig_.reset();
    rig_.emplace(seeded_.dir_, [this](std::string, std::string payload) -> asio::awaitable<bool> {
      co_await rig_->clock_.Wait(std::chrono::milliseconds(1));  // a commit suspends the handler
      co_return SplitReceiverPayload(payload).has_value();
    });
    // Every client comes from one address and the clock stands still: with the refusal limit,
    // an input's later opens would all be refused at the accept, hiding admission from the fuzzer.
    rig_->broker_.ConfigureAdmissionLimits({65535, std::chrono::seconds(60), std::chrono::seconds(60)}, {});
    for (ServerIndex server : {ServerIndex::kPlain, ServerIndex::kTls}) {
      Server(server).onSend = [this, server](ConnectionId id, const std::string& text) {
        Check(Server(server).IsOpen(id));
        CheckRouting({server, id}, text);
      };
    }
    rig_->Run(rig_->broker_.CustTableInit());
  }

  // Account fields never change through messages; a mobile belongs to an enabled customer; no
  // two records hold one connection; every held connection is open.
  void CheckTables() {
    std::vector<ConnectionRef> held;
    for (int c = 1; c <= kCustomerSlots; ++c) {
      const CustomerRecord& r = rig_->Customer(c);
      Check(r.custID == accounts_[c].custID && r.company == accounts_[c].company && r.enabled == accounts_[c].enabled);
      Check(r.kaInterval <= 32767 - 30);  // the drop time adds 30 s in 16 bits
      if (r.connected()) held.push_back(r.connection);
    }
    for (int m = 1; m <= kMobileSlots; ++m) {
      const MobileRecord& r = rig_->Mobile(m);
      if (r.connected()) held.push_back(r.connection);
      Check(!r.connected() || EnabledCustomer(r.custID));
    }
    std::sort(held.begin(), held.end());
    Check(std::adjacent_find(held.begin(), held.end()) == held.end());
    for (const ConnectionRef& c : held) Check(Server(c.server).IsOpen(c.id));
  }

  // Every line break in the files the broker wrote is its own CR LF: none came from a client.
  void CheckLineBreaks() {
    for (const char* folder : kFolders) {
      for (const auto& entry : std::filesystem::directory_iterator(programDir() / folder)) {
        const std::string text = testing::ReadFile(entry.path());
        for (std::size_t i = 0; i < text.size(); ++i) {
          if (text.compare(i, 2, "\r\n") == 0) ++i;
          else Check(text[i] != '\r' && text[i] != '\n');
        }
      }
    }
  }

  bool EnabledCustomer(std::string_view custID) const {
    return std::any_of(accounts_.begin() + 1, accounts_.end(),
                       [&](const CustomerRecord& r) { return r.enabled && r.custID == custID; });
  }

  FakeWebSocketServer& Server(ServerIndex server) { return server == ServerIndex::kPlain ? rig_->ws_ : rig_->wss_; }
  WebSocketEvents& Events(ServerIndex server) {
    return server == ServerIndex::kPlain ? broker().plainEvents() : broker().tlsEvents();
  }
  Broker& broker() { return rig_->broker_; }
  asio::io_context& io() { return rig_->io_; }
  bool& debug() { return rig_->debug_; }
  const std::filesystem::path& programDir() const { return seeded_.dir_.path(); }

 private:
  static constexpr const char* kFolders[] = {"Debug", "Log", "KeepAlive"};

  // A request reaches only the agent of the customer it names, an answer only the mobile slot it
  // names, a keep-alive echo only an agent.
  void CheckRouting(ConnectionRef to, const std::string& text) {
    const std::string_view head = std::string_view(text).substr(0, 2);
    if (head == "DM" || head == "CA") {
      bool agent = false;
      for (int c = 1; c <= kCustomerSlots; ++c) {
        agent |= rig_->Customer(c).HoldsConnection(to) && rig_->Customer(c).custID == Mid(text, 3, 8);
      }
      Check(agent);
    } else if (head == "DA") {
      const auto slot = ParseNumber(Mid(text, 11, 3));
      Check(slot && *slot >= 1 && *slot <= kMobileSlots);
      const MobileRecord& mobile = rig_->Mobile(static_cast<int>(RoundHalfEven(*slot)));
      Check(mobile.HoldsConnection(to) && mobile.custID == Mid(text, 3, 8));
    } else {
      Check(head == "CW" && text.size() >= 13);
    }
  }

  testing::SeededProgramDir seeded_;
  std::array<CustomerRecord, kCustomerSlots + 1> accounts_{};
  std::optional<testing::BrokerRig> rig_;
};

}  // namespace vantor::fuzzing
