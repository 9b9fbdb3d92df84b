#include "platform/net/websocket_session.hpp"

#include "platform/async/no_throw_awaitable.hpp"
#include "platform/net/connection_end.hpp"
#include "platform/net/http_upgrade_request.hpp"
#include "platform/net/http_upgrade_response.hpp"
#include "platform/net/write_batch_stream.hpp"

#include <boost/asio/bind_allocator.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/recycling_allocator.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <openssl/ssl.h>

#include <iterator>
#include <type_traits>

namespace vantor {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

namespace {

using PlainStream = WriteBatchStream<beast::tcp_stream>;
using TlsStream = WriteBatchStream<beast::ssl_stream<beast::tcp_stream>>;

// A batch is the oldest queued message and the ones behind it while their frames, copied into
// one buffer, stay within this; a larger message leaves in its own write. One buffer keeps the
// gather write within the few buffers the socket layer passes to one system call.
constexpr std::size_t kMaxBatchFollowerBytes = 64 * 1024;

// A handler failure must not end the connection's coroutine half-way (the id would leak).
asio::awaitable<void> SwallowingHandlerFailure(asio::awaitable<void> handler) {
  try {
    co_await std::move(handler);
  } catch (...) {
  }
}

}  // namespace

WebSocketSession::WebSocketSession(std::shared_ptr<BeastWebSocketServer::Impl> server, ConnectionId id,
                                   std::string remoteAddress, int remotePort)
    : server_(std::move(server)),
      id_(id),
      remoteAddress_(std::move(remoteAddress)),
      remotePort_(remotePort),
      openingDeadline_(std::chrono::steady_clock::now() + server_->limits.openingTimeout),
      cork_(WriteCork::Of(server_->io)),
      closeDeadline_(server_->io),
      idleTimer_(server_->io),
      idleLimit_(server_->limits.idleTimeout) {}

void WebSocketSession::EndOpening() {
  if (!countsAsOpening_) return;
  countsAsOpening_ = false;
  server_->opening.Leave(remoteAddress_);
}

bool WebSocketSession::Enqueue(std::string&& text) {
  if (state_ != State::Open) return false;
  if (queuedBytes_ + text.size() > server_->limits.maxQueuedBytes) {
    Fail(kAbnormalClosure, "client does not read: more than " + std::to_string(server_->limits.maxQueuedBytes) +
                               " bytes queued");
    return false;
  }
  queuedBytes_ += text.size();
  outbox_.push_back(std::move(text));
  WakeWriter();
  return true;
}

void WebSocketSession::SetIdleLimit(std::chrono::milliseconds limit) {
  idleLimit_ = std::max(limit, server_->limits.idleTimeout);
}

bool WebSocketSession::RequestClose(websocket::close_code wireCode, std::string why) {
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
  ArmCloseDeadline(admitted_ ? server_->limits.closeTimeout : server_->limits.refusedCloseTimeout);
  WakeWriter();
  return true;
}

void WebSocketSession::Fail(int code, std::string why) {
  if (!endCode_) {
    endCode_ = code;
    endText_ = std::move(why);
  }
  if (state_ == State::Open || state_ == State::Opening) state_ = State::Closing;
  Abort();
}

void WebSocketSession::CloseWithCode(websocket::close_code wireCode, std::string why) {
  if (state_ != State::Open) return;
  state_ = State::Closing;
  closeFrame_ = websocket::close_reason(wireCode, why);
  endCode_ = static_cast<int>(wireCode);
  endText_ = std::move(why);
  ArmCloseDeadline(server_->limits.closeTimeout);
  WakeWriter();
}

void WebSocketSession::WakeWriter() {
  if (flushPosted_ || writing_) return;  // a running write goes on with what is queued
  flushPosted_ = true;
  cork_.Hold(shared_from_this());
}

void WebSocketSession::ReadStarted() {
  readUnderWay_ = true;
  cork_.ReadStarted();
}

void WebSocketSession::ReadEnded() {
  if (!std::exchange(readUnderWay_, false)) return;
  cork_.ReadEnded();
}

std::chrono::milliseconds WebSocketSession::RemainingOpeningTime() const {
  // The time the service's admission took is not the client's; the answer always gets 1 s.
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(openingDeadline_ -
                                                                          std::chrono::steady_clock::now());
  return std::max(left, std::chrono::milliseconds(1000));
}

void WebSocketSession::ArmCloseDeadline(std::chrono::milliseconds limit) {
  closeDeadline_.expires_after(limit);
  closeDeadline_.async_wait([weak = weak_from_this()](const boost::system::error_code& ec) {
    if (ec) return;
    if (auto self = weak.lock()) self->Abort();
  });
}

WebSocketEvents* WebSocketSession::Events() const { return server_->detached ? nullptr : &server_->events; }

asio::awaitable<void> WebSocketSession::RaiseError(int code, std::string text) {
  if (auto* ev = Events()) co_await SwallowingHandlerFailure(ev->OnError(id_, code, std::move(text)));
}

asio::awaitable<void> WebSocketSession::Finish(bool openRaised, int code, std::string text) {
  state_ = State::Closed;
  EndOpening();
  closeDeadline_.cancel();
  idleTimer_.cancel();
  Abort();
  if (openRaised) {
    if (auto* ev = Events()) co_await SwallowingHandlerFailure(ev->OnDisconnected(id_, code, std::move(text)));
  }
  auto it = server_->sessions.find(id_);
  if (it != server_->sessions.end() && it->second.get() == this) server_->sessions.erase(it);
}

namespace {

// The session over a plain or a TLS stream.
template <typename Stream>
class StreamSession final : public WebSocketSession {
  static constexpr bool kTls = std::is_same_v<Stream, TlsStream>;

