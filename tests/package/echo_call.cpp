// Places one echo call through an exchange listening on its default loopback ports, as a visitor's client
// would: the address query, a phone channel, the dial, and a stream of voice blocks whose first ten must come
// back in order (the echo holds the newest ones back for its delay, up to 30 blocks here).
// The package test runs it against the installed program. Exit status 0 when the call worked.
//   echo_call DIAL
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "exchange/protocol/wire_formats.h"
#include "tests/exchange/loopback_sockets.h"

namespace {

constexpr int kAddressPort = 32765;
constexpr int kBasePort = 20480;
constexpr int kWaitMs = 5000;
constexpr int kBlocks = 10;
constexpr int kSent = kBlocks + 30;

int Fail(const char* what) {
  std::fprintf(stderr, "echo_call: %s\n", what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace exchange;
  if (argc != 2) return Fail("usage: echo_call DIAL (a dial string answered by an echo far end)");

  testing::TcpClient query;
  if (!query.Connect(kAddressPort) || !query.Send(BuildAddressQuery())) return Fail("no address server");
  std::string reply = query.ReceiveBytes(kAddressRecordSize, kWaitMs);
  if (reply.size() != kAddressRecordSize || AddressFieldText(reply, kReplyIpField) != "127.0.0.1")
    return Fail("the address server did not name 127.0.0.1");

  testing::TcpClient phone;
  if (!phone.Connect(kBasePort) || !phone.ReadUntil(kTagWaitDial, kWaitMs)) return Fail("no phone channel");
  testing::UdpClient voice;
  if (!voice.Bind() || !phone.Send(BuildLocalAddressMessage("127.0.0.1")) ||
      !phone.Send(BuildDialMessage("127.0.0.1", argv[1])))
    return Fail("could not dial");
  for (int i = 1; i <= kSent; ++i) {
    if (!voice.SendTo(kBasePort + 1, BuildClientVoice(i, std::string(kVoiceSamples, static_cast<char>(i)))))
      return Fail("could not send voice");
    std::this_thread::sleep_for(std::chrono::milliseconds(16));
  }
  for (int i = 1; i <= kBlocks; ++i) {
    auto parsed = ParseServerVoice(voice.Receive(kWaitMs).value_or(""));
    if (!parsed || parsed->audio != std::string(kVoiceSamples, static_cast<char>(i)))
      return Fail("the echo did not bring every block back in order");
  }
  std::printf("echo_call: %d blocks echoed through dial %s\n", kBlocks, argv[1]);
  return 0;
}
