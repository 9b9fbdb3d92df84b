#include "core/pause.hpp"
#include "core/procedure.hpp"
#include "core/settings.hpp"
#include "notify/notifier.hpp"

namespace vantor {
namespace {

constexpr std::string_view kProcedure = "TestMessDaily";
constexpr int kTestHour = 8;

}  // namespace

asio::awaitable<void> Notifier::TestMessDaily(int hourOfDay) {
  co_await Guarded(events_, kCodeModule, kProcedure, [&]() -> asio::awaitable<void> {
    std::string userKey, device;
    {
      auto settings = GeneralSettings::Load(databaseFile_);
      if (!settings.BoolOrFalse("TestMessDaily") || hourOfDay != kTestHour) co_return;
      userKey = settings.Text("TestMessUserKey");
      device = settings.Text("TestMessDevice");
    }
    const auto allowance = [this] {
      return "App-Limit: " + std::to_string(appLimit_) +
             ", App-Remaining: " + std::to_string(appRemaining_);
    };

    SendOutcome sent = co_await SendMobilePO(
        "Daily Test Message From " + tlsLocalAddress_(), userKey, device, "0");
    NotifyCounts::Count(counts_.dailyTests, NotifyCounts::kPush, sent);
    forwardSendStatus_("Mr Tavo", "Daily Test Message", sent.status, sent.result, "MobilePO");
    co_await PauseMs(clock_, 1000);

    sent = co_await SendMobilePO(allowance(), userKey, device, "0");
    NotifyCounts::Count(counts_.dailyTests, NotifyCounts::kPush, sent);
    // The subject reports the allowance as the second reply left it.
    forwardSendStatus_("Mr Tavo", allowance(), sent.status, sent.result, "MobilePO");
  });
}

}  // namespace vantor
