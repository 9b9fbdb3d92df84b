// probe CUSTID: one request relayed through the running service, timed. The probe logs in as the
// customer's agent and as one of its mobiles (the load simulators' connection and message code)
// with the pass read as secret_input.hpp says; when the customer's own agent already holds the
// agent slot, the request goes through that agent instead, and the pass must be the one it
// logged in with.

#include "arguments.hpp"
#include "commands.hpp"
#include "outcome.hpp"
#include "secret_input.hpp"

#include "core/schema.hpp"
#include "core/settings.hpp"

#include "protocol.hpp"
#include "ws_connection.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <fmt/format.h>

#include <chrono>
#include <random>

namespace vantor::console {
namespace asio = boost::asio;
using load::WsConnection;

namespace {

constexpr auto kProbeTimeout = std::chrono::seconds(5);

struct ProbeResult {
  bool finished = false;
  bool ok = false;
  bool ownAgent = true;
  std::string message;
  double milliseconds = 0;
};

// The words for a refusal text of the service's first message.
std::string Refusal(const std::string& cust, const std::string& text) {
  if (text.find("Not Found") != std::string::npos) return "Customer " + cust + " is unknown to the running service";
  if (text.find("Not Enabled") != std::string::npos) return "Customer " + cust + " is disabled";
  if (text.find("Invalid CustPass") != std::string::npos) return "Wrong password for customer " + cust;
  if (text.find("Agent Software Not Connected") != std::string::npos)
    return "The agent of customer " + cust + " left before the mobile logged in";
  if (text.find("Max Connection") != std::string::npos) return "All mobile slots of the service are taken";
  return "The service refused the login: " + text;
}

std::string Body(const std::string& message) { return message.size() > 13 ? message.substr(13) : ""; }

// The agent side: answers the one request with its own payload.
asio::awaitable<void> AnswerOnce(std::shared_ptr<WsConnection> agent, std::string cust) {
  try {
    for (;;) {
      const std::string message = co_await agent->read();
      if (auto nr = load::numberField(message, "DM", cust)) {
        agent->send(load::header("DA", cust, *nr) + std::string(load::body(message)));
        co_return;
      }
    }
  } catch (const std::exception&) {
    // The connection ended; the mobile side reports what is missing.
  }
}

asio::awaitable<void> Probe(load::Endpoint endpoint, std::string cust, std::string pass, ProbeResult& result) {
  auto ex = co_await asio::this_coro::executor;
  auto agent = std::make_shared<WsConnection>(ex);
  auto mobile = std::make_shared<WsConnection>(ex);
  try {
    co_await agent->open(endpoint, load::loginTarget("agt", cust, pass));
    const std::string first = co_await agent->read();
    if (Body(first) == "MSG:Connection Exist.") {
      result.ownAgent = false;  // the customer's agent is connected: relay through it
      agent->close();
    } else if (Body(first) != "Connection Accepted") {
      result.message = Refusal(cust, Body(first));
      result.finished = true;
      co_return;
    } else {
      asio::co_spawn(ex, AnswerOnce(agent, cust), asio::detached);
    }
    co_await mobile->open(endpoint, load::loginTarget("mob", cust, pass));
    const std::string admitted = co_await mobile->read();
    const auto nr = load::numberField(admitted, "CW", cust);
    if (!nr || Body(admitted) != "Connection Accepted") {
      result.message = Refusal(cust, Body(admitted));
      result.finished = true;
      if (result.ownAgent) agent->close();
      co_return;
    }
    std::random_device entropy;
    const std::string request = load::header("DM", cust, *nr) + fmt::format("PROBE {:08x}", entropy());
    const auto sent = std::chrono::steady_clock::now();
    mobile->send(request);
    for (;;) {
      const std::string answer = co_await mobile->read();
      if (load::numberField(answer, "DA", cust) != nr) continue;
      result.milliseconds =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent).count();
      // Our own agent echoes the request; the customer's agent answers in its own words.
      result.ok = !result.ownAgent || answer.size() >= 13;
      if (result.ownAgent && Body(answer) != Body(request)) {
        result.ok = false;
        result.message = "The answer came back changed: " + answer;
      }
      break;
    }
  } catch (const std::exception& e) {
    result.message = std::string("The connection ended before the answer came back: ") + e.what();
  }
  result.finished = true;
  mobile->close();
  agent->close();
}

std::optional<load::Endpoint> ServiceEndpoint(const CommandContext& c, std::string& error) {
  try {
    const auto settings = GeneralSettings::Load(c.programDir / kDatabaseFileName);
    if (!settings.BoolOrFalse("WsEnabled")) {
      error = settings.BoolOrFalse("WssEnabled")
                  ? "The service listens only on wss, and probe speaks plain ws only"
                  : "Neither ws nor wss is enabled in the settings: the service is not listening";
      return std::nullopt;
    }
    std::string host = settings.Text("WsIpAddr");
    if (host == "0.0.0.0") host = "127.0.0.1";
    const int port = settings.Int32("WsPort");
    boost::system::error_code ec;
    const auto address = asio::ip::make_address(host, ec);
    if (ec) {
      error = "WsIpAddr " + host + " is not an address";
      return std::nullopt;
    }
    return load::Endpoint{{address, static_cast<unsigned short>(port)}, fmt::format("{}:{}", host, port)};
  } catch (const std::exception& e) {
    error = std::string("Cannot read the settings: ") + e.what();
    return std::nullopt;
  }
}

// Whether anything accepts TCP connections at `endpoint`.
bool Listening(const load::Endpoint& endpoint) {
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  boost::system::error_code ec;
  socket.connect(endpoint.address, ec);
  return !ec;
}

}  // namespace

int ProbeCommand(const CommandContext& c) {
  constexpr char kForm[] = "probe CUSTID [--secret-file FILE]   (the pass on standard input or in FILE)";
  // A second word would be the pass itself: refused without being repeated.
  auto words = ParseCommandWords(c, c.args, {kForm, 1, 99, {}, {kSecretFileOption}});
  if (!words) return kUsageError;
  if (words->positional.size() > 1) {
    return UsageError(c, "The pass is never taken from the command line, where every local user can read it", kForm);
  }
  const std::string cust = words->positional[0];
  if (auto problem = CustomerIdProblem(cust); !problem.empty()) return UsageError(c, problem, kForm);
  JsonFields fields;
  fields.Add("customer", cust);
  std::string problem;
  const auto read = ReadSecret(c, *words, "Pass of customer " + cust, problem);
  if (!read) return NotDone(c, problem, fields);
  const std::string pass = *read;
  std::string error;
  auto endpoint = ServiceEndpoint(c, error);
  if (!endpoint) return NotDone(c, error, fields);
  if (!Listening(*endpoint)) return NotDone(c, "The service is not listening on ws " + endpoint->host, fields);

  asio::io_context io;
  ProbeResult result;
  asio::co_spawn(io, Probe(*endpoint, cust, pass, result), asio::detached);
  io.run_for(kProbeTimeout);
  if (!result.finished) {
    return NotDone(c, fmt::format("No answer came back through customer {} within {} s", cust, kProbeTimeout.count()),
                   fields);
  }
  if (!result.ok) return NotDone(c, result.message, fields);
  fields.AddRaw("roundTripMs", fmt::format("{:.1f}", result.milliseconds));
  fields.Add("throughConnectedAgent", !result.ownAgent);
  return Done(c, fmt::format("Relayed one request through customer {}{} in {:.1f} ms", cust,
                             result.ownAgent ? "" : " (its connected agent)", result.milliseconds),
              fields);
}

}  // namespace vantor::console
