#include "broker/refusal_limiter.hpp"

#include <boost/asio/ip/address.hpp>

namespace vantor {

std::string RefusalLimiter::KeyOf(std::string_view address) {
  boost::system::error_code ec;
  const auto parsed = boost::asio::ip::make_address(std::string(address), ec);
  if (ec || !parsed.is_v6()) return std::string(address);
  const auto v6 = parsed.to_v6();
  if (v6.is_v4_mapped()) return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, v6).to_string();
  auto bytes = v6.to_bytes();
  for (std::size_t i = 8; i < bytes.size(); ++i) bytes[i] = 0;
  return boost::asio::ip::address_v6(bytes).to_string() + "/64";
}

void RefusalLimiter::CountRefusal(std::string_view address, SystemTime now) {
  Entry* entry = Track(KeyOf(address), now);
  if (!entry) return;
  if (now - entry->windowStart >= limits_.window) {
    entry->windowStart = now;
    entry->refused = 0;
  }
  if (++entry->refused >= limits_.maxRefused) {
    entry->coolingUntil = now + limits_.cooling;
    entry->refused = 0;
    entry->windowStart = now;
  }
}

bool RefusalLimiter::Cooling(std::string_view address, SystemTime now) const {
  auto it = entries_.find(KeyOf(address));
  return it != entries_.end() && now < it->second.coolingUntil;
}

RefusalLimiter::Entry* RefusalLimiter::Track(const std::string& key, SystemTime now) {
  auto it = entries_.find(key);
  if (it != entries_.end()) return &it->second;
  if (entries_.size() >= kMaxAddresses) ForgetExpired(now);
  if (entries_.size() >= kMaxAddresses) return nullptr;
  return &entries_.emplace(key, Entry{now, 0, {}}).first->second;
}

void RefusalLimiter::ForgetExpired(SystemTime now) {
  for (auto it = entries_.begin(); it != entries_.end();) {
    const Entry& e = it->second;
    const bool expired = now - e.windowStart >= limits_.window && now >= e.coolingUntil;
    it = expired ? entries_.erase(it) : std::next(it);
  }
}

}  // namespace vantor
