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
// Checks, besides sanitizer reports: every send goes to an open connection, relayed text only to
// the connection its header names; an upgrade request is refused only with a status the server
// answers; a client is told it is accepted exactly when the tables hold its connection for the
// enabled customer it named; no handler throws or never returns; the tables hold after every
// input; no file line breaks but the broker's own CR LF; once every connection has closed, no
// record is in use.
#include "broker_rig.hpp"
#include "fuzz_check.hpp"
#include "notify/alarm_receiver_store.hpp"
#include "platform/net/http_upgrade_request.hpp"

#include <boost/beast/_experimental/test/stream.hpp>
#include <boost/beast/http/read.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <optional>

namespace {

using namespace vantor;
using fuzzing::Check;
using testing::FakeWebSocketServer;

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

// The unit tests' broker (broker_rig.hpp), built afresh for every input on one program directory,
// with an alarm receiver store that keeps nothing (a commit per message would be slow), driven as
// the servers drive it. Every send is checked as it happens: only to an open connection, and
// relayed text only to the connection its header names.
class Harness {
 public:
  Harness() {
    Reset();
    for (int c = 1; c <= kCustomerSlots; ++c) accounts_[c] = rig_->Customer(c);
  }

  // A new broker with the customer table loaded and no connections.
  void Reset() {
    rig_.emplace(seeded_.dir_, [this](std::string, std::string payload) -> asio::awaitable<bool> {
      co_await rig_->clock_.Wait(std::chrono::milliseconds(1));  // a commit suspends the handler
      co_return SplitReceiverPayload(payload).has_value();
    });
    // Every client comes from one address and the clock stands still: with the refusal limit,
    // an input's later opens would all be refused at the accept, hiding admission from the fuzzer.
    rig_->broker_.ConfigureAdmissionLimits({65535, std::chrono::seconds(60), std::chrono::seconds(60)}, {});
    for (ServerIndex server : {ServerIndex::kPlain, ServerIndex::kTls}) {
      Server(server).onSend = [this, server](ConnectionId id, const std::string& text) {
        Check(Server(server).IsOpen(id));
        CheckRouting({server, id}, text);
      };
    }
    rig_->Run(rig_->broker_.CustTableInit());
  }

  void Event(char op, int c, std::string payload) {
    const bool goesOn = std::isupper(static_cast<unsigned char>(op));
    op = static_cast<char>(std::tolower(static_cast<unsigned char>(op)));
    if (op == 'd') rig_->debug_ = !rig_->debug_;
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
      Spawn(c, Events(c).OnError(Id(c), 10054, std::move(payload)), false);
    }
    if (!goesOn) WaitIdle(c);
  }

  // Runs until every handler has returned and every close the broker asked for has been raised.
  void Drain() {
    for (;;) {
      StartCloses();
      rig_->io_.restart();
      const bool ran = rig_->io_.run() > 0;
      rig_->io_.restart();
      if (ran) continue;
      // Nothing left to run: a handler still counted would never return.
      Check(std::all_of(inflight_.begin(), inflight_.end(), [](int n) { return n == 0; }));
      Collect();
      if (std::none_of(closing_.begin(), closing_.end(), [](bool b) { return b; })) return;
    }
  }

  // Closes every connection, then checks that no record is in use.
  void CloseAll() {
    for (int c = 0; c < kConnections; ++c) Event('C', c, "1001");
    Drain();
    CheckTables();
    for (int c = 1; c <= kCustomerSlots; ++c) Check(!rig_->Customer(c).connected());
    for (int m = 1; m <= kMobileSlots; ++m) Check(!rig_->Mobile(m).connected());
  }

  // Account fields never change through messages; a mobile belongs to an enabled customer; no
  // two records hold one connection; every held connection is open.
  void CheckTables() {
    std::vector<ConnectionRef> held;
    for (int c = 1; c <= kCustomerSlots; ++c) {
      const CustomerRecord& r = rig_->Customer(c);
      Check(r.custID == accounts_[c].custID && r.company == accounts_[c].company && r.enabled == accounts_[c].enabled);
      Check(r.kaInterval <= 32767 - 30);  // the drop time adds 30 s in 16 bits
      if (r.connected()) held.push_back(r.connection);
    }
    for (int m = 1; m <= kMobileSlots; ++m) {
      const MobileRecord& r = rig_->Mobile(m);
      if (r.connected()) held.push_back(r.connection);
      Check(!r.connected() || EnabledCustomer(r.custID));
    }
    std::sort(held.begin(), held.end());
    Check(std::adjacent_find(held.begin(), held.end()) == held.end());
    for (const ConnectionRef& c : held) Check(Server(c.server).IsOpen(c.id));
  }

  // Every line break in the files the broker wrote is its own CR LF, none a client's; the files
  // go, for the next input.
  void CheckAndRemoveFiles() {
    for (const char* folder : {"Debug", "Log", "KeepAlive"}) {
      for (const auto& entry : std::filesystem::directory_iterator(seeded_.dir_.path() / folder)) {
        const std::string text = testing::ReadFile(entry.path());
        for (std::size_t i = 0; i < text.size(); ++i) {
          if (text.compare(i, 2, "\r\n") == 0) ++i;
          else Check(text[i] != '\r' && text[i] != '\n');
        }
        std::filesystem::remove(entry.path());
      }
    }
  }

