#include "fake_client.h"

#include <unistd.h>

#include <random>

namespace exsim_test {

namespace {

std::mt19937& Rng() {
  static std::mt19937 rng(std::random_device{}() ^ static_cast<unsigned>(::getpid()));
  return rng;
}

}  // namespace

int RandomBasePort() {
  // 21000..31998: below the ephemeral range and away from the default ports 20001, 20480-20487, 32765.
  return 21000 + 2 * std::uniform_int_distribution<int>(0, 5499)(Rng());
}

std::unique_ptr<exsim::Simulator> StartSimulator(exsim::Options options, bool want_udp_override) {
  std::string error;
  for (int attempt = 0; attempt < 50; ++attempt) {
    options.address_port = 0;
    options.phone_base_port = RandomBasePort();
    if (want_udp_override) options.udp_port_override = RandomBasePort() + 1;
    auto sim = std::make_unique<exsim::Simulator>(options);
    if (sim->Start(&error)) return sim;
  }
  return nullptr;
}

std::optional<std::string> AddressExchange(int port, std::string_view query, int timeout_ms) {
  TcpClient client;
  if (!client.Connect(port) || !client.Send(query)) return std::nullopt;
  // Like the client: one reply, then the client closes; the exchange leaves the close to it.
  std::string data = client.ReceiveBytes(exsim::kAddressRecordSize, timeout_ms);
  if (data.size() == exsim::kAddressRecordSize) return data;
  std::string rest;
  if (!client.WaitClosed(1, &rest)) return std::nullopt;
  return data + rest;
}

bool ConnectPhone(const exsim::Simulator& sim, int channel, TcpClient* client) {
  std::optional<std::string> reply = AddressExchange(sim.AddressPort(), exsim::BuildAddressQuery());
  if (!reply || reply->size() != exsim::kAddressRecordSize) return false;
  return client->Connect(sim.PhonePort(channel));
}

std::function<bool(const std::vector<exsim::Event>&)> HasAtLeast(exsim::Event::Kind kind, size_t n,
                                                                 int channel) {
  return [=](const std::vector<exsim::Event>& events) { return exsim::Count(events, kind, channel) >= n; };
}

}  // namespace exsim_test
