#include "platform/beast_websocket_server.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <openssl/ssl.h>

#include <charconv>
#include <cstring>
#include <deque>
#include <map>
#include <type_traits>

namespace vantor {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

namespace {

// Every asynchronous call reports its error as a value; nothing in the component throws.
constexpr auto kNoThrow = asio::as_tuple(asio::use_awaitable);

using PlainStream = beast::tcp_stream;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

constexpr ConnectionId kMaxConnectionId = 32767;

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// A handler failure must not end the connection's coroutine half-way (the id would leak).
asio::awaitable<void> Guarded(asio::awaitable<void> handler) {
  try {
    co_await std::move(handler);
  } catch (...) {
  }
}

// Serialises the open-request/connected pair across the connections of one instance: a waiter
// holds a timer that never expires on its own; Release() hands the gate over by cancelling it.
class AsyncGate {
 public:
  explicit AsyncGate(asio::any_io_executor executor) : executor_(std::move(executor)) {}

  asio::awaitable<void> Acquire() {
    if (!busy_) {
      busy_ = true;
      co_return;
    }
    auto waiter = std::make_shared<asio::steady_timer>(executor_, asio::steady_timer::time_point::max());
    waiters_.push_back(waiter);
    co_await waiter->async_wait(kNoThrow);
  }

  void Release() {
    if (waiters_.empty()) {
      busy_ = false;
      return;
    }
    auto next = waiters_.front();
    waiters_.pop_front();
    next->cancel();
  }

 private:
  asio::any_io_executor executor_;
  bool busy_ = false;
  std::deque<std::shared_ptr<asio::steady_timer>> waiters_;
};

class GateHold {
 public:
  explicit GateHold(AsyncGate& gate) : gate_(&gate) {}
  ~GateHold() { Release(); }
  GateHold(const GateHold&) = delete;
  GateHold& operator=(const GateHold&) = delete;
  void Release() {
    if (gate_ != nullptr) std::exchange(gate_, nullptr)->Release();
  }

 private:
  AsyncGate* gate_;
};

std::error_code ToStd(const boost::system::error_code& ec) {
  if (!ec) return {};
  if (ec.category() == boost::system::system_category() ||
      ec.category() == boost::system::generic_category())
    return {ec.value(), std::system_category()};
  return std::make_error_code(std::errc::io_error);
}

std::string HeaderLines(const http::request<http::empty_body>& req) {
  std::string out;
  for (const auto& field : req) {
    if (!out.empty()) out += "\r\n";
    out.append(field.name_string()).append(": ").append(field.value());
  }
  return out;
}

// "Name: value" lines (CR LF or LF separated) given by the service for the 101 or refusal response.
HeaderList ParseHeaderLines(const std::string& text) {
  HeaderList out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) continue;
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    out.emplace_back(line.substr(0, colon), std::move(value));
  }
  return out;
}

// Error text for a failed opening step: the timeout gets its own wording.
std::string Describe(const beast::error_code& ec, const char* onTimeout, const char* prefix) {
  if (ec == beast::error::timeout) return onTimeout;
  return prefix + ec.message();
}

// The close code the server reports when the read loop ended with `ec` and nothing else
// (service, binary message) had decided the code before.
std::pair<int, std::string> ClassifyEnd(const beast::error_code& ec, const websocket::close_reason& reason,
                                        std::size_t maxMessage) {
  if (ec == websocket::error::closed) {
    const int code = reason.code == websocket::close_code::none ? 1005 : static_cast<int>(reason.code);
    return {code, reason.reason.empty() ? std::string("closed by peer")
                                        : std::string(reason.reason.data(), reason.reason.size())};
  }
  if (ec == websocket::error::message_too_big || ec == websocket::error::buffer_overflow)
    return {1009, "message larger than " + std::to_string(maxMessage) + " bytes"};
  if (ec == websocket::error::bad_frame_payload) return {1007, "invalid UTF-8 in a text message"};
  if (ec == websocket::condition::protocol_violation) return {1002, "protocol error: " + ec.message()};
  if (ec == beast::error::timeout) return {kAbnormalClosure, "no data from the peer within the idle timeout"};
  return {kAbnormalClosure, "connection ended without a close frame: " + ec.message()};
}

}  // namespace

