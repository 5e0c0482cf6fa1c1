#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <ostream>
#include <thread>

#include "exchange_sim.h"
#include "exchange/protocol/display_text.h"

namespace exsim {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kMaxDisplayBytes = 256;
constexpr int kMaxUdpReadsPerWake = 256;

std::string AddressText(const sockaddr_in& addr) {
  char ip[INET_ADDRSTRLEN] = {0};
  inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof(ip));
  return std::string(ip) + ":" + std::to_string(ntohs(addr.sin_port));
}

std::string ErrnoText(int err) {
  return std::strerror(err);
}

// Readable form of (possibly large) raw bytes.
std::string Display(std::string_view bytes) {
  if (bytes.size() <= kMaxDisplayBytes) return GbkToDisplay(bytes);
  return "(" + std::to_string(bytes.size()) + " bytes) " + GbkToDisplay(bytes.substr(0, kMaxDisplayBytes)) +
         "...";
}

bool ParseIpv4(const std::string& text, in_addr* out) {
  return inet_pton(AF_INET, text.c_str(), out) == 1;
}

void CloseFd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

// Opens a TCP listener or UDP socket bound to bind_address:port. Returns -1 with *error set on failure.
int OpenSocket(int type, const std::string& bind_address, int port, int* actual_port, std::string* error) {
  int fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const char* what = type == SOCK_STREAM ? "TCP" : "UDP";
  if (fd < 0) {
    *error = std::string("socket(") + what + "): " + ErrnoText(errno);
    return -1;
  }
  int one = 1;
  if (type == SOCK_STREAM) {
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  } else {
    int size = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  ParseIpv4(bind_address, &addr.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    *error = std::string("cannot bind ") + what + " " + bind_address + ":" + std::to_string(port) + ": " +
             ErrnoText(errno);
    ::close(fd);
    return -1;
  }
  if (type == SOCK_STREAM && ::listen(fd, 16) != 0) {
    *error = std::string("cannot listen on ") + bind_address + ":" + std::to_string(port) + ": " +
             ErrnoText(errno);
    ::close(fd);
    return -1;
  }
  socklen_t len = sizeof(addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  *actual_port = ntohs(addr.sin_port);
  return fd;
}

int PollTimeout(Clock::time_point now, Clock::time_point deadline) {
  if (deadline <= now) return 0;
  auto us = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now).count();
  return static_cast<int>(std::min<long long>((us + 999) / 1000, 1000));
}

std::string VoiceModeName(VoiceMode mode) {
  switch (mode) {
    case VoiceMode::kNone:
      return "none";
    case VoiceMode::kTone:
      return "tone";
    case VoiceMode::kEcho:
      return "echo";
  }
  return "?";
}

}  // namespace

const char* KindName(Event::Kind kind) {
  switch (kind) {
#define EXSIM_KIND(k)  \
  case Event::Kind::k: \
    return #k;
    EXSIM_KIND(Started)
    EXSIM_KIND(Stopped)
    EXSIM_KIND(Error)
    EXSIM_KIND(AddressConnected)
    EXSIM_KIND(AddressQueryOk)
    EXSIM_KIND(AddressQueryMalformed)
    EXSIM_KIND(AddressReplySent)
    EXSIM_KIND(AddressClosed)
    EXSIM_KIND(ChannelAccepted)
    EXSIM_KIND(TagSent)
    EXSIM_KIND(LocalAddressReceived)
    EXSIM_KIND(DialReceived)
    EXSIM_KIND(QualityRequestReceived)
    EXSIM_KIND(GarbageReceived)
    EXSIM_KIND(ClientClosed)
    EXSIM_KIND(ServerClosed)
    EXSIM_KIND(VoiceReceived)
    EXSIM_KIND(VoiceStarted)
    EXSIM_KIND(VoiceSent)
    EXSIM_KIND(VoiceStopped)
    EXSIM_KIND(HostileVoiceSent)
#undef EXSIM_KIND
  }
  return "Unknown";
}

std::vector<Event> Filter(const std::vector<Event>& events, Event::Kind kind, int channel) {
  std::vector<Event> out;
  for (const Event& e : events) {
    if (e.kind == kind && (channel == -2 || e.channel == channel)) out.push_back(e);
  }
  return out;
}

size_t Count(const std::vector<Event>& events, Event::Kind kind, int channel) {
  return static_cast<size_t>(std::count_if(events.begin(), events.end(), [&](const Event& e) {
    return e.kind == kind && (channel == -2 || e.channel == channel);
  }));
}

class Simulator::Impl {
 public:
  explicit Impl(Options options) : opt_(std::move(options)) {}
  ~Impl() { Stop(); }

