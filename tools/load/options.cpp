#include "options.hpp"

#include "protocol.hpp"

#include <algorithm>
#include <stdexcept>

namespace vantor::load {

const char* const kUsage =
    "usage: vantor-load --port P [--host 127.0.0.1] [--agents N] [--mobiles N] [--customers N]\n"
    "         [--customers-from 01000001] [--password pw] [--rate R | --window N]\n"
    "         [--payload-bytes B] [--keepalive S] [--duration S] [--report-every S]\n"
    "         [--warmup S] [--measure S] [--pid PID]\n";

namespace {

int toInt(const std::string& name, const std::string& value, int min) {
  std::size_t used = 0;
  int n = 0;
  try {
    n = std::stoi(value, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != value.size() || value.empty() || n < min)
    throw std::invalid_argument(name + " needs a whole number of at least " + std::to_string(min));
  return n;
}

double toRate(const std::string& value) {
  std::size_t used = 0;
  double r = 0;
  try {
    r = std::stod(value, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != value.size() || !(r > 0) || r > 1000)
    throw std::invalid_argument("--rate needs a number above 0 and at most 1000");
  return r;
}

}  // namespace

Options parseOptions(const std::vector<std::string>& args) {
  Options o;
  bool havePort = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& name = args[i];
    if (i + 1 >= args.size()) throw std::invalid_argument(name + " needs a value");
    const std::string& value = args[++i];
    if (name == "--host") o.host = value;
    else if (name == "--port") o.port = toInt(name, value, 1), havePort = true;
    else if (name == "--agents") o.agents = toInt(name, value, 0);
    else if (name == "--mobiles") o.mobiles = toInt(name, value, 0);
    else if (name == "--customers") o.customers = toInt(name, value, 1);
    else if (name == "--customers-from") o.customersFrom = value;
    else if (name == "--password") o.password = value;
    else if (name == "--rate") o.rate = toRate(value);
    else if (name == "--window") o.window = toInt(name, value, 1);
    else if (name == "--payload-bytes") o.payloadBytes = toInt(name, value, 0);
    else if (name == "--keepalive") o.keepAlive = toInt(name, value, 1);
    else if (name == "--duration") o.duration = toInt(name, value, 1);
    else if (name == "--report-every") o.reportEvery = toInt(name, value, 1);
    else if (name == "--warmup") o.warmup = toInt(name, value, 0);
    else if (name == "--measure") o.measure = toInt(name, value, 1);
    else if (name == "--pid") o.pid = toInt(name, value, 1);
    else throw std::invalid_argument("unknown option " + name);
  }
  if (!havePort || o.port > 65535) throw std::invalid_argument("--port is required (1..65535)");
  if (o.agents == 0 && o.mobiles == 0) throw std::invalid_argument("nothing to run: no agents and no mobiles");
  if (o.mobiles > 0 && o.customerCount() == 0) throw std::invalid_argument("mobiles without agents need --customers");
  // Throws when the range of customer ids does not fit.
  customerId(o.customersFrom, std::max(o.agents, o.customerCount()) - 1);
  return o;
}

}  // namespace vantor::load
