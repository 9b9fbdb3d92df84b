#pragma once
// Texts the listener start-up writes: the status columns, Debug/Services.txt blocks and the
// journal's lines about a listener.

#include "platform/host/clock.hpp"

#include <string>
#include <string_view>

namespace vantor {

inline constexpr const char* kNotStarted = "Not Started";

// date-time CR LF component line CR LF "IP=" address CR LF "Port=" port (no final line end).
std::string StartedStatus(SystemTime now, std::string_view componentLine, std::string_view address,
                          int port);

// date-time CR LF "Failed to Start" CR LF reason (the reason may be empty).
std::string FailedStatus(SystemTime now, std::string_view reason);

// A Debug/Services.txt block: header, the status lines, an empty line.
std::string ServicesBlock(std::string_view header, std::string_view status);

// "WS listener 127.0.0.1:8080 failed: Address already in use"; `where` (an Endpoint) is left out
// when empty, as it is when the settings could not be read.
std::string ListenerFailureText(std::string_view listener, std::string_view where, std::string_view reason);

}  // namespace vantor
