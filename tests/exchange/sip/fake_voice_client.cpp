#include "fake_voice_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "alaw_pattern.h"
#include "exchange/protocol/wire_formats.h"

namespace exchange {
namespace {

constexpr size_t kPatternBytes = 8000 * 120;  // two minutes of talk before it wraps
constexpr size_t kKey = 8;

uint64_t KeyAt(const uint8_t* bytes) {
  uint64_t key = 0;
  for (size_t i = 0; i < kKey; ++i)
    key = key << 8 | bytes[i];
  return key;
}

const std::unordered_map<uint64_t, long>& PatternIndex() {
  static const std::unordered_map<uint64_t, long> index = [] {
    std::unordered_map<uint64_t, long> map;
    const std::vector<uint8_t>& pattern = VoicePattern();
    map.reserve(pattern.size());
    for (size_t i = 0; i + kKey <= pattern.size(); ++i)
      map.emplace(KeyAt(&pattern[i]), static_cast<long>(i));
    return map;
  }();
  return index;
}

sockaddr_in Address(const std::string& ip, int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
  return address;
}

}  // namespace

uint64_t MonotonicMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

const std::vector<uint8_t>& VoicePattern() {
  static const std::vector<uint8_t> pattern = AlawPattern(kPatternBytes, 0x2545F4914F6CDD1Dull);
  return pattern;
}

long PatternPosition(const uint8_t* bytes) {
  const auto& index = PatternIndex();
  auto found = index.find(KeyAt(bytes));
  return found == index.end() ? -1 : found->second;
}

FakeVoiceClient::FakeVoiceClient(std::string server_ip, int tcp_port, int udp_port, std::string dial)
    : server_ip_(std::move(server_ip)), tcp_port_(tcp_port), udp_port_(udp_port), dial_(std::move(dial)) {
  PatternIndex();  // built once, before any timing matters
}

FakeVoiceClient::~FakeVoiceClient() {
  if (tcp_fd_ >= 0) close(tcp_fd_);
  if (udp_fd_ >= 0) close(udp_fd_);
}

bool FakeVoiceClient::Connect() {
  tcp_fd_ = socket(AF_INET, SOCK_STREAM, 0);
  udp_fd_ = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in server = Address(server_ip_, tcp_port_);
  if (tcp_fd_ < 0 || udp_fd_ < 0 ||
      connect(tcp_fd_, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
    return false;
  }
  sockaddr_in any = Address("127.0.0.1", 0);
  if (bind(udp_fd_, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) return false;
  fcntl(tcp_fd_, F_SETFL, O_NONBLOCK);
  fcntl(udp_fd_, F_SETFL, O_NONBLOCK);
  return true;
}

void FakeVoiceClient::Service(uint64_t now_ms) {
  char buffer[2048];
  while (tcp_fd_ >= 0 && !closed_by_exchange_) {
    ssize_t got = recv(tcp_fd_, buffer, sizeof buffer, 0);
    if (got > 0) {
      tags_.append(buffer, static_cast<size_t>(got));
      continue;
    }
    if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) closed_by_exchange_ = true;
    break;
  }
  if (!dialled_ && tags_.find(kTagWaitDial) != std::string::npos && tcp_fd_ >= 0) {
    std::string messages = BuildLocalAddressMessage("127.0.0.1") + BuildDialMessage("127.0.0.1", dial_);
    dialled_ = send(tcp_fd_, messages.data(), messages.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(messages.size());
  }
  while (udp_fd_ >= 0) {
    ssize_t got = recv(udp_fd_, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    auto voice = ParseServerVoice(std::string_view(buffer, static_cast<size_t>(got)));
    if (!voice) continue;
    ++received_;
    const auto* audio = reinterpret_cast<const uint8_t*>(voice->audio.data());
    long position = voice->audio.size() >= kKey ? PatternPosition(audio) : -1;
    if (position < 0) continue;
    echoed_.insert(echoed_.end(), audio, audio + voice->audio.size());
    size_t block = static_cast<size_t>(position) / kVoiceSamples;
    if (block < sent_at_ms_.size())
      round_trips_ms_.push_back(static_cast<uint32_t>(now_ms - sent_at_ms_[block]));
  }
}

void FakeVoiceClient::Tick(uint64_t now_ms, uint32_t delay_ms) {
  if (!dialled_ || udp_fd_ < 0) return;
  sent_at_ms_.push_back(now_ms);
  delayed_.emplace_back(now_ms + delay_ms, next_block_);
  ++next_block_;
  Flush(now_ms);
}

void FakeVoiceClient::Flush(uint64_t now_ms) {
  const std::vector<uint8_t>& pattern = VoicePattern();
  sockaddr_in server = Address(server_ip_, udp_port_);
  for (size_t i = 0; i < delayed_.size();) {
    if (delayed_[i].first > now_ms) {
      ++i;
      continue;
    }
    uint64_t block = delayed_[i].second;
    size_t at = (block * kVoiceSamples) % (pattern.size() - kVoiceSamples);
    std::string datagram =
        BuildClientVoice(static_cast<long long>(block + 1),
                         std::string_view(reinterpret_cast<const char*>(&pattern[at]), kVoiceSamples));
    sendto(udp_fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&server), sizeof server);
    delayed_[i] = delayed_.back();
    delayed_.pop_back();
  }
}

void FakeVoiceClient::HangUp() {
  if (tcp_fd_ >= 0) close(tcp_fd_);
  tcp_fd_ = -1;
}

}  // namespace exchange
