#pragma once
// The process-wide state of the current call. The fields the audio capture thread reads are atomics;
// everything else belongs to the UI thread.

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace pelvarine {

constexpr uint16_t kFirstPhoneServerTcpPort = 20480;
constexpr uint16_t kFirstRemoteUdpPort = 20481;
constexpr int kChannelLimit = 4;

constexpr size_t kAddressTextSize = 64;

struct CallState {
  // Capture thread reads these.
  std::atomic<bool> off_hook{false};
  std::atomic<bool> duplicate_send{false};
  std::atomic<uint16_t> remote_udp_port{0};
  std::atomic<uint32_t> phone_server_ipv4{0};  // where voice datagrams go: the signalling peer's address
  std::atomic<int32_t> send_sequence{0};       // written by the capture thread while capture runs

  // UI thread only. Address texts are NUL-padded GBK.
  char phone_server_address[kAddressTextSize] = {};
  char local_address[kAddressTextSize] = {};
  uint16_t phone_server_tcp_port = 0;
  int channel_index = 0;
};

}  // namespace pelvarine
