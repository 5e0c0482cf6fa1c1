// Running pelvarine-exchange day to day: a reload that keeps the call in progress and refuses a broken
// file, a drain that lets a call finish or ends it when its time is up, and systemd's watchdog noticing a
// loop that stopped turning. Binds fixed ports: each runs in a private network namespace.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "exchange/protocol/wire_formats.h"
#include "tests/exchange/daemon/daemon_process.h"
#include "tests/exchange/daemon/temp_folder.h"
#include "tests/exchange/loopback_sockets.h"

namespace exchange {
namespace {

using std::chrono::milliseconds;
using testing::DaemonProcess;
using testing::TcpClient;
using testing::TempFolder;
using testing::UdpClient;

constexpr int kAddressPort = 42765;
constexpr int kBasePort = 42480;
constexpr milliseconds kWait(5000);
constexpr int kWaitMs = static_cast<int>(kWait.count());

std::string Config(const std::string& exchange_keys, const std::string& dial) {
  return "[exchange]\nforwarded_ports = yes\naddress_port = " + std::to_string(kAddressPort) +
         "\nbase_port = " + std::to_string(kBasePort) + "\nmetrics = off\n" + exchange_keys + "[dial]\n" +
         dial;
}

class OperationsTest : public ::testing::Test {
 protected:
  void Start(const std::string& text) {
    path_ = folder_.Write("exchange.conf", text, 0644);
    daemon_ =
        std::make_unique<DaemonProcess>(PELVARINE_EXCHANGE, std::vector<std::string>{"--config", path_});
    ASSERT_NE(daemon_->WaitForLine("Started: address server", kWait), "")
        << ::testing::PrintToString(daemon_->Lines());
  }

  // A call on `channel` dialled to `dial`; true once it is answered (the far end's voice arrives).
  bool Call(TcpClient& phone, UdpClient& voice, int channel, const std::string& dial) {
    if (!phone.Connect(kBasePort + 2 * channel) || !phone.ReadUntil(kTagWaitDial, kWaitMs)) return false;
    return phone.Send(BuildLocalAddressMessage("127.0.0.1")) &&
           phone.Send(BuildDialMessage("127.0.0.1", dial)) && Talk(voice, channel);
  }
  bool Talk(UdpClient& voice, int channel) {
    voice.SendTo(kBasePort + 2 * channel + 1, BuildClientVoice(++sequence_, std::string(kVoiceSamples, 'a')));
    return !voice.Receive(kWaitMs).value_or("").empty();
  }

