#pragma once

#include <string_view>

namespace vantor {

// True for a plain address "local@domain" that is safe to put into an SMTP command and a header:
// ASCII only, no control characters, blanks, angle brackets, commas or quotes; a local part of
// letters, digits and !#$%&'*+-/=?^_`{|}~ in dot-separated atoms; a domain of letters, digits and
// hyphens in dot-separated labels; at most 254 characters.
bool IsMailAddress(std::string_view address);

}  // namespace vantor