class SessionBase;

struct BeastWebSocketServer::Impl {
  Impl(asio::io_context& io, WebSocketEvents& events, WebSocketLimits limits)
      : io(io), events(events), limits(limits), admission(io.get_executor()) {}

  asio::io_context& io;
  WebSocketEvents& events;
  WebSocketLimits limits;
  std::string address;
  int port = 0;
  bool waitForCloseResponse = true;
  int sslEnabledProtocols = 0;
  std::shared_ptr<ssl::context> tls;
  std::optional<tcp::acceptor> acceptor;
  std::map<ConnectionId, std::shared_ptr<SessionBase>> sessions;
  ConnectionId lastId = 0;
  AsyncGate admission;
  bool detached = false;  // the server object is gone: raise no more events

  ConnectionId NextId() {
    for (int step = 0; step < kMaxConnectionId; ++step) {
      lastId = static_cast<ConnectionId>(lastId >= kMaxConnectionId ? 1 : lastId + 1);
      if (!sessions.contains(lastId)) return lastId;
    }
    return 0;
  }
};

// State shared by the plain and TLS sessions; the stream-specific work is in Session<Stream>.
class SessionBase : public std::enable_shared_from_this<SessionBase> {
 public:
  enum class State { Opening, Open, Closing, Closed };

  SessionBase(std::shared_ptr<BeastWebSocketServer::Impl> server, ConnectionId id, std::string remoteAddress,
              int remotePort)
      : server_(std::move(server)),
        id_(id),
        remoteAddress_(std::move(remoteAddress)),
        remotePort_(remotePort),
        wake_(server_->io),
        closeDeadline_(server_->io) {}
  virtual ~SessionBase() = default;

  virtual asio::awaitable<void> Run() = 0;
  // Closes the TCP socket at once; every pending operation completes with an error.
  virtual void Abort() = 0;

  const std::string& RemoteAddress() const { return remoteAddress_; }

  bool Enqueue(std::string&& text) {
    if (state_ != State::Open) return false;
    if (queuedBytes_ + text.size() > server_->limits.maxQueuedBytes) {
      Fail(kAbnormalClosure, "client does not read: more than " +
                                 std::to_string(server_->limits.maxQueuedBytes) + " bytes queued");
      return false;
    }
    queuedBytes_ += text.size();
    outbox_.push_back(std::move(text));
    wake_.cancel();
    return true;
  }

  // A clean close asked for by the service (1000) or by shut-down (1001): queued messages first,
  // then the close frame, all within closeTimeout.
  bool RequestClose(websocket::close_code wireCode, std::string why) {
    if (state_ == State::Opening) {
      // Not yet open: only shut-down comes here; the connection is simply dropped.
      Fail(kClosedByServer, why);
      return false;
    }
    if (state_ != State::Open) return false;
    state_ = State::Closing;
    closeFrame_ = websocket::close_reason(wireCode);
    endCode_ = kClosedByServer;
    endText_ = std::move(why);
    ArmCloseDeadline();
    wake_.cancel();
    return true;
  }

 protected:
  // Ends the connection without a close handshake, reporting `code` unless one was decided before.
  void Fail(int code, std::string why) {
    if (!endCode_) {
      endCode_ = code;
      endText_ = std::move(why);
    }
    if (state_ == State::Open || state_ == State::Opening) state_ = State::Closing;
    Abort();
  }

  // A close frame the server itself sends for a protocol decision (binary message: 1003).
  void CloseWithCode(websocket::close_code wireCode, std::string why) {
    if (state_ != State::Open) return;
    state_ = State::Closing;
    closeFrame_ = websocket::close_reason(wireCode, why);
    endCode_ = static_cast<int>(wireCode);
    endText_ = std::move(why);
    ArmCloseDeadline();
    wake_.cancel();
  }

