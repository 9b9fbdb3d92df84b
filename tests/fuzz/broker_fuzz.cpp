// Drives the broker with what clients of the customers 01000001, 02000002 (enabled) and 03000003
// (disabled) do on both servers, one event per input line:
//
//   <op><connection><payload>
//
// op: o open (payload: path, then optionally TAB and the header lines), u open by an upgrade
// request (payload: the rest of the input as the client sends it, read as the server reads it),
// m message, c client close (payload: status code), e socket error (payload: description),
// d toggle debug mode, w wait until every handler has returned. A lower-case op runs to its end
// before the next line; an upper-case one goes on while the next lines start, as handlers of
// different connections interleave in the service. Events of one connection stay in order, and
// opens one at a time, as the server keeps them. connection: its byte's bit 0 picks the server
// (plain, TLS), bits 1-2 the id (1-4). Except after u, \n in the payload stands for LF, \0 for
// NUL and \\ for a backslash.
//
// Checks, besides sanitizer reports and the harness's checks of every send: an upgrade request
// is refused only with a status the server answers; a client is told it is accepted exactly when
// the tables hold its connection for the enabled customer it named; no handler throws or never
// returns; the tables hold after every input; no file line breaks but the broker's own CR LF;
// once every connection has closed, no record is in use.
#include "broker_harness.hpp"
#include "platform/net/http_upgrade_request.hpp"

#include <boost/beast/_experimental/test/stream.hpp>
#include <boost/beast/http/read.hpp>

#include <cctype>

namespace {

using namespace vantor;
using fuzzing::Check;
using fuzzing::FakeWebSocketServer;

constexpr int kConnections = 8;
constexpr int kMaxEvents = 64;
constexpr std::size_t kHeaderLimit = 8 * 1024;  // WebSocketLimits defaults
constexpr std::size_t kFieldLimit = 100;

std::string Unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool escaped = text[i] == '\\' && i + 1 < text.size();
    const char c = text[escaped ? ++i : i];
    out += !escaped ? c : c == 'n' ? '\n' : c == '0' ? '\0' : c;
  }
  return out;
}

std::optional<OpenRequest> LoginRequest(ConnectionId id, std::string payload) {
  const auto tab = payload.find('\t');
  OpenRequest request;
  request.id = id;
  request.host = "localhost";
  request.headers = tab == std::string::npos ? "User-Agent: test" : payload.substr(tab + 1);
  request.uri = payload.substr(0, tab);
  return request;
}

// The server's reading of an upgrade request that arrived whole before the client closed.
std::optional<OpenRequest> ReadUpgradeRequest(std::string_view bytes, ConnectionId id) {
  namespace http = boost::beast::http;
  asio::io_context io;
  boost::beast::test::stream client(io, bytes);
  client.close_remote();
  boost::beast::flat_buffer buffer;
  std::optional<std::string> rawTarget;
  http::request_parser<http::empty_body> parser;
  parser.header_limit(static_cast<std::uint32_t>(kHeaderLimit));
  boost::beast::error_code ec;
  testing::RunToEnd(io, [&]() -> asio::awaitable<void> {
    ec = co_await ReadRequestLine(client, buffer, kHeaderLimit, rawTarget);
    if (!ec) std::tie(ec, std::ignore) = co_await http::async_read(client, buffer, parser, kNoThrow);
  }());
  if (const auto refusal = CheckUpgradeRequest(ec, parser.get(), kFieldLimit)) {
    Check(refusal->status == 400 || refusal->status == 426 || refusal->status == 431);
    return std::nullopt;
  }
  return MakeOpenRequest(id, parser.get(), rawTarget);
}

class Driver {
 public:
  explicit Driver(fuzzing::BrokerHarness& h) : h_(h) {}

  void Event(char op, int c, std::string payload) {
    const bool goesOn = std::isupper(static_cast<unsigned char>(op));
    op = static_cast<char>(std::tolower(static_cast<unsigned char>(op)));
    if (op == 'd') h_.debug() = !h_.debug();
    if (op == 'w') Drain();
    if (op == 'd' || op == 'w') return;
    WaitIdle(c);
    StartCloses();
    WaitIdle(c);
    const bool open = Server(c).IsOpen(Id(c));
    if ((op == 'o' || op == 'u') && !open && !closing_[c]) {
      while (opening_ > 0) RunOne();
      auto request = op == 'o' ? LoginRequest(Id(c), std::move(payload)) : ReadUpgradeRequest(payload, Id(c));
      if (request) Spawn(c, Open(c, std::move(*request)), true);
    } else if (op == 'm' && open) {
      Spawn(c, Server(c).Receive(Id(c), std::move(payload)), false);
    } else if (op == 'c' && open) {
      const int code = payload.empty() ? 1000 : std::atoi(payload.substr(0, 5).c_str());
      Spawn(c, Server(c).Close(Id(c), code, "closed by client"), false);
    } else if (op == 'e' && open) {
      Spawn(c, h_.Events(Type(c)).OnError(Id(c), 10054, std::move(payload)), false);
    }
    if (!goesOn) WaitIdle(c);
  }

  // Runs until every handler has returned and every close the broker asked for has been raised.
  void Drain() {
    for (;;) {
      StartCloses();
      auto& io = h_.io();
      io.restart();
      const bool ran = io.run() > 0;
      io.restart();
      if (ran) continue;
      // Nothing left to run: a handler still counted would never return.
      Check(std::all_of(inflight_.begin(), inflight_.end(), [](int n) { return n == 0; }));
      Collect();
      if (std::none_of(closing_.begin(), closing_.end(), [](bool b) { return b; })) return;
    }
  }

