// A venue's copy of the client, written by pelvarine-client from the built one, calls the address that
// the copy carries: a second loopback address, and a host name that the client resolves when it calls.
// The simulator listens only there, so a call that reaches it went by the stamped slot, not the build's
// default (127.0.0.1).
#include <netdb.h>

#include "client_test.h"

namespace e2e {
namespace {

// scripts/isolated names 127.0.0.2 so in its namespace's hosts file.
constexpr char kVenueHost[] = "exchange.venue.test";
constexpr char kVenueIp[] = "127.0.0.2";

bool ResolvesTo(const char* name, const char* ip) {
  addrinfo hints = {};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0) return false;
  char text[NI_MAXHOST] = {};
  getnameinfo(found->ai_addr, found->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST);
  freeaddrinfo(found);
  return std::string(text) == ip;
}

class StampedClient : public ClientTest {
 protected:
  std::string ClientExe() const override {
    return Folder() + wine().client_exe().substr(wine().client_exe().rfind('/'));
  }
  std::string Folder() const { return wine().work_dir() + "/stamped/" + test_name(); }

  CommandResult VenueClient(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {PELVARINE_E2E_VENUE_CLIENT_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunCommand(argv, {}, milliseconds(30000));
  }

  // Writes the venue's copy, reads back what it calls, then places a call through it to a simulator that
  // listens only on `ip`.
  void CallThroughCopy(const std::string& address, const std::string& ip,
                       std::vector<std::string> extra = {}) {
    MakeDirs(Folder());
    std::vector<std::string> args = {"--address", address, "--output", ClientExe()};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(wine().client_exe());
    CommandResult stamped = VenueClient(args);
    ASSERT_TRUE(stamped.ok()) << stamped.err;
    CommandResult shown = VenueClient({"--show", ClientExe()});
    ASSERT_TRUE(shown.ok()) << shown.err;
    std::printf("[ note     ] %s: %s", test_name().c_str(), shown.out.c_str());
    EXPECT_NE(shown.out.find("address server: " + address + " "), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("(right)"), std::string::npos) << shown.out;

    exsim::Options options;
    options.bind_address = ip;
    options.phone_ip = ip;
    ASSERT_NO_FATAL_FAILURE(StartSimulator(options));
    ASSERT_NO_FATAL_FAILURE(LaunchClient());
    Press();
    ASSERT_TRUE(WaitForEvent(Kind::DialReceived)) << Diagnostics();
    EXPECT_EQ(EventCount(Kind::AddressQueryOk), 1u);
    EXPECT_TRUE(WaitForLine(line::kContacting)) << JoinLines(Transcript());
    EXPECT_FALSE(TranscriptHas(line::kErr002)) << JoinLines(Transcript());
    Press();
    EXPECT_TRUE(WaitForLine(line::kOnHook));
    EXPECT_TRUE(CloseClient());
  }
};

TEST_F(StampedClient, CallsASecondLoopbackAddress) {
  // The built client's checksum, as the linker wrote it, is the one pelvarine-client computes.
  CommandResult built = VenueClient({"--show", wine().client_exe()});
  EXPECT_NE(built.out.find("address server: 127.0.0.1 "), std::string::npos) << built.out << built.err;
  EXPECT_NE(built.out.find("(right)"), std::string::npos) << built.out;
  CallThroughCopy(kVenueIp, kVenueIp);
}

TEST_F(StampedClient, CallsAHostNameAndIsSigned) {
  if (!ResolvesTo(kVenueHost, kVenueIp))
    GTEST_SKIP() << kVenueHost << " does not name " << kVenueIp
                 << " here: run the suite through scripts/isolated";
  // A certificate of the test's own; the copy is stamped, then signed, and still calls.
  MakeDirs(Folder());
  std::string make_certificate = "cd '" + Folder() +
                                 "' && echo venue > pass && openssl req -x509 -newkey rsa:2048 -nodes"
                                 " -keyout key.pem -out cert.pem -days 2 -subj /CN=Venue 2>/dev/null"
                                 " && openssl pkcs12 -export -inkey key.pem -in cert.pem -out cert.pfx"
                                 " -passout file:pass";
  ASSERT_EQ(RunCommand({"/bin/sh", "-c", make_certificate}, {}, milliseconds(30000)).exit_code, 0);
  CallThroughCopy(kVenueHost, kVenueIp,
                  {"--sign", Folder() + "/cert.pfx", "--password-file", Folder() + "/pass"});
  CommandResult verified =
      RunCommand({"/usr/bin/osslsigncode", "verify", "-CAfile", Folder() + "/cert.pem", "-in", ClientExe()},
                 {}, milliseconds(30000));
  EXPECT_TRUE(verified.ok()) << verified.out << verified.err;
}

}  // namespace
}  // namespace e2e
