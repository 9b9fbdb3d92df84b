#pragma once
// A broker with a real database of customers, both servers faked, and a fake clock. Agent pass
// pinning is off unless a test switches it on.

#include "broker/broker.hpp"
#include "core/text_fields.hpp"
#include "fakes/fake_clock.hpp"
#include "fakes/fake_websocket_server.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

namespace vantor::testing {

class BrokerTest : public ::testing::Test {
 protected:
  BrokerTest()
      : clock_(LocalTimePoint(2026, 4, 1, 10, 0, 0)),
        log_(clock_, dir_.path()),
        broker_(BrokerContext{clock_, log_, dir_.path(), debug_,
                              [this](std::string id, std::string payload) -> asio::awaitable<bool> {
                                if (!storeReceivers_) co_return false;
                                saved_.push_back(id + "|" + payload);
                                co_return true;
                              },
                              [](std::int16_t kaInterval) { return std::chrono::milliseconds(kaInterval * 1000 + 7); },
                              [this](DbWrite write) -> asio::awaitable<bool> {
                                dir_.Sql(write.sql, write.params);
                                co_return true;
                              }}),
        ws_(broker_.plainEvents()),
        wss_(broker_.tlsEvents()) {
    broker_.AttachServers(&ws_, &wss_);
    // The tests of admission as it was before pinning run without it; those of pinning switch it on.
    dir_.Sql("UPDATE General_Settings SET PinAgentPass = 0");
    dir_.Sql("INSERT INTO Customer (CustID, Enabled, Company) VALUES "
             "('01000001', 1, 'Alpha Ltd'), ('02000002', 1, 'Beta Ltd'), ('03000003', 0, 'Gamma Ltd')");
    Run(broker_.CustTableInit());
  }

  template <typename Awaitable>
  void Run(Awaitable a) {
    RunToEnd(io_, std::move(a));
  }

  // Connects and returns the first message the client got.
  std::string Connect(FakeWebSocketServer& server, ConnectionId id, const std::string& uri,
                      const std::string& headers = "User-Agent: test") {
    const auto before = server.sent.size();
    Run(server.Connect(id, uri, "10.0.0." + std::to_string(id), headers));
    return server.sent.size() > before ? server.sent.back().text : "";
  }
  void Receive(FakeWebSocketServer& server, ConnectionId id, const std::string& text) {
    Run(server.Receive(id, text));
  }
  std::vector<FakeWebSocketServer::Sent> TakeSent(FakeWebSocketServer& server) {
    auto sent = std::move(server.sent);
    server.sent.clear();
    return sent;
  }
  std::string Events() { return ReadFile(dir_.path() / "Debug" / "AppEvent.txt"); }
  bool Reload() {
    bool reloaded = false;
    Run([&]() -> asio::awaitable<void> { reloaded = co_await broker_.CustTableUpdate(); }());
    return reloaded;
  }
  const CustomerRecord& Customer(int slot) { return broker_.tables().Customer(slot); }
  const MobileRecord& Mobile(int slot) { return broker_.tables().Mobile(slot); }
  ConnectionTables& Tables() { return broker_.tables(); }

  TempProgramDir dir_;
  asio::io_context io_;
  FakeClock clock_;
  AppEventLog log_;
  bool debug_ = false;
  std::vector<std::string> saved_;
  bool storeReceivers_ = true;  // false: the receiver store fails every save
  Broker broker_;
  FakeWebSocketServer ws_;
  FakeWebSocketServer wss_;
};

using Sent = FakeWebSocketServer::Sent;

}  // namespace vantor::testing
