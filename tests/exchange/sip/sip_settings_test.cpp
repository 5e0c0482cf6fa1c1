#include "exchange/farend/sip/sip_settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace exchange {
namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

// A password file in a private temporary folder, with the mode under test.
class CredentialsFile {
 public:
  CredentialsFile(const std::string& content, mode_t mode) {
    char folder[] = "/tmp/sip-settings-XXXXXX";
    folder_ = mkdtemp(folder);
    path_ = folder_ + "/password";
    std::ofstream(path_) << content;
    chmod(path_.c_str(), mode);
  }
  ~CredentialsFile() {
    unlink(path_.c_str());
    rmdir(folder_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::string folder_;
  std::string path_;
};

bool Parse(const Entries& entries, SipSettings* settings, std::string* error) {
  return ParseSipSettings(entries, settings, error);
}

TEST(SipSettingsTest, ReadsEveryKey) {
  CredentialsFile credentials("s3cret-pass\nignored second line\n", 0600);
  Entries entries = {{"server", "sip:192.0.2.10:5080;transport=tcp"},
                     {"domain", "pbx.venue.example"},
                     {"user", "visitors"},
                     {"display_name", "Visitor line"},
                     {"credentials_file", credentials.path()},
                     {"register", "yes"},
                     {"local", "192.0.2.2:5070"},
                     {"rtp_ports", "40000-40999"},
                     {"public_address", "198.51.100.7"},
                     {"ring_limit", "15"},
                     {"max_wait", "10"}};
  SipSettings settings;
  std::string error;
  ASSERT_TRUE(Parse(entries, &settings, &error)) << error;
  EXPECT_EQ(settings.server, "sip:192.0.2.10:5080;transport=tcp");
  EXPECT_EQ(settings.server_host, "192.0.2.10");
  EXPECT_EQ(settings.server_port, 5080);
  EXPECT_EQ(settings.transport, SipTransport::kTcp);
  EXPECT_EQ(settings.domain, "pbx.venue.example");
  EXPECT_EQ(settings.user, "visitors");
  EXPECT_EQ(settings.display_name, "Visitor line");
  EXPECT_EQ(settings.password, "s3cret-pass");
  EXPECT_TRUE(settings.register_trunk);
  EXPECT_EQ(settings.local_address, "192.0.2.2");
  EXPECT_EQ(settings.local_port, 5070);
  EXPECT_EQ(settings.rtp_port_first, 40000);
  EXPECT_EQ(settings.rtp_port_last, 40999);
  EXPECT_EQ(settings.public_address, "198.51.100.7");
  EXPECT_EQ(settings.ring_limit_s, 15u);
  EXPECT_EQ(settings.max_wait_s, 10u);
}

TEST(SipSettingsTest, DefaultsFillWhatIsLeftOut) {
  SipSettings settings;
  std::string error;
  ASSERT_TRUE(Parse({{"server", "sip:pbx.venue.example"}, {"user", "visitors"}}, &settings, &error)) << error;
  EXPECT_EQ(settings.domain, "pbx.venue.example");
  EXPECT_EQ(settings.server_port, 0);
  EXPECT_EQ(settings.transport, SipTransport::kUdp);
  EXPECT_TRUE(settings.password.empty());
  EXPECT_FALSE(settings.register_trunk);
  EXPECT_EQ(settings.local_address, "0.0.0.0");
  EXPECT_EQ(settings.local_port, 5060);
  EXPECT_EQ(settings.ring_limit_s, 20u);
  EXPECT_EQ(settings.max_wait_s, 32u);
}

TEST(SipSettingsTest, AcceptsBracketedIpv6Server) {
  SipSettings settings;
  std::string error;
  ASSERT_TRUE(Parse({{"server", "sip:[2001:db8::1]:5062;transport=UDP"}, {"user", "u"}}, &settings, &error))
      << error;
  EXPECT_EQ(settings.server_host, "2001:db8::1");
  EXPECT_EQ(settings.server_port, 5062);
  EXPECT_EQ(settings.transport, SipTransport::kUdp);
}

TEST(SipSettingsTest, RefusesBadValuesNamingTheKey) {
  const Entries base = {{"server", "sip:pbx.example"}, {"user", "visitors"}};
  struct Case {
    std::string key;
    std::string value;
  };
  const Case cases[] = {
      {"server", "pbx.example"},                    // no scheme
      {"server", "sips:pbx.example"},               // TLS scheme
      {"server", "sip:pbx.example;transport=tls"},  // unsupported transport
      {"server", "sip:pbx.example:0"},              // port out of range
      {"server", "sip:pbx.example:"},               // empty port
      {"server", "sip:bob@pbx.example"},            // a user, not a server
      {"server", "sip:pbx example"},                // space in host
      {"domain", "venue;evil=1"},
      {"user", ""},
      {"user", "vis itors"},
      {"user", "a@b"},
      {"display_name", "say \"hi\""},
      {"register", "maybe"},
      {"local", "0.0.0.0"},
      {"local", "pbx:5060"},
      {"local", "0.0.0.0:70000"},
      {"rtp_ports", "30000"},
      {"rtp_ports", "31000-30000"},
      {"rtp_ports", "30000-30000"},
      {"rtp_ports", "80-90"},
      {"public_address", "host.example"},
      {"ring_limit", "0"},
      {"ring_limit", "ten"},
      {"max_wait", "601"},
      {"max_wait", "-1"},
  };
  for (const Case& c : cases) {
    Entries entries = base;
    // Replace rather than add, so a duplicate key is not what fails.
    bool replaced = false;
    for (auto& entry : entries) {
      if (entry.first == c.key) {
        entry.second = c.value;
        replaced = true;
      }
    }
    if (!replaced) entries.emplace_back(c.key, c.value);
    SipSettings settings;
    std::string error;
    EXPECT_FALSE(Parse(entries, &settings, &error)) << c.key << " = " << c.value;
    EXPECT_NE(error.find(c.key), std::string::npos) << "error '" << error << "' for " << c.key;
  }
}

TEST(SipSettingsTest, RefusesUnknownDuplicateAndMissingKeys) {
  SipSettings settings;
  std::string error;
  EXPECT_FALSE(Parse({{"server", "sip:a"}, {"user", "u"}, {"pasword", "x"}}, &settings, &error));
  EXPECT_NE(error.find("pasword"), std::string::npos);
  EXPECT_FALSE(Parse({{"server", "sip:a"}, {"user", "u"}, {"user", "v"}}, &settings, &error));
  EXPECT_NE(error.find("twice"), std::string::npos);
  EXPECT_FALSE(Parse({{"user", "u"}}, &settings, &error));
  EXPECT_NE(error.find("server"), std::string::npos);
  EXPECT_FALSE(Parse({{"server", "sip:a"}}, &settings, &error));
  EXPECT_NE(error.find("user"), std::string::npos);
}

TEST(SipSettingsTest, CredentialsFileMustBePrivateAndIsNeverQuoted) {
  const std::string secret = "hunter2-topsecret";
  for (mode_t mode : {0644, 0640, 0604, 0660}) {
    CredentialsFile credentials(secret + "\n", mode);
    SipSettings settings;
    std::string error;
    EXPECT_FALSE(Parse({{"server", "sip:a"}, {"user", "u"}, {"credentials_file", credentials.path()}},
                       &settings, &error))
        << std::oct << mode;
    EXPECT_NE(error.find("chmod 600"), std::string::npos) << error;
    EXPECT_NE(error.find(credentials.path()), std::string::npos) << error;
    EXPECT_EQ(error.find(secret), std::string::npos) << error;
  }
  CredentialsFile owner_only(secret + "\r\n", 0400);
  SipSettings settings;
  std::string error;
  ASSERT_TRUE(
      Parse({{"server", "sip:a"}, {"user", "u"}, {"credentials_file", owner_only.path()}}, &settings, &error))
      << error;
  EXPECT_EQ(settings.password, secret);
}

TEST(SipSettingsTest, CredentialsFileMissingOrEmptyIsRefused) {
  SipSettings settings;
  std::string error;
  EXPECT_FALSE(Parse({{"server", "sip:a"}, {"user", "u"}, {"credentials_file", "/nonexistent/sip-password"}},
                     &settings, &error));
  EXPECT_NE(error.find("/nonexistent/sip-password"), std::string::npos);
  CredentialsFile empty("\nsecond line only\n", 0600);
  EXPECT_FALSE(
      Parse({{"server", "sip:a"}, {"user", "u"}, {"credentials_file", empty.path()}}, &settings, &error));
  EXPECT_NE(error.find("no password"), std::string::npos) << error;
}

}  // namespace
}  // namespace exchange
