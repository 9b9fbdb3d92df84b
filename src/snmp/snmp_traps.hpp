#pragma once
// The service's two traps: the send-status trap that reports each notification sent, and the
// application-event trap that mirrors an event-log line. Pure builders; SnmpRuntime sends them.

#include "platform/snmp/snmp_message.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace vantor {

// The send-status trap always goes here, whatever the trap host settings say.
inline constexpr char kSendStatusTrapDestination[] = "127.0.0.1:162";
inline constexpr char kSendStatusTrapCommunity[] = "tidewalk";
inline constexpr char kSendStatusEnterprise[] = "1.3.6.1.4.1.50404.1.18.2";
inline constexpr char kAppEventEnterprise[] = "1.3.6.1.4.1.50404.2.1.2";
inline constexpr std::uint32_t kMaxTrapTimeStamp = 2147483647;
// The event text carried by an application-event trap is cut to this many characters.
inline constexpr std::size_t kAppEventTrapTextChars = 240;

// Uptime in hundredths as a trap time stamp: capped at 2147483647.
std::uint32_t SnmpTrapTimeStamp(std::uint64_t uptimeHundredths);

// The first `count` characters of UTF-8 text; a multi-byte character is never split. A
// continuation byte that follows an ASCII byte (broken UTF-8) counts as a character of its own.
std::string FirstCharacters(std::string_view text, std::size_t count);

struct SendStatus {
  std::string receiver;
  std::string subject;
  std::int16_t resultCode = 0;
  std::string resultText;
  std::string channel;  // "MobilePO" (push) or "MailSMTP" (mail)
};

// v1 trap, community "tidewalk", enterprise ...50404.1.18.2, generic 6, specific 5, variables
// .1.18.1.7.1 to .5: receiver, subject, channel number (1 push, 2 mail, 0 any other channel),
// result code, result text.
SnmpMessage BuildSendStatusTrap(const SendStatus& status, std::uint64_t uptimeHundredths,
                                const std::string& agentAddress);

struct EventTrapRecord {
  std::string module;
  std::string procedure;
  std::string text;
  int level = 0;
};

// v1 trap, community `trapCommunity`, enterprise ...50404.2.1.2, generic 6, specific 1,
// variables .2.1.1.1 to .6: agent address, "Vantor Web", module, procedure, the first 240
// characters of the text, level.
SnmpMessage BuildAppEventTrap(const EventTrapRecord& event, const std::string& trapCommunity,
                              std::uint64_t uptimeHundredths, const std::string& agentAddress);

}  // namespace vantor
