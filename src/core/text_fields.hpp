#pragma once
// Fixed-position fields of request paths and messages, and the numeric conversions the protocol
// uses on them.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantor {

// Characters from 1-based `position`, at most `length` of them; empty past the end.
std::string_view Mid(std::string_view text, std::size_t position,
                     std::size_t length = std::string_view::npos);

// A decimal number with optional blanks around it, an optional sign and an optional fraction.
std::optional<double> ParseNumber(std::string_view text);

// The nearest whole number, halves to the even neighbour.
std::int64_t RoundHalfEven(double value);

// ParseNumber then RoundHalfEven; a text that is not a number throws ProcedureError
// ("Type mismatch").
std::int64_t WholeNumber(std::string_view text);

std::string_view TrimSpaces(std::string_view text);

// Left-aligned in exactly `width` characters: padded with spaces or cut.
std::string FixedWidth(std::string_view text, std::size_t width);

// A received text as it may appear in an event: whole when short, otherwise its start and its
// full length, so one message cannot grow the event log without bound.
std::string ShortenForEvent(std::string_view text);

}  // namespace vantor