  void ArmCloseDeadline() {
    closeDeadline_.expires_after(server_->limits.closeTimeout);
    closeDeadline_.async_wait([weak = weak_from_this()](const boost::system::error_code& ec) {
      if (ec) return;
      if (auto self = weak.lock()) self->Abort();
    });
  }

  // Raised events stop once the server object is destroyed.
  WebSocketEvents* Events() const { return server_->detached ? nullptr : &server_->events; }

  asio::awaitable<void> RaiseError(int code, std::string text) {
    if (auto* ev = Events()) co_await Guarded(ev->OnError(id_, code, std::move(text)));
  }

  // The last step of every session: the socket is closed, OnDisconnected is raised when the
  // service saw the open request, and only after its handler returned is the id free again.
  asio::awaitable<void> Finish(bool openRaised, int code, std::string text) {
    state_ = State::Closed;
    closeDeadline_.cancel();
    wake_.cancel();
    Abort();
    if (openRaised) {
      if (auto* ev = Events()) co_await Guarded(ev->OnDisconnected(id_, code, std::move(text)));
    }
    auto it = server_->sessions.find(id_);
    if (it != server_->sessions.end() && it->second.get() == this) server_->sessions.erase(it);
  }

  std::shared_ptr<BeastWebSocketServer::Impl> server_;
  ConnectionId id_;
  std::string remoteAddress_;
  int remotePort_;
  State state_ = State::Opening;
  std::deque<std::string> outbox_;
  std::size_t queuedBytes_ = 0;  // queued plus the message being written
  std::optional<websocket::close_reason> closeFrame_;
  std::optional<int> endCode_;
  std::optional<std::string> rawTarget_;  // the request target as sent, when it held spaces
  std::string endText_;
  asio::steady_timer wake_;
  asio::steady_timer closeDeadline_;
};

template <typename Stream>
class Session final : public SessionBase {
  static constexpr bool kTls = std::is_same_v<Stream, TlsStream>;

 public:
  template <typename... StreamArgs>
  Session(std::shared_ptr<BeastWebSocketServer::Impl> server, ConnectionId id, std::string address, int port,
          StreamArgs&&... args)
      : SessionBase(std::move(server), id, std::move(address), port), ws_(std::forward<StreamArgs>(args)...) {}

  void Abort() override {
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().close(ignored);
  }

  asio::awaitable<void> Run() override {
    auto keepAlive = shared_from_this();
    const auto& limits = server_->limits;

    bool accept = true;
    if (auto* ev = Events()) co_await Guarded(ev->OnConnectionRequest(remoteAddress_, remotePort_, accept));
    if (!accept || state_ != State::Opening) co_return co_await Finish(false, 0, {});

    if constexpr (kTls) {
      if (!co_await TlsHandshake()) co_return co_await Finish(false, 0, {});
    }

    http::request_parser<http::empty_body> parser;
    parser.header_limit(static_cast<std::uint32_t>(limits.maxRequestHeaderBytes));
    if (!co_await ReadUpgradeRequest(parser)) co_return co_await Finish(false, 0, {});
    const auto& req = parser.get();

    OpenRequest open;
    open.id = id_;
    open.uri = rawTarget_ ? *rawTarget_ : std::string(req.target());
    open.host = std::string(req[http::field::host]);
    open.origin = std::string(req[http::field::origin]);
    open.subProtocols = std::string(req[http::field::sec_websocket_protocol]);
    open.extensions = std::string(req[http::field::sec_websocket_extensions]);
    open.headers = HeaderLines(req);

    // From the open request until OnConnected returns, no other connection's open request runs.
    co_await server_->admission.Acquire();
    GateHold hold(server_->admission);
    if (state_ != State::Opening) co_return co_await Finish(false, 0, {});
    if (auto* ev = Events()) co_await Guarded(ev->OnOpenRequest(open));

    if (open.statusCode != 101) {
      HeaderList refusalHeaders = ParseHeaderLines(open.responseHeaders);
      co_await Refuse(open.statusCode, refusalHeaders, std::string());
      hold.Release();
      co_return co_await Finish(true, kAbnormalClosure,
                                "upgrade refused with HTTP status " + std::to_string(open.statusCode));
    }
    if (!co_await AcceptUpgrade(req, ParseHeaderLines(open.responseHeaders))) {
      hold.Release();
      co_return co_await Finish(true, endCode_.value_or(kAbnormalClosure),
                                endText_.empty() ? "WebSocket handshake failed" : endText_);
    }

    state_ = State::Open;
    asio::co_spawn(server_->io, Writer(), [](std::exception_ptr) {});
    if (auto* ev = Events()) co_await Guarded(ev->OnConnected(id_));
    hold.Release();

    auto [code, text] = co_await ReadLoop();
    co_return co_await Finish(true, code, std::move(text));
  }

