#include "core/text_fields.hpp"

#include "core/procedure_error.hpp"

#include <fmt/format.h>

#include <cmath>

namespace vantor {

namespace {
constexpr std::size_t kEventTextLimit = 256;
}

std::string_view Mid(std::string_view text, std::size_t position, std::size_t length) {
  if (position == 0 || position > text.size()) return {};
  return text.substr(position - 1, length);
}

std::string_view TrimSpaces(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

std::optional<double> ParseNumber(std::string_view text) {
  text = TrimSpaces(text);
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  double value = 0;
  bool digits = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, digits = true) {
    value = value * 10 + (text[i] - '0');
  }
  if (i < text.size() && text[i] == '.') {
    double scale = 0.1;
    for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, digits = true) {
      value += (text[i] - '0') * scale;
      scale /= 10;
    }
  }
  if (!digits || i != text.size()) return std::nullopt;
  return negative ? -value : value;
}

std::int64_t RoundHalfEven(double value) {
  return static_cast<std::int64_t>(std::nearbyint(value));  // default rounding mode: to even
}

std::int64_t WholeNumber(std::string_view text) {
  const auto number = ParseNumber(text);
  if (!number || std::fabs(*number) > 9e15) throw ProcedureError("Type mismatch");
  return RoundHalfEven(*number);
}

std::string FixedWidth(std::string_view text, std::size_t width) {
  std::string out(text.substr(0, width));
  out.resize(width, ' ');
  return out;
}

std::string ShortenForEvent(std::string_view text) {
  if (text.size() <= kEventTextLimit) return std::string(text);
  return fmt::format("{}... ({} characters)", text.substr(0, kEventTextLimit), text.size());
}

}  // namespace vantor
