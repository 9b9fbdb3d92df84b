#include "notify/push_form.hpp"

#include <strings.h>

#include <charconv>
#include <string>

namespace vantor {

std::string PercentEncode(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size() * 3);
  for (unsigned char c : value) {
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                            (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~';
    if (unreserved) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

std::string BuildPushForm(std::string_view userKey, std::string_view device,
                          std::string_view priority, std::string_view message) {
  std::string form = "token=" + PercentEncode(kPushToken);
  form += "&user=" + PercentEncode(userKey);
  if (!device.empty()) form += "&device=" + PercentEncode(device);
  form += "&priority=" + PercentEncode(priority);
  form += "&sound=" + PercentEncode(kPushSound);
  form += "&title=" + PercentEncode(kPushTitle);
  form += "&message=" + PercentEncode(message);
  return form;
}

namespace {

// Reads one JSON string literal starting at the opening quote; advances `pos` past it.
// \uXXXX escapes outside ASCII become "?", which is enough for an error text.
bool ReadJsonString(std::string_view text, std::size_t& pos, std::string& out) {
  if (pos >= text.size() || text[pos] != '"') return false;
  for (++pos; pos < text.size(); ++pos) {
    char c = text[pos];
    if (c == '"') {
      ++pos;
      return true;
    }
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++pos >= text.size()) return false;
    switch (text[pos]) {
      case 'n': out += ' '; break;
      case 't': out += ' '; break;
      case 'r': break;
      case 'u': {
        unsigned code = 0;
        if (pos + 4 >= text.size()) return false;
        std::from_chars(text.data() + pos + 1, text.data() + pos + 5, code, 16);
        out += code < 0x80 && code >= 0x20 ? static_cast<char>(code) : '?';
        pos += 4;
        break;
      }
      default: out += text[pos];  // \" \\ \/ and the rest stand for themselves
    }
  }
  return false;
}

void SkipBlanks(std::string_view text, std::size_t& pos) {
  while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\r' ||
                               text[pos] == '\n')) {
    ++pos;
  }
}

std::string ErrorsArray(std::string_view body) {
  std::size_t pos = body.find("\"errors\"");
  if (pos == std::string_view::npos) return {};
  pos += 8;
  SkipBlanks(body, pos);
  if (pos >= body.size() || body[pos] != ':') return {};
  ++pos;
  SkipBlanks(body, pos);
  if (pos >= body.size() || body[pos] != '[') return {};
  ++pos;
  std::string joined;
  for (;;) {
    SkipBlanks(body, pos);
    std::string item;
    if (!ReadJsonString(body, pos, item)) break;
    if (!joined.empty()) joined += "; ";
    joined += item;
    SkipBlanks(body, pos);
    if (pos >= body.size() || body[pos] != ',') break;
    ++pos;
  }
  return joined;
}

}  // namespace

std::string PushApiErrorText(std::string_view body, std::size_t maxLength) {
  std::string text = ErrorsArray(body);
  if (text.empty()) text = std::string(body);
  if (text.size() > maxLength) {
    text = text.substr(0, maxLength) + "... (" + std::to_string(text.size()) + " characters)";
  }
  return text;
}

bool ParseLimitValue(std::string_view value, int& number) {
  int parsed = 0;
  const char* end = value.data() + value.size();
  auto [ptr, ec] = std::from_chars(value.data(), end, parsed);
  if (value.empty() || ec != std::errc() || ptr != end) return false;
  number = parsed;
  return true;
}

namespace {

bool NameIs(const std::string& name, const char* wanted) {
  return strcasecmp(name.c_str(), wanted) == 0;  // HTTP header names ignore case
}

constexpr std::string_view kNoReceipt = "Receipt = UnKnown";

}  // namespace

void ReadLimitHeaders(const HttpsReply& reply, int& appLimit, int& appRemaining) {
  for (const auto& [name, value] : reply.headers) {
    if (NameIs(name, "X-Limit-App-Limit")) {
      ParseLimitValue(value, appLimit);
    } else if (NameIs(name, "X-Limit-App-Remaining")) {
      ParseLimitValue(value, appRemaining);
    }
  }
}

std::optional<std::string> PushReplyFailure(const HttpsReply& reply) {
  if (!reply.transportOk) return reply.error.empty() ? "The HTTPS transfer failed" : reply.error;
  if (reply.status >= 200 && reply.status <= 299) return std::nullopt;
  std::string text = reply.statusLine.empty() ? "HTTP status " + std::to_string(reply.status) : reply.statusLine;
  const std::string apiText = PushApiErrorText(reply.body);
  if (!apiText.empty()) text += ": " + apiText;
  return text;
}

std::string PushSuccessText(const HttpsReply& reply) {
  const std::string receipt = reply.body.empty() ? std::string(kNoReceipt) : reply.body;
  return "PUSH: Message sent successfully.\r\n" + reply.statusLine + "\r\n" + receipt;
}

}  // namespace vantor