 public:
  template <typename... StreamArgs>
  StreamSession(std::shared_ptr<BeastWebSocketServer::Impl> server, ConnectionId id, std::string address, int port,
                StreamArgs&&... args)
      : WebSocketSession(std::move(server), id, std::move(address), port), ws_(std::forward<StreamArgs>(args)...) {
    ws_.next_layer().OnRead([this] { ReadEnded(); });
  }

  void Abort() override {
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().close(ignored);
  }

  asio::awaitable<void> Run() override {
    auto keepAlive = shared_from_this();
    http::request_parser<http::empty_body> parser;
    if (!co_await ReceiveUpgradeRequest(parser)) co_return co_await Finish(false, 0, {});

    if (state_ != State::Opening) co_return co_await Finish(false, 0, {});
    if (auto end = co_await Upgrade(parser.get())) co_return co_await Finish(true, end->first, std::move(end->second));

    state_ = State::Open;
    if (admitted_) EndOpening();  // a refused connection counts as opening until it is gone
    asio::co_spawn(server_->io, IdleWatch(), [](std::exception_ptr) {});
    if (auto* ev = Events()) co_await SwallowingHandlerFailure(ev->OnConnected(id_));

    auto [code, text] = co_await ReadLoop();
    co_return co_await Finish(true, code, std::move(text));
  }

 private:
  // The steps before the service sees the open request: the connection request, the TLS
  // handshake, and reading the upgrade request into `parser`. False: the session ends unseen.
  asio::awaitable<bool> ReceiveUpgradeRequest(http::request_parser<http::empty_body>& parser) {
    bool accept = true;
    if (auto* ev = Events()) co_await SwallowingHandlerFailure(ev->OnConnectionRequest(remoteAddress_, remotePort_, accept));
    if (!accept || state_ != State::Opening) co_return false;
    if constexpr (kTls) {
      if (!co_await TlsHandshake()) co_return false;
    }
    parser.header_limit(static_cast<std::uint32_t>(server_->limits.maxRequestHeaderBytes));
    co_return co_await ReadUpgradeRequest(parser);
  }