 private:
  asio::awaitable<bool> TlsHandshake() {
    auto& tcp = beast::get_lowest_layer(ws_);
    tcp.expires_after(server_->limits.handshakeTimeout);
    auto [ec] = co_await ws_.next_layer().async_handshake(ssl::stream_base::server, kNoThrow);
    tcp.expires_never();
    if (ec) {
      const std::string why = Describe(ec, "no TLS handshake within the time limit", "TLS handshake failed: ");
      co_await RaiseError(ec.value(), why);
      co_return false;
    }
    SSL* native = ws_.next_layer().native_handle();
    std::string status = std::string("TLS handshake complete: ") + SSL_get_version(native) + ", cipher " +
                         SSL_get_cipher_name(native);
    if (auto* ev = Events()) co_await Guarded(ev->OnSslStatus(id_, std::move(status)));
    co_return state_ == State::Opening;
  }

  asio::awaitable<bool> ReadUpgradeRequest(http::request_parser<http::empty_body>& parser) {
    const auto& limits = server_->limits;
    auto& tcp = beast::get_lowest_layer(ws_);
    tcp.expires_after(limits.handshakeTimeout);
    boost::system::error_code ec = co_await ReadRequestLine();
    if (!ec) {
      auto [readEc, n] = co_await http::async_read(ws_.next_layer(), buffer_, parser, kNoThrow);
      ec = readEc;
    }
    tcp.expires_never();
    int refusal = 0;
    std::string why;
    const auto& req = parser.get();
    const auto fields = ec ? 0 : static_cast<std::size_t>(std::distance(req.begin(), req.end()));
    if (ec == http::error::header_limit) {
      refusal = 431;
      why = "upgrade request header too large";
    } else if (ec) {
      refusal = ec == beast::error::timeout ? 0 : 400;
      why = Describe(ec, "no upgrade request within the time limit", "invalid upgrade request: ");
    } else if (fields > limits.maxRequestHeaderFields) {
      refusal = 431;
      why = "upgrade request has " + std::to_string(fields) + " header fields";
    } else if (!websocket::is_upgrade(req)) {
      refusal = 426;
      why = "HTTP request is not a WebSocket upgrade";
    } else {
      co_return state_ == State::Opening;
    }
    HeaderList headers;
    if (refusal == 426) headers.emplace_back("Upgrade", "websocket");
    std::string body = why + "\r\n";
    co_await RaiseError(ec ? ec.value() : refusal, why);
    if (refusal != 0 && state_ == State::Opening) co_await Refuse(refusal, headers, std::move(body));
    co_return false;
  }

  // Agents and mobiles put a space into the request path ("/agt?<id> <pass>__________"), which an
  // HTTP request line cannot hold and the HTTP parser refuses. So the request line is read first;
  // spaces inside its target are escaped for the parser, and the target as sent is kept for the
  // open request. Runs under the handshake timeout set by the caller.
  asio::awaitable<boost::system::error_code> ReadRequestLine() {
    const std::size_t limit = server_->limits.maxRequestHeaderBytes;
    for (;;) {
      const std::string_view seen(static_cast<const char*>(buffer_.data().data()), buffer_.size());
      if (const auto eol = seen.find("\r\n"); eol != std::string_view::npos) {
        EscapeTargetSpaces(seen, eol);
        co_return boost::system::error_code{};
      }
      // An over-long line is left to the parser, which reports the header limit.
      if (buffer_.size() >= limit) co_return boost::system::error_code{};
      auto [ec, n] = co_await ws_.next_layer().async_read_some(
          buffer_.prepare(std::min<std::size_t>(4096, limit - buffer_.size())), kNoThrow);
      if (ec) co_return ec;
      buffer_.commit(n);
    }
  }

