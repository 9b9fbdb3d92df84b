// Text formats of the service's WebSocket protocol as the load tool needs them: fixed-width
// headers (2 letters, 8-digit customer id, 3-character mobile number) and the request payload
// that lets a mobile tell its own answers apart.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantor::load {

// Customer id number `index` counted from `first`. An id starts with its two-digit slot number,
// so both the slot and the remaining six digits count on: 01000001, 02000002, 03000003, ...
std::string customerId(const std::string& first, int index);

// Request target of an agent ("agt") or mobile ("mob") login.
std::string loginTarget(std::string_view kind, const std::string& cust, const std::string& password);

// Header of a message: type letters, customer id and the 3-character number field.
std::string header(std::string_view type, const std::string& cust, std::string_view nr);

// The 3-character number field of `message` when it is a `type` message of `cust`.
std::optional<std::string> numberField(std::string_view message, std::string_view type,
                                       const std::string& cust);

// The text after the 13-character header.
std::string_view body(std::string_view message);

struct Payload {
  int mobile = 0;
  std::uint64_t seq = 0;
};

// "LOAD m=<mobile> s=<seq>", padded after a space with '.' to `size` characters when it is
// shorter, so that the request size can be set without changing what identifies a request.
std::string encodePayload(const Payload& p, std::size_t size = 0);
// Reads the mobile and sequence number back; any padding after them is not checked here.
std::optional<Payload> decodePayload(std::string_view text);

}  // namespace vantor::load