  bool Start(std::string* error);
  void Stop();
  bool running() const {
    std::lock_guard<std::mutex> lock(life_mu_);
    return started_ && !stopped_;
  }
  std::vector<Event> Events() const {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
  }
  bool WaitFor(const std::function<bool(const std::vector<Event>&)>& pred, milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return pred(events_); });
  }
  std::string Log() const {
    std::lock_guard<std::mutex> lock(mu_);
    std::string out;
    for (const std::string& line : log_lines_)
      out += line + "\n";
    return out;
  }
  const Options& options() const { return opt_; }
  int AddressPort() const { return address_port_; }
  int PhonePort(int channel) const { return opt_.phone_base_port + 2 * channel; }
  int UdpPort(int channel) const { return opt_.phone_base_port + 2 * channel + 1; }

 private:
  struct AddrConn {
    enum class State { kReading, kSending, kDraining, kHolding };
    int fd = -1;
    std::string peer;
    State state = State::kReading;
    std::string query;
    std::string out;
    size_t extra = 0;
    Clock::time_point deadline;
    bool closed = false;
  };

  struct Outgoing {
    std::string bytes;
    bool hostile = false;
  };

  struct PhoneConn {
    int fd = -1;
    int channel = 0;
    std::string peer;
    int call = 0;
    int connection = 0;
    bool busy = false;
    bool closed = false;
    StreamParser parser;
    std::deque<Outgoing> queue;
    Outgoing inflight;
    size_t inflight_sent = 0;
    bool sending = false;
    Clock::time_point next_send;
    std::optional<Clock::time_point> close_at;
    std::string local_address;
    bool dialed = false;
    // Far-end voice.
    bool voice_active = false;
    std::string voice_address;
    std::unique_ptr<ToneGenerator> tone;
    Clock::time_point next_voice;
    long long voice_seq = 1;
    long long voice_sent = 0;
    bool voice_error_reported = false;
  };

  struct UdpSock {
    int fd = -1;
    int port = 0;
    int channel = -1;  // -1: the dedicated socket for the UDP port override
    bool override_target = false;
    std::optional<sockaddr_in> last_source;
  };

  void Run();
  void Emit(Event e);
  Event MakeEvent(Event::Kind kind, int channel) const;
  void CloseAll();

  // Address server.
  void AcceptAddress();
  void OnAddressReadable(AddrConn& c);
  void OnAddressTimer(AddrConn& c, Clock::time_point now);
  void FlushAddressReply(AddrConn& c);
  void ProcessQuery(AddrConn& c);
  void AddressMalformed(AddrConn& c, const std::string& problem);
  void CloseAddress(AddrConn& c, const std::string& reason);

  // Phone server.
  void AcceptPhone(int channel);
  void OnPhoneReadable(PhoneConn& c);
  void OnPhoneTimer(PhoneConn& c, Clock::time_point now);
  void HandleMessage(PhoneConn& c, const ClientMessage& m);
  void OnDial(PhoneConn& c);
  void Queue(PhoneConn& c, std::string bytes, bool hostile = false);
  void FlushTag(PhoneConn& c);
  void ClosePhone(PhoneConn& c, Event::Kind kind, const std::string& reason);

  // Voice.
  void OnUdpReadable(UdpSock& s);
  void StartVoice(PhoneConn& c);
  void StopVoice(PhoneConn& c, const std::string& reason);
  void SendTone(PhoneConn& c, Clock::time_point now);
  void SendVoice(PhoneConn& c, const sockaddr_in& dest, std::string_view audio);
  void SendHostileVoice(PhoneConn& c);
  sockaddr_in VoiceDestination(const PhoneConn& c) const;
  bool ShouldLogVoice();

  void NewCall() {
    ++call_;
    conns_in_call_ = 0;
    for (UdpSock& s : udp_)
      s.last_source.reset();
  }

  const Options opt_;

  mutable std::mutex life_mu_;
  bool started_ = false;
  bool stopped_ = false;

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<Event> events_;
  std::deque<std::string> log_lines_;

  std::atomic<bool> stop_{false};
  std::thread thread_;
  int wake_[2] = {-1, -1};

  // Owned by the serving thread after Start().
  int address_fd_ = -1;
  int address_port_ = 0;
  std::vector<int> phone_fds_;
  std::vector<UdpSock> udp_;  // [0, channels): channel sockets; then the override socket if separate
  std::vector<PhoneConn*> voice_owner_;
  PhoneConn* override_owner_ = nullptr;
  std::vector<std::unique_ptr<AddrConn>> addr_conns_;
  std::vector<std::unique_ptr<PhoneConn>> phone_conns_;
  int call_ = 0;
  int conns_in_call_ = 0;
  unsigned long long voice_log_counter_ = 0;
};

// ---------------------------------------------------------------------------------------------------
// Lifecycle and events

