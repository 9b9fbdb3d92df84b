#include "core/message_header.hpp"

#include "core/text_fields.hpp"

namespace vantor {

namespace {

constexpr std::size_t kKindLength = 2;
constexpr std::size_t kCustomerSlotLength = 2;
constexpr std::size_t kNumberFieldOffset = kKindLength + kCustomerIdLength;
constexpr std::size_t kHeaderLength = kNumberFieldOffset + kNumberFieldLength;
constexpr std::size_t kVersionLength = 4;
constexpr std::string_view kKeepAliveAnnouncement = " KEEPALIVE:";

constexpr std::string_view kServerKind = "CW";
constexpr std::string_view kNoCustomer = "00000000";

std::optional<std::int64_t> NumberIn(std::string_view field) {
  const auto number = ParseNumber(field);
  if (!number) return std::nullopt;
  return RoundHalfEven(*number);
}

// `length` characters from `offset`, fewer or none where `text` ends.
std::string_view Cut(std::string_view text, std::size_t offset, std::size_t length = std::string_view::npos) {
  return offset < text.size() ? text.substr(offset, length) : std::string_view{};
}

}  // namespace

std::string_view MessageView::Field(std::size_t offset, std::size_t length) const {
  return Cut(text_, offset, length);
}

std::string_view MessageView::customerId() const { return Field(kKindLength, kCustomerIdLength); }
std::string_view MessageView::customerSlotField() const { return Field(kKindLength, kCustomerSlotLength); }
std::string_view MessageView::numberField() const { return Field(kNumberFieldOffset, kNumberFieldLength); }
std::string_view MessageView::body() const { return Field(kHeaderLength, std::string_view::npos); }

std::optional<std::int64_t> MessageView::customerSlot() const { return NumberIn(customerSlotField()); }
std::optional<std::int64_t> MessageView::mobileNumber() const { return NumberIn(numberField()); }

std::string_view MessageView::ArgumentOf(std::string_view word) const { return Cut(body(), word.size()); }

std::string_view MessageView::Version() const { return Cut(body(), kVersionWord.size(), kVersionLength); }

std::string_view MessageView::AnnouncedKeepAlive() const {
  return Cut(body(), kVersionWord.size() + kVersionLength + kKeepAliveAnnouncement.size());
}

std::string MobileNumberField(int number) { return FixedWidth(std::to_string(number), kNumberFieldLength); }

std::string ServerMessage(std::string_view customerId, std::string_view numberField, std::string_view text) {
  std::string message;
  message.reserve(kServerKind.size() + customerId.size() + numberField.size() + text.size());
  return message.append(kServerKind).append(customerId).append(numberField).append(text);
}

std::string RefusalMessage(std::string_view text) { return ServerMessage(kNoCustomer, kAgentNumberField, text); }

}  // namespace vantor
