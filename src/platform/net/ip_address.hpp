#pragma once
// IP address texts, IPv4 or IPv6, as Asio reads them. Plain functions; they never throw.

#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace vantor {

bool IsIpAddress(std::string_view text);

// An IP address that only this machine can reach (127.0.0.0/8, ::1); false for any other text.
bool IsLoopbackAddress(std::string_view text);

// "a, b, c" (blanks around each address allowed; empty: none) as the set of the addresses in
// their canonical form; nullopt when one of them is not an IP address.
std::optional<std::set<std::string>> ParseAddressList(std::string_view list);

}  // namespace vantor
