// vantor-echo: answers mobiles the way the service and an echoing agent would together, so that
// the load tool can be measured without the relay. Prints "LISTENING port=N" once it listens
// (--port 0, the default, picks a free port) and runs until SIGINT or SIGTERM.
#include "echo_server.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/signal_set.hpp>

#include <csignal>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  int port = 0;
  try {
    for (int i = 1; i < argc; i += 2) {
      const std::string name = argv[i];
      if (i + 1 >= argc) throw std::invalid_argument(name + " needs a value");
      if (name == "--host") host = argv[i + 1];
      else if (name == "--port") port = std::stoi(argv[i + 1]);
      else throw std::invalid_argument("unknown option " + name);
    }
    if (port < 0 || port > 65535) throw std::invalid_argument("--port needs 0..65535");
  } catch (const std::exception& e) {
    std::cerr << "vantor-echo: " << e.what() << "\nusage: vantor-echo [--host 127.0.0.1] [--port 0]\n";
    return 2;
  }
  boost::asio::io_context io(1);
  try {
    vantor::load::EchoServer server(io, {boost::asio::ip::make_address(host), static_cast<unsigned short>(port)});
    server.start();
    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](boost::system::error_code, int) { server.stop(); });
    std::cout << "LISTENING port=" << server.port() << std::endl;
    io.run();
  } catch (const std::exception& e) {
    std::cerr << "vantor-echo: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
