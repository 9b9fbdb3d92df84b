// Runs the real WebSocket server on the main-thread io_context with an echo service, for the
// integration tests. Every event is printed as one line on standard output:
//   LISTENING <address> <port> | CONNREQ <address> <port> | SSL <id> <message> | OPEN <id> <uri>
//   CONNECTED <id> | DATA <id> <bytes> | DISCONNECTED <id> <code> <description>
//   ERROR <id> <code> <description> | RESULT <what> <id> ok|fail | SHUTDOWN | EXIT
// Received texts are echoed, except commands:
//   !disconnect            the service disconnects this connection
//   !flood <n> <bytes>     sends n messages of that size (stops at the first refused send)
//   !send <id> <text>      sends to another connection
//   !disconnect-id <id>    disconnects another connection
//   !slow <ms>             the handler waits before returning (the next message must wait too)
//   !remote                answers with the connection's remote address
// An open request whose URI contains "refuse" is refused with HTTP 403; for one whose URI contains
// "slowopen" the connected handler waits 100 ms before it returns.
// Options shorten the limits for tests; without them the production values apply.

#include "platform/beast_websocket_server.hpp"
#include "platform/certificate_manager.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <cstdlib>
#include <iostream>
#include <map>
#include <set>
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
    if (request.uri.find("refuse") != std::string::npos) request.statusCode = 403;
    if (request.uri.find("slowopen") != std::string::npos) slowOpen_.insert(request.id);
    co_return;
  }
  asio::awaitable<void> OnConnected(ConnectionId id) override {
    Log("CONNECTED " + std::to_string(id));
    if (slowOpen_.erase(id) > 0) {
      asio::steady_timer timer(io_, std::chrono::milliseconds(100));
      co_await timer.async_wait(asio::use_awaitable);
    }
    server_->Send(id, "welcome " + std::to_string(id));
  }
  asio::awaitable<void> OnDataIn(ConnectionId id, std::string text) override {
    Log("DATA " + std::to_string(id) + " " + std::to_string(text.size()));
    std::istringstream in(text);
    std::string command;
    in >> command;
    if (command == "!disconnect") {
      Result("disconnect", id, server_->Disconnect(id));
    } else if (command == "!flood") {
      std::size_t count = 0, bytes = 0, sent = 0;
      in >> count >> bytes;
      while (sent < count && server_->Send(id, std::string(bytes, 'x'))) ++sent;
      Log("FLOOD " + std::to_string(id) + " " + std::to_string(sent));
    } else if (command == "!send") {
      int target = 0;
      std::string rest;
      in >> target >> rest;
      Result("send", target, server_->Send(static_cast<ConnectionId>(target), std::string(rest)));
    } else if (command == "!disconnect-id") {
      int target = 0;
      in >> target;
      Result("disconnect", target, server_->Disconnect(static_cast<ConnectionId>(target)));
    } else if (command == "!slow") {
      int ms = 0;
      in >> ms;
      asio::steady_timer timer(io_, std::chrono::milliseconds(ms));
      co_await timer.async_wait(asio::use_awaitable);
      server_->Send(id, std::string(text));
    } else if (command == "!remote") {
      server_->Send(id, server_->RemoteAddress(id).value_or("none"));
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
  asio::awaitable<void> OnSslStatus(ConnectionId id, std::string message) override {
    Log("SSL " + std::to_string(id) + " " + message);
    co_return;
  }

 private:
  void Result(const std::string& what, int id, bool ok) {
    Log("RESULT " + what + " " + std::to_string(id) + (ok ? " ok" : " fail"));
  }
  asio::io_context& io_;
  WebSocketServer* server_ = nullptr;
  std::set<ConnectionId> slowOpen_;
};

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> opt;
  for (int i = 1; i + 1 < argc; i += 2) opt[argv[i]] = argv[i + 1];
  auto num = [&](const char* name, long long fallback) {
    return opt.contains(name) ? std::atoll(opt[name].c_str()) : fallback;
  };

  WebSocketLimits limits;
  limits.handshakeTimeout = std::chrono::milliseconds(num("--handshake-ms", limits.handshakeTimeout.count()));
  limits.closeTimeout = std::chrono::milliseconds(num("--close-ms", limits.closeTimeout.count()));
  limits.idleTimeout = std::chrono::milliseconds(num("--idle-ms", limits.idleTimeout.count()));
  limits.maxMessageBytes = num("--max-message", limits.maxMessageBytes);
  limits.maxQueuedBytes = num("--max-queue", limits.maxQueuedBytes);
  limits.maxConnections = num("--max-connections", limits.maxConnections);

  asio::io_context io;
  EchoService service(io);
  BeastWebSocketServer server(io, service, limits);
  service.Attach(server);

  server.SetLocalAddress(opt.contains("--address") ? opt["--address"] : "127.0.0.1");
  server.SetLocalPort(static_cast<int>(num("--port", 0)));
  if (!server.Configure("WaitForCloseResponse=false") || !server.Configure("SSLEnabledProtocols=4032")) {
    Log("CONFIG-FAILED");
    return 1;
  }

  if (opt.contains("--cert-subject") || opt.contains("--self-signed")) {
    CertificateResult cert;
    if (opt.contains("--self-signed")) {
      cert = MakeSelfSignedCertificate(opt["--self-signed"]);
    } else {
      CertificateSelection selection{static_cast<int>(num("--cert-type", 0)), opt["--cert-store"], opt["--cert-subject"]};
      cert = SelectServerCertificate({opt["--cert-root"], opt["--cert-root"]}, selection);
    }
    if (!cert.certificate) {
      Log("TLS-FAILED " + cert.error);
      return 1;
    }
    if (auto error = server.UseTls(cert.certificate->credentials)) {
      Log("TLS-FAILED " + *error);
      return 1;
    }
  }

  if (const auto ec = server.Listen()) {
    Log("LISTEN-FAILED " + std::to_string(ec.value()) + " " + ec.message());
    return 1;
  }
  Log("LISTENING " + server.LocalAddress() + " " + std::to_string(server.LocalPort()));

  asio::signal_set signals(io, SIGTERM, SIGINT);
  signals.async_wait([&](const boost::system::error_code& ec, int) {
    if (ec) return;
    Log("SHUTDOWN");
    server.Shutdown();
  });
  io.run();
  Log("EXIT " + std::to_string(server.ConnectionCount()));
  return 0;
}
