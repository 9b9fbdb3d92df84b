// The fake server must behave like the real one where the service depends on it: events in
// order, sends and disconnects refused for connections that are not open.

#include "fakes/fake_websocket_server.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>

#include <gtest/gtest.h>

namespace vantor::testing {
namespace {

struct RecordingEvents : WebSocketEvents {
  std::vector<std::string> log;
  bool refuseUpgrade = false;
  WebSocketServer* server = nullptr;

  asio::awaitable<void> OnConnectionRequest(std::string address, int, bool&) override {
    log.push_back("request " + address);
    co_return;
  }
  asio::awaitable<void> OnOpenRequest(OpenRequest& r) override {
    log.push_back("open " + std::to_string(r.id) + " " + r.uri);
    if (refuseUpgrade) r.statusCode = 403;
    co_return;
  }
  asio::awaitable<void> OnConnected(ConnectionId id) override {
    log.push_back("connected " + std::to_string(id));
    server->Send(id, "first");
    co_return;
  }
  asio::awaitable<void> OnDataIn(ConnectionId id, std::string text) override {
    log.push_back("data " + std::to_string(id) + " " + text);
    co_return;
  }
  asio::awaitable<void> OnDisconnected(ConnectionId id, int code, std::string) override {
    log.push_back("disconnected " + std::to_string(id) + " " + std::to_string(code));
    co_return;
  }
  asio::awaitable<void> OnError(ConnectionId, int, std::string) override { co_return; }
  asio::awaitable<void> OnSslStatus(ConnectionId, std::string) override { co_return; }
};

void RunOn(asio::io_context& io, asio::awaitable<void> work) {
  asio::co_spawn(io, std::move(work), asio::detached);
  io.run();
  io.restart();
}

TEST(FakeWebSocketServer, RaisesEventsInOrderAndRefusesClosedConnections) {
  asio::io_context io;
  RecordingEvents events;
  FakeWebSocketServer fake(events);
  events.server = &fake;

  RunOn(io, [&]() -> asio::awaitable<void> {
    co_await fake.Connect(7, "/agt?x", "10.0.0.9");
    co_await fake.Receive(7, "hello");
  }());
  EXPECT_EQ(events.log, (std::vector<std::string>{"request 10.0.0.9", "open 7 /agt?x", "connected 7", "data 7 hello"}));
  EXPECT_EQ(fake.sent, (std::vector<FakeWebSocketServer::Sent>{{7, "first"}}));
  EXPECT_EQ(fake.RemoteAddress(7), "10.0.0.9");

  EXPECT_TRUE(fake.Disconnect(7));
  EXPECT_FALSE(fake.Disconnect(7));
  EXPECT_FALSE(fake.Send(7, "late"));
  RunOn(io, fake.Close(7, kClosedByServer));
  EXPECT_EQ(events.log.back(), "disconnected 7 4000");
  EXPECT_EQ(fake.RemoteAddress(7), std::nullopt);

  events.refuseUpgrade = true;
  RunOn(io, [&]() -> asio::awaitable<void> { co_await fake.Connect(8, "/mob?y"); }());
  EXPECT_EQ(events.log.back(), "disconnected 8 1006");
  EXPECT_FALSE(fake.IsOpen(8));
}

}  // namespace
}  // namespace vantor::testing
