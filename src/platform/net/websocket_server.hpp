#pragma once
// WebSocket server used for both listeners of the service: the plain one ("ws") and the TLS one
// ("wss"). The service configures it, starts it listening, and receives its events through
// WebSocketEvents. Everything runs on the io_context of the main thread; no method throws.

#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <system_error>

namespace vantor {

namespace asio = boost::asio;

// Connection ids run from 1 to 32767: the service's tables store them as signed 16-bit numbers
// and use 0 for a free record. An id is unique within one server instance, and is not handed out
// again before the OnDisconnected handler of its previous holder has returned.
using ConnectionId = std::int16_t;

// Everything the service learns about, and may decide on, in a WebSocket upgrade request.
struct OpenRequest {
  ConnectionId id = 0;
  std::string uri;           // request target, e.g. "/agt?01234567 pass__________"
  std::string host;          // Host header ("" when absent)
  std::string origin;        // Origin header ("" when absent)
  std::string subProtocols;  // Sec-WebSocket-Protocol ("" when absent)
  std::string extensions;    // Sec-WebSocket-Extensions ("" when absent)
  std::string headers;       // every request header as "Name: value", joined by CR LF
  // In/out. Proposed 101; any other value refuses the upgrade with that HTTP status (values
  // outside 200..599 are sent as 400).
  int statusCode = 101;
  // In/out. Extra response headers as "Name: value" lines separated by CR LF.
  std::string responseHeaders;
  // In/out. Set false when the service upgrades the connection only to send a refusal and close
  // it: the connection then keeps counting against its address's limit of connections still
  // opening until it is gone, and a Disconnect of it has refusedCloseTimeout.
  bool admitted = true;
};

// Close code reported in OnDisconnected when this server closed the connection itself because
// the service asked for it (Disconnect) or because the server shuts down. It is neither 1000 nor
// 1001, so the service frees its record without writing a closure event. (On the wire the client
// sees a clean close frame: 1000 after Disconnect, 1001 at shut-down.)
inline constexpr int kClosedByServer = 4000;
// Reported when the connection ended without a close frame (peer vanished, TCP reset, timeout,
// or the server dropped a client that stopped reading).
inline constexpr int kAbnormalClosure = 1006;

// Implemented by the service. The server co_awaits each handler. The events of one connection are
// raised one at a time, in this order:
//   OnConnectionRequest -> [OnSslStatus] -> OnOpenRequest -> OnConnected -> OnDataIn* -> OnDisconnected
// with OnError possible at any point. The next message of a connection is not read before the
// OnDataIn handler of the previous one has returned. The events of different connections
// interleave freely: a handler that waits delays only its own connection. Handlers should not
// throw; an exception that escapes a handler is swallowed by the server and does not change the
// connection's course.
class WebSocketEvents {
 public:
  virtual ~WebSocketEvents() = default;

  // A TCP connection was accepted. `accept` is proposed true; set it false to close the socket.
  // A refused connection raises no further event.
  virtual asio::awaitable<void> OnConnectionRequest(std::string remoteAddress, int remotePort,
                                                    bool& accept) = 0;

  // The WebSocket upgrade request of a connection. From this event on, the connection's
  // OnDisconnected is guaranteed to be raised exactly once, even if the upgrade fails or is refused.
  virtual asio::awaitable<void> OnOpenRequest(OpenRequest& request) = 0;

  // The upgrade succeeded; Send works from here on.
  virtual asio::awaitable<void> OnConnected(ConnectionId id) = 0;

  // One whole text message (valid UTF-8, at most WebSocketLimits::maxMessageBytes).
  virtual asio::awaitable<void> OnDataIn(ConnectionId id, std::string text) = 0;

  // The connection is closed. statusCode is the peer's close code (1005 when its close frame
  // carried none), kAbnormalClosure when there was no close frame, the code this server sent when
  // it failed the connection for a protocol fault (1002, 1003, 1007, 1009), or kClosedByServer.
  virtual asio::awaitable<void> OnDisconnected(ConnectionId id, int statusCode,
                                               std::string description) = 0;