  void EscapeTargetSpaces(std::string_view seen, std::size_t eol) {
    const std::string_view line = seen.substr(0, eol);
    const auto first = line.find(' ');
    const auto last = line.rfind(' ');
    if (first == std::string_view::npos || last <= first) return;
    const std::string_view target = line.substr(first + 1, last - first - 1);
    if (target.find(' ') == std::string_view::npos) return;
    rawTarget_ = std::string(target);
    std::string escaped(line.substr(0, first + 1));
    for (const char c : target) escaped += c == ' ' ? std::string_view("%20") : std::string_view(&c, 1);
    escaped += seen.substr(last);
    buffer_.consume(buffer_.size());
    const auto room = buffer_.prepare(escaped.size());
    std::memcpy(room.data(), escaped.data(), escaped.size());
    buffer_.commit(escaped.size());
  }

  // Answers with an HTTP status and closes; bounded by the handshake timeout.
  asio::awaitable<void> Refuse(int status, const HeaderList& headers,
                               std::string body) {
    // A status the service chose outside 200..599 (1xx would not end the exchange) becomes 400.
    if (status < 200 || status > 599) status = 400;
    http::response<http::string_body> res{static_cast<http::status>(status), 11};
    res.set(http::field::server, "VantorWeb");
    for (const auto& [name, value] : headers) res.set(name, value);
    res.set(http::field::connection, "close");
    res.body() = std::move(body);
    res.prepare_payload();
    auto& tcp = beast::get_lowest_layer(ws_);
    tcp.expires_after(server_->limits.handshakeTimeout);
    co_await http::async_write(ws_.next_layer(), res, kNoThrow);
    tcp.expires_never();
    Abort();
  }

  asio::awaitable<bool> AcceptUpgrade(const http::request<http::empty_body>& req,
                                      HeaderList headers) {
    const auto& limits = server_->limits;
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = limits.handshakeTimeout;
    timeouts.idle_timeout = limits.idleTimeout;
    timeouts.keep_alive_pings = true;
    ws_.set_option(timeouts);
    ws_.set_option(websocket::stream_base::decorator([headers = std::move(headers)](websocket::response_type& res) {
      res.set(http::field::server, "VantorWeb");
      for (const auto& [name, value] : headers) res.set(name, value);
    }));
    ws_.read_message_max(limits.maxMessageBytes);
    auto [ec] = co_await ws_.async_accept(req, kNoThrow);
    if (ec) {
      co_await RaiseError(ec.value(), "WebSocket handshake failed: " + ec.message());
      co_return false;
    }
    co_return state_ == State::Opening;
  }

  // Reads whole messages and hands each to the service before reading the next.
  asio::awaitable<std::pair<int, std::string>> ReadLoop() {
    beast::flat_buffer message;
    for (;;) {
      auto [ec, n] = co_await ws_.async_read(message, kNoThrow);
      if (ec) {
        auto classified = ClassifyEnd(ec, ws_.reason(), server_->limits.maxMessageBytes);
        if (endCode_) co_return std::pair{*endCode_, endText_};
        if (classified.first != 1000 && classified.first != 1001 && classified.first != 1005 &&
            ec != websocket::error::closed)
          co_await RaiseError(ec.value(), classified.second);
        co_return classified;
      }
      if (!ws_.got_text()) {
        CloseWithCode(websocket::close_code::unknown_data, "binary messages are not accepted");
      } else if (state_ == State::Open) {
        std::string text = beast::buffers_to_string(message.data());
        if (auto* ev = Events()) co_await Guarded(ev->OnDataIn(id_, std::move(text)));
      }
      message.consume(message.size());
    }
  }

