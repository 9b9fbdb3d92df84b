// Feeds arbitrary datagrams to the SNMP decoder. Besides crashes and sanitizer reports, it checks
// that every message the decoder accepts encodes again and decodes to the same message, so the
// decoder never accepts what the encoder cannot reproduce.
#include "platform/snmp/snmp_ber.hpp"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  const auto request = vantor::DecodeSnmpRequest(input);
  const auto message = vantor::DecodeSnmpMessage(input);
  if (request && !(message && *message == *request)) std::abort();
  if (!message) return 0;
  const auto bytes = vantor::EncodeSnmpMessage(*message);
  if (!bytes) std::abort();
  const auto again = vantor::DecodeSnmpMessage(*bytes);
  if (!again || !(*again == *message)) std::abort();
  return 0;
}
