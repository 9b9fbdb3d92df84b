// Command line of vantor-load.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vantor::load {

struct Options {
  std::string host = "127.0.0.1";
  int port = 0;
  int agents = 1;
  int mobiles = 0;
  std::string customersFrom = "01000001";
  std::string password = "pw";
  double rate = 1.0;
  int keepAlive = 30;
  int duration = 60;
  int reportEvery = 10;
  std::optional<int> pid;
};

// Parses `args` (without the program name); throws std::invalid_argument with a message.
Options parseOptions(const std::vector<std::string>& args);

extern const char* const kUsage;

}  // namespace vantor::load