bool Simulator::Impl::Start(std::string* error) {
  std::string dummy;
  if (error == nullptr) error = &dummy;
  std::lock_guard<std::mutex> lock(life_mu_);
  if (started_) {
    *error = "already started";
    return false;
  }
  in_addr tmp{};
  std::string problem;
  auto port_ok = [](int p, bool zero_ok) { return p >= (zero_ok ? 0 : 1) && p <= 65535; };
  if (!ParseIpv4(opt_.bind_address, &tmp)) {
    problem = "bind address is not an IPv4 address: " + opt_.bind_address;
  } else if (!ParseIpv4(opt_.client_host, &tmp)) {
    problem = "client host is not an IPv4 address: " + opt_.client_host;
  } else if (opt_.channels < 1 || opt_.channels > 64) {
    problem = "channels must be 1..64";
  } else if (!port_ok(opt_.address_port, true)) {
    problem = "address port out of range";
  } else if (!port_ok(opt_.phone_base_port, false) || opt_.phone_base_port + 2 * opt_.channels - 1 > 65535) {
    problem = "phone base port out of range for the number of channels";
  } else if (!port_ok(opt_.udp_port_override, true)) {
    problem = "UDP port override out of range";
  } else if (!port_ok(opt_.client_udp_port, false)) {
    problem = "client UDP port out of range";
  } else if (opt_.phone_ip.size() > kAddressFieldSize - 1) {
    problem = "phone IP text longer than 63 bytes";
  } else if (opt_.busy_channels < 0 || opt_.tag_gap_ms < 0 || opt_.first_tag_delay_ms < 0 ||
             opt_.voice_count < 0 || opt_.hostile_flood < 0 || opt_.address_timeout_ms < 1) {
    problem = "negative count or delay";
  } else if (opt_.voice_pace_ms < 1) {
    problem = "voice pace must be at least 1 ms";
  } else if (opt_.voice_log_every < 1) {
    problem = "voice log interval must be at least 1";
  } else if (!(opt_.tone_hz > 0 && opt_.tone_hz < 4000)) {
    problem = "tone frequency must be between 0 and 4000 Hz";
  }
  if (!problem.empty()) {
    *error = problem;
    return false;
  }

  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = "pipe: " + ErrnoText(errno);
    return false;
  }
  bool ok = true;
  address_fd_ = OpenSocket(SOCK_STREAM, opt_.bind_address, opt_.address_port, &address_port_, error);
  ok = address_fd_ >= 0;
  for (int k = 0; ok && k < opt_.channels; ++k) {
    int actual = 0;
    int fd = OpenSocket(SOCK_STREAM, opt_.bind_address, PhonePort(k), &actual, error);
    ok = fd >= 0;
    if (ok) phone_fds_.push_back(fd);
  }
  for (int k = 0; ok && k < opt_.channels; ++k) {
    UdpSock s;
    s.channel = k;
    s.fd = OpenSocket(SOCK_DGRAM, opt_.bind_address, UdpPort(k), &s.port, error);
    s.override_target = opt_.udp_port_override == UdpPort(k);
    ok = s.fd >= 0;
    if (ok) udp_.push_back(s);
  }
  bool override_shared =
      std::any_of(udp_.begin(), udp_.end(), [](const UdpSock& s) { return s.override_target; });
  if (ok && opt_.udp_port_override > 0 && !override_shared) {
    UdpSock s;
    s.fd = OpenSocket(SOCK_DGRAM, opt_.bind_address, opt_.udp_port_override, &s.port, error);
    s.override_target = true;
    ok = s.fd >= 0;
    if (ok) udp_.push_back(s);
  }
  if (!ok) {
    CloseAll();
    return false;
  }
  voice_owner_.assign(opt_.channels, nullptr);
  started_ = true;

  Event e = MakeEvent(Event::Kind::Started, -1);
  e.text = "address server on " + opt_.bind_address + ":" + std::to_string(address_port_) + " (replying " +
           (opt_.silent_address ? "never" : "\"" + GbkToDisplay(opt_.phone_ip) + "\"") + "), phone TCP " +
           std::to_string(PhonePort(0)) + "-" + std::to_string(PhonePort(opt_.channels - 1)) + ", UDP " +
           std::to_string(UdpPort(0)) + "-" + std::to_string(UdpPort(opt_.channels - 1)) +
           (opt_.udp_port_override > 0 ? " and " + std::to_string(opt_.udp_port_override) : "") + ", busy " +
           std::to_string(opt_.busy_channels) + ", voice " + VoiceModeName(opt_.voice);
  e.port = address_port_;
  Emit(std::move(e));
  thread_ = std::thread(&Impl::Run, this);
  return true;
}

void Simulator::Impl::Stop() {
  std::lock_guard<std::mutex> lock(life_mu_);
  if (!started_ || stopped_) return;
  stop_ = true;
  char byte = 1;
  ssize_t ignored = ::write(wake_[1], &byte, 1);
  (void)ignored;
  if (thread_.joinable()) thread_.join();
  CloseAll();
  stopped_ = true;
  Emit(MakeEvent(Event::Kind::Stopped, -1));
}

void Simulator::Impl::CloseAll() {
  for (auto& c : addr_conns_)
    CloseFd(&c->fd);
  for (auto& c : phone_conns_)
    CloseFd(&c->fd);
  addr_conns_.clear();
  phone_conns_.clear();
  CloseFd(&address_fd_);
  for (int& fd : phone_fds_)
    CloseFd(&fd);
  phone_fds_.clear();
  for (UdpSock& s : udp_)
    CloseFd(&s.fd);
  udp_.clear();
  CloseFd(&wake_[0]);
  CloseFd(&wake_[1]);
}

Event Simulator::Impl::MakeEvent(Event::Kind kind, int channel) const {
  Event e;
  e.kind = kind;
  e.channel = channel;
  e.call = call_;
  return e;
}

void Simulator::Impl::Emit(Event e) {
  if (e.when == Clock::time_point{}) e.when = Clock::now();  // unless the caller knows the moment
  e.wall = std::chrono::system_clock::now();
  bool log_it = true;
  if (e.kind == Event::Kind::VoiceReceived || e.kind == Event::Kind::VoiceSent) log_it = ShouldLogVoice();
  std::string line;
  if (log_it) {
    std::string scope;
    if (e.channel >= 0) {
      scope = "[ch" + std::to_string(e.channel) + "]";
    } else if (e.kind >= Event::Kind::AddressConnected && e.kind <= Event::Kind::AddressClosed) {
      scope = "[address]";
    } else {
      scope = "[sim]";
    }
    line = FormatWallClock(e.wall) + " " + scope + " " + KindName(e.kind);
    if (!e.text.empty()) line += " " + e.text;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back(std::move(e));
    if (opt_.max_events > 0 && events_.size() >= 2 * opt_.max_events) {
      events_.erase(events_.begin(), events_.begin() + static_cast<std::ptrdiff_t>(opt_.max_events));
    }
    if (log_it) {
      log_lines_.push_back(line);
      if (opt_.max_events > 0 && log_lines_.size() > opt_.max_events) log_lines_.pop_front();
    }
  }
  cv_.notify_all();
  // Sinks are only ever called from one thread at a time (Start, the serving thread, then Stop).
  if (log_it) {
    if (opt_.log_stream != nullptr) *opt_.log_stream << line << std::endl;
    if (opt_.log_callback) opt_.log_callback(line);
  }
}

