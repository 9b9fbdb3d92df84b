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
  int customers = 0;  // the mobiles' customers, counted from customersFrom; 0: one per agent
  std::string customersFrom = "01000001";
  std::string password = "pw";
  double rate = 1.0;
  int window = 0;        // requests in flight per mobile, closed loop; 0: send at `rate`
  int payloadBytes = 0;  // request text after the header padded to this size
  int keepAlive = 30;
  int duration = 60;
  int reportEvery = 10;
  int warmup = 0;                 // seconds from all mobiles ready to the measured stretch
  std::optional<int> measure;     // when set, the run ends this many seconds into that stretch
  std::optional<int> pid;

  int customerCount() const { return customers > 0 ? customers : agents; }
};

// Parses `args` (without the program name); throws std::invalid_argument with a message.
Options parseOptions(const std::vector<std::string>& args);

extern const char* const kUsage;

}  // namespace vantor::load