  asio::awaitable<bool> TlsHandshake() {
    auto& tcp = beast::get_lowest_layer(ws_);
    tcp.expires_at(openingDeadline_);
    auto [ec] = co_await ws_.next_layer().next_layer().async_handshake(ssl::stream_base::server, kNoThrow);
    tcp.expires_never();
    if (ec) {
      // A named string: GCC 12 destroys a temporary built by ?: inside a co_await argument twice.
      const std::string why = ec == beast::error::timeout ? std::string("no TLS handshake within the time limit")
                                                          : "TLS handshake failed: " + ec.message();
      co_await RaiseError(ec.value(), why);
      co_return false;
    }
    SSL* native = ws_.next_layer().next_layer().native_handle();
    std::string status = std::string("TLS handshake complete: ") + SSL_get_version(native) + ", cipher " +
                         SSL_get_cipher_name(native);
    if (auto* ev = Events()) co_await SwallowingHandlerFailure(ev->OnSslStatus(id_, std::move(status)));
    co_return state_ == State::Opening;
  }

  // Reads the upgrade request under the handshake timeout; refuses it when it is not one.
  asio::awaitable<bool> ReadUpgradeRequest(http::request_parser<http::empty_body>& parser) {
    const auto& limits = server_->limits;
    auto& tcp = beast::get_lowest_layer(ws_);
    tcp.expires_at(openingDeadline_);
    beast::error_code ec = co_await ReadRequestLine(ws_.next_layer(), buffer_, limits.maxRequestHeaderBytes, rawTarget_);
    if (!ec) {
      auto [readEc, n] = co_await http::async_read(ws_.next_layer(), buffer_, parser, kNoThrow);
      ec = readEc;
    }
    tcp.expires_never();
    auto refusal = CheckUpgradeRequest(ec, parser.get(), limits.maxRequestHeaderFields);
    if (!refusal) co_return state_ == State::Opening;
    HeaderList headers;
    if (refusal->status == 426) headers.emplace_back("Upgrade", "websocket");
    co_await RaiseError(ec ? ec.value() : refusal->status, refusal->why);
    if (refusal->status != 0 && state_ == State::Opening)
      co_await Refuse(refusal->status, headers, refusal->why + "\r\n");
    co_return false;
  }

  // Raises the open request and answers it: refused with the service's status, or accepted.
  // Returns the code and text for OnDisconnected when the connection did not open.
  asio::awaitable<std::optional<std::pair<int, std::string>>> Upgrade(const UpgradeRequest& req) {
    OpenRequest open = MakeOpenRequest(id_, req, rawTarget_);
    if (auto* ev = Events()) co_await SwallowingHandlerFailure(ev->OnOpenRequest(open));
    admitted_ = open.admitted;
    if (open.statusCode != 101) {
      co_await Refuse(open.statusCode, ParseHeaderLines(open.responseHeaders), std::string());
      co_return std::pair{kAbnormalClosure, "upgrade refused with HTTP status " + std::to_string(open.statusCode)};
    }
    if (!co_await AcceptUpgrade(req, ParseHeaderLines(open.responseHeaders))) {
      std::pair end{endCode_.value_or(kAbnormalClosure), endText_};
      if (end.second.empty()) end.second = "WebSocket handshake failed";
      co_return end;
    }
    co_return std::nullopt;
  }

  // Answers with an HTTP status and closes; bounded by the opening deadline, with a moment
  // for the answer when the service's decision took the time.
  asio::awaitable<void> Refuse(int status, const HeaderList& headers, std::string body) {
    auto res = RefusalResponse(server_->serverName, status, headers, std::move(body));
    auto& tcp = beast::get_lowest_layer(ws_);
    tcp.expires_after(RemainingOpeningTime());
    co_await http::async_write(ws_.next_layer(), res, kNoThrow);
    tcp.expires_never();
    Abort();
  }