  void CloseAll() {
    for (int c = 0; c < kConnections; ++c) Event('C', c, "1001");
    Drain();
  }

 private:
  static ServerIndex Type(int c) { return c & 1 ? ServerIndex::kTls : ServerIndex::kPlain; }
  static ConnectionId Id(int c) { return static_cast<ConnectionId>(c / 2 + 1); }
  FakeWebSocketServer& Server(int c) { return h_.Server(Type(c)); }

  void RunOne() {
    auto& io = h_.io();
    io.restart();
    Check(io.run_one() > 0);  // something is waiting: a handler that can never resume is a fault
  }
  void WaitIdle(int c) {
    while (inflight_[c] > 0) RunOne();
  }

  void Spawn(int c, asio::awaitable<void> handler, bool opening) {
    ++inflight_[c];
    opening_ += opening;
    asio::co_spawn(h_.io(), std::move(handler), [this, c, opening](std::exception_ptr failure) {
      Check(!failure);  // every handler keeps its failures to itself
      --inflight_[c];
      opening_ -= opening;
    });
  }

  // Connections the broker disconnected get their close event once their handler has returned,
  // as the real server raises it.
  void Collect() {
    for (ServerIndex server : {ServerIndex::kPlain, ServerIndex::kTls}) {
      for (ConnectionId id : h_.Server(server).disconnected) {
        closing_[(id - 1) * 2 + (server == ServerIndex::kTls)] = true;
      }
      h_.Server(server).disconnected.clear();
    }
  }
  void StartCloses() {
    Collect();
    for (int c = 0; c < kConnections; ++c) {
      if (!closing_[c] || inflight_[c] > 0) continue;
      closing_[c] = false;
      Spawn(c, Server(c).Close(Id(c), kClosedByServer, "closed by the service"), false);
    }
  }

  // The events the server raises for a new connection, as the fake server's Connect.
  asio::awaitable<void> Open(int c, OpenRequest request) {
    WebSocketEvents& events = h_.Events(Type(c));
    bool accept = true;
    co_await events.OnConnectionRequest("10.0.0.1", 50000, accept);
    if (!accept) co_return;
    co_await events.OnOpenRequest(request);
    if (request.statusCode != 101) co_return co_await Server(c).Close(Id(c), kAbnormalClosure, "upgrade refused");
    const std::size_t before = Server(c).sent.size();
    Server(c).MarkOpen(Id(c));
    co_await events.OnConnected(Id(c));
    for (std::size_t i = before; i < Server(c).sent.size(); ++i) {
      if (Server(c).sent[i].id == Id(c)) co_return CheckVerdict(c, request.uri, Server(c).sent[i].text);
    }
    Check(false);  // a client always hears the verdict
  }

  // "CW" + id + mobile number + "Connection Accepted" exactly when the tables hold the connection
  // for the enabled customer its path names.
  void CheckVerdict(int c, std::string_view uri, std::string_view first) {
    if (first.size() <= 13 || first.substr(13) != "Connection Accepted") {
      Check(first.starts_with("CW00000000" "0  " "MSG:"));
      return;
    }
    const std::string custID = ReadLoginPath(uri).custID;
    Check(first.substr(2, 8) == custID && h_.EnabledCustomer(custID));
    const ConnectionTables& tables = h_.broker().tables();
    const ConnectionRef ref{Type(c), Id(c)};
    if (uri.find("/agt?") != std::string_view::npos) {
      Check(first.substr(10, 3) == "0  " && tables.Customer(custID[1] - '0').HoldsConnection(ref));
    } else {
      const auto slot = ParseNumber(first.substr(10, 3));
      Check(slot && *slot >= 1 && *slot <= kMobileSlots);
      const MobileRecord& mobile = tables.Mobile(static_cast<int>(*slot));
      Check(mobile.HoldsConnection(ref) && mobile.custID == custID);
    }
  }

  fuzzing::BrokerHarness& h_;
  std::array<int, kConnections> inflight_{};
  std::array<bool, kConnections> closing_{};
  int opening_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzzing::BrokerHarness h;
  h.Reset();
  Driver driver(h);
  std::string_view input(reinterpret_cast<const char*>(data), size);
  for (int events = 0; events < kMaxEvents && !input.empty(); ++events) {
    const bool upgrade = std::tolower(static_cast<unsigned char>(input[0])) == 'u';
    const auto end = upgrade ? std::string_view::npos : input.find('\n');
    const std::string_view line = input.substr(0, end);
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
    if (line.empty()) continue;
    const int connection = line.size() > 1 ? static_cast<unsigned char>(line[1]) / 2 % 4 * 2 + (line[1] & 1) : 0;
    const std::string_view payload = line.size() > 2 ? line.substr(2) : std::string_view();
    driver.Event(line[0], connection, upgrade ? std::string(payload) : Unescape(payload));
  }
  driver.Drain();
  h.CheckTables();
  driver.CloseAll();
  h.CheckTables();
  h.CheckLineBreaks();
  for (int c = 1; c <= kCustomerSlots; ++c) Check(!h.broker().tables().Customer(c).connected());
  for (int m = 1; m <= kMobileSlots; ++m) Check(!h.broker().tables().Mobile(m).connected());
  return 0;
}
