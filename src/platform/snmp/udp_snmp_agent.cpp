#include "platform/snmp/udp_snmp_agent.hpp"

#include "platform/async/no_throw_awaitable.hpp"
#include "platform/async/std_error_code.hpp"
#include "platform/snmp/snmp_answer.hpp"
#include "platform/snmp/snmp_ber.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <charconv>
#include <optional>
#include <vector>

namespace vantor {

namespace asio = boost::asio;
using asio::ip::udp;

namespace {

// The largest UDP payload; a datagram is read whole.
constexpr std::size_t kMaxDatagram = 65535;

struct Destination {
  std::string host;
  std::string port;
  std::optional<udp::endpoint> endpoint;  // set when the host is an address literal
};

std::optional<Destination> ParseDestination(const std::string& hostPort) {
  const std::size_t colon = hostPort.rfind(':');
  if (colon == std::string::npos || colon == 0) return std::nullopt;
  const std::string host = hostPort.substr(0, colon);
  const std::string portText = hostPort.substr(colon + 1);
  unsigned port = 0;
  const auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
  if (portText.empty() || ec != std::errc{} || end != portText.data() + portText.size() || port == 0 ||
      port > 65535)
    return std::nullopt;
  Destination d{host, portText, std::nullopt};
  boost::system::error_code bad;
  const auto address = asio::ip::make_address_v4(host, bad);
  if (!bad) {
    d.endpoint = udp::endpoint(address, static_cast<unsigned short>(port));
  } else if (host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") !=
             std::string::npos) {
    return std::nullopt;  // neither an IPv4 literal nor a host name
  }
  return d;
}

// A generic error answer carrying the request's variables, for when the handler's answer
// cannot be encoded (a value that does not fit its type).
SnmpMessage GenErrAnswer(const SnmpMessage& request) {
  SnmpMessage answer = request;
  answer.errorStatus = snmp_error::kGenErr;
  answer.errorIndex = 0;
  PrepareSnmpAnswer(request, answer);
  return answer;
}

}  // namespace

struct UdpSnmpAgent::State {
  explicit State(asio::io_context& context) : io(context), socket(context) {}