  asio::awaitable<bool> AcceptUpgrade(const UpgradeRequest& req, HeaderList headers) {
    const auto& limits = server_->limits;
    // The idle limit is the session's own (IdleWatch), so the library arms no timer per read.
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = RemainingOpeningTime();
    timeouts.idle_timeout = websocket::stream_base::none();
    timeouts.keep_alive_pings = false;
    ws_.set_option(timeouts);
    ws_.set_option(websocket::stream_base::decorator(
        [serverName = server_->serverName, headers = std::move(headers)](websocket::response_type& res) {
          if (!serverName.empty()) res.set(http::field::server, serverName);
          for (const auto& [name, value] : headers) res.set(name, value);
        }));
    ws_.read_message_max(limits.maxMessageBytes);
    ws_.auto_fragment(false);  // one frame per message: the batched writes rely on it
    ws_.control_callback([this](websocket::frame_type, beast::string_view) { heard_ = true; });
    auto [ec] = co_await ws_.async_accept(req, kNoThrow);
    timeouts.handshake_timeout = limits.closeTimeout;  // from now on it bounds the close handshake
    ws_.set_option(timeouts);
    if (ec) {
      co_await RaiseError(ec.value(), "WebSocket handshake failed: " + ec.message());
      co_return false;
    }
    co_return state_ == State::Opening;
  }

  // Reads whole messages and hands each to the service before reading the next. A message is
  // read straight into the string the service receives.
  asio::awaitable<std::pair<int, std::string>> ReadLoop() {
    for (;;) {
      std::string text;
      auto buffer = asio::dynamic_buffer(text);
      ReadStarted();
      auto [ec, n] = co_await ws_.async_read(buffer, kNoThrow);
      ReadEnded();
      if (ec) {
        if (idleExpired_) ec = beast::error::timeout;
        auto classified = ClassifyEnd(ec, ws_.reason(), server_->limits.maxMessageBytes);
        if (endCode_) co_return std::pair{*endCode_, endText_};
        if (classified.first != 1000 && classified.first != 1001 && classified.first != 1005 &&
            ec != websocket::error::closed)
          co_await RaiseError(ec.value(), classified.second);
        co_return classified;
      }
      heard_ = true;
      if (!ws_.got_text()) {
        CloseWithCode(websocket::close_code::unknown_data, "binary messages are not accepted");
      } else if (state_ == State::Open) {
        if (auto* ev = Events()) {
          handling_ = true;
          co_await SwallowingHandlerFailure(ev->OnDataIn(id_, std::move(text)));
          handling_ = false;
          heard_ = true;  // the silence counts from the end of the handler
        }
      }
    }
  }

  // The idle limit, counted on one timer per connection instead of a timer re-armed for every
  // message: the timer steps a quarter of the limit, and the silence grows by a step whenever
  // nothing arrived (a message or a control frame) during it. A peer silent for half the limit is
  // pinged, and one silent for the whole of it is dropped as timed out, so a silent peer goes
  // between one and one and a quarter limits after it was last heard. The limit is read at every
  // step, so one the service lengthened (SetIdleTimeout) applies from the next step. While the
  // service handles a message nothing is read, so the peer's answers to the pings could not
  // arrive: a handler that waits longer (a store behind a database held by another program)
  // would get a live peer dropped. Time spent in a handler therefore counts as heard.
  asio::awaitable<void> IdleWatch() {
    auto keepAlive = shared_from_this();
    std::chrono::milliseconds silence{0};
    bool pinged = false;
    while (state_ == State::Open || state_ == State::Closing) {
      const auto step = std::max<std::chrono::milliseconds>(idleLimit_ / 4, std::chrono::milliseconds(1));
      idleTimer_.expires_after(step);
      auto [ec] = co_await idleTimer_.async_wait(kNoThrow);
      if (ec || state_ == State::Closed) co_return;
      if (std::exchange(heard_, false) || handling_) {
        silence = std::chrono::milliseconds(0);
        pinged = false;
        continue;
      }
      silence += step;
      if (silence >= idleLimit_) {
        idleExpired_ = true;
        Abort();
        co_return;
      }
      if (!pinged && silence >= idleLimit_ / 2 && state_ == State::Open) {
        pinged = true;
        ws_.async_ping({}, [keepAlive](beast::error_code) {});
      }
    }
  }

