#pragma once
// The alarm mail as the reader receives it: the subject names the sending system ("Vantor Com
// Server"), so mail rules and the inbox list show where it comes from at a glance; the body holds
// the alarm text whole, in ISO-8859-1 with quoted-printable transfer encoding, so any length and
// any Latin-1 character arrives intact through servers without 8-bit support.

#include "platform/host/clock.hpp"

#include <string>
#include <string_view>

namespace vantor {

struct MailContent {
  std::string from;      // a checked address (IsMailAddress)
  std::string to;        // a checked address
  std::string subject;   // the fixed text of the mail
  std::string body;      // UTF-8
  std::string priority;  // "1" to "5" becomes X-Priority; anything else is left out
};

// The whole RFC 5322 message, every line ended by CR LF. Header values cannot hold CR or LF:
// control characters in them become blanks. The Date header is `date` in UTC.
std::string BuildMailMessage(const MailContent& content, SystemTime date);

// UTF-8 to ISO-8859-1: code points up to U+00FF keep their value; others, and malformed
// sequences, become "?".
std::string Utf8ToLatin1(std::string_view text);

// Quoted-printable encoding of 8-bit text (RFC 2045): lines ended by CR LF, LF or CR become CR LF
// line breaks; "=", bytes outside printable ASCII and a blank before a line end are written as
// =XX; lines longer than 76 characters are broken with a soft "=" line break.
std::string QuotedPrintable(std::string_view text);

// RFC 5322 date-time in UTC, "Sun, 06 Dec 2026 10:42:28 +0000".
std::string MailDate(SystemTime time);

}  // namespace vantor
