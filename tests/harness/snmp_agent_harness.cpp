// Runs the real UDP SNMP agent with the system-group handlers, for the integration tests.
//
//   snmp_agent_harness [--address A] [--port P] [--community C] [--version V] [--uptime H]
//
// Prints "READY <address> <port>" once serving. Then reads commands on standard input:
//   status-trap <host:port>   send a send-status trap there (the test stands in for 127.0.0.1:162)
//   event-trap <host:port>    send an application-event trap with a 300-character text
//   quit
// and answers each with "SENT" or "FAILED". Set requests get no answer here.
#include "platform/udp_snmp_agent.hpp"
#include "snmp/snmp_requests.hpp"
#include "snmp/snmp_traps.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <chrono>
#include <iostream>
#include <optional>
#include <sstream>
#include <unistd.h>

namespace asio = boost::asio;
using namespace vantor;

namespace {

struct Options {
  std::string address = "127.0.0.1";
  int port = 0;
  std::string community = "public";
  std::string version = "1.0.0";
  std::optional<std::uint64_t> uptime;
};

std::optional<Options> ParseArgs(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i], value = argv[i + 1];
    if (key == "--address") o.address = value;
    else if (key == "--port") o.port = std::stoi(value);
    else if (key == "--community") o.community = value;
    else if (key == "--version") o.version = value;
    else if (key == "--uptime") o.uptime = std::stoull(value);
    else return std::nullopt;
  }
  return o;
}

bool RunCommand(const std::string& line, SnmpAgent& agent, std::uint64_t uptime) {
  std::istringstream in(line);
  std::string command, destination;
  in >> command >> destination;
  agent.ClearTrapDestinations();
  if (!agent.AddTrapDestination(destination)) return false;
  if (command == "status-trap") {
    const SendStatus status{"Mr Tavo (1042)", "Daily Test Message", 3, "Send Failed", "MailSMTP"};
    return agent.SendTrap(BuildSendStatusTrap(status, uptime, agent.LocalAddress()));
  }
  if (command == "event-trap") {
    const EventTrapRecord event{"modVantorWebSrv", "ServiceOpen", std::string(250, 'a') + std::string(50, 'b'), 3};
    return agent.SendTrap(BuildAppEventTrap(event, "trapcomm", uptime, agent.LocalAddress()));
  }
  return false;
}

asio::awaitable<void> ReadCommands(asio::io_context& io, SnmpAgent& agent, std::function<std::uint64_t()> uptime) {
  asio::posix::stream_descriptor input(io, ::dup(STDIN_FILENO));
  asio::streambuf buffer;
  for (;;) {
    boost::system::error_code ec;
    co_await asio::async_read_until(input, buffer, '\n', asio::redirect_error(asio::use_awaitable, ec));
    if (ec) break;
    std::istream lines(&buffer);
    std::string line;
    std::getline(lines, line);
    if (line == "quit") break;
    std::cout << (RunCommand(line, agent, uptime()) ? "SENT" : "FAILED") << std::endl;
  }
  io.stop();
}

}  // namespace

int main(int argc, char** argv) {
  const auto options = ParseArgs(argc, argv);
  if (!options) {
    std::cerr << "usage: snmp_agent_harness [--address A] [--port P] [--community C] [--version V] [--uptime H]\n";
    return 2;
  }
  asio::io_context io;
  const auto start = std::chrono::system_clock::now();
  auto uptime = [&]() {
    return options->uptime.value_or(SnmpUptimeHundredths(start, std::chrono::system_clock::now()));
  };

  UdpSnmpAgent agent(io);
  agent.SetRequestHandler([&](SnmpMessage& m) -> asio::awaitable<bool> {
    const SnmpReadInputs inputs{options->version, uptime(), options->community};
    bool answer = false;
    if (m.type == snmp_type::kGetV1 || m.type == snmp_type::kGetV2c)
      answer = SnmpGetRequest(m, inputs);
    else if (m.type == snmp_type::kGetNextV1 || m.type == snmp_type::kGetNextV2c)
      answer = SnmpGetNextRequest(m, inputs);
    m.type = SnmpResponseType(m.type);
    co_return answer;
  });
  if (const auto ec = agent.Start(options->port, options->address)) {
    std::cerr << "start failed: " << ec.message() << "\n";
    return 1;
  }
  std::cout << "READY " << agent.LocalAddress() << " " << agent.LocalPort() << std::endl;
  asio::co_spawn(io, ReadCommands(io, agent, uptime), asio::detached);
  io.run();
  return 0;
}
