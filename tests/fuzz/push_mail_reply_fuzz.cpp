// Feeds arbitrary server replies to the code that reads them: header lines and body pieces of an
// HTTPS reply as libcurl hands them over, the push API's status and error text, the limit
// headers, and the code a failed mail transfer reports. The same input also drives the texts an
// agent's alarm receiver puts into a push form and a mail (user key, device, mail address, body).
// Checks, besides sanitizer reports: the reply keeps its bounds (100 headers, 64 KiB body, trimmed
// names and values), a failure text stays bounded however large the body, a percent-encoded
// field decodes to itself and cannot add a form field, and a quoted-printable body keeps short
// lines and decodes to the Latin-1 text.
#include "fuzz_check.hpp"
#include "notify/mail_address.hpp"
#include "notify/mail_message.hpp"
#include "notify/push_form.hpp"
#include "platform/curl/https_client.hpp"
#include "platform/curl/smtp_client.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <strings.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>

namespace {

using namespace vantor;
using fuzzing::Check;

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool Trimmed(const std::string& s) { return s.empty() || (!Blank(s.front()) && !Blank(s.back())); }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // the encoders write upper-case hex only
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    Check(i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0);
    out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
    i += 2;
  }
  return out;
}

// Decodes the body and checks the encoding's line rules on the way.
std::string QuotedPrintableDecode(std::string_view text) {
  std::string out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find("\r\n", start);
    std::string_view line = text.substr(start, end == std::string_view::npos ? end : end - start);
    Check(line.size() <= 76 && line.find_first_of("\r\n") == std::string_view::npos);
    // "=" itself is always encoded, so a line ending in "=" ends in a soft line break.
    const bool soft = !line.empty() && line.back() == '=';
    if (soft) line.remove_suffix(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
      const unsigned char c = static_cast<unsigned char>(line[i]);
      if (c == '=') {
        Check(i + 2 < line.size() && HexValue(line[i + 1]) >= 0 && HexValue(line[i + 2]) >= 0);
        out += static_cast<char>(HexValue(line[i + 1]) * 16 + HexValue(line[i + 2]));
        i += 2;
      } else {
        Check((c >= 32 && c <= 126) || c == '\t');
        out += static_cast<char>(c);
      }
    }
    if (end == std::string_view::npos) break;
    if (!soft) out += "\r\n";
    start = end + 2;
  }
  return out;
}

