#include "service_probe.hpp"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vantor::load {

std::optional<long> statusFieldKiB(std::string_view statusText, std::string_view name) {
  std::size_t at = 0;
  while (at < statusText.size()) {
    auto end = statusText.find('\n', at);
    auto line = statusText.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
    at = end == std::string_view::npos ? statusText.size() : end + 1;
    if (!line.starts_with(name) || line.size() <= name.size() || line[name.size()] != ':') continue;
    auto rest = line.substr(name.size() + 1);
    auto digits = rest.find_first_not_of(" \t");
    if (digits == std::string_view::npos) return std::nullopt;
    long value = 0;
    auto [ptr, ec] = std::from_chars(rest.data() + digits, rest.data() + rest.size(), value);
    if (ec != std::errc{}) return std::nullopt;
    std::string_view unit(ptr, static_cast<std::size_t>(rest.data() + rest.size() - ptr));
    if (unit.find("kB") == std::string_view::npos) return std::nullopt;
    return value;
  }
  return std::nullopt;
}

std::optional<long long> statCpuTicks(std::string_view statText) {
  // The command name in field 2 may hold spaces and parentheses: count from the last ')'.
  auto close = statText.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::istringstream fields{std::string(statText.substr(close + 1))};
  std::string field;
  long long utime = 0, stime = 0;
  for (int number = 3; number <= 13; ++number) fields >> field;  // state .. majflt
  if (!(fields >> utime >> stime) || utime < 0 || stime < 0) return std::nullopt;
  return utime + stime;
}

namespace {
std::string readAll(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  if (in) text << in.rdbuf();
  return text.str();
}
}  // namespace

ServiceUsage probeService(int pid, const std::string& procRoot) {
  ServiceUsage usage;
  auto dir = std::filesystem::path(procRoot) / std::to_string(pid);
  const auto status = readAll(dir / "status");
  usage.vmRssKiB = statusFieldKiB(status, "VmRSS").value_or(-1);
  usage.rssAnonKiB = statusFieldKiB(status, "RssAnon").value_or(-1);
  usage.cpuTicks = statCpuTicks(readAll(dir / "stat")).value_or(-1);
  std::error_code ec;
  long fds = 0;
  for (std::filesystem::directory_iterator it(dir / "fd", ec), end; !ec && it != end; it.increment(ec))
    ++fds;
  if (!ec) usage.openFds = fds;
  return usage;
}

}  // namespace vantor::load
