#pragma once
// A broker for fuzz targets, built afresh for every input on one program directory: a database
// with three customers (01000001 and 02000002 enabled, 03000003 disabled), the unit tests' fake
// servers and clock, and an alarm receiver store that only splits the payload (writing it to disk
// would cost a commit per message). Sends are checked as they happen: every message goes to an
// open connection, and relayed text only to the connection its header names.

#include "broker/broker.hpp"
#include "core/text_fields.hpp"
#include "fakes/fake_clock.hpp"
#include "fakes/fake_websocket_server.hpp"
#include "fuzz_check.hpp"
#include "notify/alarm_receiver_store.hpp"
#include "test_support.hpp"

#include <boost/asio/co_spawn.hpp>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>

namespace vantor::fuzzing {

using testing::FakeClock;
using testing::FakeWebSocketServer;

class BrokerHarness {
 public:
  static constexpr std::array<const char*, 3> kCustIDs{"01000001", "02000002", "03000003"};

  BrokerHarness() : clock_(testing::LocalTimePoint(2026, 4, 1, 10, 0, 0)), log_(clock_, dir_.path()) {
    dir_.Sql("INSERT INTO Customer (CustID, Enabled, Company) VALUES "
             "('01000001', 1, 'Alpha Ltd'), ('02000002', 1, 'Beta Ltd'), ('03000003', 0, 'Gamma Ltd')");
    Reset();
    for (int c = 1; c <= kCustomerSlots; ++c) pristine_[c] = broker_->tables().Customer(c);
    for (int c = 1; c <= 3; ++c) Check(pristine_[c].custID == kCustIDs[c - 1]);
  }

  // A new broker with the customer table as loaded, no connections and empty log folders.
  void Reset() {
    for (const char* folder : {"Debug", "Log", "KeepAlive"}) {
      for (const auto& entry : std::filesystem::directory_iterator(dir_.path() / folder)) {
        std::filesystem::remove(entry.path());
      }
    }
    debug_ = false;
    clock_.Set(testing::LocalTimePoint(2026, 4, 1, 10, 0, 0));
    plain_.reset();
    tls_.reset();
    broker_ = std::make_unique<Broker>(BrokerContext{
        clock_, log_, dir_.path(), debug_, [this](std::string id, std::string payload) { return Save(id, payload); },
        {}, {}});
    // Every client comes from one address and the clock stands still: with the refusal limit,
    // an input's later opens would all be refused at the accept, hiding admission from the fuzzer.
    broker_->ConfigureAdmissionLimits({65535, std::chrono::seconds(60), std::chrono::seconds(60)}, {});
    plain_ = std::make_unique<FakeWebSocketServer>(broker_->plainEvents());
    tls_ = std::make_unique<FakeWebSocketServer>(broker_->tlsEvents());
    for (ServerIndex server : {ServerIndex::kPlain, ServerIndex::kTls}) {
      Server(server).onSend = [this, server](ConnectionId id, const std::string& text) {
        Check(Server(server).IsOpen(id));  // the broker sends only to connections it has been told are open
        CheckRouting({server, id}, text);
      };
    }
    broker_->AttachServers(plain_.get(), tls_.get());
    if (pristine_[1].custID.empty()) {
      testing::RunToEnd(io_, broker_->CustTableInit());
      return;
    }
    for (int c = 1; c <= 3; ++c) {
      broker_->tables().LoadCustomer(c, pristine_[c].enabled, pristine_[c].custID, pristine_[c].company);
    }
  }

  // Account fields never change through messages; no two records hold one connection; every
  // held connection is open.
  void CheckTables() {
    auto& tables = broker_->tables();
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

  FakeWebSocketServer& Server(ServerIndex server) { return server == ServerIndex::kPlain ? *plain_ : *tls_; }
  Broker& broker() { return *broker_; }
  asio::io_context& io() { return io_; }
  bool& debug() { return debug_; }
  const std::filesystem::path& programDir() const { return dir_.path(); }

 private:
  asio::awaitable<bool> Save(std::string custID, std::string payload) {
    // The receiver's fields, joined again by their TABs, are the payload.
    if (auto r = SplitReceiverPayload(payload)) {
      Check(r->name.find('\t') == std::string::npos && r->userKey.find('\t') == std::string::npos);
      Check(r->name + '\t' + r->type + '\t' + r->userKey + '\t' + r->device + '\t' + r->mailAddress == payload);
    }
    Check(custID.size() <= 8);
    co_await clock_.Wait(std::chrono::milliseconds(1));  // a commit suspends the handler
    co_return SplitReceiverPayload(payload).has_value();
  }

  // What each kind of message may reach: a request only the agent of the customer it names, an
  // answer only the mobile slot it names, a keep-alive echo only the agent that sent it.
  void CheckRouting(ConnectionRef c, const std::string& text) {
    Check(text.size() >= 2);
    auto& tables = broker_->tables();
    const std::string_view head = std::string_view(text).substr(0, 2);
    if (head == "DM" || head == "CA") {
      bool agent = false;
      for (int c = 1; c <= kCustomerSlots; ++c) {
        agent |= tables.Customer(c).HoldsConnection(c) && tables.Customer(c).custID == Mid(text, 3, 8);
      }
      Check(agent);
    } else if (head == "DA") {
      const auto slot = ParseNumber(Mid(text, 11, 3));
      Check(slot && *slot >= 1 && *slot <= kMobileSlots);
      const MobileRecord& mobile = tables.Mobile(static_cast<int>(RoundHalfEven(*slot)));
      Check(mobile.HoldsConnection(c) && mobile.custID == Mid(text, 3, 8));
    } else {
      Check(head == "CW" && text.size() >= 13);
    }
  }

  testing::TempProgramDir dir_;
  asio::io_context io_;
  FakeClock clock_;
  AppEventLog log_;
  bool debug_ = false;
  std::array<CustomerRecord, kCustomerSlots + 1> pristine_{};
  std::unique_ptr<Broker> broker_;
  std::unique_ptr<FakeWebSocketServer> plain_;
  std::unique_ptr<FakeWebSocketServer> tls_;
};

}  // namespace vantor::fuzzing
