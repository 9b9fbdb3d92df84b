#pragma once
// An SMTP client that records each attempt and answers with scripted results (success once the
// script runs out). Sends run on worker threads, hence the mutex.

#include "platform/curl/smtp_client.hpp"

#include <deque>
#include <mutex>
#include <vector>

namespace vantor::testing {

class FakeSmtpClient final : public SmtpClient {
 public:
  MailResult Send(const MailRequest& request) override {
    std::lock_guard lock(mutex_);
    sent_.push_back(request);
    if (results_.empty()) return {0, ""};
    MailResult result = results_.front();
    results_.pop_front();
    return result;
  }

  void Queue(long code, std::string description = "refused") {
    std::lock_guard lock(mutex_);
    results_.push_back({code, std::move(description)});
  }
  std::vector<MailRequest> sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
  }

 private:
  mutable std::mutex mutex_;
  std::deque<MailResult> results_;
  std::vector<MailRequest> sent_;
};

}  // namespace vantor::testing
