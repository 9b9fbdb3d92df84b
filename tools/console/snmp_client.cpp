#include "snmp_client.hpp"

#include "platform/snmp/snmp_ber.hpp"

#include <fmt/format.h>

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

namespace vantor::console {

namespace {

// Closes the socket on every way out.
class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

std::int32_t NewRequestId() {
  std::random_device entropy;
  std::uniform_int_distribution<std::int32_t> pick(1, 0x7fffffff);
  return pick(entropy);
}

}  // namespace

std::optional<SnmpMessage> SnmpExchange(const SnmpTarget& target, SnmpMessage request,
                                        std::chrono::milliseconds timeout, std::string& error) {
  request.community = target.community;
  request.requestId = NewRequestId();
  const auto datagram = EncodeSnmpMessage(request);
  if (!datagram) {
    error = "the request cannot be encoded";
    return std::nullopt;
  }

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(target.port);
  if (const int rc = getaddrinfo(target.host.c_str(), port.c_str(), &hints, &found); rc != 0) {
    error = fmt::format("cannot resolve {}: {}", target.host, gai_strerror(rc));
    return std::nullopt;
  }
  Socket socket(::socket(found->ai_family, found->ai_socktype, found->ai_protocol));
  // Connecting the socket makes the kernel drop datagrams from anyone but the target.
  const bool connected = socket.fd() >= 0 && connect(socket.fd(), found->ai_addr, found->ai_addrlen) == 0;
  freeaddrinfo(found);
  if (!connected || send(socket.fd(), datagram->data(), datagram->size(), 0) < 0) {
    error = fmt::format("cannot send to {}:{}: {}", target.host, target.port, std::strerror(errno));
    return std::nullopt;
  }

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::vector<std::uint8_t> buffer(65536);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd wait{socket.fd(), POLLIN, 0};
    if (poll(&wait, 1, static_cast<int>(left.count())) <= 0) continue;
    const ssize_t n = recv(socket.fd(), buffer.data(), buffer.size(), 0);
    // An ICMP port-unreachable shows up as ECONNREFUSED; keep waiting like any manager does.
    if (n < 0) continue;
    auto answer = DecodeSnmpMessage(std::span(buffer.data(), static_cast<std::size_t>(n)));
    if (answer && answer->requestId == request.requestId &&
        (answer->type == snmp_type::kResponseV1 || answer->type == snmp_type::kResponseV2c)) {
      return answer;
    }
  }
  error = fmt::format("no answer from {}:{} within {} ms (service not running, SNMP agent not started, "
                      "or community not accepted)",
                      target.host, target.port, timeout.count());
  return std::nullopt;
}

}  // namespace vantor::console
