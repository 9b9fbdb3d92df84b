#pragma once
// Local date-time texts used by every file the service writes. Each function formats one clock
// reading, so the parts of a timestamp always agree with each other.

#include "platform/host/clock.hpp"

#include <ctime>
#include <string>

namespace vantor {

// Broken-down local time of one reading.
std::tm LocalTime(SystemTime time);

// "YYYY-MM-DD HH:MM:SS"
std::string FormatDateTime(SystemTime time);

// "YYYY-MM-DD HH:MM:SS.mmm"
std::string FormatDateTimeMs(SystemTime time);

// The file-name date "MM-DD".
std::string FormatMonthDay(SystemTime time);

}  // namespace vantor
