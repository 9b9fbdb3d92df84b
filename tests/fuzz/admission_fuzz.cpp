// Feeds an arbitrary upgrade request (request line and header fields as a client sends them) through
// the server's reading of it (the request line with spaces in its target, the HTTP parser, the
// checks, the open request) and the broker's admission. The first input byte chooses the server,
// debug mode and whether customer 01000001's agent (pass "p") is connected already.
//
// Checks, besides sanitizer reports: a refusal has a known status; a target with spaces reaches
// the broker as sent; an admitted client is told the id of an enabled customer and the tables
// hold its connection; the mobile connection log gets one line for an admitted mobile, with no
// line break of the client's; the end of the connection frees its record.
#include "broker_harness.hpp"
#include "platform/net/http_upgrade_request.hpp"

#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>

#include <cstring>

namespace {

using namespace vantor;
using fuzzing::Check;
using fuzzing::FakeWebSocketServer;

constexpr std::size_t kHeaderLimit = 8 * 1024;  // WebSocketLimits defaults
constexpr std::size_t kFieldLimit = 100;
constexpr std::string_view kAccepted = "Connection Accepted";

fuzzing::BrokerHarness& Harness() {
  static fuzzing::BrokerHarness harness;
  return harness;
}

// The server's reading of the request, with every byte already received: the request line is
// looked for within the header limit, then the parser gets the rest.
std::optional<OpenRequest> ReadOpenRequest(std::string_view bytes, ConnectionId id) {
  namespace http = boost::beast::http;
  boost::beast::flat_buffer buffer;
  if (!bytes.empty()) {
    const auto room = buffer.prepare(bytes.size());
    std::memcpy(room.data(), bytes.data(), bytes.size());
    buffer.commit(bytes.size());
  }
  std::optional<std::string> rawTarget;
  const auto eol = bytes.substr(0, kHeaderLimit).find("\r\n");
  if (eol != std::string_view::npos) rawTarget = EscapeTargetSpaces(buffer, eol);
  http::request_parser<http::empty_body> parser;
  parser.header_limit(static_cast<std::uint32_t>(kHeaderLimit));
  boost::beast::error_code ec;
  if (eol == std::string_view::npos && bytes.size() < kHeaderLimit) {
    ec = boost::beast::error::timeout;  // the client stopped before the end of its request line
  }
  while (!ec && !parser.is_header_done()) {
    const auto used = parser.put(buffer.data(), ec);
    buffer.consume(used);
    if (ec == http::error::need_more) ec = boost::beast::error::timeout;  // waits for more, in vain
  }
  const auto refusal = CheckUpgradeRequest(ec, parser.get(), kFieldLimit);
  if (refusal) {
    Check(refusal->status == 0 || refusal->status == 400 || refusal->status == 426 || refusal->status == 431);
    return std::nullopt;
  }
  OpenRequest open = MakeOpenRequest(id, parser.get(), rawTarget);
  if (rawTarget) Check(open.uri == *rawTarget);
  return open;
}

asio::awaitable<void> Admit(WebSocketEvents& events, FakeWebSocketServer& server, OpenRequest& open) {
  bool accept = true;
  co_await events.OnConnectionRequest("192.0.2.1", 50000, accept);
  co_await events.OnOpenRequest(open);
  if (open.statusCode != 101) co_return;
  server.MarkOpen(open.id);
  co_await events.OnConnected(open.id);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  auto& h = Harness();
  h.Reset();
  const std::uint8_t flags = data[0];
  const std::string_view request(reinterpret_cast<const char*>(data + 1), size - 1);
  const bool tls = flags & 1;
  h.debug() = (flags & 2) != 0;
  const ServerIndex type = tls ? ServerIndex::kTls : ServerIndex::kPlain;
  FakeWebSocketServer& server = h.Server(type);
  WebSocketEvents& events = tls ? h.broker().tlsEvents() : h.broker().plainEvents();
  if (flags & 4) {
    FakeWebSocketServer& other = h.Server(ServerIndex::kPlain);
    testing::RunToEnd(h.io(), other.Connect(7, "/agt?01000001 p__________"));
    Check(other.sent.back().text == "CW01000001" "0  " "Connection Accepted");
  }

  auto open = ReadOpenRequest(request, 1);
  if (!open) return 0;
  const auto before = server.sent.size();
  testing::RunToEnd(h.io(), Admit(events, server, *open));
  if (open->statusCode != 101) return 0;
  Check(server.sent.size() > before && server.sent[before].id == 1);
  const std::string& first = server.sent[before].text;
  const std::string_view uri = open->uri;
  auto& tables = h.broker().tables();
  const bool accepted = first.size() > 13 && std::string_view(first).substr(13) == kAccepted;
  const bool agent = uri.find("/agt?") != std::string_view::npos;
  const auto logFile = h.programDir() / "Log" / "MobileConnection.txt";
  if (!accepted) {
    Check(first.rfind("CW00000000" "0  " "MSG:", 0) == 0);
    Check(!std::filesystem::exists(logFile));
  } else {
    const std::string custID = ReadLoginPath(uri).custID;
    Check(std::string_view(first).substr(2, 8) == custID && (custID == "01000001" || custID == "02000002"));
    if (agent) {
      Check(tables.Customer(custID == "01000001" ? 1 : 2).HoldsConnection({type, 1}));
    } else {
      const auto slot = ParseNumber(first.substr(10, 3));
      Check(slot && *slot >= 1 && *slot <= kMobileSlots && tables.Mobile(static_cast<int>(*slot)).HoldsConnection({type, 1}));
      const std::string line = testing::ReadFile(logFile);
      const bool logged = open->headers.find("User-Agent:") != std::string::npos;
      Check(logged ? line.size() >= 2 && line.find("\r\n") == line.size() - 2 && line.find('\n') == line.size() - 1
                   : line.empty());
    }
  }
  testing::RunToEnd(h.io(), server.Close(1, 1000));
  h.CheckTables();
  for (int c = 1; c <= kCustomerSlots; ++c) Check(!tables.Customer(c).HoldsConnection({type, 1}));
  for (int m = 1; m <= kMobileSlots; ++m) Check(!tables.Mobile(m).HoldsConnection({type, 1}));
  return 0;
}
