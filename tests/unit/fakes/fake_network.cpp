#include "fakes/fake_network.h"

#include <cstring>

namespace pelvarine::testing {
namespace {

class FakeStreamSocket final : public StreamSocket {
 public:
  FakeStreamSocket(std::shared_ptr<StreamRecord> record, FakeNetwork& network)
      : record_(std::move(record)), network_(network) {}
  ~FakeStreamSocket() override {
    record_->events = nullptr;
    record_->destroyed = true;
  }
  bool Connect(const char* address, uint16_t port) override {
    record_->address = address;
    record_->port = port;
    record_->connected = network_.refused.count({address, port}) == 0;
    return record_->connected;
  }
  bool Send(const void* data, size_t size) override {
    if (!record_->connected || record_->closed) return false;
    record_->sends.emplace_back(static_cast<const char*>(data), size);
    return true;
  }
  int Receive(void* buffer, size_t size) override {
    if (record_->fail_receive || record_->incoming.empty()) return -1;
    std::string chunk = std::move(record_->incoming.front());
    record_->incoming.pop_front();
    size_t n = std::min(size, chunk.size());
    std::memcpy(buffer, chunk.data(), n);
    if (n < chunk.size()) record_->incoming.push_front(chunk.substr(n));
    return static_cast<int>(n);
  }
  uint32_t PeerIpv4() override { return record_->connected ? network_.peer_ipv4 : 0; }
  void Close() override { record_->closed = true; }

 private:
  std::shared_ptr<StreamRecord> record_;
  FakeNetwork& network_;
};

class FakeDatagramSocket final : public DatagramSocket {
 public:
  explicit FakeDatagramSocket(std::shared_ptr<DatagramRecord> record) : record_(std::move(record)) {}
  ~FakeDatagramSocket() override {
    if (record_->on_destroy) record_->on_destroy();
    record_->events = nullptr;
    record_->destroyed = true;
  }
  int Receive(void* buffer, size_t size) override {
    if (record_->fail_next_receives > 0) {
      --record_->fail_next_receives;
      if (!record_->incoming.empty()) record_->incoming.pop_front();
      return -1;
    }
    if (record_->incoming.empty()) return -1;
    std::string datagram = std::move(record_->incoming.front());
    record_->incoming.pop_front();
    if (datagram.size() > size) return -1;  // too long: discarded, as the platform does
    std::memcpy(buffer, datagram.data(), datagram.size());
    return static_cast<int>(datagram.size());
  }
  bool SendTo(const void* data, size_t size, uint32_t ipv4, uint16_t port) override {
    {
      std::lock_guard<std::mutex> lock(record_->sent_mutex);
      record_->sent.push_back({std::string(static_cast<const char*>(data), size), ipv4, port});
    }
    record_->sent_changed.notify_all();
    return true;
  }

 private:
  std::shared_ptr<DatagramRecord> record_;
};

}  // namespace

std::unique_ptr<StreamSocket> FakeNetwork::CreateStreamSocket(StreamSocketEvents& events) {
  if (fail_stream_creates > 0) {
    --fail_stream_creates;
    return nullptr;
  }
  auto record = std::make_shared<StreamRecord>();
  record->events = &events;
  streams.push_back(record);
  return std::make_unique<FakeStreamSocket>(record, *this);
}

std::unique_ptr<DatagramSocket> FakeNetwork::CreateDatagramSocket(uint16_t port,
                                                                  DatagramSocketEvents& events) {
  if (taken_udp_ports.count(port)) return nullptr;
  for (const auto& existing : datagrams) {
    if (!existing->destroyed && existing->port == port) return nullptr;  // still bound
  }
  auto record = std::make_shared<DatagramRecord>();
  record->events = &events;
  record->port = port;
  datagrams.push_back(record);
  return std::make_unique<FakeDatagramSocket>(record);
}

void FakeNetwork::Deliver(StreamRecord& record, std::string chunk) {
  record.incoming.push_back(std::move(chunk));
  if (record.events) record.events->OnReceive();
}

void FakeNetwork::PeerClose(StreamRecord& record) {
  if (record.events) record.events->OnClose();
}

void FakeNetwork::DeliverDatagram(DatagramRecord& record, std::string bytes) {
  record.incoming.push_back(std::move(bytes));
  if (record.events) record.events->OnReceive();
}

int FakeNetwork::OpenStreamCount() const {
  int open = 0;
  for (const auto& s : streams)
    open += s->destroyed ? 0 : 1;
  return open;
}

int FakeNetwork::OpenDatagramCount() const {
  int open = 0;
  for (const auto& d : datagrams)
    open += d->destroyed ? 0 : 1;
  return open;
}

}  // namespace pelvarine::testing
