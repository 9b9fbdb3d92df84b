#include "platform/curl/smtp_client.hpp"

#include "platform/curl/curl_global.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace vantor {
namespace {

struct Upload {
  const std::string* text;
  size_t offset = 0;
};

size_t OnRead(char* buffer, size_t size, size_t count, void* user) {
  auto* upload = static_cast<Upload*>(user);
  const size_t n = std::min(size * count, upload->text->size() - upload->offset);
  std::memcpy(buffer, upload->text->data() + upload->offset, n);
  upload->offset += n;
  return n;
}

std::string Url(const MailRequest& r) {
  // Implicit TLS uses the smtps scheme; STARTTLS upgrades a plain smtp session.
  const char* scheme = r.security == MailSecurity::kTls ? "smtps://" : "smtp://";
  const bool ipv6 = r.host.find(':') != std::string::npos;
  return std::string(scheme) + (ipv6 ? "[" + r.host + "]" : r.host) + ":" +
         std::to_string(r.port);
}

class CurlSmtpClient final : public SmtpClient {
 public:
  MailResult Send(const MailRequest& r) override {
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl) return {CURLE_FAILED_INIT, "The SMTP transfer could not be created"};
    CURL* h = curl.get();
    char errorBuffer[CURL_ERROR_SIZE] = {};
    const std::string url = Url(r);
    const std::string from = "<" + r.from + ">";
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> rcpt(
        curl_slist_append(nullptr, ("<" + r.to + ">").c_str()), &curl_slist_free_all);
    Upload upload{&r.message};

    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(r.connectTimeout.count()));
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(r.totalTimeout.count()));
    // The QUIT at the end of a failed session waits for a reply outside the transfer's time
    // limit, by default for minutes; a silent server must not hold the worker that long.
    const long replySeconds = static_cast<long>((r.totalTimeout.count() + 999) / 1000);
    curl_easy_setopt(h, CURLOPT_SERVER_RESPONSE_TIMEOUT, replySeconds);
    if (r.security != MailSecurity::kNone) {
      curl_easy_setopt(h, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
      curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    }
    if (r.auth != MailAuth::kNone) {
      curl_easy_setopt(h, CURLOPT_USERNAME, r.account.c_str());
      curl_easy_setopt(h, CURLOPT_PASSWORD, r.password.c_str());
      curl_easy_setopt(h, CURLOPT_LOGIN_OPTIONS,
                       r.auth == MailAuth::kLogin ? "AUTH=LOGIN" : "AUTH=PLAIN");
    }
    curl_easy_setopt(h, CURLOPT_MAIL_FROM, from.c_str());
    curl_easy_setopt(h, CURLOPT_MAIL_RCPT, rcpt.get());
    curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(h, CURLOPT_READFUNCTION, &OnRead);
    curl_easy_setopt(h, CURLOPT_READDATA, &upload);
    curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(r.message.size()));

    const CURLcode rc = curl_easy_perform(h);
    if (rc == CURLE_OK) return {0, ""};
    long reply = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &reply);
    std::string text = errorBuffer[0] != '\0' ? std::string(errorBuffer) : curl_easy_strerror(rc);
    return {MailFailureCode(static_cast<long>(rc), reply), std::move(text)};
  }
};

}  // namespace

long MailFailureCode(long transferCode, long lastReplyCode) {
  return lastReplyCode >= 400 && lastReplyCode <= 599 ? lastReplyCode : transferCode;
}

std::unique_ptr<SmtpClient> MakeCurlSmtpClient() {
  EnsureCurlInitialised();
  return std::make_unique<CurlSmtpClient>();
}

}  // namespace vantor
