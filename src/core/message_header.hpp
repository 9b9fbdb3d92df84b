#pragma once
// The header every WebSocket message of the protocol starts with, read and written in one place:
// two kind letters ("DM" data from a mobile, "DA" data from an agent, "CM"/"CA" control from
// them, "CW" from this server), the 8-character customer id whose first two digits are its
// slot, and the 3-character mobile number field ("0  " for the agent, "1  " to "50 " for
// mobiles); the body follows.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantor {

inline constexpr std::size_t kCustomerIdLength = 8;
inline constexpr std::size_t kNumberFieldLength = 3;
inline constexpr std::string_view kAgentNumberField = "0  ";

// Control words that open the body of an agent's or mobile's control message.
inline constexpr std::string_view kKeepAliveWord = "keep-alive";
inline constexpr std::string_view kVersionWord = "VER:";
inline constexpr std::string_view kAlarmReceiverWord = "BCA:";
inline constexpr std::string_view kStatLogWord = "StatLog:";

// A read-only view of one received message. It allocates nothing and never throws: a field the
// text is too short for is cut short or empty, so it simply matches no registered record. The
// viewed text must outlive the view and stay unchanged while the view is used.
class MessageView {
 public:
  explicit MessageView(std::string_view text) : text_(text) {}

  char kind() const { return At(0); }    // 'D' data, 'C' control; '\0' when absent
  char sender() const { return At(1); }  // 'M' mobile, 'A' agent, 'W' this server
  std::string_view customerId() const;
  std::string_view customerSlotField() const;  // the slot digits that open the customer id
  std::string_view numberField() const;
  std::string_view body() const;

  // The slot and mobile number as numbers; nullopt when the field holds no number.
  std::optional<std::int64_t> customerSlot() const;
  std::optional<std::int64_t> mobileNumber() const;

  bool IsKeepAlive() const { return body().starts_with(kKeepAliveWord); }
  bool IsCommand(std::string_view word) const { return body().starts_with(word); }
  // The body after `word`, which the caller has matched with IsCommand.
  std::string_view ArgumentOf(std::string_view word) const;
  // Of "VER:vvvv KEEPALIVE:n": the version vvvv, and the text from n on.
  std::string_view Version() const;
  std::string_view AnnouncedKeepAlive() const;

 private:
  char At(std::size_t i) const { return i < text_.size() ? text_[i] : '\0'; }
  std::string_view Field(std::size_t offset, std::size_t length) const;

  std::string_view text_;
};

// The number field of mobile `number`: left-aligned, padded with blanks.
std::string MobileNumberField(int number);

// A message from this server: "CW", the customer id and number field as given, then `text`.
std::string ServerMessage(std::string_view customerId, std::string_view numberField, std::string_view text);

// The first message of a refused connection, which names no customer.
std::string RefusalMessage(std::string_view text);

}  // namespace vantor