  // The one writer of the connection: queued texts in order, then the close frame if one is due.
  asio::awaitable<void> Writer() {
    auto keepAlive = shared_from_this();
    while (state_ == State::Open || state_ == State::Closing) {
      if (!outbox_.empty()) {
        std::string text = std::move(outbox_.front());
        outbox_.pop_front();
        ws_.text(true);
        auto [ec, n] = co_await ws_.async_write(asio::buffer(text), kNoThrow);
        queuedBytes_ -= text.size();
        if (ec) {
          Fail(kAbnormalClosure, "write failed: " + ec.message());
          co_return;
        }
        continue;
      }
      if (closeFrame_) {
        auto reason = *closeFrame_;
        co_await ws_.async_close(reason, kNoThrow);
        Abort();
        co_return;
      }
      wake_.expires_at(asio::steady_timer::time_point::max());
      co_await wake_.async_wait(kNoThrow);
    }
  }

  websocket::stream<Stream> ws_;
  beast::flat_buffer buffer_{64 * 1024};
};

namespace {

asio::awaitable<void> AcceptLoop(std::shared_ptr<BeastWebSocketServer::Impl> server) {
  asio::steady_timer backoff(server->io);
  while (server->acceptor && server->acceptor->is_open()) {
    auto [ec, socket] = co_await server->acceptor->async_accept(kNoThrow);
    if (ec == asio::error::operation_aborted || !server->acceptor || !server->acceptor->is_open()) break;
    if (ec) {
      // Out of descriptors or a similar transient fault: retry shortly instead of spinning.
      backoff.expires_after(std::chrono::milliseconds(100));
      co_await backoff.async_wait(kNoThrow);
      continue;
    }
    const ConnectionId id = server->sessions.size() < server->limits.maxConnections ? server->NextId() : 0;
    if (id == 0) {
      boost::system::error_code ignored;
      socket.close(ignored);
      continue;
    }
    boost::system::error_code epError;
    const auto remote = socket.remote_endpoint(epError);
    std::string address = epError ? std::string("0.0.0.0") : remote.address().to_string();
    const int port = epError ? 0 : remote.port();
    std::shared_ptr<SessionBase> session;
    if (server->tls)
      session = std::make_shared<Session<TlsStream>>(server, id, std::move(address), port, std::move(socket),
                                                     *server->tls);
    else
      session = std::make_shared<Session<PlainStream>>(server, id, std::move(address), port, std::move(socket));
    server->sessions.emplace(id, session);
    asio::co_spawn(server->io, session->Run(), [](std::exception_ptr) {});
  }
}

}  // namespace

BeastWebSocketServer::BeastWebSocketServer(asio::io_context& io, WebSocketEvents& events, WebSocketLimits limits)
    : impl_(std::make_shared<Impl>(io, events, limits)) {}

BeastWebSocketServer::~BeastWebSocketServer() {
  impl_->detached = true;
  boost::system::error_code ignored;
  if (impl_->acceptor) impl_->acceptor->close(ignored);
  for (auto& [id, session] : impl_->sessions) session->Abort();
}

void BeastWebSocketServer::SetLocalAddress(std::string address) { impl_->address = std::move(address); }

void BeastWebSocketServer::SetLocalPort(int port) { impl_->port = port; }

bool BeastWebSocketServer::Configure(const std::string& line) {
  const auto eq = line.find('=');
  if (eq == std::string::npos) return false;
  const std::string name = line.substr(0, eq);
  const std::string value = line.substr(eq + 1);
  if (name == "WaitForCloseResponse") {
    if (value != "true" && value != "false") return false;
    impl_->waitForCloseResponse = value == "true";
    return true;
  }
  if (name == "SSLEnabledProtocols") {
    int protocols = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), protocols);
    if (ec != std::errc{} || end != value.data() + value.size() || protocols < 0) return false;
    impl_->sslEnabledProtocols = protocols;
    return true;
  }
  return false;
}

