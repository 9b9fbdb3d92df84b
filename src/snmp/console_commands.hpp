#pragma once
// Console commands carried by SNMP set requests on the enterprise subtree: reload the customer
// table, write the connection reports, disconnect an agent or a mobile, tell an agent to
// uninstall itself or to report its statistics.
//
// Runs on the event thread as the handler of one set request. A failing command ends the request
// with one level-1 event; the answer still goes out with what ran before the failure.

#include "broker/broker.hpp"
#include "platform/snmp_message.hpp"

#include <filesystem>
#include <type_traits>

namespace vantor {

inline constexpr char kSetCommunity[] = "marigolds";
inline constexpr char kCommandOidTableUpdate[] = "1.3.6.1.4.1.50404.1.18.1.0";
inline constexpr char kCommandOidConsole[] = "1.3.6.1.4.1.50404.1.18.2.0";
inline constexpr char kCommandOidDisconnect[] = "1.3.6.1.4.1.50404.1.18.3.0";
inline constexpr char kCommandOidAgentCommand[] = "1.3.6.1.4.1.50404.1.18.4.0";

// What the commands work on; every member refers to the service, which outlives the request.
// The context holds references only: GCC 12 miscompiles a coroutine argument that is a braced
// temporary with a non-trivial destructor inside a co_await expression (the frame's copy is
// destroyed as if it owned the temporary's storage), so the type must stay trivially destructible.
struct ConsoleContext {
  Clock& clock;
  AppEventLog& events;
  Broker& broker;
  const std::filesystem::path& programDir;
};
static_assert(std::is_trivially_destructible_v<ConsoleContext>);

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
