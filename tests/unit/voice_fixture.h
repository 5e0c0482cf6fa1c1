#pragma once
// The voice path on its own: the voice channel and the audio devices on fake ports, with a signalling
// link the test controls, and helpers that build received datagrams.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "call/call_state.h"
#include "call/signal_link.h"
#include "fakes/fake_network.h"
#include "fakes/fake_ports.h"
#include "fakes/fake_wave_devices.h"
#include "gbk.h"
#include "ui/status_log.h"
#include "voice/audio_devices.h"
#include "voice/voice_channel.h"

namespace pelvarine::testing {

constexpr char kLocalAddress[] = "192.168.1.20";

class FakeSignalLink final : public SignalLink {
 public:
  bool HasSignalConnection() const override { return connected; }
  bool SendSignal(std::string_view text) override {
    sends.emplace_back(text);
    return send_result;
  }
  bool connected = true;
  bool send_result = true;
  std::vector<std::string> sends;
};

// A received datagram as the phone server sends it: the address text from offset 0, the sequence text
// right-aligned in bytes 16-31 and 128 audio bytes of `fill`.
inline std::string IncomingDatagram(std::string_view address, std::string_view sequence,
                                    uint8_t fill = 0x33) {
  std::string d(kIncomingDatagramSize, '\0');
  d.replace(0, std::min<size_t>(address.size(), 16), address.substr(0, 16));
  std::string field = std::string(16 - std::min<size_t>(sequence.size(), 16), ' ') + std::string(sequence);
  d.replace(16, 16, field.substr(0, 16));
  std::memset(&d[32], fill, kVoiceBlockSize);
  return d;
}

inline std::string IncomingDatagram(std::string_view address, int32_t sequence, uint8_t fill = 0x33) {
  return IncomingDatagram(address, std::to_string(sequence), fill);
}

class VoiceTest : public ::testing::Test {
 protected:
  VoiceTest() {
    log.SetLineTerminator(kCrLf);
    audio.SetWaveFormat();
    std::strcpy(state.local_address, kLocalAddress);
    state.off_hook = true;
    state.phone_server_ipv4 = 0x0A000009;
    state.remote_udp_port = kFirstRemoteUdpPort;
  }
  ~VoiceTest() override {
    // No capture callback may run into the channel once it is gone.
    state.off_hook = false;
    audio.StopCapture();
    audio.StopPlayback();
  }

  DatagramRecord& OpenSocket() {
    EXPECT_TRUE(voice.OpenVoiceSocket());
    return *network.LastDatagram();
  }
  void Receive(std::string bytes) { network.DeliverDatagram(*network.LastDatagram(), std::move(bytes)); }
  // Receives a datagram for this machine with `sequence`, `ms` milliseconds after the previous one.
  void ReceiveAfter(int ms, int32_t sequence, uint8_t fill = 0x33) {
    clock.now_ms += ms;
    Receive(IncomingDatagram(kLocalAddress, sequence, fill));
  }
  std::vector<std::string> AllLines() {
    std::vector<std::string> lines;
    for (const std::string& line : panel.appended)
      lines.push_back(Utf8(line));
    return lines;
  }

  FakeNetwork network;
  FakeClock clock;
  FakeTextPanel panel;
  StatusLog log{panel};
  CallState state;
  FakeWaveDevices wave;
  FakeControls controls;
  FakeSignalLink signal;
  // The devices hand captured blocks to the channel and the channel hands accepted blocks to the devices.
  AudioDevices audio{wave, clock, log, state, voice};
  VoiceChannel voice{network, clock, log, state, audio, signal, controls};
};

}  // namespace pelvarine::testing
