#pragma once
// A blocking SNMP manager for the console: one request, one answer, over plain UDP. The console
// is a short-lived tool, so it simply waits for the answer instead of running an event loop.

#include "platform/snmp/snmp_message.hpp"

#include <chrono>
#include <optional>
#include <string>

namespace vantor::console {

struct SnmpTarget {
  std::string host;  // an address or a host name
  int port = 161;
  std::string community;
};

// Sends `request` (its community replaced by the target's, a fresh request id) and waits up to
// `timeout` for the answer carrying that request id from the target. Datagrams that are not
// that answer are ignored. Returns nullopt with `error` set when the host cannot be resolved,
// the request cannot be encoded or sent, or no answer arrives in time (a request with a community
// the agent does not accept is never answered, so that ends here too).
std::optional<SnmpMessage> SnmpExchange(const SnmpTarget& target, SnmpMessage request,
                                        std::chrono::milliseconds timeout, std::string& error);

}  // namespace vantor::console