  asio::io_context& io;
  udp::socket socket;
  udp::endpoint local;
  bool started = false;
  RequestHandler handler;
  std::vector<Destination> destinations;
  int inFlight = 0;
};

namespace {

using StatePtr = std::shared_ptr<UdpSnmpAgent::State>;

asio::awaitable<void> Answer(StatePtr s, SnmpMessage request, udp::endpoint sender) {
  struct Release {
    UdpSnmpAgent::State& s;
    ~Release() { --s.inFlight; }
  } release{*s};

  // The answer starts from the request's variables, with no error: error fields that a request
  // carries mean nothing, and echoed they would report a success as a failure.
  SnmpMessage answer = request;
  answer.errorStatus = snmp_error::kNoError;
  answer.errorIndex = 0;
  bool send = false;
  try {
    // A copy, so the handler's captures live as long as this call even if it is replaced.
    const auto handler = s->handler;
    send = co_await handler(answer);
  } catch (...) {
    co_return;  // the request is dropped; the handler's owner logs its own failures
  }
  if (!send || !s->socket.is_open()) co_return;

  PrepareSnmpAnswer(request, answer);
  auto bytes = EncodeSnmpMessage(answer);
  if (!bytes) bytes = EncodeSnmpMessage(GenErrAnswer(request));
  if (!bytes) co_return;
  // A failed send (say, an answer beyond the UDP size) has no one to report to.
  co_await s->socket.async_send_to(asio::buffer(*bytes), sender, kNoThrow);
}

asio::awaitable<void> ReceiveLoop(StatePtr s) {
  std::vector<std::uint8_t> buffer(kMaxDatagram);
  while (s->socket.is_open()) {
    udp::endpoint sender;
    const auto [ec, n] = co_await s->socket.async_receive_from(asio::buffer(buffer), sender, kNoThrow);
    if (ec == asio::error::operation_aborted || !s->socket.is_open()) co_return;
    // Other errors (an ICMP unreachable reported for an earlier send) concern one datagram only.
    if (ec) continue;
    auto request = DecodeSnmpRequest(std::span(buffer.data(), n));
    if (!request || !s->handler || s->inFlight >= UdpSnmpAgent::kMaxRequestsInFlight) continue;
    ++s->inFlight;
    asio::co_spawn(s->io, Answer(s, std::move(*request), sender), asio::detached);
  }
}

// The address the system sends from to reach `to`: connecting a UDP socket sends nothing, it
// only picks the route.
std::string RouteAddress(asio::io_context& io, const udp::endpoint& to) {
  udp::socket probe(io);
  boost::system::error_code ec;
  probe.open(to.protocol(), ec);
  if (!ec) probe.connect(to, ec);
  const auto local = ec ? udp::endpoint() : probe.local_endpoint(ec);
  return ec ? "0.0.0.0" : local.address().to_string();
}

void SendTo(const StatePtr& s, SnmpMessage trap, bool fillAddress, const udp::endpoint& to) {
  if (fillAddress) trap.agentAddress = RouteAddress(s->io, to);
  auto bytes = EncodeSnmpMessage(trap);
  if (!bytes) return;
  auto payload = std::make_shared<std::vector<std::uint8_t>>(std::move(*bytes));
  s->socket.async_send_to(asio::buffer(*payload), to, [payload](auto, auto) {});
}

asio::awaitable<void> ResolveAndSend(StatePtr s, SnmpMessage trap, bool fillAddress, Destination d) {
  udp::resolver resolver(s->io);
  const auto [ec, results] = co_await resolver.async_resolve(udp::v4(), d.host, d.port, kNoThrow);
  if (ec || results.empty() || !s->socket.is_open()) co_return;
  SendTo(s, std::move(trap), fillAddress, results.begin()->endpoint());
}

}  // namespace

UdpSnmpAgent::UdpSnmpAgent(asio::io_context& io) : state_(std::make_shared<State>(io)) {}

UdpSnmpAgent::~UdpSnmpAgent() { Stop(); }

std::error_code UdpSnmpAgent::Start(int port, const std::string& localAddress) {
  if (state_->started) return std::make_error_code(std::errc::already_connected);
  if (port < 0 || port > 65535) return std::make_error_code(std::errc::invalid_argument);
  boost::system::error_code ec;
  const auto address = asio::ip::make_address(localAddress, ec);
  if (ec) return std::make_error_code(std::errc::invalid_argument);

  const udp::endpoint endpoint(address, static_cast<unsigned short>(port));
  auto& socket = state_->socket;
  socket.open(endpoint.protocol(), ec);
  if (!ec) socket.bind(endpoint, ec);
  if (!ec) state_->local = socket.local_endpoint(ec);
  if (ec) {
    boost::system::error_code ignored;
    socket.close(ignored);
    return ToStdErrorCode(ec);
  }
  state_->started = true;
  asio::co_spawn(state_->io, ReceiveLoop(state_), asio::detached);
  return {};
}

void UdpSnmpAgent::Stop() {
  boost::system::error_code ignored;
  state_->socket.close(ignored);
  state_->started = false;
}

std::string UdpSnmpAgent::LocalAddress() const {
  return state_->started ? state_->local.address().to_string() : std::string();
}

int UdpSnmpAgent::LocalPort() const { return state_->started ? state_->local.port() : 0; }

void UdpSnmpAgent::SetRequestHandler(RequestHandler handler) { state_->handler = std::move(handler); }

void UdpSnmpAgent::ClearTrapDestinations() { state_->destinations.clear(); }

bool UdpSnmpAgent::AddTrapDestination(const std::string& hostPort) {
  auto d = ParseDestination(hostPort);
  if (!d) return false;
  state_->destinations.push_back(std::move(*d));
  return true;
}

bool UdpSnmpAgent::SendTrap(const SnmpMessage& trap) {
  if (!state_->started || trap.type != snmp_type::kTrapV1) return false;
  const bool fillAddress = trap.agentAddress.empty() || trap.agentAddress == "0.0.0.0";
  SnmpMessage checked = trap;
  if (fillAddress) checked.agentAddress = "0.0.0.0";
  if (!EncodeSnmpMessage(checked)) return false;

  for (const auto& d : state_->destinations) {
    if (d.endpoint)
      SendTo(state_, checked, fillAddress, *d.endpoint);
    else
      asio::co_spawn(state_->io, ResolveAndSend(state_, checked, fillAddress, d), asio::detached);
  }
  return true;
}

}  // namespace vantor
