#include "core/procedure_error.hpp"
#include "core/settings.hpp"
#include "notify/mail_address.hpp"
#include "notify/mail_message.hpp"
#include "notify/notifier.hpp"

#include <fmt/format.h>

// GCC 12 pairs Asio's coroutine frame allocation (aligned_alloc) with its operator delete (which
// calls free) and warns falsely once this frame is large enough to be inlined that way.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vantor {
namespace {

constexpr std::string_view kProcedure = "SendMailSMTP";
constexpr std::string_view kMailSubject = "Vantor Com Server";
constexpr int kMaxAttempts = 3;
constexpr std::size_t kMaxShownAddress = 254;

MailSecurity ParseSecurity(const std::optional<std::string>& value) {
  if (!value || *value == "None") return MailSecurity::kNone;
  if (*value == "STARTTLS") return MailSecurity::kStartTls;
  if (*value == "TLS") return MailSecurity::kTls;
  throw ProcedureError(fmt::format(
      "Invalid MailSecurity setting '{}' (None, STARTTLS or TLS expected)", *value));
}

}  // namespace

// Everything that can fail before the first attempt: the settings, the port, the addresses.
MailRequest Notifier::ReadMailSettings(const std::string& message, const std::string& address,
                                       const std::string& priority) const {
  // The address comes from an agent; it is checked before it reaches any command or header.
  if (!IsMailAddress(address)) throw ProcedureError("Invalid recipient mail address");
  auto settings = GeneralSettings::Load(databaseFile_);
  MailRequest request;
  request.host = settings.Text("MailHostAddress");
  const std::int32_t port = settings.Int32("MailPort");
  if (port < 1 || port > 65535) {
    throw ProcedureError(fmt::format("Invalid port (General_Settings.MailPort = {})", port));
  }
  request.port = port;
  request.from = settings.Text("MailFromAddress");
  if (!IsMailAddress(request.from)) {
    throw ProcedureError("Invalid sender mail address (General_Settings.MailFromAddress)");
  }
  if (settings.BoolOrFalse("MailUseAuth")) {
    request.auth =
        settings.Text("MailAuthMode") == "AUTH LOGIN" ? MailAuth::kLogin : MailAuth::kPlain;
    request.account = settings.Text("MailAccount");
    request.password = settings.Text("MailPassword");
  }
  request.security = ParseSecurity(settings.Optional("MailSecurity"));
  if (request.host.empty()) throw ProcedureError("No mail server (General_Settings.MailHostAddress)");
  request.to = address;
  request.message = BuildMailMessage(
      MailContent{request.from, address, std::string(kMailSubject), message, priority},
      clock_.Now());
  request.connectTimeout = timeouts_.mailConnect;
  request.totalTimeout = timeouts_.mailTotal;
  return request;
}

asio::awaitable<SendOutcome> Notifier::SendMailSMTP(std::string message, std::string address,
                                                    std::string priority) {
  std::string failure;
  std::optional<MailRequest> request;
  try {
    request = ReadMailSettings(message, address, priority);
  } catch (const std::exception& e) {
    failure = e.what();
  }
  // The address may come from an agent: an event keeps a bounded part of it.
  std::string shown = address;
  if (shown.size() > kMaxShownAddress) {
    shown = shown.substr(0, kMaxShownAddress) + fmt::format("... ({} characters)", address.size());
  }
  if (request) {
    SmtpClient& smtp = smtp_;
    auto send = [&smtp, r = *request] { return smtp.Send(r); };
    SendOutcome outcome;
    MailResult sent;
    for (int attempt = 1; attempt <= kMaxAttempts && outcome.status != kSendOk; ++attempt) {
      // The pool rethrows nothing here: Send reports every failure in its result.
      sent = co_await pool_.Run(send);
      // Only the last attempt's outcome is reported.
      outcome = sent.code == 0
                    ? SendOutcome{kSendOk, "SMTP: Message sent successfully."}
                    : SendOutcome{kSendFailed, "SMTP: Error when sending message. Error: " +
                                                   std::to_string(sent.code)};
    }
    // The result keeps the bare code for the status trap; the operator gets the last attempt's
    // reason in words, once for the message.
    if (outcome.status != kSendOk) {
      const std::string reason = sent.description.empty() ? "Error " + std::to_string(sent.code)
                                                          : sent.description;
      const std::string event =
          fmt::format("Mail Address: {}, not sent after {} attempts: {}", shown, kMaxAttempts, reason);
      co_await events_.AppEvent(kCodeModule, kProcedure, event, kLevelError);
    }
    co_return outcome;
  }
  if (failure.empty()) failure = "Unknown error";
  co_await events_.AppEvent(kCodeModule, kProcedure, "Mail Address: " + shown + ", " + failure,
                            kLevelError);
  co_return SendOutcome{kSendFailed, "SMTP: Error when sending message. " + failure};
}

}  // namespace vantor
