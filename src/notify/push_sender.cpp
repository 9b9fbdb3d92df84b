#include "core/procedure_error.hpp"
#include "core/settings.hpp"
#include "notify/notifier.hpp"
#include "notify/push_form.hpp"

namespace vantor {
namespace {

constexpr std::string_view kProcedure = "SendMobilePO";

}  // namespace

void Notifier::ApplyLimitHeaders(const HttpsReply& reply) { ReadLimitHeaders(reply, appLimit_, appRemaining_); }

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
    if (auto why = PushReplyFailure(reply)) {
      failure = std::move(*why);
    } else {
      co_return SendOutcome{kSendOk, PushSuccessText(reply)};
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
