#include "snmp/snmp_traps.hpp"

namespace vantor {
namespace {

SnmpMessage EnterpriseTrap(const std::string& community, const char* enterprise, int specific,
                           std::uint64_t uptimeHundredths, const std::string& agentAddress) {
  SnmpMessage m;
  m.version = SnmpVersion::kV1;
  m.type = snmp_type::kTrapV1;
  m.community = community;
  m.enterprise = enterprise;
  m.genericTrap = 6;  // enterpriseSpecific
  m.specificTrap = specific;
  m.timeStamp = SnmpTrapTimeStamp(uptimeHundredths);
  m.agentAddress = agentAddress;
  return m;
}

std::string ChannelNumber(const std::string& channel) {
  if (channel == "MobilePO") return "1";
  if (channel == "MailSMTP") return "2";
  return "0";
}

bool IsContinuationByte(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

std::uint32_t SnmpTrapTimeStamp(std::uint64_t uptimeHundredths) {
  return uptimeHundredths < kMaxTrapTimeStamp ? static_cast<std::uint32_t>(uptimeHundredths)
                                              : kMaxTrapTimeStamp;
}

std::string FirstCharacters(std::string_view text, std::size_t count) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    // A character starts at every byte that does not continue a multi-byte sequence.
    const bool continues = i > 0 && IsContinuationByte(c) && static_cast<unsigned char>(text[i - 1]) >= 0x80;
    if (continues) continue;
    if (chars == count) return std::string(text.substr(0, i));
    ++chars;
  }
  return std::string(text);
}

SnmpMessage BuildSendStatusTrap(const SendStatus& status, std::uint64_t uptimeHundredths,
                                const std::string& agentAddress) {
  SnmpMessage m = EnterpriseTrap(kSendStatusTrapCommunity, kSendStatusEnterprise, 5, uptimeHundredths,
                                 agentAddress);
  const std::string base = "1.3.6.1.4.1.50404.1.18.1.7.";
  m.variables = {
      {base + "1", snmp_value::kOctetString, status.receiver},
      {base + "2", snmp_value::kOctetString, status.subject},
      {base + "3", snmp_value::kInteger, ChannelNumber(status.channel)},
      {base + "4", snmp_value::kInteger, std::to_string(status.resultCode)},
      {base + "5", snmp_value::kOctetString, status.resultText},
  };
  return m;
}

SnmpMessage BuildAppEventTrap(const EventTrapRecord& event, const std::string& trapCommunity,
                              std::uint64_t uptimeHundredths, const std::string& agentAddress) {
  SnmpMessage m = EnterpriseTrap(trapCommunity, kAppEventEnterprise, 1, uptimeHundredths, agentAddress);
  const std::string base = "1.3.6.1.4.1.50404.2.1.1.";
  m.variables = {
      {base + "1", snmp_value::kOctetString, agentAddress},
      {base + "2", snmp_value::kOctetString, "Vantor Web"},
      {base + "3", snmp_value::kOctetString, event.module},
      {base + "4", snmp_value::kOctetString, event.procedure},
      {base + "5", snmp_value::kOctetString, FirstCharacters(event.text, kAppEventTrapTextChars)},
      {base + "6", snmp_value::kInteger, std::to_string(event.level)},
  };
  return m;
}

}  // namespace vantor
