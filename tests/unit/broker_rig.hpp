#pragma once
// A broker over a program directory with three customers (01000001 Alpha Ltd and 02000002 Beta
// Ltd enabled, 03000003 Gamma Ltd disabled), both servers faked, and a fake clock; without a test
// framework, so that the unit tests (broker_fixture.hpp) and the fuzz targets build the same one.

#include "broker/broker.hpp"
#include "core/text_fields.hpp"
#include "fakes/fake_clock.hpp"
#include "fakes/fake_websocket_server.hpp"
#include "test_support.hpp"

namespace vantor::testing {

struct SeededProgramDir {
  SeededProgramDir() {
    dir_.Sql("INSERT INTO Customer (CustID, Enabled, Company) VALUES "
             "('01000001', 1, 'Alpha Ltd'), ('02000002', 1, 'Beta Ltd'), ('03000003', 0, 'Gamma Ltd')");
  }
  TempProgramDir dir_;
};

// The customer table is not loaded yet: the owner runs CustTableInit once the database is set.
class BrokerRig {
 public:
  using SaveReceiver = std::function<asio::awaitable<bool>(std::string, std::string)>;

  // `save` stores an agent's alarm receiver; empty: every one is recorded in saved_, or refused
  // while storeReceivers_ is false. The unit tests' idle limit and table writes come with it.
  explicit BrokerRig(const TempProgramDir& dir, SaveReceiver save = {})
      : clock_(LocalTimePoint(2026, 4, 1, 10, 0, 0)),
        log_(clock_, dir.path()),
        rigDir_(dir),
        broker_(Context(std::move(save))),
        ws_(broker_.plainEvents()),
        wss_(broker_.tlsEvents()) {
    broker_.AttachServers(&ws_, &wss_);
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
  std::string Events() { return ReadFile(rigDir_.path() / "Debug" / "AppEvent.txt"); }
  bool Reload() {
    bool reloaded = false;
    Run([&]() -> asio::awaitable<void> { reloaded = co_await broker_.CustTableUpdate(); }());
    return reloaded;
  }
  const CustomerRecord& Customer(int slot) { return broker_.tables().Customer(slot); }
  const MobileRecord& Mobile(int slot) { return broker_.tables().Mobile(slot); }
  ConnectionTables& Tables() { return broker_.tables(); }

  asio::io_context io_;
  FakeClock clock_;
  AppEventLog log_;
  const TempProgramDir& rigDir_;
  bool debug_ = false;
  std::vector<std::string> saved_;
  bool storeReceivers_ = true;  // false: the receiver store fails every save
  Broker broker_;
  FakeWebSocketServer ws_;
  FakeWebSocketServer wss_;

 private:
  BrokerContext Context(SaveReceiver save) {
    if (save) return BrokerContext{clock_, log_, rigDir_.path(), debug_, std::move(save), {}, {}};
    return BrokerContext{
        clock_, log_, rigDir_.path(), debug_,
        [this](std::string id, std::string payload) -> asio::awaitable<bool> {
          if (!storeReceivers_) co_return false;
          saved_.push_back(id + "|" + payload);
          co_return true;
        },
        [](std::int16_t kaInterval) { return std::chrono::milliseconds(kaInterval * 1000 + 7); },
        [this](DbWrite write) -> asio::awaitable<bool> {
          rigDir_.Sql(write.sql, write.params);
          co_return true;
        }};
  }
};

using Sent = FakeWebSocketServer::Sent;

}  // namespace vantor::testing
