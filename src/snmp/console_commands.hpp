#pragma once
// Console commands carried by SNMP set requests on the enterprise subtree: reload the customer
// table, write the connection reports, disconnect an agent or a mobile, tell an agent to
// uninstall itself or to report its statistics.
//
// Runs on the event thread as the handler of one set request. A command that fails or finds
// nothing to act on ends the request with an error status naming its variable; the answer still
// goes out with what ran before.

#include "broker/broker.hpp"
#include "platform/snmp/snmp_message.hpp"

#include <filesystem>
#include <string>
#include <type_traits>

namespace vantor {

inline constexpr char kCommandOidTableUpdate[] = "1.3.6.1.4.1.50404.1.18.1.0";
inline constexpr char kCommandOidConsole[] = "1.3.6.1.4.1.50404.1.18.2.0";
inline constexpr char kCommandOidDisconnect[] = "1.3.6.1.4.1.50404.1.18.3.0";
inline constexpr char kCommandOidAgentCommand[] = "1.3.6.1.4.1.50404.1.18.4.0";

// What the commands work on; every member refers to the service, which outlives the request.
// The context holds references only: GCC 12 miscompiles a coroutine argument that is a braced
// temporary with a non-trivial destructor inside a co_await expression (the frame's copy is
// destroyed as if it owned the temporary's storage), so the type must stay trivially destructible.
struct ConsoleContext {
  const std::string& setCommunity;  // the only community that opens the commands
  Clock& clock;
  AppEventLog& events;
  Broker& broker;
  const std::filesystem::path& programDir;
};
static_assert(std::is_trivially_destructible_v<ConsoleContext>);

// Runs the commands of a set request and writes the answer into `message`. Returns false, leaving
// the message as received, when the community is not `context.setCommunity`: such a request gets no
// answer. Error statuses are written as v1 codes (PrepareSnmpAnswer gives v2c its own), with the
// 1-based position of the variable as error index:
//   - noSuchName: an OID that is no command object; the following variables still run (the
//     index names the last such one);
//   - badValue: a command object given a value that is not one of its commands;
//   - genErr: a slot that is disabled or not connected, a reload that failed, and a slot out of
//     range (or missing) or a call that threw, which also write a level-1 event.
// badValue and genErr end the request: the failed variable and the ones after it stay as
// received, the ones before keep their answers.
asio::awaitable<bool> SnmpSetRequest(SnmpMessage& message, ConsoleContext context);

// The slot number of a command: the leading decimal number of `text` (0 when there is none),
// rounded to the nearest whole number with halves to even. Throws ProcedureError ("Overflow")
// beyond 16 bits.
int CommandSlot(std::string_view text);

}  // namespace vantor
