#pragma once
// The SMTP client that delivers one ready-made message. A Send blocks until the server has
// accepted or refused the message, so it is called only through the worker pool. Failures never
// throw: they are reported in the result.

#include <chrono>
#include <memory>
#include <string>

namespace vantor {

enum class MailSecurity { kNone, kStartTls, kTls };
enum class MailAuth { kNone, kLogin, kPlain };

struct MailRequest {
  std::string host;
  int port = 25;
  MailSecurity security = MailSecurity::kNone;
  MailAuth auth = MailAuth::kNone;
  std::string account;   // used only when auth is not kNone
  std::string password;  // used only when auth is not kNone
  std::string from;      // envelope sender (a checked address)
  std::string to;        // the one envelope recipient (a checked address)
  std::string message;   // the whole RFC 5322 message, lines ended by CR LF
  std::chrono::milliseconds connectTimeout{10000};
  std::chrono::milliseconds totalTimeout{30000};
};

struct MailResult {
  // 0 when the server accepted the message; otherwise the server's error reply code (4xx, 5xx)
  // when it sent one, else the transfer's error code (refused connection, timeout, TLS failure).
  long code = 0;
  std::string description;  // empty on success
};

// The code of a failed transfer (MailResult::code): the server's last reply code when it was the
// server's refusal (4xx, 5xx); after a 250 or 354, or with no reply at all, the failure was the
// connection's and the transfer's own error code says more.
long MailFailureCode(long transferCode, long lastReplyCode);

class SmtpClient {
 public:
  virtual ~SmtpClient() = default;

  // One attempt: connect, greet, secure and log in as asked, send the envelope and the message.
  // Thread-safe: each call uses its own transfer.
  virtual MailResult Send(const MailRequest& request) = 0;
};

// The libcurl implementation.
std::unique_ptr<SmtpClient> MakeCurlSmtpClient();

}  // namespace vantor
