#include "notify/mail_message.hpp"

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <ctime>

namespace vantor {
namespace {

constexpr std::size_t kQpLineLimit = 76;

// Header values stay on one line of printable ASCII.
std::string HeaderValue(std::string_view value) {
  std::string out;
  for (unsigned char c : value) {
    if (c < 0x20 || c == 0x7F) {
      out += ' ';
    } else if (c > 0x7F) {
      out += '?';
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void AppendEncodedLine(std::string_view line, std::string& out) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::size_t column = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    const bool last = i + 1 == line.size();
    const bool blank = c == ' ' || c == '\t';
    std::string token;
    if ((c >= 33 && c <= 126 && c != '=') || (blank && !last)) {
      token = static_cast<char>(c);
    } else {
      token = {'=', kHex[c >> 4], kHex[c & 0x0F]};
    }
    // Room is kept for the "=" of a soft line break.
    if (column + token.size() > kQpLineLimit - 1) {
      out += "=\r\n";
      column = 0;
    }
    out += token;
    column += token.size();
  }
}

}  // namespace

std::string Utf8ToLatin1(std::string_view text) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3
                                         : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > text.size()) {
      out += '?';
      ++i;
      continue;
    }
    unsigned code = length == 1 ? lead : lead & (0x7F >> length);
    bool valid = true;
    for (std::size_t k = 1; k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) {
        valid = false;
        break;
      }
      code = (code << 6) | (next & 0x3F);
    }
    if (!valid) {
      out += '?';
      ++i;
      continue;
    }
    // Overlong two-byte forms (below U+0080) are malformed too.
    out += (code <= 0xFF && (length == 1 || code >= 0x80)) ? static_cast<char>(code) : '?';
    i += length;
  }
  return out;
}

std::string QuotedPrintable(std::string_view text) {
  std::string out;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    const bool lastLine = end == std::string_view::npos;
    if (lastLine) end = text.size();
    AppendEncodedLine(text.substr(start, end - start), out);
    if (lastLine) break;
    out += "\r\n";
    start = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
  }
  return out;
}

std::string MailDate(SystemTime time) {
  const std::time_t t = std::chrono::system_clock::to_time_t(time);
  std::tm utc{};
  gmtime_r(&t, &utc);
  return fmt::format("{:%a, %d %b %Y %H:%M:%S} +0000", utc);
}

std::string BuildMailMessage(const MailContent& content, SystemTime date) {
  std::string m;
  m += "From: " + HeaderValue(content.from) + "\r\n";
  m += "To: " + HeaderValue(content.to) + "\r\n";
  m += "Subject: " + HeaderValue(content.subject) + "\r\n";
  m += "Date: " + MailDate(date) + "\r\n";
  if (content.priority.size() == 1 && content.priority[0] >= '1' && content.priority[0] <= '5') {
    m += "X-Priority: " + content.priority + "\r\n";
  }
  m += "MIME-Version: 1.0\r\n";
  m += "Content-Type: text/plain; charset=ISO-8859-1\r\n";
  m += "Content-Transfer-Encoding: quoted-printable\r\n";
  m += "\r\n";
  m += QuotedPrintable(Utf8ToLatin1(content.body));
  m += "\r\n";
  return m;
}

}  // namespace vantor
