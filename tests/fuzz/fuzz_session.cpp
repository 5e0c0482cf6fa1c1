// A whole client on fake ports, driven by the input: presses, address replies, phone-server chunks and
// closes, busy replies and voice datagrams in any order. Nothing may crash, leak or touch freed memory,
// and after hanging up and exiting no socket may stay open.

#include <cstdlib>
#include <string>

#include "app/call_client.h"
#include "fakes/fake_mixer.h"
#include "fakes/fake_network.h"
#include "fakes/fake_ports.h"
#include "fakes/fake_wave_devices.h"

using namespace pelvarine;
using namespace pelvarine::testing;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FakeNetwork network;
  FakeWaveDevices wave;
  FakeMixer mixer;
  FakeClock clock;
  FakeSystem system;
  FakeTextPanel panel;
  FakeControls controls;
  CallClient client(Ports{network, wave, mixer, clock, system, panel, controls},
                    ClientConfig{"10.0.0.1", "h"});
  client.OnInitDialog();

  size_t i = 0;
  auto take = [&](size_t n) {
    n = std::min(n, size - i);
    std::string bytes(reinterpret_cast<const char*>(data + i), n);
    i += n;
    return bytes;
  };
  while (i < size) {
    uint8_t op = data[i++];
    size_t length = i < size ? data[i++] : 0;
    std::string bytes = take(length * 4);
    StreamRecord* stream = network.LastStream();
    DatagramRecord* datagram = network.LastDatagram();
    switch (op % 7) {
      case 0:
        client.OnPhoneButton();
        break;
      case 1:
      case 2:
        if (stream) network.Deliver(*stream, bytes);
        break;
      case 3:
        if (stream) network.PeerClose(*stream);
        break;
      case 4:
        if (stream) network.Deliver(*stream, op & 0x80 ? "{ChanelBusyNow}" : "{ChanelWaitBohao}");
        break;
      case 5:
        if (datagram) network.DeliverDatagram(*datagram, bytes);
        break;
      case 6:
        clock.now_ms += length;
        wave.CompletePlayback(length % 9);
        break;
    }
  }
  if (client.state().off_hook) client.OnPhoneButton();
  if (network.OpenStreamCount() != 0 || client.audio().CaptureOpen() || client.audio().PlaybackOpen())
    std::abort();
  client.OnDestroyWindow();
  if (network.OpenDatagramCount() != 0) std::abort();
  return 0;
}
