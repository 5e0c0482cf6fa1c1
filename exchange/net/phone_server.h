// One phone-server address: its channels (TCP 20480 + 2k, UDP 20481 + 2k), the client connections on them
// and the voice that reaches their ports.
#pragma once

#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "exchange/net/server_context.h"

struct tcp_sock;
struct tcp_conn;
struct udp_sock;
struct mbuf;

namespace exchange {

class PhoneServer {
 public:
  PhoneServer(ServerContext& context, int index, PhoneServerAddress address);
  ~PhoneServer();

  bool Start(std::string* error);
  // Ends every call by closing its connection, and stops listening.
  void Shutdown(std::string_view why);

  int load() const;  // calls holding a channel
  int CallsFrom(uint32_t ip) const;
  const std::string& public_address() const { return public_address_; }
  // Empty: the listen address.
  void SetPublicAddress(const std::string& address);
  void AddFigures(CallFigures* figures) const;  // of its calls in progress
  int tcp_port(int channel) const;
  int udp_port(int channel) const;

 private:
  class Connection;
  struct Channel {
    PhoneServer* server = nullptr;
    int index = 0;
    struct tcp_sock* listener = nullptr;
    struct udp_sock* voice = nullptr;
    Connection* holder = nullptr;  // the newest answered connection, whose call takes the port's voice
  };

  static void OnConnect(const struct sa* peer, void* arg);
  static void OnVoice(const struct sa* src, struct mbuf* mb, void* arg);
  static void OnSharedVoice(const struct sa* src, struct mbuf* mb, void* arg);

  void Accept(Channel& channel, const Endpoint& peer);
  void Refuse(const Channel& channel, const Endpoint& peer, const char* reason, std::string text);
  Answer Decide(const Channel& channel, const CallContext& call, const char** busy_reason);
  void DeliverVoice(int channel, const Endpoint& from, struct mbuf* mb);
  Connection* VoiceTarget(int channel, const Endpoint& from);
  Connection* NewSourceTarget(const Endpoint& from);
  bool SendVoice(int channel, const Endpoint& to, const uint8_t* data, size_t size);
  void ReapSoon();

  ServerContext& context_;
  int index_;
  PhoneServerAddress address_;
  std::string public_address_;
  std::vector<Channel> channels_;
  struct udp_sock* shared_voice_ = nullptr;  // the voice port override, if any
  std::list<std::unique_ptr<Connection>> connections_;
  // On the shared voice port: the connection each latched source belongs to (checked again on use).
  std::unordered_map<uint64_t, Connection*> latched_sources_;
  std::unique_ptr<Timer> reaper_;
  struct mbuf* send_buffer_ = nullptr;
};

}  // namespace exchange