std::optional<std::string> BeastWebSocketServer::UseTls(const TlsCredentials& credentials) {
  try {
    auto ctx = std::make_shared<ssl::context>(ssl::context::tls_server);
    ctx->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                     ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
    if (SSL_CTX_set_min_proto_version(ctx->native_handle(), TLS1_2_VERSION) != 1)
      return "cannot restrict TLS to version 1.2 and later";
    boost::system::error_code ec;
    ctx->use_certificate_chain(asio::buffer(credentials.certificateChainPem), ec);
    if (ec) return "cannot load the server certificate: " + ec.message();
    ctx->use_private_key(asio::buffer(credentials.privateKeyPem), ssl::context::pem, ec);
    if (ec) return "cannot load the private key: " + ec.message();
    if (SSL_CTX_check_private_key(ctx->native_handle()) != 1)
      return "the private key does not belong to the server certificate";
    impl_->tls = std::move(ctx);
    return std::nullopt;
  } catch (const std::exception& e) {
    return std::string("cannot set up TLS: ") + e.what();
  }
}

std::error_code BeastWebSocketServer::Listen() {
  try {
    if (Listening()) return {};
    boost::system::error_code ec;
    const std::string text = impl_->address.empty() ? "0.0.0.0" : impl_->address;
    const auto address = asio::ip::make_address(text, ec);
    if (ec) return std::make_error_code(std::errc::invalid_argument);
    if (impl_->port < 0 || impl_->port > 65535) return std::make_error_code(std::errc::invalid_argument);
    tcp::acceptor acceptor(impl_->io);
    const tcp::endpoint endpoint(address, static_cast<unsigned short>(impl_->port));
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) return ToStd(ec);
    impl_->acceptor.emplace(std::move(acceptor));
    asio::co_spawn(impl_->io, AcceptLoop(impl_), [](std::exception_ptr) {});
    return {};
  } catch (...) {
    return std::make_error_code(std::errc::not_enough_memory);
  }
}

bool BeastWebSocketServer::Listening() const { return impl_->acceptor && impl_->acceptor->is_open(); }

std::string BeastWebSocketServer::LocalAddress() const {
  if (Listening()) {
    boost::system::error_code ec;
    const auto ep = impl_->acceptor->local_endpoint(ec);
    if (!ec) return ep.address().to_string();
  }
  return impl_->address.empty() ? "0.0.0.0" : impl_->address;
}

int BeastWebSocketServer::LocalPort() const {
  if (Listening()) {
    boost::system::error_code ec;
    const auto ep = impl_->acceptor->local_endpoint(ec);
    if (!ec) return ep.port();
  }
  return impl_->port;
}

bool BeastWebSocketServer::Send(ConnectionId id, std::string&& text) {
  try {
    auto it = impl_->sessions.find(id);
    return it != impl_->sessions.end() && it->second->Enqueue(std::move(text));
  } catch (...) {
    return false;
  }
}

bool BeastWebSocketServer::Disconnect(ConnectionId id) {
  try {
    auto it = impl_->sessions.find(id);
    return it != impl_->sessions.end() &&
           it->second->RequestClose(websocket::close_code::normal, "disconnected by the service");
  } catch (...) {
    return false;
  }
}

std::optional<std::string> BeastWebSocketServer::RemoteAddress(ConnectionId id) const {
  auto it = impl_->sessions.find(id);
  if (it == impl_->sessions.end()) return std::nullopt;
  return it->second->RemoteAddress();
}

void BeastWebSocketServer::Shutdown() {
  try {
    boost::system::error_code ignored;
    if (impl_->acceptor) impl_->acceptor->close(ignored);
    // Copy: closing may finish a session and change the table while we walk it.
    std::vector<std::shared_ptr<SessionBase>> sessions;
    for (auto& [id, session] : impl_->sessions) sessions.push_back(session);
    for (auto& session : sessions) session->RequestClose(websocket::close_code::going_away, "server shutting down");
  } catch (...) {
  }
}

std::size_t BeastWebSocketServer::ConnectionCount() const { return impl_->sessions.size(); }
bool BeastWebSocketServer::WaitForCloseResponse() const { return impl_->waitForCloseResponse; }
int BeastWebSocketServer::SslEnabledProtocols() const { return impl_->sslEnabledProtocols; }

}  // namespace vantor