 private:
  static ServerIndex Type(int c) { return c & 1 ? ServerIndex::kTls : ServerIndex::kPlain; }
  static ConnectionId Id(int c) { return static_cast<ConnectionId>(c / 2 + 1); }
  FakeWebSocketServer& Server(ServerIndex server) { return server == ServerIndex::kPlain ? rig_->ws_ : rig_->wss_; }
  FakeWebSocketServer& Server(int c) { return Server(Type(c)); }
  WebSocketEvents& Events(int c) { return c & 1 ? rig_->broker_.tlsEvents() : rig_->broker_.plainEvents(); }

  bool EnabledCustomer(std::string_view custID) const {
    return std::any_of(accounts_.begin() + 1, accounts_.end(),
                       [&](const CustomerRecord& r) { return r.enabled && r.custID == custID; });
  }

  void RunOne() {
    rig_->io_.restart();
    Check(rig_->io_.run_one() > 0);  // something is waiting: a handler that can never resume is a fault
  }
  void WaitIdle(int c) {
    while (inflight_[c] > 0) RunOne();
  }

  void Spawn(int c, asio::awaitable<void> handler, bool opening) {
    ++inflight_[c];
    opening_ += opening;
    asio::co_spawn(rig_->io_, std::move(handler), [this, c, opening](std::exception_ptr failure) {
      Check(!failure);  // every handler keeps its failures to itself
      --inflight_[c];
      opening_ -= opening;
    });
  }

  // Connections the broker disconnected get their close event once their handler has returned,
  // as the real server raises it.
  void Collect() {
    for (ServerIndex server : {ServerIndex::kPlain, ServerIndex::kTls}) {
      for (ConnectionId id : Server(server).disconnected) closing_[(id - 1) * 2 + (server == ServerIndex::kTls)] = true;
      Server(server).disconnected.clear();
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
    bool accept = true;
    co_await Events(c).OnConnectionRequest("10.0.0.1", 50000, accept);
    if (!accept) co_return;
    co_await Events(c).OnOpenRequest(request);
    if (request.statusCode != 101) co_return co_await Server(c).Close(Id(c), kAbnormalClosure, "upgrade refused");
    const std::size_t before = Server(c).sent.size();
    Server(c).MarkOpen(Id(c));
    co_await Events(c).OnConnected(Id(c));
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
    Check(first.substr(2, 8) == custID && EnabledCustomer(custID));
    const ConnectionRef ref{Type(c), Id(c)};
    if (uri.find("/agt?") != std::string_view::npos) {
      Check(first.substr(10, 3) == "0  " && rig_->Customer(custID[1] - '0').HoldsConnection(ref));
    } else {
      const auto slot = ParseNumber(first.substr(10, 3));
      Check(slot && *slot >= 1 && *slot <= kMobileSlots);
      const MobileRecord& mobile = rig_->Mobile(static_cast<int>(*slot));
      Check(mobile.HoldsConnection(ref) && mobile.custID == custID);
    }
  }

  // A request or a keep-alive echo reaches only the agent of the customer it names, an answer
  // only the mobile slot it names; anything else is a server message with its whole header.
  void CheckRouting(ConnectionRef to, const std::string& text) {
    const std::string_view head = std::string_view(text).substr(0, 2);
    if (head == "DM" || head == "CA") {
      bool agent = false;
      for (int c = 1; c <= kCustomerSlots; ++c) {
        agent |= rig_->Customer(c).HoldsConnection(to) && rig_->Customer(c).custID == Mid(text, 3, 8);
      }
      Check(agent);
    } else if (head == "DA") {
      const auto slot = ParseNumber(Mid(text, 11, 3));
      Check(slot && *slot >= 1 && *slot <= kMobileSlots);
      const MobileRecord& mobile = rig_->Mobile(static_cast<int>(RoundHalfEven(*slot)));
      Check(mobile.HoldsConnection(to) && mobile.custID == Mid(text, 3, 8));
    } else {
      Check(head == "CW" && text.size() >= 13);
    }
  }

  testing::SeededProgramDir seeded_;
  std::array<CustomerRecord, kCustomerSlots + 1> accounts_{};
  std::optional<testing::BrokerRig> rig_;
  std::array<int, kConnections> inflight_{};
  std::array<bool, kConnections> closing_{};
  int opening_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Harness h;
  h.Reset();
  std::string_view input(reinterpret_cast<const char*>(data), size);
  for (int events = 0; events < kMaxEvents && !input.empty(); ++events) {
    const bool upgrade = std::tolower(static_cast<unsigned char>(input[0])) == 'u';
    const auto end = upgrade ? std::string_view::npos : input.find('\n');
    const std::string_view line = input.substr(0, end);
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
    if (line.empty()) continue;
    const int connection = line.size() > 1 ? static_cast<unsigned char>(line[1]) / 2 % 4 * 2 + (line[1] & 1) : 0;
    const std::string_view payload = line.size() > 2 ? line.substr(2) : std::string_view();
    h.Event(line[0], connection, upgrade ? std::string(payload) : Unescape(payload));
  }
  h.Drain();
  h.CheckTables();
  h.CloseAll();
  h.CheckAndRemoveFiles();
  return 0;
}
