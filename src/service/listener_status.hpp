#pragma once
// Texts the listener start-up writes: the status columns and Debug/Services.txt blocks.

#include "platform/clock.hpp"

#include <string>
#include <system_error>

namespace vantor {

inline constexpr const char* kNotStarted = "Not Started";

// date-time CR LF component line CR LF "IP=" address CR LF "Port=" port (no final line end).
std::string StartedStatus(SystemTime now, std::string_view componentLine, std::string_view address,
                          int port);

// date-time CR LF "Failed to Start" CR LF reason (the reason may be empty).
std::string FailedStatus(SystemTime now, std::string_view reason);

// A Debug/Services.txt block: header, the status lines, an empty line.
std::string ServicesBlock(std::string_view header, std::string_view status);

// The numbers the operator knows for the two address failures: 10048 in use, 10049 not available.
// 0 for any other error.
int SocketErrorNumber(const std::error_code& error);

// The error's description with its number, for the event log.
std::string DescribeSocketError(const std::error_code& error);

}  // namespace vantor
