#include "notify/notifier.hpp"

namespace vantor {

Notifier::Notifier(Clock& clock, WorkerPool& pool, AppEventLog& events,
                   std::filesystem::path databaseFile, DatabaseWriter& writer, HttpsClient& https,
                   SmtpClient& smtp,
                   ForwardSendStatusFn forwardSendStatus, LocalAddressFn tlsLocalAddress,
                   NotifyTimeouts timeouts)
    : clock_(clock),
      pool_(pool),
      events_(events),
      databaseFile_(std::move(databaseFile)),
      writer_(writer),
      https_(https),
      smtp_(smtp),
      forwardSendStatus_(std::move(forwardSendStatus)),
      tlsLocalAddress_(std::move(tlsLocalAddress)),
      timeouts_(timeouts) {}

}  // namespace vantor
