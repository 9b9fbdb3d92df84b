#pragma once
// The whole service built on fakes: both WebSocket servers, the SNMP agent, the HTTPS and SMTP
// clients, the service host and the clock. The database is real, in a temporary directory.

#include "fakes/fake_clock.hpp"
#include "fakes/fake_https_client.hpp"
#include "fakes/fake_service_host.hpp"
#include "fakes/fake_smtp_client.hpp"
#include "fakes/fake_snmp_agent.hpp"
#include "fakes/fake_websocket_server.hpp"
#include "service/service.hpp"
#include "test_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace vantor::testing {

class ServiceTest : public ::testing::Test {
 protected:
  // The monitoring listener is a real HTTP server, which the integration tests drive; here it
  // stays off, so that the event loop runs dry.
  ServiceTest() : clock_(LocalTimePoint(2026, 5, 4, 13, 59, 58)) { dir_.Sql("UPDATE General_Settings SET MetricsEnabled = 0"); }

  // Built on first use, so a test can change the database before the service reads it.
  Service& service() {
    if (!service_) {
      ServiceComponents components;
      components.makeWebSocketServer = [this](WebSocketEvents& events) -> std::unique_ptr<WebSocketServer> {
        auto server = std::make_unique<FakeWebSocketServer>(events);
        (ws_ ? wss_ : ws_) = server.get();
        return server;
      };
      components.snmpAgent = std::make_unique<FakeSnmpAgent>();
      snmp_ = static_cast<FakeSnmpAgent*>(components.snmpAgent.get());
      components.https = std::make_unique<FakeHttpsClient>();
      components.smtp = std::make_unique<FakeSmtpClient>();
      components.tickInterval = std::chrono::milliseconds::zero();  // ticks are run by the tests
      components.certRoots = CertStoreRoots{dir_.path() / "Cert", dir_.path() / "ComputerCert"};
      service_ = std::make_unique<Service>(io_, clock_, pool_, host_, dir_.path(), std::move(components));
      service_->OnStopped([&] { ++stopped_; });
    }
    return *service_;
  }

  // Runs every ready handler, then lets the database writer finish what they queued.
  void Run() {
    io_.run();
    io_.restart();
    if (!service_) return;
    bool idle = false;
    RunToEnd(io_, [&]() -> asio::awaitable<void> {
      idle = co_await service_->databaseWriter().WhenIdle(std::chrono::seconds(10));
    }());
    EXPECT_TRUE(idle);
  }
  void Start() {
    service().PostState(kStateStart);
    Run();
  }

  // The event texts of Debug/AppEvent.txt without their timestamps.
  std::vector<std::string> Events() const { return EventLines(dir_.path() / "Debug" / "AppEvent.txt"); }
  // A text column of the settings row (a test error when it holds no text).
  std::string Setting(const std::string& column) const { return std::get<std::string>(dir_.SettingValue(column)); }

  TempProgramDir dir_;
  asio::io_context io_;
  FakeClock clock_;
  WorkerPool pool_{1};
  FakeServiceHost host_;
  FakeWebSocketServer* ws_ = nullptr;
  FakeWebSocketServer* wss_ = nullptr;
  FakeSnmpAgent* snmp_ = nullptr;
  std::unique_ptr<Service> service_;
  int stopped_ = 0;
};

}  // namespace vantor::testing