bool Simulator::Impl::ShouldLogVoice() {
  return voice_log_counter_++ % opt_.voice_log_every == 0;
}

// ---------------------------------------------------------------------------------------------------
// Serving loop

void Simulator::Impl::Run() {
  enum class Type { kWake, kAddressListen, kPhoneListen, kUdp, kAddressConn, kPhoneConn };
  struct Target {
    Type type;
    size_t index;
  };
  std::vector<pollfd> fds;
  std::vector<Target> targets;
  while (!stop_) {
    fds.clear();
    targets.clear();
    auto add = [&](int fd, short events, Type type, size_t index) {
      fds.push_back(pollfd{fd, events, 0});
      targets.push_back(Target{type, index});
    };
    add(wake_[0], POLLIN, Type::kWake, 0);
    add(address_fd_, POLLIN, Type::kAddressListen, 0);
    for (size_t k = 0; k < phone_fds_.size(); ++k)
      add(phone_fds_[k], POLLIN, Type::kPhoneListen, k);
    for (size_t i = 0; i < udp_.size(); ++i)
      add(udp_[i].fd, POLLIN, Type::kUdp, i);

    Clock::time_point now = Clock::now();
    Clock::time_point deadline = now + milliseconds(1000);
    for (size_t i = 0; i < addr_conns_.size(); ++i) {
      AddrConn& c = *addr_conns_[i];
      short ev = POLLIN;
      if (c.state == AddrConn::State::kSending) ev = POLLOUT;
      add(c.fd, ev, Type::kAddressConn, i);
      if (c.state == AddrConn::State::kReading || c.state == AddrConn::State::kDraining) {
        deadline = std::min(deadline, c.deadline);
      }
    }
    for (size_t i = 0; i < phone_conns_.size(); ++i) {
      PhoneConn& c = *phone_conns_[i];
      add(c.fd, static_cast<short>(POLLIN | (c.sending ? POLLOUT : 0)), Type::kPhoneConn, i);
      if (!c.sending && !c.queue.empty()) deadline = std::min(deadline, c.next_send);
      if (c.close_at) deadline = std::min(deadline, *c.close_at);
      if (c.voice_active && c.tone) deadline = std::min(deadline, c.next_voice);
    }

    int n = ::poll(fds.data(), fds.size(), PollTimeout(now, deadline));
    if (n < 0 && errno != EINTR) {
      Event e = MakeEvent(Event::Kind::Error, -1);
      e.text = "poll: " + ErrnoText(errno);
      Emit(std::move(e));
      std::this_thread::sleep_for(milliseconds(10));
      continue;
    }
    if (stop_) break;
    // Connections appended during this pass are polled next time; indexes stay valid since nothing is
    // removed until the pass ends.
    for (size_t i = 0; n > 0 && i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      const Target& t = targets[i];
      switch (t.type) {
        case Type::kWake:
          break;
        case Type::kAddressListen:
          AcceptAddress();
          break;
        case Type::kPhoneListen:
          AcceptPhone(static_cast<int>(t.index));
          break;
        case Type::kUdp:
          OnUdpReadable(udp_[t.index]);
          break;
        case Type::kAddressConn: {
          AddrConn& c = *addr_conns_[t.index];
          if (c.closed) break;
          if (c.state == AddrConn::State::kSending) {
            FlushAddressReply(c);
          } else {
            OnAddressReadable(c);
          }
          break;
        }
        case Type::kPhoneConn: {
          PhoneConn& c = *phone_conns_[t.index];
          if (!c.closed && (fds[i].revents & POLLOUT) && c.sending) FlushTag(c);
          if (!c.closed && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) OnPhoneReadable(c);
          break;
        }
      }
    }
    now = Clock::now();
    for (auto& c : addr_conns_) {
      if (!c->closed) OnAddressTimer(*c, now);
    }
    for (size_t i = 0; i < phone_conns_.size(); ++i) {
      if (!phone_conns_[i]->closed) OnPhoneTimer(*phone_conns_[i], Clock::now());
    }
    addr_conns_.erase(std::remove_if(addr_conns_.begin(), addr_conns_.end(),
                                     [](const std::unique_ptr<AddrConn>& c) { return c->closed; }),
                      addr_conns_.end());
    phone_conns_.erase(std::remove_if(phone_conns_.begin(), phone_conns_.end(),
                                      [](const std::unique_ptr<PhoneConn>& c) { return c->closed; }),
                       phone_conns_.end());
  }
  // Stopping: close every open connection.
  for (auto& c : addr_conns_) {
    if (!c->closed) CloseAddress(*c, "simulator stopping");
  }
  for (auto& c : phone_conns_) {
    if (!c->closed) ClosePhone(*c, Event::Kind::ServerClosed, "simulator stopping");
  }
}