  // The one writer of the connection: queued texts in order, then the close frame if one is due.
  // Plain callbacks, not a coroutine: a relayed message costs no frame and no timer here.
  void Flush() override {
    flushPosted_ = false;
    if (writing_ || (state_ != State::Open && state_ != State::Closing)) return;
    if (!outbox_.empty()) {
      WriteQueued();
    } else if (closeFrame_) {
      writing_ = true;
      ws_.async_close(*closeFrame_, [self = shared_from_this()](beast::error_code) { self->Abort(); });
    }
  }

  // Writes the oldest queued message and, in the same system call, the ones queued behind it
  // (up to the batch limits).
  void WriteQueued() {
    writing_ = true;
    TakeBatch();
    const std::string& first = batch_.front();
    if (batch_.size() > 1) ws_.next_layer().Attach(first.data() + first.size(), {FollowerFrames()});
    ws_.text(true);
    ws_.async_write(asio::buffer(first),
                    asio::bind_allocator(asio::recycling_allocator<void>(),
                                         [self = shared_from_this(), this](beast::error_code ec, std::size_t) {
                                           Written(ec);
                                         }));
  }

  // A write ended. Messages of the batch that the library did not let leave with the first (see
  // WriteBatchStream) go back to the front of the queue, and this connection batches no more.
  void Written(beast::error_code ec) {
    queuedBytes_ -= batch_.front().size();
    if (ws_.next_layer().Attached()) {
      ws_.next_layer().Detach();
      batching_ = false;
      outbox_.insert(outbox_.begin(), std::make_move_iterator(batch_.begin() + 1),
                     std::make_move_iterator(batch_.end()));
    } else {
      for (std::size_t i = 1; i < batch_.size(); ++i) queuedBytes_ -= batch_[i].size();
    }
    batch_.clear();
    writing_ = false;
    if (ec) return Fail(kAbnormalClosure, "write failed: " + ec.message());
    Flush();
  }

  void TakeBatch() {
    batch_.push_back(std::move(outbox_.front()));
    outbox_.pop_front();
    // The batch is recognised by where its first payload ends, so the first must not be empty.
    if (!batching_ || batch_.front().empty()) return;
    std::size_t followerBytes = 0;
    while (!outbox_.empty() && followerBytes + outbox_.front().size() + 10 <= kMaxBatchFollowerBytes) {
      followerBytes += outbox_.front().size() + 10;
      batch_.push_back(std::move(outbox_.front()));
      outbox_.pop_front();
    }
  }

  // The frames of the batch's messages after the first, header and payload each, in one buffer.
  asio::const_buffer FollowerFrames() {
    followerFrames_.clear();
    std::array<unsigned char, 10> header;
    for (std::size_t i = 1; i < batch_.size(); ++i) {
      followerFrames_.append(reinterpret_cast<const char*>(header.data()),
                             EncodeTextFrameHeader(batch_[i].size(), header));
      followerFrames_.append(batch_[i]);
    }
    return asio::buffer(followerFrames_);
  }

  websocket::stream<Stream> ws_;
  beast::flat_buffer buffer_{64 * 1024};
  std::vector<std::string> batch_;  // the messages being written
  std::string followerFrames_;      // their frames after the first, as one buffer
  bool batching_ = true;            // false once the library wrote a batch's first message alone
};

}  // namespace

std::shared_ptr<WebSocketSession> MakeWebSocketSession(std::shared_ptr<BeastWebSocketServer::Impl> server,
                                                       ConnectionId id, std::string remoteAddress, int remotePort,
                                                       tcp::socket socket) {
  if (server->tls) {
    auto& context = *server->tls;
    return std::make_shared<StreamSession<TlsStream>>(std::move(server), id, std::move(remoteAddress), remotePort,
                                                      std::move(socket), context);
  }
  return std::make_shared<StreamSession<PlainStream>>(std::move(server), id, std::move(remoteAddress), remotePort,
                                                      std::move(socket));
}

}  // namespace vantor
