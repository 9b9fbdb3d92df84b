// The server's operations that need no client: configuration lines, binding, and the answers for
// connections that do not exist. Traffic is covered by the integration tests.

#include "platform/net/beast_websocket_server.hpp"
#include "platform/tls/certificate_manager.hpp"

#include <gtest/gtest.h>

namespace vantor {
namespace {

struct NoEvents : WebSocketEvents {
  asio::awaitable<void> OnConnectionRequest(std::string, int, bool&) override { co_return; }
  asio::awaitable<void> OnOpenRequest(OpenRequest&) override { co_return; }
  asio::awaitable<void> OnConnected(ConnectionId) override { co_return; }
  asio::awaitable<void> OnDataIn(ConnectionId, std::string) override { co_return; }
  asio::awaitable<void> OnDisconnected(ConnectionId, int, std::string) override { co_return; }
  asio::awaitable<void> OnError(ConnectionId, int, std::string) override { co_return; }
  asio::awaitable<void> OnSslStatus(ConnectionId, std::string) override { co_return; }
  asio::awaitable<void> OnConnectionRefused(std::string, std::string) override { co_return; }
};

class WebSocketServerTest : public ::testing::Test {
 protected:
  asio::io_context io_;
  NoEvents events_;
  BeastWebSocketServer server_{io_, events_};
};

TEST_F(WebSocketServerTest, ConfigurationLines) {
  for (const char* good : {"MaxOpeningPerAddress=1", "MaxOpeningPerAddress=65535", "ExemptAddresses=",
                           "ExemptAddresses=127.0.0.1,::1"}) {
    EXPECT_TRUE(server_.Configure(good)) << good;
  }
  for (const char* bad : {"MaxOpeningPerAddress=0", "MaxOpeningPerAddress=65536", "MaxOpeningPerAddress=x",
                          "ExemptAddresses=localhost", "WaitForCloseResponse=false", "SSLEnabledProtocols=4032",
                          "Unknown=1", "MaxOpeningPerAddress", ""}) {
    EXPECT_FALSE(server_.Configure(bad)) << bad;
  }
}

TEST_F(WebSocketServerTest, ListensOnTheBoundPortAndReportsBindErrors) {
  server_.SetLocalAddress("127.0.0.1");
  server_.SetLocalPort(0);
  EXPECT_FALSE(server_.Listening());
  ASSERT_EQ(server_.Listen(), std::error_code{});
  EXPECT_TRUE(server_.Listening());
  EXPECT_EQ(server_.LocalAddress(), "127.0.0.1");
  const int port = server_.LocalPort();
  EXPECT_GT(port, 0);

  BeastWebSocketServer second(io_, events_);
  second.SetLocalAddress("127.0.0.1");
  second.SetLocalPort(port);
  EXPECT_EQ(second.Listen(), std::errc::address_in_use);
  EXPECT_FALSE(second.Listening());

  BeastWebSocketServer foreign(io_, events_);
  foreign.SetLocalAddress("192.0.2.1");  // documentation range: never an address of this machine
  EXPECT_EQ(foreign.Listen(), std::errc::address_not_available);

  BeastWebSocketServer garbage(io_, events_);
  garbage.SetLocalAddress("not-an-address");
  EXPECT_EQ(garbage.Listen(), std::errc::invalid_argument);
  EXPECT_EQ(garbage.LocalAddress(), "not-an-address");

  server_.Shutdown();
  EXPECT_FALSE(server_.Listening());
}

TEST_F(WebSocketServerTest, TlsNeedsMatchingCertificateAndKey) {
  EXPECT_FALSE(server_.UseTls({"not a certificate", "not a key"}).ok());
  EXPECT_FALSE(server_.UseTls({}).ok());
  auto one = MakeSelfSignedCertificate("one.example");
  auto two = MakeSelfSignedCertificate("two.example");
  ASSERT_TRUE(one.certificate && two.certificate);
  EXPECT_FALSE(server_.UseTls({one.certificate->credentials.certificateChainPem,
                               two.certificate->credentials.privateKeyPem})
                   .ok());
  EXPECT_TRUE(server_.UseTls(one.certificate->credentials).ok());
}

}  // namespace
}  // namespace vantor
