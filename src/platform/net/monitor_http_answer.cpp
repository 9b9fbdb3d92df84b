#include "platform/net/monitor_http_answer.hpp"

#include <boost/beast/http/field.hpp>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cctype>

namespace vantor {

namespace http = boost::beast::http;

namespace {

using Digest = std::array<unsigned char, EVP_MAX_MD_SIZE>;

// Both sides are hashed first, so that the comparison takes as long whatever their lengths.
bool Digested(std::string_view text, Digest& digest) {
  unsigned int size = 0;
  return EVP_Digest(text.data(), text.size(), digest.data(), &size, EVP_sha256(), nullptr) == 1;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
         });
}

MonitorResponse Plain(http::status status, unsigned version, std::string_view text) {
  MonitorResponse response{status, version};
  response.set(http::field::content_type, "text/plain; charset=utf-8");
  response.body() = std::string(text) + "\n";
  response.prepare_payload();
  return response;
}

}  // namespace

bool PresentsBearerToken(std::string_view header, std::string_view token) {
  constexpr std::string_view kScheme = "Bearer ";
  if (!StartsWithIgnoringCase(header, kScheme)) return false;
  std::string_view given = header.substr(kScheme.size());
  while (!given.empty() && given.front() == ' ') given.remove_prefix(1);
  while (!given.empty() && given.back() == ' ') given.remove_suffix(1);
  Digest a{}, b{};
  if (!Digested(given, a) || !Digested(token, b)) return false;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

MonitorResponse AnswerMonitorRequest(const MonitorRoutes& routes, const MonitorRequestHeader& request) {
  const unsigned version = request.version();
  if (!routes.token.empty() && !PresentsBearerToken(request[http::field::authorization], routes.token)) {
    auto response = Plain(http::status::unauthorized, version, "Unauthorized");
    response.set(http::field::www_authenticate, "Bearer");
    return response;
  }
  const bool head = request.method() == http::verb::head;
  if (!head && request.method() != http::verb::get) {
    auto response = Plain(http::status::method_not_allowed, version, "Method Not Allowed");
    response.set(http::field::allow, "GET, HEAD");
    return response;
  }
  std::string_view path = request.target();
  path = path.substr(0, path.find('?'));
  const auto found = routes.resources.find(path);
  if (found == routes.resources.end()) return Plain(http::status::not_found, version, "Not Found");
  MonitorResponse response{http::status::ok, version};
  response.set(http::field::content_type, found->second.contentType);
  response.set(http::field::cache_control, "no-store");
  found->second.render(response.body());
  response.content_length(response.body().size());
  if (head) response.body().clear();  // the length stays that of the GET
  return response;
}

}  // namespace vantor
