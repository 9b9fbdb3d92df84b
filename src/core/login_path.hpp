#pragma once
// The request path an agent or a mobile logs in with: "/agt?" or "/mob?", the 8-character
// customer id whose first two digits are its slot, a blank, then the pass followed by ten
// underscores ("/agt?01000001 secret__________"). Read here and nowhere else.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantor {

enum class LoginKind { kAgent, kMobile, kOther };

struct LoginPath {
  LoginKind kind = LoginKind::kOther;
  std::string custID;                // as given: at most 8 characters, possibly fewer
  std::optional<std::int64_t> slot;  // the slot digits, rounded; nullopt when not a number
  // From the 15th character to the ten underscores; empty without them or when they start
  // before the 16th.
  std::string pass;
};

// Never fails: a short or malformed path gives short or empty fields, which match no customer.
LoginPath ReadLoginPath(std::string_view uri);

}  // namespace vantor