// ---------------------------------------------------------------------------------------------------
// Address server

void Simulator::Impl::AcceptAddress() {
  for (;;) {
    sockaddr_in peer{};
    socklen_t len = sizeof(peer);
    int fd = ::accept4(address_fd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
        Event e = MakeEvent(Event::Kind::Error, -1);
        e.text = "address accept: " + ErrnoText(errno);
        Emit(std::move(e));
      }
      return;
    }
    auto c = std::make_unique<AddrConn>();
    c->fd = fd;
    c->peer = AddressText(peer);
    c->deadline = Clock::now() + milliseconds(opt_.address_timeout_ms);
    Event e = MakeEvent(Event::Kind::AddressConnected, -1);
    e.peer = c->peer;
    e.port = address_port_;
    e.text = "from " + c->peer;
    Emit(std::move(e));
    addr_conns_.push_back(std::move(c));
  }
}

void Simulator::Impl::OnAddressReadable(AddrConn& c) {
  char buf[4096];
  if (c.state == AddrConn::State::kReading) {
    ssize_t n = ::recv(c.fd, buf, kAddressRecordSize - c.query.size(), 0);
    if (n > 0) {
      c.query.append(buf, static_cast<size_t>(n));
      if (c.query.size() == kAddressRecordSize) ProcessQuery(c);
    } else if (n == 0) {
      AddressMalformed(c, c.query.empty()
                              ? "peer closed without sending anything"
                              : "short query: peer closed after " + std::to_string(c.query.size()) + " of " +
                                    std::to_string(kAddressRecordSize) + " bytes");
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      AddressMalformed(
          c, "receive error after " + std::to_string(c.query.size()) + " bytes: " + ErrnoText(errno));
    }
    return;
  }
  ssize_t n = ::recv(c.fd, buf, sizeof(buf), 0);
  if (n > 0) {
    c.extra += static_cast<size_t>(n);
  } else if (n == 0) {
    CloseAddress(c, c.extra == 0 ? "client closed"
                                 : "client closed (after " + std::to_string(c.extra) +
                                       " unexpected bytes following the query)");
  } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    CloseAddress(c, "connection error: " + ErrnoText(errno));
  }
}

void Simulator::Impl::OnAddressTimer(AddrConn& c, Clock::time_point now) {
  if (now < c.deadline) return;
  if (c.state == AddrConn::State::kReading) {
    AddressMalformed(c, "short query: only " + std::to_string(c.query.size()) + " of " +
                            std::to_string(kAddressRecordSize) + " bytes arrived within " +
                            std::to_string(opt_.address_timeout_ms) + " ms");
  } else if (c.state == AddrConn::State::kDraining) {
    CloseAddress(c, "closed: client did not close within " + std::to_string(opt_.address_timeout_ms) +
                        " ms after the reply");
  }
}

void Simulator::Impl::ProcessQuery(AddrConn& c) {
  std::string problem = ValidateAddressQuery(c.query);
  if (!problem.empty()) {
    AddressMalformed(c, problem);
    return;
  }
  NewCall();
  Event e = MakeEvent(Event::Kind::AddressQueryOk, -1);
  e.peer = c.peer;
  e.bytes = c.query;
  e.text = "from " + c.peer + ", call " + std::to_string(call_) +
           (opt_.silent_address ? " (silent: no reply will be sent)" : "");
  Emit(std::move(e));
  if (opt_.silent_address) {
    c.state = AddrConn::State::kHolding;
    return;
  }
  c.out = BuildAddressReply(opt_.phone_ip);
  c.state = AddrConn::State::kSending;
  FlushAddressReply(c);
}

void Simulator::Impl::FlushAddressReply(AddrConn& c) {
  ssize_t n = ::send(c.fd, c.out.data() + (kAddressRecordSize - c.out.size()), c.out.size(),
                     MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    CloseAddress(c, "reply send failed: " + ErrnoText(errno));
    return;
  }
  c.out.erase(0, static_cast<size_t>(n));
  if (!c.out.empty()) return;
  Event e = MakeEvent(Event::Kind::AddressReplySent, -1);
  e.peer = c.peer;
  e.bytes = BuildAddressReply(opt_.phone_ip);
  e.text = "phone server \"" + GbkToDisplay(opt_.phone_ip) + "\" to " + c.peer;
  Emit(std::move(e));
  ::shutdown(c.fd, SHUT_WR);
  c.state = AddrConn::State::kDraining;
  c.deadline = Clock::now() + milliseconds(opt_.address_timeout_ms);
}

void Simulator::Impl::AddressMalformed(AddrConn& c, const std::string& problem) {
  Event e = MakeEvent(Event::Kind::AddressQueryMalformed, -1);
  e.peer = c.peer;
  e.bytes = c.query;
  e.text = "from " + c.peer + ": " + problem;
  Emit(std::move(e));
  CloseAddress(c, "closed without a reply");
}

void Simulator::Impl::CloseAddress(AddrConn& c, const std::string& reason) {
  Event e = MakeEvent(Event::Kind::AddressClosed, -1);
  e.peer = c.peer;
  e.text = c.peer + ": " + reason;
  Emit(std::move(e));
  CloseFd(&c.fd);
  c.closed = true;
}

// ---------------------------------------------------------------------------------------------------
// Phone server

