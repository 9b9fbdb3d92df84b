#pragma once
// What the service tells the operating system's service manager. On Linux this is systemd's
// notification socket and the journal, which reads standard error; without a notification
// socket (a run from a terminal) the notify calls do nothing and log lines still go to stderr.
// All calls are made from the event thread.

#include <string>
#include <string_view>

namespace vantor {

// Syslog priorities, as the "<N>" line prefixes of sd-daemon(3) carry them.
enum class LogPriority : int { kError = 3, kWarning = 4, kInfo = 6 };

class ServiceHost {
 public:
  virtual ~ServiceHost() = default;
  virtual void NotifyReady() = 0;
  virtual void NotifyStopping() = 0;
  virtual void NotifyStatus(const std::string& text) = 0;
  // One line for the journal; line breaks inside `text` are escaped so it stays one entry.
  virtual void Log(LogPriority priority, std::string_view text) = 0;
};

class SystemdServiceHost final : public ServiceHost {
 public:
  void NotifyReady() override;
  void NotifyStopping() override;
  void NotifyStatus(const std::string& text) override;
  void Log(LogPriority priority, std::string_view text) override;
};

// "<3>text" with CR and LF written as "\r" and "\n", and a final LF.
std::string JournalLine(LogPriority priority, std::string_view text);

}  // namespace vantor
