// Runs the real WebSocket server on the main-thread io_context with an echo service, for the
// integration tests. Every event is printed as one line on standard output:
//   LISTENING <address> <port> | CONNREQ <address> <port> | OPEN <id> <uri> | CONNECTED <id>
//   DATA <id> <bytes> | DISCONNECTED <id> <code> <description> | ERROR <id> <code> <description>
// Received texts are echoed, except commands:
//   !slow <ms>             the handler waits before returning (the next message must wait too)
//   !burst <size>...       sends one message per size, all queued at once; message i is the
//                          letter 'a' + i % 26 repeated
// Options shorten the limits for tests; without them the production values apply.

#include "platform/net/beast_websocket_server.hpp"
#include "platform/tls/certificate_manager.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>

namespace {

using namespace vantor;

void Log(const std::string& line) { std::cout << line << std::endl; }

class EchoService final : public WebSocketEvents {
 public:
  explicit EchoService(asio::io_context& io) : io_(io) {}
  void Attach(WebSocketServer& server) { server_ = &server; }

  asio::awaitable<void> OnConnectionRequest(std::string address, int port, bool& accept) override {
    Log("CONNREQ " + address + " " + std::to_string(port));
    co_return;
  }
  asio::awaitable<void> OnOpenRequest(OpenRequest& request) override {
    Log("OPEN " + std::to_string(request.id) + " " + request.uri);
    co_return;
  }
  asio::awaitable<void> OnConnected(ConnectionId id) override {
    Log("CONNECTED " + std::to_string(id));
    server_->Send(id, "welcome " + std::to_string(id));
    co_return;
  }
  asio::awaitable<void> OnDataIn(ConnectionId id, std::string text) override {
    Log("DATA " + std::to_string(id) + " " + std::to_string(text.size()));
    std::istringstream in(text);
    std::string command;
    in >> command;
    if (command == "!burst") {
      std::size_t size = 0;
      for (int i = 0; in >> size; ++i) server_->Send(id, std::string(size, static_cast<char>('a' + i % 26)));
    } else if (command == "!slow") {
      int ms = 0;
      in >> ms;
      asio::steady_timer timer(io_, std::chrono::milliseconds(ms));
      co_await timer.async_wait(asio::use_awaitable);
      server_->Send(id, std::string(text));
    } else {
      server_->Send(id, std::move(text));
    }
  }
  asio::awaitable<void> OnDisconnected(ConnectionId id, int code, std::string description) override {
    Log("DISCONNECTED " + std::to_string(id) + " " + std::to_string(code) + " " + description);
    co_return;
  }
  asio::awaitable<void> OnError(ConnectionId id, int code, std::string description) override {
    Log("ERROR " + std::to_string(id) + " " + std::to_string(code) + " " + description);
    co_return;
  }
  asio::awaitable<void> OnSslStatus(ConnectionId, std::string) override { co_return; }
  asio::awaitable<void> OnConnectionRefused(std::string, std::string) override { co_return; }

 private:
  asio::io_context& io_;
  WebSocketServer* server_ = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> opt;
  for (int i = 1; i + 1 < argc; i += 2) opt[argv[i]] = argv[i + 1];
  auto num = [&](const char* name, long long fallback) {
    return opt.contains(name) ? std::atoll(opt[name].c_str()) : fallback;
  };

  WebSocketLimits limits;
  limits.openingTimeout = std::chrono::milliseconds(num("--handshake-ms", limits.openingTimeout.count()));
  limits.closeTimeout = std::chrono::milliseconds(num("--close-ms", limits.closeTimeout.count()));
  limits.idleTimeout = std::chrono::milliseconds(num("--idle-ms", limits.idleTimeout.count()));
  limits.maxMessageBytes = num("--max-message", limits.maxMessageBytes);
  limits.maxConnections = num("--max-connections", limits.maxConnections);

  asio::io_context io;
  EchoService service(io);
  BeastWebSocketServer server(io, service, limits);
  service.Attach(server);

  server.SetLocalAddress("127.0.0.1");
  server.SetLocalPort(0);
  if (opt.contains("--cert-subject")) {
    const CertificateSelection selection{static_cast<int>(num("--cert-type", 0)), opt["--cert-store"],
                                         opt["--cert-subject"]};
    const CertificateResult cert = SelectServerCertificate({opt["--cert-root"], opt["--cert-root"]}, selection);
    if (!cert.certificate || !server.UseTls(cert.certificate->credentials).ok()) return 1;
  }

  if (server.Listen()) return 1;
  Log("LISTENING " + server.LocalAddress() + " " + std::to_string(server.LocalPort()));

  asio::signal_set signals(io, SIGTERM, SIGINT);
  signals.async_wait([&](const boost::system::error_code& ec, int) {
    if (!ec) server.Shutdown();
  });
  io.run();
  return 0;
}
