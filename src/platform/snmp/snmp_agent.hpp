#pragma once
// The SNMP agent component: receives get, get-next and set requests over UDP, hands each to the
// service's request handler, answers it, and sends traps.
//
// Every request is decoded into a message of its own, handed to the handler by reference and
// encoded from that same message; a request arriving while another one's handler waits gets its
// own message. Traps are built by the caller in yet another message. No call throws.

#include "platform/snmp/snmp_message.hpp"

#include <boost/asio/awaitable.hpp>

#include <functional>
#include <string>
#include <system_error>

namespace vantor {

class SnmpAgent {
 public:
  // Called once per decoded request, on the main thread's io_context. The handler writes the
  // answer into the message (type code, error status and index, variables) and returns true to
  // have it sent to the requester, false to send nothing (a community that is not accepted).
  // The answer goes out as a response in the request's version, with the request's id.
  // An exception thrown by the handler drops the request without an answer.
  using RequestHandler = std::function<boost::asio::awaitable<bool>(SnmpMessage&)>;

  virtual ~SnmpAgent() = default;

  // Binds the UDP port (0: any free port) on the local IP address given as a literal and starts
  // serving. Fails with the system's error (address_in_use, address_not_available, ...), with
  // invalid_argument for a port outside 0..65535 or an address that is not an IP literal, and
  // with already_connected when already started. Datagrams that are not a well-formed request
  // are dropped silently.
  virtual std::error_code Start(int port, const std::string& localAddress) = 0;

  // Where the agent listens: the bound address as text and port; "" and 0 before a start.
  virtual std::string LocalAddress() const = 0;
  virtual int LocalPort() const = 0;

  // Replaces the handler; requests that arrive without one are dropped.
  virtual void SetRequestHandler(RequestHandler handler) = 0;

  virtual void ClearTrapDestinations() = 0;
  // "host:port" with an IPv4 literal or a host name, and a port 1..65535. False (nothing added)
  // when the text is not of that form.
  virtual bool AddTrapDestination(const std::string& hostPort) = 0;

  // Encodes `trap` (type 36, v1 trap fields) once and sends it to every destination from the
  // agent's socket. An agent address of "0.0.0.0" or "" is replaced, per destination, by the
  // local address the system routes that destination from, so the receiver sees an address it
  // can reach. False when the agent is not started or the message cannot be encoded; delivery
  // itself is not confirmed (UDP).
  virtual bool SendTrap(const SnmpMessage& trap) = 0;
};

}  // namespace vantor
