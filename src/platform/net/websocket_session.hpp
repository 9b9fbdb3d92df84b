#pragma once
// One WebSocket connection of a BeastWebSocketServer, from the accepted socket to the released
// id: the opening handshake (TLS, HTTP upgrade, the service's decision), the read loop that
// hands each message to the service, the write queue, and the close.
//
// A session owns its socket, its outgoing queue and its timers; it holds the server state while
// it runs. It lives in the server's session table from acceptance until its OnDisconnected
// handler has returned, and is kept alive by its own coroutines meanwhile.
//
// Single-threaded: every call, and every coroutine of the session, runs on the thread of the
// server's io_context. No call throws except on allocation failure.

#include "platform/net/websocket_server.hpp"
#include "platform/net/websocket_server_state.hpp"
#include "platform/net/write_cork.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>

namespace vantor {

// State shared by the plain and TLS sessions; the stream-specific work is in the class that
// MakeWebSocketSession creates.
class WebSocketSession : public std::enable_shared_from_this<WebSocketSession>, public WriteCork::Writer {
 public:
  enum class State { Opening, Open, Closing, Closed };

  virtual ~WebSocketSession() = default;

  // The whole life of the connection, raising its events; ends once the id is released. Spawn
  // it once, right after the session entered the server's table.
  virtual boost::asio::awaitable<void> Run() = 0;
  // Closes the TCP socket at once; every pending operation completes with an error.
  virtual void Abort() = 0;

  const std::string& RemoteAddress() const { return remoteAddress_; }
  // Bytes queued for the peer, the message being written included.
  std::size_t QueuedBytes() const { return queuedBytes_; }

  // Queues one text message behind the ones queued before. Returns false, leaving the session
  // as it was, when the connection is not open. When the queue would exceed maxQueuedBytes the
  // connection is dropped (kAbnormalClosure) and false is returned.
  bool Enqueue(std::string&& text);

  // The connection's idle limit: `limit`, or the server's own when that is longer.
  void SetIdleLimit(std::chrono::milliseconds limit);

  // A clean close asked for by the service (1000) or by shut-down (1001): queued messages first,
  // then the close frame, all within closeTimeout. A session still opening is dropped instead
  // (false). Returns false as well when the connection is already closing or closed.
  bool RequestClose(boost::beast::websocket::close_code wireCode, std::string why);

 protected:
  WebSocketSession(std::shared_ptr<BeastWebSocketServer::Impl> server, ConnectionId id, std::string remoteAddress,
                   int remotePort);

  // Ends the connection without a close handshake, reporting `code` unless one was decided before.
  void Fail(int code, std::string why);
  // A close frame the server itself sends for a protocol decision (binary message: 1003).
  void CloseWithCode(boost::beast::websocket::close_code wireCode, std::string why);
  // Aborts the socket when the close has not finished within `limit`.
  void ArmCloseDeadline(std::chrono::milliseconds limit);
  // The connection no longer counts against the opening limits (it opened, or it ended).
  void EndOpening();
  // What is left of the opening deadline for the server's own answer (at least 1 s).
  std::chrono::milliseconds RemainingOpeningTime() const;

  // The service's handlers; null once the server object is destroyed, so events stop.
  WebSocketEvents* Events() const;
  // Has Flush run once the reads under way have delivered what they hold (see WriteCork), so
  // that what their handlers queue for this connection leaves together.
  void WakeWriter();
  void FlushHeld() override { Flush(); }
  // The read loop's read is under way from ReadStarted until the first of: a message delivered,
  // or the read waiting for the socket (ReadEnded, which runs once).
  void ReadStarted();
  void ReadEnded();
  // The writer's step: starts writing what is queued, or the close frame when one is due and
  // nothing is queued; does nothing while a write is under way or the connection is not open.
  virtual void Flush() = 0;
  // Raises OnError; a handler's exception is swallowed.
  boost::asio::awaitable<void> RaiseError(int code, std::string text);
  // The last step of every session: the socket is closed, OnDisconnected is raised when the
  // service saw the open request, and only after its handler returned is the id free again.
  boost::asio::awaitable<void> Finish(bool openRaised, int code, std::string text);

  std::shared_ptr<BeastWebSocketServer::Impl> server_;
  ConnectionId id_;
  std::string remoteAddress_;
  int remotePort_;
  State state_ = State::Opening;
  std::deque<std::string> outbox_;
  std::size_t queuedBytes_ = 0;  // queued plus the message being written
  std::optional<boost::beast::websocket::close_reason> closeFrame_;
  std::optional<int> endCode_;
  std::optional<std::string> rawTarget_;  // the request target as sent, when it held spaces
  std::string endText_;
  // One deadline for the whole opening: TCP accept to the end of the upgrade, TLS included.
  std::chrono::steady_clock::time_point openingDeadline_;
  bool countsAsOpening_ = true;  // the listener counted it in the opening limits
  bool admitted_ = true;         // false: upgraded only to be refused (OpenRequest::admitted)
  WriteCork& cork_;
  bool flushPosted_ = false;        // held by the cork, and not flushed yet
  bool readUnderWay_ = false;       // between ReadStarted and ReadEnded
  bool writing_ = false;            // a write or the close frame is under way
  boost::asio::steady_timer closeDeadline_;
  boost::asio::steady_timer idleTimer_;  // the idle watch's quarter-limit steps
  std::chrono::milliseconds idleLimit_;  // silence after which the peer is dropped
  bool heard_ = false;                   // something arrived since the idle watch last looked
  bool handling_ = false;                // the service is handling a message of this peer
  bool idleExpired_ = false;             // the idle watch dropped the peer
};

// The session of a socket the server accepted as connection `id`: TLS when the server state
// holds a TLS context, plain otherwise. The caller enters it in the session table and runs it.
std::shared_ptr<WebSocketSession> MakeWebSocketSession(std::shared_ptr<BeastWebSocketServer::Impl> server,
                                                       ConnectionId id, std::string remoteAddress, int remotePort,
                                                       boost::asio::ip::tcp::socket socket);

}  // namespace vantor