  // Something failed on the connection (handshake, TLS, socket). Informative only.
  virtual asio::awaitable<void> OnError(ConnectionId id, int code, std::string description) = 0;

  // TLS server only: the outcome of the TLS handshake (protocol and cipher).
  virtual asio::awaitable<void> OnSslStatus(ConnectionId id, std::string message) = 0;

  // TCP connections from `remoteAddress` were closed at the accept because a connection limit
  // was reached; raised at most once per address per refusal interval, outside any connection's
  // order of events. `reason` says which limit, and how many refusals went unreported before.
  virtual asio::awaitable<void> OnConnectionRefused(std::string remoteAddress, std::string reason) = 0;
};

// Limits a remote peer cannot exhaust. The defaults are the production values; tests may shorten
// the times so that they do not wait long.
//
// Memory a peer can make the server hold, with the defaults (the service's own tables add a few
// KiB per record):
//   - an opening connection: its socket, the upgrade request (at most 8 KiB) and, for TLS, the
//     TLS buffers (about 34 KiB); at most maxOpening (256) of them: under 11 MiB;
//   - an open connection: one incoming message being read (at most maxMessageBytes, 1 MiB) and
//     its outgoing queue (at most maxQueuedBytes, 4 MiB), plus the TLS buffers; at most
//     maxConnections (512) in all. Only connections the service admits (OpenRequest::admitted)
//     are sent more than one refusal message, so queues hold at most 4 MiB per admitted
//     connection, and reads 512 x 1 MiB = 512 MiB: 512 MiB plus 4 MiB per admitted connection
//     in the worst case, against a few MiB in normal use.
struct WebSocketLimits {
  // Largest text message accepted; a larger one is refused with close code 1009. Service messages
  // are a few hundred bytes; 1 MiB leaves wide room while bounding what one connection can hold.
  std::size_t maxMessageBytes = 1024 * 1024;
  // Largest HTTP upgrade request header (bytes) and most header fields; beyond either the request
  // is refused with 431. Real clients send under 2 KiB and about 15 fields.
  std::size_t maxRequestHeaderBytes = 8 * 1024;
  std::size_t maxRequestHeaderFields = 100;
  // One deadline for the whole opening, from the TCP accept to the end of the upgrade (the TLS
  // handshake, the upgrade request, the 101 response). It is fixed at the accept, so a client
  // that trickles bytes cannot extend it; a silent client is closed when it passes.
  std::chrono::milliseconds openingTimeout{5'000};
  // Connections still opening, from one remote address and in all, refused ones included until
  // they are gone. Further TCP connections are closed at once; admitted connections never count
  // here, so a flood from one address leaves room for everybody else. Addresses named by
  // "ExemptAddresses=" (a reverse proxy that many clients come through) count only in all.
  std::size_t maxOpeningPerAddress = 16;
  std::size_t maxOpening = 256;
  // Refusals by these limits are reported (OnConnectionRefused) once per address per interval.
  std::chrono::seconds refusalReportInterval{60};
  // Time allowed for the close handshake, and for a service-requested disconnect as a whole
  // (queued messages, close frame, peer's reply); afterwards the socket is closed regardless.
  std::chrono::milliseconds closeTimeout{5'000};
  // The same for a connection upgraded only to be refused (OpenRequest::admitted false): a peer
  // that does not answer the close does not hold its place for long.
  std::chrono::milliseconds refusedCloseTimeout{1'000};
  // A connection from which nothing arrives for half of this is pinged, and closed when nothing
  // has arrived for the whole of it (checked in quarters, so at most a quarter later). Clients
  // answer pings, so only dead peers are hit. It also bounds, at the latest, the wait for a
  // peer's reply after the server failed the connection for a protocol fault (1002, 1003, 1007,
  // 1009). Time the service spends handling a message counts as activity.
  std::chrono::milliseconds idleTimeout{60'000};
  // Outgoing bytes queued for one connection; a client that stops reading is dropped when its
  // queue would grow beyond this instead of being buffered without end.
  std::size_t maxQueuedBytes = 4 * 1024 * 1024;
  // Simultaneous connections of one instance, opening and open; further TCP connections are
  // closed at once.
  std::size_t maxConnections = 512;
};

// The outcome of WebSocketServer::UseTls.
struct TlsSetup {
  std::error_code error;  // {} when the server serves TLS from now on; invalid_argument otherwise
  std::string reason;     // why the material was refused ("" on success)
  bool ok() const { return !error; }
};

// What a server has counted since it was made, for monitoring. Refusals are those of the accept
// (WebSocketLimits): per address, the connections still opening; the connection cap, every
// connection of the instance or every opening one. The queue high water is the most outgoing
// text one connection has held at once.
struct WebSocketServerStats {
  std::size_t opening = 0;  // connections accepted and not yet upgraded, now
  std::uint64_t refusedAddressOpening = 0;
  std::uint64_t refusedConnectionCap = 0;
  std::size_t queueHighWaterBytes = 0;
};

// PEM material for the TLS server, as produced by the certificate manager.
struct TlsCredentials {
  std::string certificateChainPem;  // server certificate first, then its chain
  std::string privateKeyPem;        // unencrypted private key of the server certificate
};

class WebSocketServer {
 public:
  virtual ~WebSocketServer() = default;

  // Address to bind ("" or "0.0.0.0": every IPv4 address) and port; set before Listen().
  virtual void SetLocalAddress(std::string address) = 0;
  virtual void SetLocalPort(int port) = 0;

  // "MaxOpeningPerAddress=<1..65535>" sets WebSocketLimits::maxOpeningPerAddress.
  // "ExemptAddresses=<address>,<address>..." (possibly empty) names the addresses exempt from it.
  // Returns false, changing nothing, for a value out of range, an entry that is not an IP address
  // or any other line. The close handshake is always bounded by closeTimeout, and the TLS server
  // always serves the fixed profile of tls_context.hpp (TLS 1.2 and 1.3).
  virtual bool Configure(const std::string& line) = 0;

  // Makes this instance a TLS server with the given certificate; before Listen(). Fails when the
  // material cannot be loaded or the key does not match the certificate.
  virtual TlsSetup UseTls(const TlsCredentials& credentials) = 0;

  // Binds and starts accepting. Returns a system error code (EADDRINUSE, EADDRNOTAVAIL, EACCES,
  // EINVAL for an unparsable address, ENOKEY when TLS is requested without credentials) or {}.
  virtual std::error_code Listen() = 0;
  virtual bool Listening() const = 0;
  // Address and port actually bound while listening; otherwise the configured ones.
  virtual std::string LocalAddress() const = 0;
  virtual int LocalPort() const = 0;

  // Queues one text message for the connection; messages leave in call order. Returns false when
  // the connection is not open (unknown, not yet connected, closing or closed). When the queue
  // would exceed WebSocketLimits::maxQueuedBytes the client is dropped and false is returned.
  // The text is taken only when Send returns true; on false the caller still holds it.
  virtual bool Send(ConnectionId id, std::string&& text) = 0;
  // Sends what is queued, then a close frame (1000), then closes the socket, all within
  // WebSocketLimits::closeTimeout. OnDisconnected follows with kClosedByServer. Returns false when
  // the connection is not open or already closing.
  virtual bool Disconnect(ConnectionId id) = 0;
  // Lengthens the idle limit of one connection (WebSocketLimits::idleTimeout) for a peer whose
  // silence the service judges itself and must judge first; a limit shorter than the server's
  // own is raised to it. The idle watch still pings the peer at half the limit. Returns false
  // when the connection is unknown.
  virtual bool SetIdleTimeout(ConnectionId id, std::chrono::milliseconds limit) = 0;
  // The remote IP address of a live connection (from the connection request on).
  virtual std::optional<std::string> RemoteAddress(ConnectionId id) const = 0;
  // The counts since the server was made; cheap (no walk over the connections).
  virtual WebSocketServerStats stats() const = 0;

  // Stops listening and closes every open connection with 1001, each within closeTimeout; their
  // OnDisconnected events (kClosedByServer) follow on the io_context. Connections still in their
  // opening handshake are dropped (OnDisconnected only if their open request was raised).
  virtual void Shutdown() = 0;
};

}  // namespace vantor
