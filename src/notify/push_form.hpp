#pragma once
// The form posted to the push API and the pieces of its reply the service reads.

#include "platform/curl/https_client.hpp"

#include <optional>
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

// Takes the push service's allowance from the X-Limit-App-Limit and X-Limit-App-Remaining headers
// (names in any case); a value that is not a whole number leaves the known value as it was.
void ReadLimitHeaders(const HttpsReply& reply, int& appLimit, int& appRemaining);

// What a reply means for the message: nothing when it was delivered (a complete reply with a 2xx
// status), otherwise why not: the transfer's error, or the status line (the status code when the
// line is missing) followed by the API's own error text.
std::optional<std::string> PushReplyFailure(const HttpsReply& reply);

// The result text of a delivered message: the status line and the receipt (the body).
std::string PushSuccessText(const HttpsReply& reply);

}  // namespace vantor
