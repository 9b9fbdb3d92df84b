#pragma once
// Salted hashes of pass texts with OpenSSL, kept as one text so that a table column can hold
// them: "pbkdf2-sha256$<iterations>$<salt, hex>$<hash, hex>". The pass itself is never stored.
//
// Cost: kPassHashIterations rounds of PBKDF2-HMAC-SHA256 take about 2 ms on one core, small
// enough for the event thread; the iteration count travels in the text, so stored hashes stay
// valid when it is raised. Plain functions without state, callable from any thread; they never
// throw and leave the OpenSSL error queue clear.

#include <optional>
#include <string>
#include <string_view>

namespace vantor {

inline constexpr int kPassHashIterations = 2000;

// A new hash of `pass` with a fresh random salt; nullopt when OpenSSL has no random bytes or
// cannot derive the hash.
std::optional<std::string> HashPass(std::string_view pass);

// Whether `pass` is the pass that `stored` was made from; the comparison takes the same time
// wherever the hashes differ. A `stored` text that is not such a hash matches nothing.
bool PassMatches(std::string_view pass, std::string_view stored);

}  // namespace vantor