void Simulator::Impl::AcceptPhone(int channel) {
  for (;;) {
    sockaddr_in peer{};
    socklen_t len = sizeof(peer);
    int fd = ::accept4(phone_fds_[channel], reinterpret_cast<sockaddr*>(&peer), &len,
                       SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
        Event e = MakeEvent(Event::Kind::Error, channel);
        e.text = "accept: " + ErrnoText(errno);
        Emit(std::move(e));
      }
      return;
    }
    auto owned = std::make_unique<PhoneConn>();
    PhoneConn& c = *owned;
    c.fd = fd;
    c.channel = channel;
    c.peer = AddressText(peer);
    c.call = call_;
    c.connection = ++conns_in_call_;
    c.busy = !opt_.silent_phone && c.connection <= opt_.busy_channels;
    c.next_send = Clock::now() + milliseconds(opt_.first_tag_delay_ms);
    phone_conns_.push_back(std::move(owned));

    Event e = MakeEvent(Event::Kind::ChannelAccepted, channel);
    e.peer = c.peer;
    e.port = PhonePort(channel);
    e.connection = c.connection;
    e.busy = c.busy;
    e.text = "port " + std::to_string(e.port) + " from " + c.peer + ", call " + std::to_string(c.call) +
             " connection " + std::to_string(c.connection) +
             (c.busy              ? ": busy"
              : opt_.silent_phone ? ": silent"
                                  : ": answering");
    Emit(std::move(e));

    if (opt_.silent_phone) continue;
    if (c.busy) {
      Queue(c, std::string(kTagBusy));
      continue;
    }
    voice_owner_[channel] = &c;
    if (opt_.udp_port_override > 0) override_owner_ = &c;
    if (opt_.hostile) {
      for (std::string& chunk : HostileTcpChunks(opt_.hostile_seed))
        Queue(c, std::move(chunk), true);
    }
    if (opt_.hello) Queue(c, std::string(kTagHello));
    if (opt_.udp_port_override > 0) Queue(c, BuildRemoteUdpPortTag(opt_.udp_port_override));
    Queue(c, std::string(kTagWaitDial));
    if (!opt_.extra_tags_after_dial) {
      for (const std::string& tag : opt_.extra_tags)
        Queue(c, tag);
    }
  }
}

void Simulator::Impl::Queue(PhoneConn& c, std::string bytes, bool hostile) {
  c.queue.push_back(Outgoing{std::move(bytes), hostile});
}

void Simulator::Impl::OnPhoneReadable(PhoneConn& c) {
  char buf[4096];
  for (int round = 0; round < 16 && !c.closed; ++round) {
    ssize_t n = ::recv(c.fd, buf, sizeof(buf), 0);
    if (n > 0) {
      for (const ClientMessage& m : c.parser.Feed(std::string_view(buf, static_cast<size_t>(n)))) {
        HandleMessage(c, m);
        if (c.closed) return;
      }
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n < 0 && errno == EINTR) continue;
    std::string reason = n == 0 ? "client closed the connection" : "connection error: " + ErrnoText(errno);
    for (const ClientMessage& m : c.parser.Finish())
      HandleMessage(c, m);
    ClosePhone(c, Event::Kind::ClientClosed, reason);
    return;
  }
}

void Simulator::Impl::HandleMessage(PhoneConn& c, const ClientMessage& m) {
  Event e;
  switch (m.type) {
    case ClientMessage::Type::LocalAddress:
      c.local_address = m.local_address;
      e = MakeEvent(Event::Kind::LocalAddressReceived, c.channel);
      e.local_address = m.local_address;
      e.text = "\"" + GbkToDisplay(m.local_address) + "\" (" + GbkToDisplay(m.raw) + ")";
      break;
    case ClientMessage::Type::Dial:
      if (c.local_address.empty()) c.local_address = m.local_address;
      e = MakeEvent(Event::Kind::DialReceived, c.channel);
      e.local_address = m.local_address;
      e.dial = m.dial;
      e.text = "dial \"" + GbkToDisplay(m.dial) + "\" from \"" + GbkToDisplay(m.local_address) + "\"" +
               (c.busy || opt_.silent_phone ? " (ignored on this connection)" : "");
      break;
    case ClientMessage::Type::QualityRequest:
      e = MakeEvent(Event::Kind::QualityRequestReceived, c.channel);
      e.text = "quality request " + std::string(kTagQuality);
      break;
    case ClientMessage::Type::Garbage:
      e = MakeEvent(Event::Kind::GarbageReceived, c.channel);
      e.text = m.note + ": " + Display(m.raw);
      break;
  }
  e.bytes = m.raw;
  e.peer = c.peer;
  e.port = PhonePort(c.channel);
  e.connection = c.connection;
  e.busy = c.busy;
  e.call = c.call;
  Emit(std::move(e));
  if (m.type == ClientMessage::Type::Dial && !c.busy && !opt_.silent_phone) OnDial(c);
}

void Simulator::Impl::OnDial(PhoneConn& c) {
  if (opt_.refuse) Queue(c, std::string(kTagRefused));
  if (opt_.quality) Queue(c, std::string(kTagQuality));
  if (opt_.extra_tags_after_dial) {
    for (const std::string& tag : opt_.extra_tags)
      Queue(c, tag);
  }
  if (c.dialed) return;  // a repeated dial gets the answers again but no second voice session
  c.dialed = true;
  if (opt_.hangup_after_ms >= 0) c.close_at = Clock::now() + milliseconds(opt_.hangup_after_ms);
  StartVoice(c);
}

