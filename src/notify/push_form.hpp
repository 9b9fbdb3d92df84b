#pragma once
// The form posted to the push API and the pieces of its reply the service reads.

#include <string>
#include <string_view>

namespace vantor {

inline constexpr std::string_view kPushToken = "q7Lm2Rx9TbW4nKv8Hs3JdPf6Yc1GzE";
inline constexpr std::string_view kPushSound = "tugboat";
inline constexpr std::string_view kPushTitle = "Vantor Com Server";
inline constexpr std::string_view kDefaultPushApiUrl = "https://api.pushover.net/1/messages.json";

// application/x-www-form-urlencoded value: every byte other than A-Z a-z 0-9 - . _ ~ becomes
// %XX (upper-case hex), a space included, so no value can add or split a field.
std::string PercentEncode(std::string_view value);

// token, user, device (left out, with its "&", when empty), priority, sound, title, message.
std::string BuildPushForm(std::string_view userKey, std::string_view device,
                          std::string_view priority, std::string_view message);

// The API's own explanation in an error reply: the strings of its JSON "errors" array joined by
// "; ", or, when the body holds none, the body itself cut to `maxLength` characters (its full
// length noted). Empty for an empty body.
std::string PushApiErrorText(std::string_view body, std::size_t maxLength = 300);

// A limit header's value as a 32-bit number; false when it is not a whole number that fits.
bool ParseLimitValue(std::string_view value, int& number);

}  // namespace vantor