  TempFolder folder_;
  std::string path_;
  std::unique_ptr<DaemonProcess> daemon_;
  int sequence_ = 0;
};

TEST_F(OperationsTest, ReloadKeepsTheCallInProgressAndRefusesABrokenFile) {
  Start(Config("", "3368 = echo 0\n"));
  TcpClient echo_call;
  UdpClient echo_voice;
  ASSERT_TRUE(echo_voice.Bind());
  ASSERT_TRUE(Call(echo_call, echo_voice, 0, "3368"));

  // The new plan drops 3368 and adds 3191; a shared voice port would need a new socket.
  folder_.Write("exchange.conf", Config("voice_port = 43000\n", "3191 = tone 440\n"), 0644);
  daemon_->Signal(SIGHUP);
  ASSERT_NE(daemon_->WaitForLine("reloaded " + path_, kWait), "")
      << ::testing::PrintToString(daemon_->Lines());
  EXPECT_NE(daemon_->WaitForLine("warn  reload: voice_port changed but need(s) new sockets", kWait), "");
  EXPECT_TRUE(Talk(echo_voice, 0)) << "the call in progress goes on";
  {
    TcpClient phone;  // on the old ports, with the new plan
    ASSERT_TRUE(phone.Connect(kBasePort + 2));
    ASSERT_TRUE(phone.ReadUntil(kTagWaitDial, kWaitMs));
    ASSERT_TRUE(phone.Send(BuildDialMessage("127.0.0.1", "3368")));
    EXPECT_TRUE(phone.ReadUntil(kTagRefused, kWaitMs));
  }

  // A file with an error is refused whole: 3191 still works, the error is logged with its line.
  folder_.Write("exchange.conf", Config("", "3191 = tone 440\n3368 = trumpet\n"), 0644);
  daemon_->Signal(SIGHUP);
  EXPECT_NE(daemon_->WaitForLine(path_ + ":8: dial 3368: unknown far-end kind", kWait), "");
  EXPECT_NE(daemon_->WaitForLine("reload refused: 1 problem(s)", kWait), "");
  {
    TcpClient phone;
    UdpClient voice;
    ASSERT_TRUE(voice.Bind());
    EXPECT_TRUE(Call(phone, voice, 2, "3191"));
  }
  echo_call.Close();
  EXPECT_NE(daemon_->WaitForLine("dial \"3368\" far end echo 0", kWait).find("ended: client hung up"),
            std::string::npos);
  daemon_->Signal(SIGINT);
  EXPECT_EQ(daemon_->WaitForExit(kWait), 0);
}

TEST_F(OperationsTest, DrainLetsACallFinishAndEndsTheRestWhenItsTimeIsUp) {
  Start(Config("drain_seconds = 10\n", "3368 = echo 0\n"));
  {
    TcpClient phone;
    UdpClient voice;
    ASSERT_TRUE(voice.Bind());
    ASSERT_TRUE(Call(phone, voice, 0, "3368"));
    daemon_->Signal(SIGTERM);
    ASSERT_NE(daemon_->WaitForLine("SIGTERM received: taking no new calls; 1 call(s)", kWait), "");
    TcpClient visitor;  // turned away with the busy answer the client knows
    ASSERT_TRUE(visitor.Connect(kBasePort + 2));
    EXPECT_TRUE(visitor.ReadUntil(kTagBusy, kWaitMs));
    EXPECT_NE(daemon_->WaitForLine("turned away busy (draining)", kWait), "");
    EXPECT_TRUE(Talk(voice, 0));
  }  // hangs up within the drain
  EXPECT_NE(daemon_->WaitForLine("drained: every call has ended", kWait), "");
  EXPECT_EQ(daemon_->WaitForExit(kWait), 0);

  Start(Config("drain_seconds = 1\n", "3368 = echo 0\n"));
  TcpClient phone;
  UdpClient voice;
  ASSERT_TRUE(voice.Bind());
  ASSERT_TRUE(Call(phone, voice, 0, "3368"));
  daemon_->Signal(SIGTERM);
  EXPECT_TRUE(phone.WaitClosed(kWaitMs));
  EXPECT_NE(daemon_->WaitForLine("drain time over (1 s): ending 1 call(s)", kWait), "");
  EXPECT_EQ(daemon_->WaitForExit(kWait), 0);
}

// Reads what the daemon tells systemd, the way systemd does: datagrams on $NOTIFY_SOCKET.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  ~NotifySocket() {
    close(fd_);
    unlink(path_.c_str());
  }
  // Waits for a message containing `part`; false after `timeout`.
  bool WaitFor(const std::string& part, milliseconds timeout, std::string* message = nullptr) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char buffer[4096];
      ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      std::string text(buffer, n > 0 ? static_cast<size_t>(n) : 0);
      if (text.find(part) == std::string::npos) continue;
      if (message != nullptr) *message = text;
      return true;
    }
  }

 private:
  std::string path_;
  int fd_ = -1;
};

TEST_F(OperationsTest, WatchdogStopsWhenTheLoopStallsAndComesBack) {
  NotifySocket systemd(folder_.path() + "/notify");
  setenv("NOTIFY_SOCKET", (folder_.path() + "/notify").c_str(), 1);
  setenv("WATCHDOG_USEC", "300000", 1);
  Start(Config("log_level = debug\n[limits]\nqueries_per_source_per_minute = 100000\n", "3368 = echo\n"));
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");
  std::string ready;
  ASSERT_TRUE(systemd.WaitFor("READY=1", kWait, &ready));
  EXPECT_NE(ready.find("STATUS=0 active call(s), 0 connection(s)"), std::string::npos) << ready;
  ASSERT_TRUE(systemd.WaitFor("WATCHDOG=1", milliseconds(1000)));

  // Nobody reads the log any more: the loop blocks writing it, as it would behind a stuck journal.
  daemon_->PauseReading(true);
  bool stalled = false;
  for (int i = 0; i < 5000 && !stalled; ++i) {
    TcpClient query;
    stalled = !query.Connect(kAddressPort) || !query.Send(BuildAddressQuery()) ||
              query.ReceiveBytes(kAddressRecordSize, 1000).size() != kAddressRecordSize;
  }
  ASSERT_TRUE(stalled);
  while (systemd.WaitFor("WATCHDOG=1", milliseconds(100)))
    continue;  // those sent before the stall
  EXPECT_FALSE(systemd.WaitFor("WATCHDOG=1", milliseconds(1500))) << "no keep-alive from a stuck loop";

  daemon_->PauseReading(false);
  EXPECT_TRUE(systemd.WaitFor("WATCHDOG=1", kWait)) << "the keep-alive comes back with the loop";
  daemon_->Signal(SIGINT);
  EXPECT_TRUE(systemd.WaitFor("STOPPING=1", kWait));
  EXPECT_EQ(daemon_->WaitForExit(kWait), 0);
}

}  // namespace
}  // namespace exchange
