#include "platform/host/service_host.hpp"

#include "platform/host/text_file.hpp"

#include <systemd/sd-daemon.h>
#include <unistd.h>

namespace vantor {

void SystemdServiceHost::NotifyReady() { sd_notify(0, "READY=1"); }
void SystemdServiceHost::NotifyStopping() { sd_notify(0, "STOPPING=1"); }
void SystemdServiceHost::NotifyStatus(const std::string& text) {
  sd_notify(0, ("STATUS=" + text).c_str());
}

void SystemdServiceHost::Log(LogPriority priority, std::string_view text) {
  // One write per line, so lines of concurrent writers never interleave.
  const std::string line = JournalLine(priority, text);
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (n <= 0) return;  // nowhere to report a broken stderr to
    done += static_cast<std::size_t>(n);
  }
}

std::string JournalLine(LogPriority priority, std::string_view text) {
  return "<" + std::to_string(static_cast<int>(priority)) + ">" + EscapeForLine(text) + "\n";
}

}  // namespace vantor