// Line ends of the body as the encoding writes them: CR LF, LF and CR each become CR LF.
std::string NormalisedLineEnds(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      out += "\r\n";
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

void CheckReply(FuzzedDataProvider& in) {
  HttpsReply reply;
  reply.transportOk = in.ConsumeBool();
  reply.error = in.ConsumeRandomLengthString(64);
  reply.status = in.ConsumeIntegral<long>();
  std::string bodySent;
  const int pieces = in.ConsumeIntegralInRange(0, 160);
  for (int i = 0; i < pieces && in.remaining_bytes() > 0; ++i) {
    std::string piece = in.ConsumeRandomLengthString(512);
    if (in.ConsumeBool()) {
      AddReplyHeaderLine(reply, piece + "\r\n");
    } else {
      // A large piece stands for the rest of an oversized body.
      if (!piece.empty() && piece[0] == '*') piece.resize(70000, 'x');
      bodySent += piece;
      AddReplyBody(reply, piece);
    }
  }
  Check(reply.statusLine.empty() || reply.statusLine.rfind("HTTP/", 0) == 0);
  Check(Trimmed(reply.statusLine));
  Check(reply.headers.size() <= 100);
  for (const auto& [name, value] : reply.headers) Check(Trimmed(name) && Trimmed(value) && name.find(':') == std::string::npos);
  Check(reply.body.size() <= 64 * 1024 && bodySent.compare(0, reply.body.size(), reply.body) == 0);
  Check(reply.body.size() == std::min<std::size_t>(bodySent.size(), 64 * 1024));

  constexpr int kUnset = -123456789;
  int limit = kUnset, remaining = kUnset;
  ReadLimitHeaders(reply, limit, remaining);
  for (const auto& [value, headerName] : {std::pair{limit, "X-Limit-App-Limit"}, std::pair{remaining, "X-Limit-App-Remaining"}}) {
    if (value == kUnset) continue;
    bool found = false;
    for (const auto& [name, text] : reply.headers) {
      int parsed = 0;
      const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
      found |= strcasecmp(name.c_str(), headerName) == 0 && ec == std::errc() && ptr == text.data() + text.size() && parsed == value;
    }
    Check(found);
  }

  const auto failure = PushReplyFailure(reply);
  const bool delivered = reply.transportOk && reply.status >= 200 && reply.status <= 299;
  Check(failure.has_value() != delivered);
  if (failure && reply.transportOk) {
    const std::string head = reply.statusLine.empty() ? "HTTP status " + std::to_string(reply.status) : reply.statusLine;
    Check(failure->rfind(head, 0) == 0 && failure->size() <= head.size() + 2 + 300 + 32);
  }
  if (!failure) Check(PushSuccessText(reply).rfind("PUSH: Message sent successfully.\r\n" + reply.statusLine + "\r\n", 0) == 0);
  const std::size_t maxLength = in.ConsumeIntegralInRange<std::size_t>(0, 400);
  Check(PushApiErrorText(reply.body, maxLength).size() <= maxLength + 32);

  const long transfer = in.ConsumeIntegral<long>();
  const long lastReply = in.ConsumeIntegral<long>();
  const long code = MailFailureCode(transfer, lastReply);
  Check(code == (lastReply >= 400 && lastReply <= 599 ? lastReply : transfer));
}

void CheckAlarmFields(FuzzedDataProvider& in) {
  const std::string userKey = in.ConsumeRandomLengthString(128);
  const std::string device = in.ConsumeRandomLengthString(64);
  const std::string priority = in.ConsumeRandomLengthString(4);
  const std::string address = in.ConsumeRandomLengthString(300);
  const std::string body = in.ConsumeRemainingBytesAsString();

  const std::string form = BuildPushForm(userKey, device, priority, body);
  const auto fields = std::count(form.begin(), form.end(), '&');
  Check(fields == (device.empty() ? 5 : 6));
  const auto user = form.find("&user=") + 6;
  Check(PercentDecode(std::string_view(form).substr(user, form.find('&', user) - user)) == userKey);
  Check(PercentDecode(std::string_view(form).substr(form.rfind("&message=") + 9)) == body);

  if (IsMailAddress(address)) {
    Check(address.size() <= 254 && address.find('@') != std::string::npos);
    Check(std::all_of(address.begin(), address.end(), [](unsigned char c) {
      return c > 0x20 && c < 0x7F && c != '<' && c != '>' && c != ',' && c != '"';
    }));
  }
  const std::string message = BuildMailMessage(MailContent{address, address, "Vantor Com Server", body, priority},
                                               std::chrono::system_clock::time_point{});
  const auto headerEnd = message.find("\r\n\r\n");
  Check(headerEnd != std::string::npos);
  // Every header is one line: no CR or LF other than the line ends.
  const std::string_view headers = std::string_view(message).substr(0, headerEnd + 2);
  std::size_t lines = 0;
  for (std::size_t i = 0; i < headers.size(); ++i) {
    if (headers[i] == '\r') Check(i + 1 < headers.size() && headers[i + 1] == '\n');
    if (headers[i] == '\n') Check(i > 0 && headers[i - 1] == '\r'), ++lines;
  }
  Check(lines == (priority.size() == 1 && priority[0] >= '1' && priority[0] <= '5' ? 8u : 7u));
  const std::string_view encoded = std::string_view(message).substr(headerEnd + 4);
  Check(encoded.size() >= 2 && encoded.substr(encoded.size() - 2) == "\r\n");
  Check(QuotedPrintableDecode(encoded.substr(0, encoded.size() - 2)) == NormalisedLineEnds(Utf8ToLatin1(body)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  if (in.ConsumeBool()) {
    CheckReply(in);
  } else {
    CheckAlarmFields(in);
  }
  return 0;
}
