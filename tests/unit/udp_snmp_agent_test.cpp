// The real agent over loopback UDP. Each test runs its steps as one coroutine on the test's
// io_context; the run is bounded only so that a broken agent fails the test instead of hanging.
#include "platform/snmp/snmp_ber.hpp"
#include "platform/snmp/udp_snmp_agent.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <gtest/gtest.h>

#include <tuple>

namespace vantor {
namespace {

namespace asio = boost::asio;
using asio::ip::udp;

SnmpMessage Get(int type, std::int32_t id, std::string oid, std::string community = "public") {
  SnmpMessage m;
  m.version = type < snmp_type::kGetV2c ? SnmpVersion::kV1 : SnmpVersion::kV2c;
  m.type = type;
  m.community = std::move(community);
  m.requestId = id;
  m.variables = {{std::move(oid), snmp_value::kNull, ""}};
  return m;
}

asio::awaitable<void> Send(udp::socket& client, const udp::endpoint& to, const std::vector<std::uint8_t>& bytes) {
  co_await client.async_send_to(asio::buffer(bytes), to, asio::use_awaitable);
}

asio::awaitable<void> Send(udp::socket& client, const udp::endpoint& to, const SnmpMessage& m) {
  co_await Send(client, to, *EncodeSnmpMessage(m));
}

asio::awaitable<SnmpMessage> Receive(udp::socket& socket) {
  std::vector<std::uint8_t> buffer(65535);
  udp::endpoint from;
  const auto n = co_await socket.async_receive_from(asio::buffer(buffer), from, asio::use_awaitable);
  co_return DecodeSnmpMessage(std::span(buffer.data(), n)).value_or(SnmpMessage{});
}

class UdpSnmpAgentTest : public ::testing::Test {
 protected:
  udp::socket Client() {
    udp::socket s(io, udp::v4());
    s.bind(udp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    return s;
  }
  udp::endpoint AgentEndpoint() {
    return udp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(agent.LocalPort()));
  }
  // Runs `steps` to its end; false if it did not finish.
  bool Run(std::function<asio::awaitable<void>()> steps) {
    bool finished = false;
    asio::co_spawn(io, [&]() -> asio::awaitable<void> {
      co_await steps();
      finished = true;
      agent.Stop();
    }, asio::detached);
    io.run_for(std::chrono::seconds(30));
    return finished;
  }

