#pragma once
// A broker for fuzz targets, built afresh for every input on one program directory: the unit
// tests' broker (broker_rig.hpp) with an alarm receiver store that only splits the payload
// (writing it to disk would cost a commit per message). Sends are checked as they happen: every
// message goes to an open connection, and relayed text only to the connection its header names.

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
  static constexpr std::array<const char*, 3> kCustIDs{"01000001", "02000002", "03000003"};

  BrokerHarness() {
    Reset();
    for (int c = 1; c <= 3; ++c) Check(rig_->Customer(c).custID == kCustIDs[c - 1]);
  }

  // A new broker with the customer table loaded, no connections and empty log folders.
  void Reset() {
    for (const char* folder : {"Debug", "Log", "KeepAlive"}) {
      for (const auto& entry : std::filesystem::directory_iterator(seeded_.dir_.path() / folder)) {
        std::filesystem::remove(entry.path());
      }
    }
    rig_.reset();
    rig_.emplace(seeded_.dir_, [this](std::string id, std::string payload) { return Save(id, payload); });
    // Every client comes from one address and the clock stands still: with the refusal limit,
    // an input's later opens would all be refused at the accept, hiding admission from the fuzzer.
    rig_->broker_.ConfigureAdmissionLimits({65535, std::chrono::seconds(60), std::chrono::seconds(60)}, {});
    for (ServerIndex server : {ServerIndex::kPlain, ServerIndex::kTls}) {
      Server(server).onSend = [this, server](ConnectionId id, const std::string& text) {
        Check(Server(server).IsOpen(id));  // the broker sends only to connections it has been told are open
        CheckRouting({server, id}, text);
      };
    }
    rig_->Run(rig_->broker_.CustTableInit());
    if (pristine_[1].custID.empty()) {
      for (int c = 1; c <= kCustomerSlots; ++c) pristine_[c] = rig_->Customer(c);
    }
  }

  // Account fields never change through messages; no two records hold one connection; every
  // held connection is open.
  void CheckTables() {
    const ConnectionTables& tables = rig_->broker_.tables();
    std::vector<ConnectionRef> held;
    for (int c = 1; c <= kCustomerSlots; ++c) {
      const CustomerRecord& r = tables.Customer(c);
      Check(r.custID == pristine_[c].custID && r.company == pristine_[c].company && r.enabled == pristine_[c].enabled);
      if (r.connected()) held.push_back(r.connection);
      Check(r.kaInterval <= 32767 - 30);
    }
    for (int m = 1; m <= kMobileSlots; ++m) {
      const MobileRecord& r = tables.Mobile(m);
      if (!r.connected()) continue;
      held.push_back(r.connection);
      Check(r.custID == kCustIDs[0] || r.custID == kCustIDs[1]);
    }
    std::sort(held.begin(), held.end());
    Check(std::adjacent_find(held.begin(), held.end()) == held.end());
    for (const ConnectionRef& c : held) Check(Server(c.server).IsOpen(c.id));
  }

  FakeWebSocketServer& Server(ServerIndex server) {
    return server == ServerIndex::kPlain ? rig_->ws_ : rig_->wss_;
  }
  Broker& broker() { return rig_->broker_; }
  asio::io_context& io() { return rig_->io_; }
  bool& debug() { return rig_->debug_; }
  const std::filesystem::path& programDir() const { return seeded_.dir_.path(); }

 private:
  asio::awaitable<bool> Save(std::string custID, std::string payload) {
    // The receiver's fields, joined again by their TABs, are the payload.
    if (auto r = SplitReceiverPayload(payload)) {
      Check(r->name.find('\t') == std::string::npos && r->userKey.find('\t') == std::string::npos);
      Check(r->name + '\t' + r->type + '\t' + r->userKey + '\t' + r->device + '\t' + r->mailAddress == payload);
    }
    Check(custID.size() <= 8);
    co_await rig_->clock_.Wait(std::chrono::milliseconds(1));  // a commit suspends the handler
    co_return SplitReceiverPayload(payload).has_value();
  }

  // What each kind of message may reach: a request only the agent of the customer it names, an
  // answer only the mobile slot it names, a keep-alive echo only the agent that sent it.
  void CheckRouting(ConnectionRef to, const std::string& text) {
    Check(text.size() >= 2);
    const ConnectionTables& tables = rig_->broker_.tables();
    const std::string_view head = std::string_view(text).substr(0, 2);
    if (head == "DM" || head == "CA") {
      bool agent = false;
      for (int c = 1; c <= kCustomerSlots; ++c) {
        agent |= tables.Customer(c).HoldsConnection(to) && tables.Customer(c).custID == Mid(text, 3, 8);
      }
      Check(agent);
    } else if (head == "DA") {
      const auto slot = ParseNumber(Mid(text, 11, 3));
      Check(slot && *slot >= 1 && *slot <= kMobileSlots);
      const MobileRecord& mobile = tables.Mobile(static_cast<int>(RoundHalfEven(*slot)));
      Check(mobile.HoldsConnection(to) && mobile.custID == Mid(text, 3, 8));
    } else {
      Check(head == "CW" && text.size() >= 13);
    }
  }

  testing::SeededProgramDir seeded_;
  std::array<CustomerRecord, kCustomerSlots + 1> pristine_{};
  std::optional<testing::BrokerRig> rig_;
};

}  // namespace vantor::fuzzing