void Simulator::Impl::OnPhoneTimer(PhoneConn& c, Clock::time_point now) {
  if (!c.sending && !c.queue.empty() && now >= c.next_send) {
    c.inflight = std::move(c.queue.front());
    c.queue.pop_front();
    c.inflight_sent = 0;
    c.sending = true;
    FlushTag(c);
    if (c.closed) return;
  }
  if (c.voice_active && c.tone && now >= c.next_voice) SendTone(c, now);
  if (c.close_at && now >= *c.close_at) {
    ClosePhone(c, Event::Kind::ServerClosed,
               "hang-up " + std::to_string(opt_.hangup_after_ms) + " ms after the dial");
  }
}

void Simulator::Impl::FlushTag(PhoneConn& c) {
  const std::string& bytes = c.inflight.bytes;
  while (c.inflight_sent < bytes.size()) {
    ssize_t n = ::send(c.fd, bytes.data() + c.inflight_sent, bytes.size() - c.inflight_sent,
                       MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;  // wait for POLLOUT
      ClosePhone(c, Event::Kind::ClientClosed, "send failed: " + ErrnoText(errno));
      return;
    }
    c.inflight_sent += static_cast<size_t>(n);
  }
  c.sending = false;
  // The gap runs from the moment the tag went out, which is also the event's time.
  const Clock::time_point sent_at = Clock::now();
  c.next_send = sent_at + milliseconds(opt_.tag_gap_ms);
  Event e = MakeEvent(Event::Kind::TagSent, c.channel);
  e.when = sent_at;
  e.bytes = bytes;
  e.text = (c.inflight.hostile ? "hostile chunk " : "") + Display(bytes);
  e.peer = c.peer;
  e.port = PhonePort(c.channel);
  e.connection = c.connection;
  e.busy = c.busy;
  e.call = c.call;
  Emit(std::move(e));
}

void Simulator::Impl::ClosePhone(PhoneConn& c, Event::Kind kind, const std::string& reason) {
  Event e = MakeEvent(kind, c.channel);
  e.peer = c.peer;
  e.port = PhonePort(c.channel);
  e.connection = c.connection;
  e.busy = c.busy;
  e.call = c.call;
  e.text = reason + " (" + c.peer + ", connection " + std::to_string(c.connection) + ")";
  Emit(std::move(e));
  StopVoice(c, "call ended");
  CloseFd(&c.fd);
  c.closed = true;
  if (voice_owner_[c.channel] == &c) voice_owner_[c.channel] = nullptr;
  if (override_owner_ == &c) override_owner_ = nullptr;
}

// ---------------------------------------------------------------------------------------------------
// Voice

sockaddr_in Simulator::Impl::VoiceDestination(const PhoneConn& c) const {
  if (opt_.udp_port_override > 0) {
    for (const UdpSock& s : udp_) {
      if (s.override_target && s.last_source) return *s.last_source;
    }
  }
  if (udp_[c.channel].last_source) return *udp_[c.channel].last_source;
  sockaddr_in dest{};
  dest.sin_family = AF_INET;
  dest.sin_port = htons(static_cast<uint16_t>(opt_.client_udp_port));
  ParseIpv4(opt_.client_host, &dest.sin_addr);
  return dest;
}

void Simulator::Impl::OnUdpReadable(UdpSock& s) {
  static thread_local std::string buf(65536, '\0');
  for (int i = 0; i < kMaxUdpReadsPerWake; ++i) {
    sockaddr_in src{};
    socklen_t len = sizeof(src);
    ssize_t n = ::recvfrom(s.fd, buf.data(), buf.size(), MSG_TRUNC, reinterpret_cast<sockaddr*>(&src), &len);
    if (n < 0) return;
    size_t size = static_cast<size_t>(n);
    std::string_view datagram(buf.data(), std::min(size, buf.size()));
    s.last_source = src;
    PhoneConn* owner = s.override_target && override_owner_ != nullptr ? override_owner_
                       : s.channel >= 0                                ? voice_owner_[s.channel]
                                                                       : nullptr;
    Event e = MakeEvent(Event::Kind::VoiceReceived, owner ? owner->channel : s.channel);
    e.peer = AddressText(src);
    e.port = s.port;
    e.bytes = std::string(datagram.substr(0, 2048));
    std::optional<long long> seq = ParseClientVoiceSequence(datagram);
    e.sequence = seq ? *seq : -1;
    e.text =
        "from " + e.peer + " on port " + std::to_string(s.port) + ", " + std::to_string(size) + " bytes, ";
    e.text +=
        seq ? "seq " + std::to_string(*seq) : "malformed sequence field " + Display(datagram.substr(0, 16));
    if (size != kClientVoiceSize) e.text += " (unexpected length, expected 144)";
    Emit(std::move(e));
    if (owner != nullptr && owner->voice_active && opt_.voice == VoiceMode::kEcho &&
        size == kClientVoiceSize) {
      SendVoice(*owner, src, datagram.substr(16));
    }
  }
}

