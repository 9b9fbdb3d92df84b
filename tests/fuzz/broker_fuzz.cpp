// Drives the broker with a sequence of connection events from agents and mobiles of the customers
// 01000001, 02000002 (enabled) and 03000003 (disabled) on both servers. One event per input line:
//
//   <op><connection><payload>
//
// op: o open (payload: path, then optionally TAB and the header lines), m message, c client close
// (payload: status code), e socket error (payload: description), d toggle debug mode, w wait until
// every handler has returned. A lower-case op runs to its end before the next line; an upper-case
// one goes on while the next lines start, as handlers of different connections interleave in the
// service. Events of one connection stay in order, and opens one at a time, as the server keeps
// them. connection: its byte's bit 0 picks the server (plain, TLS), bits 1-2 the id (1-4). In the
// payload, \n stands for LF, \0 for NUL and \\ for a backslash.
//
// Checks, besides sanitizer reports and the sends the harness checks: the verdict a client gets
// matches the tables, no handler throws or never returns, the account fields and one record per
// connection hold after every input, and once every connection has closed, no record is in use.
#include "broker_harness.hpp"

#include <cctype>

namespace {

using namespace vantor;
using fuzzing::Check;
using fuzzing::FakeWebSocketServer;

constexpr int kConnections = 8;
constexpr int kMaxEvents = 64;

fuzzing::BrokerHarness& Harness() {
  static fuzzing::BrokerHarness harness;
  return harness;
}

std::string Unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char next = text[++i];
    out += next == 'n' ? '\n' : next == '0' ? '\0' : next;
  }
  return out;
}

class Driver {
 public:
  explicit Driver(fuzzing::BrokerHarness& h) : h_(h) {}

  void Event(char op, int c, std::string payload) {
    const bool goesOn = std::isupper(static_cast<unsigned char>(op));
    op = static_cast<char>(std::tolower(static_cast<unsigned char>(op)));
    if (op == 'd') {
      h_.debug() = !h_.debug();
      return;
    }
    if (op == 'w') {
      Drain();
      return;
    }
    WaitIdle(c);
    StartCloses();
    WaitIdle(c);
    const bool open = Server(c).IsOpen(Id(c));
    if (op == 'o' && !open && !closing_[c]) {
      while (opening_ > 0) RunOne();
      const auto tab = payload.find('\t');
      std::string headers = tab == std::string::npos ? "User-Agent: test" : payload.substr(tab + 1);
      if (tab != std::string::npos) payload.resize(tab);
      Spawn(c, Open(c, std::move(payload), std::move(headers)), true);
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
    for (int c = 0; c < kConnections; ++c) {
      if (Server(c).IsOpen(Id(c))) Spawn(c, Server(c).Close(Id(c), 1001, "going away"), false);
    }
    Drain();
  }

 private:
  static ServerIndex Type(int c) { return c & 1 ? ServerIndex::kTls : ServerIndex::kPlain; }
  static ConnectionId Id(int c) { return static_cast<ConnectionId>(c / 2 + 1); }
  FakeWebSocketServer& Server(int c) { return h_.Server(Type(c)); }
  WebSocketEvents& Events(int c) { return c & 1 ? h_.broker().tlsEvents() : h_.broker().plainEvents(); }

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
    for (auto* server : {&h_.Server(ServerIndex::kPlain), &h_.Server(ServerIndex::kTls)}) {
      for (ConnectionId id : server->disconnected) {
        Check(id >= 1 && id <= kConnections / 2);
        closing_[(id - 1) * 2 + (server == &h_.Server(ServerIndex::kTls) ? 1 : 0)] = true;
      }
      server->disconnected.clear();
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

  asio::awaitable<void> Open(int c, std::string uri, std::string headers) {
    FakeWebSocketServer& server = Server(c);
    const std::size_t before = server.sent.size();
    const OpenRequest request = co_await server.Connect(Id(c), uri, "10.0.0.1", headers);
    if (request.id == 0 || request.statusCode != 101) co_return;  // refused at the accept, or no upgrade
    std::string first;
    for (std::size_t i = before; i < server.sent.size() && first.empty(); ++i) {
      if (server.sent[i].id == Id(c)) first = server.sent[i].text;
    }
    CheckVerdict(c, uri, first);
  }

  // "CW" + id + mobile number + "Connection Accepted" exactly when the tables hold the connection
  // for the enabled customer its path names.
  void CheckVerdict(int c, std::string_view uri, const std::string& first) {
    auto& tables = h_.broker().tables();
    const std::string custID = ReadLoginPath(uri).custID;
    if (first.size() <= 13 || std::string_view(first).substr(13) != "Connection Accepted") {
      Check(first.rfind("CW00000000" "0  " "MSG:", 0) == 0);
      return;
    }
    Check(std::string_view(first).substr(2, 8) == custID && (custID == "01000001" || custID == "02000002"));
    if (uri.find("/agt?") != std::string_view::npos) {
      Check(first.substr(10, 3) == "0  " && tables.Customer(custID[1] - '0').HoldsConnection({Type(c), Id(c)}));
    } else {
      const auto slot = ParseNumber(first.substr(10, 3));
      Check(slot && *slot >= 1 && *slot <= kMobileSlots);
      const MobileRecord& mobile = tables.Mobile(static_cast<int>(*slot));
      Check(mobile.HoldsConnection({Type(c), Id(c)}) && mobile.custID == custID);
    }
  }

  fuzzing::BrokerHarness& h_;
  std::array<int, kConnections> inflight_{};
  std::array<bool, kConnections> closing_{};
  int opening_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto& h = Harness();
  h.Reset();
  Driver driver(h);
  std::string_view input(reinterpret_cast<const char*>(data), size);
  for (int events = 0; events < kMaxEvents && !input.empty(); ++events) {
    const auto end = input.find('\n');
    const std::string_view line = input.substr(0, end);
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
    if (line.empty()) continue;
    const int connection = line.size() > 1 ? static_cast<unsigned char>(line[1]) / 2 % 4 * 2 + (line[1] & 1) : 0;
    driver.Event(line[0], connection, Unescape(line.size() > 2 ? line.substr(2) : std::string_view()));
  }
  driver.Drain();
  h.CheckTables();
  driver.CloseAll();
  h.CheckTables();
  auto& tables = h.broker().tables();
  for (int c = 1; c <= kCustomerSlots; ++c) Check(!tables.Customer(c).connected());
  for (int m = 1; m <= kMobileSlots; ++m) Check(!tables.Mobile(m).connected());
  return 0;
}
