// Feeds an arbitrary upgrade request (request line and header fields as a client sends them) through
// the server's reading of it (the request line with spaces in its target, the HTTP parser, the
// checks, the open request) and the broker's admission. The first input byte chooses the server,
// debug mode and whether customer 01000001's agent (pass "p") is connected already.
//
// Checks, besides sanitizer reports: a refusal has a known status; a target with spaces reaches
// the broker as sent; the verdict the client gets names an enabled customer by the id in its path
// exactly when the connection was admitted, and then the tables hold the connection with the pass
// from the path; the mobile connection log gets one line for an admitted mobile, with its
// User-Agent field and no line break of the client's; the end of the connection frees its record.
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
  if (eol != std::string_view::npos) {
    rawTarget = EscapeTargetSpaces(buffer, eol);
    if (rawTarget) {
      Check(rawTarget->find(' ') != std::string::npos);
      const std::string_view seen(static_cast<const char*>(buffer.data().data()), buffer.size());
      const std::string_view line = seen.substr(0, seen.find("\r\n"));
      Check(std::count(line.begin(), line.end(), ' ') == 2);
    }
  }
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
  // One "Name: value" line per field.
  const auto fields = static_cast<std::size_t>(std::distance(parser.get().begin(), parser.get().end()));
  std::size_t breaks = 0;
  for (std::size_t at = open.headers.find("\r\n"); at != std::string::npos; at = open.headers.find("\r\n", at + 2)) ++breaks;
  Check(breaks + 1 == fields && open.headers.find_first_of("\r\n") == open.headers.find("\r\n"));
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

void CheckTextFields(std::string_view text, std::size_t position, std::size_t width) {
  const std::string_view mid = Mid(text, position, width);
  Check(position == 0 || position > text.size() ? mid.empty() : mid == text.substr(position - 1, width));
  const std::string fixed = FixedWidth(text, width);
  Check(fixed.size() == width && fixed.compare(0, std::min(width, text.size()), text.substr(0, width)) == 0);
  Check(ShortenForEvent(text).size() <= 256 + 32);
  if (const auto number = ParseNumber(mid)) {
    const std::string_view t = TrimSpaces(mid);
    Check(!t.empty() && t.find_first_not_of("+-.0123456789") == std::string_view::npos);
  }
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

  CheckTextFields(request, flags >> 3, (flags >> 1) & 15);
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
    const CustomerRecord& customer = tables.Customer(custID == "01000001" ? 1 : 2);
    if (agent) {
      Check(first.substr(10, 3) == "0  " && customer.HoldsConnection({type, 1}));
      Check(customer.custPass.empty() || uri.find(customer.custPass + "__________") != std::string_view::npos);
    } else {
      Check(uri.find("/mob?") != std::string_view::npos && (flags & 4) && custID == "01000001");
      const auto slot = ParseNumber(first.substr(10, 3));
      Check(slot && *slot >= 1 && *slot <= kMobileSlots);
      const MobileRecord& mobile = tables.Mobile(static_cast<int>(*slot));
      Check(mobile.HoldsConnection({type, 1}) && mobile.custPass == "p" && mobile.custID == custID);
      const std::string line = testing::ReadFile(logFile);
      const auto label = open->headers.find("User-Agent:");
      if (label == std::string::npos) {
        Check(line.empty());
      } else {
        const auto end = open->headers.find("\r\n", label);
        const std::string userAgent = open->headers.substr(label, end == std::string::npos ? end : end - label);
        Check(line.size() >= 2 && line.find("\r\n") == line.size() - 2 && line.find('\n') == line.size() - 1);
        Check(line.compare(line.size() - 2 - userAgent.size(), userAgent.size(), userAgent) == 0);
      }
    }
  }
  testing::RunToEnd(h.io(), server.Close(1, 1000));
  h.CheckTables();
  for (int c = 1; c <= kCustomerSlots; ++c) Check(!tables.Customer(c).HoldsConnection({type, 1}));
  for (int m = 1; m <= kMobileSlots; ++m) Check(!tables.Mobile(m).HoldsConnection({type, 1}));
  return 0;
}
