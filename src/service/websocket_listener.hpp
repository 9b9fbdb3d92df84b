#pragma once
// A WebSocket server as a listener: the plain one (Ws* settings) or the TLS one (Wss* settings,
// with the server certificate from CertSubject, or one made at the start when none is set).
// Opening also sets the server's admission limits and the broker's refusal limits.

#include "broker/broker.hpp"
#include "platform/net/websocket_server.hpp"
#include "platform/tls/certificate_manager.hpp"
#include "service/listener.hpp"

namespace vantor {

class WebSocketListener final : public Listener {
 public:
  // `server` and `broker` outlive the listener; `certRoots` is read by a TLS listener only.
  WebSocketListener(ListenerContext context, bool tls, WebSocketServer& server, Broker& broker,
                    const CertStoreRoots& certRoots);

 private:
  asio::awaitable<std::optional<StartFailure>> Start(GeneralSettings& settings) override;
  bool Running(const GeneralSettings&) const override { return server_.Listening(); }
  void StageFailure(GeneralSettings& settings, const StartFailure& failure) override;

  asio::awaitable<void> ConfigureTls(GeneralSettings& settings);
  void ConfigureAdmissionLimits(const GeneralSettings& settings);
  void WarnOfSelfSignedCertificate(const GeneralSettings& settings);

  const bool tls_;
  WebSocketServer& server_;
  Broker& broker_;
  const CertStoreRoots& certRoots_;
};

}  // namespace vantor
