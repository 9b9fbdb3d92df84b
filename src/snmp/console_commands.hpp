#pragma once
// Console commands carried by SNMP set requests on the enterprise subtree: reload the customer
// table, write the connection reports, disconnect an agent or a mobile, tell an agent to
// uninstall itself or to report its statistics.

#include "broker/broker.hpp"
#include "platform/snmp_message.hpp"

#include <filesystem>

namespace vantor {

inline constexpr char kSetCommunity[] = "marigolds";
inline constexpr char kCommandOidTableUpdate[] = "1.3.6.1.4.1.50404.1.18.1.0";
inline constexpr char kCommandOidConsole[] = "1.3.6.1.4.1.50404.1.18.2.0";
inline constexpr char kCommandOidDisconnect[] = "1.3.6.1.4.1.50404.1.18.3.0";
inline constexpr char kCommandOidAgentCommand[] = "1.3.6.1.4.1.50404.1.18.4.0";

struct ConsoleContext {
  Clock& clock;
  AppEventLog& events;
  Broker& broker;
  std::filesystem::path programDir;
};

// Runs the commands of a set request and writes the answer into `message`. Returns false, leaving
// the message as received, when the community is not the set community: such a request gets no
// answer. A slot out of range (or missing) ends the request with a level-1 event; the variables
// handled before keep their answers.
asio::awaitable<bool> SnmpSetRequest(SnmpMessage& message, ConsoleContext context);

// The slot number of a command: the leading decimal number of `text` (0 when there is none),
// rounded to the nearest whole number with halves to even. Throws ProcedureError ("Overflow")
// beyond 16 bits.
int CommandSlot(std::string_view text);

}  // namespace vantor