  asio::io_context io;
  UdpSnmpAgent agent{io};
};

TEST_F(UdpSnmpAgentTest, StartReportsWhereItListensAndWhyItCannot) {
  ASSERT_FALSE(agent.Start(0, "127.0.0.1"));
  EXPECT_EQ(agent.LocalAddress(), "127.0.0.1");
  EXPECT_GT(agent.LocalPort(), 0);
  EXPECT_EQ(agent.Start(0, "127.0.0.1"), std::errc::already_connected);

  UdpSnmpAgent second(io);
  EXPECT_EQ(second.Start(agent.LocalPort(), "127.0.0.1"), std::errc::address_in_use);
  EXPECT_EQ(second.Start(161, "192.0.2.55"), std::errc::address_not_available);
  EXPECT_EQ(second.Start(70000, "127.0.0.1"), std::errc::invalid_argument);
  EXPECT_EQ(second.Start(-1, "127.0.0.1"), std::errc::invalid_argument);
  EXPECT_EQ(second.Start(0, "localhost"), std::errc::invalid_argument);
  EXPECT_EQ(second.LocalPort(), 0);
  EXPECT_FALSE(second.SendTrap(SnmpMessage{}));  // not started
}

// Garbage datagrams are dropped by the service-level integration test; here the handler's
// refusals, and an answer it wrote that cannot be encoded.
TEST_F(UdpSnmpAgentTest, AnswersInTheRequestsVersionUnlessTheHandlerRefusesOrThrows) {
  agent.SetRequestHandler([](SnmpMessage& m) -> asio::awaitable<bool> {
    if (m.community == "throw") throw std::runtime_error("handler failure");
    if (m.community == "unencodable") m.variables[0] = {"1.3.6.1.2.1.1.7.0", snmp_value::kInteger, "n/a"};
    co_return m.community != "private";
  });
  ASSERT_FALSE(agent.Start(0, "127.0.0.1"));
  auto client = Client();
  const auto to = AgentEndpoint();
  SnmpMessage v1, v2, genErr;
  ASSERT_TRUE(Run([&]() -> asio::awaitable<void> {
    co_await Send(client, to, Get(snmp_type::kGetV1, 1, "1.3.6.1", "private"));
    co_await Send(client, to, Get(snmp_type::kGetV1, 2, "1.3.6.1", "throw"));
    // Datagrams from one socket arrive in order, so the first answers are these two.
    co_await Send(client, to, Get(snmp_type::kGetNextV1, 3, "1.3.6.1.2.1.1.7.0"));
    v1 = co_await Receive(client);
    auto withErrorFields = Get(snmp_type::kGetNextV2c, 4, "1.3.6.1.2.1.1.7.0");
    withErrorFields.errorStatus = snmp_error::kGenErr;  // meaningless in a request: not echoed
    withErrorFields.errorIndex = 1;
    co_await Send(client, to, withErrorFields);
    v2 = co_await Receive(client);
    co_await Send(client, to, Get(snmp_type::kGetV1, 8, "1.3.6.1.2.1.1.7.0", "unencodable"));
    genErr = co_await Receive(client);
  }));
  EXPECT_EQ(std::tuple(v1.requestId, v1.version, v1.type), std::tuple(3, SnmpVersion::kV1, snmp_type::kResponseV1));
  EXPECT_EQ(std::tuple(v2.requestId, v2.version, v2.type), std::tuple(4, SnmpVersion::kV2c, snmp_type::kResponseV2c));
  EXPECT_EQ(std::pair(v2.errorStatus, v2.errorIndex), std::pair(0, 0));
  // The request's own bindings come back with genErr.
  EXPECT_EQ(std::pair(genErr.requestId, genErr.errorStatus), std::pair(8, snmp_error::kGenErr));
  EXPECT_EQ(genErr.variables, Get(snmp_type::kGetV1, 8, "1.3.6.1.2.1.1.7.0").variables);
}

TEST_F(UdpSnmpAgentTest, RequestsWaitingInTheirHandlerKeepTheirOwnMessageAndSender) {
  // The first request's handler waits until the second one has been handled.
  asio::steady_timer gate(io, asio::steady_timer::time_point::max());
  agent.SetRequestHandler([&](SnmpMessage& m) -> asio::awaitable<bool> {
    if (m.requestId == 1) {
      boost::system::error_code ignored;
      co_await gate.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    } else {
      gate.cancel();
    }
    m.variables[0].valueType = snmp_value::kOctetString;
    m.variables[0].value = "answer " + std::to_string(m.requestId);
    co_return true;
  });
  ASSERT_FALSE(agent.Start(0, "127.0.0.1"));
  auto first = Client();
  auto second = Client();
  const auto to = AgentEndpoint();
  SnmpMessage a1, a2;
  ASSERT_TRUE(Run([&]() -> asio::awaitable<void> {
    co_await Send(first, to, Get(snmp_type::kGetV1, 1, "1.3.6.1.1"));
    co_await Send(second, to, Get(snmp_type::kGetV2c, 2, "1.3.6.1.2"));
    a2 = co_await Receive(second);
    a1 = co_await Receive(first);
  }));
  EXPECT_EQ(std::pair(a1.requestId, a1.version), std::pair(1, SnmpVersion::kV1));
  EXPECT_EQ(a1.variables, (std::vector<SnmpVariable>{{"1.3.6.1.1", snmp_value::kOctetString, "answer 1"}}));
  EXPECT_EQ(std::pair(a2.requestId, a2.version), std::pair(2, SnmpVersion::kV2c));
  EXPECT_EQ(a2.variables, (std::vector<SnmpVariable>{{"1.3.6.1.2", snmp_value::kOctetString, "answer 2"}}));
}

TEST_F(UdpSnmpAgentTest, TrapsGoToEveryDestinationWithAReachableAgentAddress) {
  for (const char* bad : {"127.0.0.1", ":162", "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:16x", "bad host:162"})
    EXPECT_FALSE(agent.AddTrapDestination(bad)) << bad;
  EXPECT_TRUE(agent.AddTrapDestination("localhost:162"));
  agent.ClearTrapDestinations();

  ASSERT_FALSE(agent.Start(0, "0.0.0.0"));
  EXPECT_EQ(agent.LocalAddress(), "0.0.0.0");
  auto receiver1 = Client();
  auto receiver2 = Client();
  ASSERT_TRUE(agent.AddTrapDestination("127.0.0.1:" + std::to_string(receiver1.local_endpoint().port())));
  ASSERT_TRUE(agent.AddTrapDestination("localhost:" + std::to_string(receiver2.local_endpoint().port())));

  SnmpMessage trap;
  trap.type = snmp_type::kTrapV1;
  trap.community = "c";
  trap.enterprise = "1.3.6.1.4.1.50404.2.1.2";
  trap.genericTrap = 6;
  trap.specificTrap = 1;
  trap.agentAddress = agent.LocalAddress();
  SnmpMessage bad = trap;
  bad.enterprise = "x";
  EXPECT_FALSE(agent.SendTrap(bad));
  ASSERT_TRUE(agent.SendTrap(trap));

  SnmpMessage got1, got2;
  ASSERT_TRUE(Run([&]() -> asio::awaitable<void> {
    got1 = co_await Receive(receiver1);
    got2 = co_await Receive(receiver2);
  }));
  auto expected = trap;
  expected.agentAddress = "127.0.0.1";  // the address the loopback route leaves from
  EXPECT_EQ(got1, expected);
  EXPECT_EQ(got2, expected);
}

}  // namespace
}  // namespace vantor
