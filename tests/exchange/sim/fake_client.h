// A fake voice-call client on loopback sockets, for driving the simulator in tests.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "exchange_sim.h"
#include "tests/exchange/loopback_sockets.h"

namespace exsim_test {

// Starts a simulator on free ports: the address server on an ephemeral port and the phone channels at
// a random base outside the default ports and the ephemeral range. Retries when a port is taken.
// Sets udp_port_override (when `want_udp_override`) to a random free-looking port too.
std::unique_ptr<exsim::Simulator> StartSimulator(exsim::Options options, bool want_udp_override = false);

// A random even base port suitable for phone_base_port.
int RandomBasePort();

using exchange::testing::TcpClient;
using exchange::testing::UdpClient;

// Sends `query` to the address server and returns the reply (452 bytes), or what came back before the server
// closed (nullopt if neither happened within the timeout).
std::optional<std::string> AddressExchange(int port, std::string_view query, int timeout_ms = 2000);

// Runs the address query and connects to channel `channel` of the phone server.
bool ConnectPhone(const exsim::Simulator& sim, int channel, TcpClient* client);

// Predicate helpers for Simulator::WaitFor.
std::function<bool(const std::vector<exsim::Event>&)> HasAtLeast(exsim::Event::Kind kind, size_t n,
                                                                 int channel = -2);

constexpr std::chrono::milliseconds kWait{3000};

}  // namespace exsim_test
