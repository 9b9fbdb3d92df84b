#include "platform/curl/https_client.hpp"

#include "platform/curl/curl_global.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <memory>

namespace vantor {
namespace {

// Replies larger than this are cut; the push API answers with a few hundred bytes.
constexpr std::size_t kMaxBody = 64 * 1024;
constexpr std::size_t kMaxHeaders = 100;

std::string Trim(std::string text) {
  const auto notBlank = [](unsigned char c) { return c != ' ' && c != '\t' && c != '\r' && c != '\n'; };
  text.erase(text.begin(), std::find_if(text.begin(), text.end(), notBlank));
  text.erase(std::find_if(text.rbegin(), text.rend(), notBlank).base(), text.end());
  return text;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  const size_t bytes = size * count;
  AddReplyBody(*static_cast<HttpsReply*>(user), std::string_view(data, bytes));
  return bytes;
}

// libcurl hands over one header line per call, the status line included.
size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  const size_t bytes = size * count;
  AddReplyHeaderLine(*static_cast<HttpsReply*>(user), std::string_view(data, bytes));
  return bytes;
}

class CurlHttpsClient final : public HttpsClient {
 public:
  HttpsReply Post(const std::string& url, const std::string& body, const std::string& caFile,
                  const HttpsTimeouts& timeouts) override {
    HttpsReply reply;
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl) {
      reply.error = "The HTTPS transfer could not be created";
      return reply;
    }
    char errorBuffer[CURL_ERROR_SIZE] = {};
    CURL* h = curl.get();
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);  // signals and worker threads do not mix
    curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!caFile.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts.connect.count()));
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(timeouts.total.count()));
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &OnBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &reply);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &OnHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &reply);

    const CURLcode rc = curl_easy_perform(h);
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &reply.status);
    if (rc != CURLE_OK) {
      reply.error = errorBuffer[0] != '\0' ? std::string(errorBuffer) : curl_easy_strerror(rc);
      return reply;
    }
    reply.transportOk = true;
    return reply;
  }
};

}  // namespace

void AddReplyBody(HttpsReply& reply, std::string_view data) {
  const size_t room = kMaxBody - std::min(kMaxBody, reply.body.size());
  reply.body.append(data.substr(0, room));
}

void AddReplyHeaderLine(HttpsReply& reply, std::string_view data) {
  std::string line = Trim(std::string(data));
  if (line.rfind("HTTP/", 0) == 0) {
    reply.statusLine = line;
    reply.headers.clear();
  } else if (auto colon = line.find(':'); colon != std::string::npos && reply.headers.size() < kMaxHeaders) {
    reply.headers.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
  }
}

std::unique_ptr<HttpsClient> MakeCurlHttpsClient() {
  EnsureCurlInitialised();
  return std::make_unique<CurlHttpsClient>();
}

}  // namespace vantor
