#include "platform/curl/curl_global.hpp"

#include <curl/curl.h>

#include <mutex>

namespace vantor {

void EnsureCurlInitialised() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace vantor
