// vantor-load: holds agents and mobiles connected to the service, drives request/answer traffic
// and keep-alives, and reports counters and round-trip times. Exit status 0 only when no answer
// was wrong or lost, no connection dropped and every keep-alive came back.
#include "load_run.hpp"
#include "options.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <iostream>

int main(int argc, char** argv) {
  using namespace vantor::load;
  Options options;
  try {
    options = parseOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    std::cerr << "vantor-load: " << e.what() << "\n" << kUsage;
    return 2;
  }
  boost::asio::io_context io(1);
  Endpoint endpoint;
  try {
    boost::asio::ip::tcp::resolver resolver(io);
    endpoint.address = *resolver.resolve(options.host, std::to_string(options.port)).begin();
  } catch (const std::exception& e) {
    std::cerr << "vantor-load: cannot resolve " << options.host << ": " << e.what() << "\n";
    return 2;
  }
  endpoint.host = options.host + ":" + std::to_string(options.port);
  LoadRun run(io, endpoint, options, [](const std::string& line) { std::cout << line << std::endl; });
  return run.run().clean() ? 0 : 1;
}
