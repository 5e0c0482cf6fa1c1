#pragma once
// A whole client core on fake ports, started as the window starts it, with helpers that play the
// address server and the phone server.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/call_client.h"
#include "fakes/fake_mixer.h"
#include "fakes/fake_network.h"
#include "fakes/fake_ports.h"
#include "fakes/fake_wave_devices.h"
#include "gbk.h"

namespace pelvarine::testing {

constexpr char kTestAddressServer[] = "10.20.30.40";

class ClientTest : public ::testing::Test {
 protected:
  ClientTest() {
    mixer.SetSourceList(kMixerControlMux, {"Microphone", "Line In"}, {1, 0});
    mixer.AddSource(kMixerSrcMicrophone, 1, 0, 65535, true);
  }

  // Builds the client and runs the window's initialisation (readiness checks included).
  void Start() {
    client = std::make_unique<CallClient>(Ports{network, wave, mixer, clock, system, panel, controls},
                                          ClientConfig{kTestAddressServer, "www.example.com"});
    client->OnInitDialog();
  }

  CallSession& session() { return client->session(); }
  CallState& state() { return client->state(); }
  CallStage stage() { return client->session().Stage(); }

  // The status log as UTF-8 lines.
  std::vector<std::string> Lines() { return Utf8Lines(panel.text); }
  // Every line appended since the last ClearLog, also those the panel has since emptied away.
  std::vector<std::string> AllLines() {
    std::vector<std::string> lines;
    for (const std::string& line : panel.appended)
      lines.push_back(Utf8(line));
    return lines;
  }
  void ClearLog() {
    panel.text.clear();
    panel.appended.clear();
  }

  void Press() { client->OnPhoneButton(); }

  // Off-hook and answered by the address server: a phone-server connection on channel 0.
  StreamRecord& PressAndReply(const std::string& phone_server = "10.0.0.9") {
    Press();
    StreamRecord& address = *network.LastStream();
    Reply(address, phone_server);
    return *network.LastStream();
  }

  void Reply(StreamRecord& address, const std::string& phone_server) {
    AddressQueryRecord reply;
    std::copy(phone_server.begin(), phone_server.end(), reply.Field(5));
    network.Deliver(address, std::string(reply.bytes.begin(), reply.bytes.end()));
  }

  // The newest phone-server connection.
  StreamRecord& Phone() { return *network.LastStream(); }
  void Server(const std::string& chunk) { network.Deliver(Phone(), chunk); }

  FakeNetwork network;
  FakeWaveDevices wave;
  FakeMixer mixer;
  FakeClock clock;
  FakeSystem system;
  FakeTextPanel panel;
  FakeControls controls;
  std::unique_ptr<CallClient> client;
};

}  // namespace pelvarine::testing
