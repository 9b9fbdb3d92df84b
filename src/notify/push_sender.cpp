#include "core/procedure_error.hpp"
#include "core/settings.hpp"
#include "notify/notifier.hpp"
#include "notify/push_form.hpp"

#include <strings.h>

namespace vantor {
namespace {

constexpr std::string_view kProcedure = "SendMobilePO";
constexpr std::string_view kNoReceipt = "Receipt = UnKnown";

bool NameIs(const std::string& name, const char* wanted) {
  return strcasecmp(name.c_str(), wanted) == 0;  // HTTP header names ignore case
}

// Why a reply that arrived is not a success: its status line and the API's own error text.
std::string DescribeRefusal(const HttpsReply& reply) {
  std::string text = reply.statusLine.empty() ? "HTTP status " + std::to_string(reply.status)
                                              : reply.statusLine;
  const std::string apiText = PushApiErrorText(reply.body);
  if (!apiText.empty()) text += ": " + apiText;
  return text;
}

}  // namespace

void Notifier::ApplyLimitHeaders(const HttpsReply& reply) {
  for (const auto& [name, value] : reply.headers) {
    // A value that is not a whole number leaves the known value as it was.
    if (NameIs(name, "X-Limit-App-Limit")) {
      ParseLimitValue(value, appLimit_);
    } else if (NameIs(name, "X-Limit-App-Remaining")) {
      ParseLimitValue(value, appRemaining_);
    }
  }
}

asio::awaitable<SendOutcome> Notifier::SendMobilePO(std::string message, std::string userKey,
                                                    std::string device, std::string priority) {
  std::string failure;
  try {
    const std::string form = BuildPushForm(userKey, device, priority, message);
    std::string url(kDefaultPushApiUrl);
    std::string caFile;
    {
      auto settings = GeneralSettings::Load(databaseFile_);
      if (auto value = settings.Optional("PushApiUrl"); value && !value->empty()) url = *value;
      if (auto value = settings.Optional("PushCaFile")) caFile = *value;
    }
    HttpsClient& https = https_;
    const HttpsTimeouts timeouts = timeouts_.push;
    // A named callable: GCC 12 mishandles owning temporaries inside a co_await expression.
    auto post = [&https, url, form, caFile, timeouts] {
      return https.Post(url, form, caFile, timeouts);
    };
    const HttpsReply reply = co_await pool_.Run(std::move(post));

    ApplyLimitHeaders(reply);
    if (!reply.transportOk) {
      failure = reply.error.empty() ? "The HTTPS transfer failed" : reply.error;
    } else if (reply.status < 200 || reply.status > 299) {
      failure = DescribeRefusal(reply);
    } else {
      const std::string receipt = reply.body.empty() ? std::string(kNoReceipt) : reply.body;
      co_return SendOutcome{kSendOk, "PUSH: Message sent successfully.\r\n" + reply.statusLine +
                                         "\r\n" + receipt};
    }
  } catch (const std::exception& e) {
    failure = e.what();
  }
  if (failure.empty()) failure = "Unknown error";
  co_await events_.AppEvent(kCodeModule, kProcedure, "UserKey: " + userKey + ", " + failure,
                            kLevelError);
  co_return SendOutcome{kSendFailed, "PUSH: Error when sending message. " + failure};
}

}  // namespace vantor
