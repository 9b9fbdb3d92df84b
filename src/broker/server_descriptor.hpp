#pragma once
// The plain and TLS servers share one code path; this descriptor is all that differs.

#include "core/connection_ref.hpp"

#include <string>
#include <string_view>

namespace vantor {

struct ServerDescriptor {
  ServerIndex index;               // which server: the tables name connections by it
  std::string_view filePrefix;     // trace and log file names: "Ws" or "Wss"
  std::string_view handlerPrefix;  // handler names in events: "wsServer" or "wssServer"
  void (*cleanRequest)(std::string&);  // cleaning of a mobile request before relay, in place

  std::string Handler(std::string_view event) const {
    return std::string(handlerPrefix) + "_" + std::string(event);
  }
};

// Plain server: removes every no-break space (U+00A0).
void CleanPlainRequest(std::string& text);
// TLS server: trims spaces at both ends, then removes every U+00C2 and every U+00A0.
void CleanTlsRequest(std::string& text);

inline constexpr ServerDescriptor kPlainServer{ServerIndex::kPlain, "Ws", "wsServer", CleanPlainRequest};
inline constexpr ServerDescriptor kTlsServer{ServerIndex::kTls, "Wss", "wssServer", CleanTlsRequest};

constexpr const ServerDescriptor& Describe(ServerIndex server) {
  return server == ServerIndex::kPlain ? kPlainServer : kTlsServer;
}

}  // namespace vantor