void Simulator::Impl::StartVoice(PhoneConn& c) {
  c.voice_address = opt_.voice_address ? *opt_.voice_address : c.local_address;
  if (opt_.hostile) SendHostileVoice(c);
  if (opt_.voice == VoiceMode::kNone) return;
  c.voice_active = true;
  Event e = MakeEvent(Event::Kind::VoiceStarted, c.channel);
  sockaddr_in dest = VoiceDestination(c);
  e.peer = AddressText(dest);
  e.local_address = c.voice_address;
  e.port = UdpPort(c.channel);
  if (opt_.voice == VoiceMode::kTone) {
    c.tone = std::make_unique<ToneGenerator>(opt_.tone_hz);
    c.next_voice = Clock::now();
    char hz[32];
    std::snprintf(hz, sizeof(hz), "%g", opt_.tone_hz);
    e.text = std::string("tone ") + hz + " Hz every " + std::to_string(opt_.voice_pace_ms) + " ms";
  } else {
    e.text = "echo";
  }
  e.text += ", address text \"" + GbkToDisplay(c.voice_address) + "\", from port " +
            std::to_string(UdpPort(c.channel)) + " to " + e.peer +
            (opt_.voice_count > 0 ? ", " + std::to_string(opt_.voice_count) + " datagrams" : "");
  Emit(std::move(e));
}

void Simulator::Impl::StopVoice(PhoneConn& c, const std::string& reason) {
  if (!c.voice_active) return;
  c.voice_active = false;
  Event e = MakeEvent(Event::Kind::VoiceStopped, c.channel);
  e.sequence = c.voice_sent;
  e.text = reason + ", " + std::to_string(c.voice_sent) + " datagrams sent";
  e.call = c.call;
  Emit(std::move(e));
}

void Simulator::Impl::SendTone(PhoneConn& c, Clock::time_point now) {
  SendVoice(c, VoiceDestination(c), c.tone->Next(kVoiceSamples));
  milliseconds pace(opt_.voice_pace_ms);
  c.next_voice += pace;
  if (c.next_voice + 5 * pace < now) c.next_voice = now + pace;  // stalled: do not burst to catch up
}

void Simulator::Impl::SendVoice(PhoneConn& c, const sockaddr_in& dest, std::string_view audio) {
  std::string datagram = BuildServerVoice(c.voice_address, c.voice_seq, audio);
  ssize_t n = ::sendto(udp_[c.channel].fd, datagram.data(), datagram.size(), MSG_DONTWAIT,
                       reinterpret_cast<const sockaddr*>(&dest), sizeof(dest));
  if (n < 0 && !c.voice_error_reported) {
    c.voice_error_reported = true;
    Event e = MakeEvent(Event::Kind::Error, c.channel);
    e.text = "voice send to " + AddressText(dest) + " failed: " + ErrnoText(errno);
    Emit(std::move(e));
  }
  Event e = MakeEvent(Event::Kind::VoiceSent, c.channel);
  e.peer = AddressText(dest);
  e.port = UdpPort(c.channel);
  e.sequence = c.voice_seq;
  e.local_address = c.voice_address;
  e.call = c.call;
  e.text = "to " + e.peer + " seq " + std::to_string(c.voice_seq) + (n < 0 ? " (send failed)" : "");
  e.bytes = std::move(datagram);
  Emit(std::move(e));
  ++c.voice_seq;
  ++c.voice_sent;
  if (opt_.voice_count > 0 && c.voice_sent >= opt_.voice_count) StopVoice(c, "count reached");
}

void Simulator::Impl::SendHostileVoice(PhoneConn& c) {
  sockaddr_in dest = VoiceDestination(c);
  int fd = udp_[c.channel].fd;
  auto send = [&](const std::string& d) {
    return ::sendto(fd, d.data(), d.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&dest),
                    sizeof(dest)) >= 0;
  };
  std::vector<std::string> odd = HostileVoiceDatagrams(opt_.hostile_seed, c.voice_address);
  long long sent = 0;
  for (const std::string& d : odd)
    sent += send(d) ? 1 : 0;
  long long flood_sent = 0;
  for (int i = 0; i < opt_.hostile_flood; ++i) {
    if (send(BuildServerVoice(c.voice_address, c.voice_seq, ""))) ++flood_sent;
    ++c.voice_seq;
  }
  Event e = MakeEvent(Event::Kind::HostileVoiceSent, c.channel);
  e.peer = AddressText(dest);
  e.port = UdpPort(c.channel);
  e.sequence = sent + flood_sent;
  e.call = c.call;
  e.text = std::to_string(sent) + " of " + std::to_string(odd.size()) +
           " malformed datagrams (2000 bytes, empty, 1 byte, bad sequence fields) and a flood of " +
           std::to_string(flood_sent) + " of " + std::to_string(opt_.hostile_flood) + " to " + e.peer;
  Emit(std::move(e));
}

// ---------------------------------------------------------------------------------------------------
// Public wrapper

Simulator::Simulator(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}
Simulator::~Simulator() {
  impl_->Stop();
}
bool Simulator::Start(std::string* error) {
  return impl_->Start(error);
}
void Simulator::Stop() {
  impl_->Stop();
}
bool Simulator::running() const {
  return impl_->running();
}
std::vector<Event> Simulator::Events() const {
  return impl_->Events();
}
bool Simulator::WaitFor(std::function<bool(const std::vector<Event>&)> pred,
                        std::chrono::milliseconds timeout) const {
  return impl_->WaitFor(pred, timeout);
}
std::string Simulator::Log() const {
  return impl_->Log();
}
const Options& Simulator::options() const {
  return impl_->options();
}
int Simulator::AddressPort() const {
  return impl_->AddressPort();
}
int Simulator::PhonePort(int channel) const {
  return impl_->PhonePort(channel);
}
int Simulator::UdpPort(int channel) const {
  return impl_->UdpPort(channel);
}

}  // namespace exsim
