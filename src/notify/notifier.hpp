#pragma once
// The broken-connection alarm and its two channels (push message, mail), the daily test message
// and the store of each customer's alarm receiver.
//
// Every method is a coroutine on the event thread. Network transfers run on the worker pool and
// are awaited, so other handlers (relaying, supervision) go on while a message is under way; the
// caller's handler resumes when the transfer is over. After each wait the database is read afresh.
// No method lets a failure escape: the senders turn failures into status 3, the others write a
// level-1 application event.

#include "logging/app_event.hpp"
#include "platform/async/worker_pool.hpp"
#include "platform/curl/https_client.hpp"
#include "platform/curl/smtp_client.hpp"
#include "platform/db/database_writer.hpp"
#include "platform/host/clock.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace vantor {

inline constexpr std::int16_t kSendOk = 1;
inline constexpr std::int16_t kSendFailed = 3;

inline constexpr std::string_view kAlarmMessage =
    "No Keep-Alive Messages From Agent. Probably Due To Broken Connection.";

// The outcome of one message: status kSendOk or kSendFailed and the result text, which begins
// "PUSH: " or "SMTP: " and goes unchanged to the status trap.
struct SendOutcome {
  std::int16_t status = kSendFailed;
  std::string result;
};

// Messages sent since the notifier was made, by channel and result.
struct NotifyCounts {
  enum Channel : std::size_t { kPush, kMail, kChannelCount };
  enum Result : std::size_t { kSent, kFailed, kResultCount };
  using Table = std::array<std::array<std::uint64_t, kResultCount>, kChannelCount>;

  Table alarms{};      // broken-connection alarms
  Table dailyTests{};  // daily test and allowance messages

  static void Count(Table& table, Channel channel, const SendOutcome& outcome) {
    ++table[channel][outcome.status == kSendOk ? kSent : kFailed];
  }
};

// Builds and sends the SNMP status trap (receiver, subject, status, result, channel).
using ForwardSendStatusFn =
    std::function<void(const std::string& receiver, const std::string& subject, int status,
                       const std::string& result, const std::string& channel)>;

// The local address of the TLS WebSocket server, named in the daily test message.
using LocalAddressFn = std::function<std::string()>;

struct NotifyTimeouts {
  HttpsTimeouts push{std::chrono::seconds(10), std::chrono::seconds(20)};
  std::chrono::milliseconds mailConnect{std::chrono::seconds(10)};
  std::chrono::milliseconds mailTotal{std::chrono::seconds(30)};  // per attempt
};

class Notifier {
 public:
  // Every reference must outlive the notifier. The clients are called on worker threads.
  Notifier(Clock& clock, WorkerPool& pool, AppEventLog& events,
           std::filesystem::path databaseFile, DatabaseWriter& writer, HttpsClient& https, SmtpClient& smtp,
           ForwardSendStatusFn forwardSendStatus, LocalAddressFn tlsLocalAddress,
           NotifyTimeouts timeouts = {});

  // Posts one push message. The API address is the optional setting PushApiUrl (default: the
  // push service's public messages endpoint), trusted CAs the optional PushCaFile.
  asio::awaitable<SendOutcome> SendMobilePO(std::string message, std::string userKey,
                                            std::string device, std::string priority);

  // Sends one mail to `address` through the server of the settings, at most three attempts.
  asio::awaitable<SendOutcome> SendMailSMTP(std::string message, std::string address,
                                            std::string priority);

  // Reads the customer's receiver and sends the alarm by its channel, then forwards the trap.
  asio::awaitable<void> SendBrokenConnAlarm(std::string custID);

  // Sends the daily test message and the allowance message when due (TestMessDaily set, hour 8).
  asio::awaitable<void> TestMessDaily(int hourOfDay);

  // Stores the receiver payload "name TAB type TAB user key TAB device TAB mail address". True
  // once it is committed; false, with a level-1 event and the stored receiver unchanged, when
  // the payload is malformed or the write was given up.
  asio::awaitable<bool> SaveBrokenConnAlarm(std::string custID, std::string payload);

  // The push service's allowance as the last reply that carried the limit headers said.
  std::int32_t appLimit() const { return appLimit_; }
  std::int32_t appRemaining() const { return appRemaining_; }

  const NotifyCounts& counts() const { return counts_; }

 private:
  void ApplyLimitHeaders(const HttpsReply& reply);
  MailRequest ReadMailSettings(const std::string& message, const std::string& address,
                               const std::string& priority) const;

  Clock& clock_;
  WorkerPool& pool_;
  AppEventLog& events_;
  std::filesystem::path databaseFile_;
  DatabaseWriter& writer_;
  HttpsClient& https_;
  SmtpClient& smtp_;
  ForwardSendStatusFn forwardSendStatus_;
  LocalAddressFn tlsLocalAddress_;
  NotifyTimeouts timeouts_;

  std::int32_t appLimit_ = 0;
  std::int32_t appRemaining_ = 0;
  NotifyCounts counts_;
};

}  // namespace vantor
