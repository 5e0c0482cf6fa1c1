#include "exchange/daemon/daemon_config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "exchange/daemon/daemon.h"
#include "tests/exchange/daemon/temp_folder.h"

namespace exchange {
namespace {

using testing::TempFolder;

class DaemonConfigTest : public ::testing::Test {
 protected:
  DaemonConfigTest() { AddBuiltInFarEnds(&built_in_); }

  // Parses `text` as "venue.conf" in the temporary folder; the problems are kept in problems_.
  bool Parse(const std::string& text) {
    problems_.clear();
    // As an ordinary user, whoever runs the tests: ports below 1024 are refused.
    return ParseDaemonConfig(text, "venue.conf", folder_.path(), built_in_, &config_, &problems_, 1024);
  }
  // The one problem reported, for the cases that must report exactly one.
  std::string OnlyProblem() {
    EXPECT_EQ(problems_.size(), 1u) << ::testing::PrintToString(problems_);
    return problems_.empty() ? std::string() : problems_.front();
  }

  TempFolder folder_;
  FarEndRegistry built_in_;
  DaemonConfig config_;
  std::vector<std::string> problems_;
};

TEST_F(DaemonConfigTest, DefaultIsLoopbackWithTheBuiltInExtensions) {
  DaemonConfig c = DefaultDaemonConfig();
  EXPECT_EQ(c.exchange.address_listen, "127.0.0.1");
  EXPECT_EQ(c.exchange.address_port, 32765);
  ASSERT_EQ(c.exchange.phone_servers.size(), 1u);
  EXPECT_EQ(c.exchange.phone_servers[0].listen, "127.0.0.1");
  EXPECT_EQ(c.exchange.phone_base_port, 20480);
  EXPECT_EQ(c.exchange.voice_port, 0);
  EXPECT_TRUE(c.metrics.enabled);
  EXPECT_EQ(c.metrics.address, "127.0.0.1");
  EXPECT_EQ(c.metrics.port, 9464);
  EXPECT_EQ(c.log_level, LogLevel::kInfo);
  EXPECT_FALSE(c.has_sip);
  const DialPlan& plan = c.exchange.dial_plan;
  EXPECT_EQ(plan.extensions().size(), 3u);
  EXPECT_EQ(plan.Resolve("3381").route.far_end, "tone");
  EXPECT_EQ(plan.Resolve("3381").route.target, "1000");
  EXPECT_EQ(plan.Resolve("3368").route.far_end, "echo");
  EXPECT_EQ(plan.Resolve("3191").route.target, "440");
  EXPECT_FALSE(plan.Resolve("3382").accepted);
  EXPECT_FALSE(plan.Resolve("0123456#secret#").accepted);
}

TEST_F(DaemonConfigTest, EmptyFileKeepsEveryDefault) {
  ASSERT_TRUE(Parse("# nothing but a comment\n\n")) << ::testing::PrintToString(problems_);
  EXPECT_EQ(config_.exchange.address_port, 32765);
  EXPECT_EQ(config_.exchange.limits.max_calls, 64);
  EXPECT_EQ(config_.exchange.limits.max_connections, 1000);
  EXPECT_EQ(config_.exchange.limits.connections_per_source, 16);
  EXPECT_EQ(config_.exchange.limits.queries_per_source_per_minute, 60);
  EXPECT_EQ(config_.exchange.call.dial_timeout_ms, 20000u);
  EXPECT_EQ(config_.exchange.limits.calls_per_source, 2);
  EXPECT_EQ(config_.exchange.call.max_call_ms, 3600000u);
  EXPECT_EQ(config_.exchange.call.voice_silence_ms, 60000u);
  EXPECT_EQ(config_.exchange.call.linger_ms, 10000u);
  // Without dial lines only the built-in test extensions answer, and that is said at start.
  EXPECT_EQ(config_.exchange.dial_plan.extensions().size(), 3u);
  ASSERT_EQ(config_.notes.size(), 1u);
  EXPECT_NE(config_.notes[0].find("no dial lines"), std::string::npos);
}

TEST_F(DaemonConfigTest, ReadsAVenueFile) {
  std::string password = folder_.Write("direct.secret", "s3cret\n", 0600);
  std::string credentials = folder_.Write("sip.secret", "pbx-pass\n", 0400);
  ASSERT_TRUE(Parse(R"(
[exchange]
address_listen = 0.0.0.0      # every interface
address_port = 32765
phone_servers = 10.0.0.5, 10.0.0.6
public_addresses = 81.2.69.5,81.2.69.6
base_port = 21000
forwarded_ports = yes
voice_port = 25000
log_level = debug
metrics = 127.0.0.1:9500

[limits]
max_calls = 8
max_connections = 200
connections_per_source = 4
calls_per_source = 1
connections_per_source_per_minute = 30
dials_per_source_per_minute = 5
voice_silence = 0
queries_per_source_per_minute = 10
dial_timeout = 15 s
max_call_minutes = 30
linger = 5s

[sip]
server = sip:192.0.2.10;transport=tcp
user = pelvarine
credentials_file = sip.secret

[dial]
3381 = sip 3381, 3382
3368 = echo
3191 = tone 440
direct = sip
direct_password_file = direct.secret
direct_prefixes = 0,1
)")) << ::testing::PrintToString(problems_);
  const ExchangeConfig& x = config_.exchange;
  EXPECT_EQ(x.address_listen, "0.0.0.0");
  ASSERT_EQ(x.phone_servers.size(), 2u);
  EXPECT_EQ(x.phone_servers[1].listen, "10.0.0.6");
  EXPECT_EQ(x.phone_servers[1].public_address, "81.2.69.6");
  EXPECT_EQ(x.phone_base_port, 21000);
  EXPECT_EQ(x.voice_port, 25000);
  EXPECT_EQ(config_.log_level, LogLevel::kDebug);
  EXPECT_EQ(config_.metrics.port, 9500);
  EXPECT_EQ(x.limits.max_calls, 8);
  EXPECT_EQ(x.limits.max_connections, 200);
  EXPECT_EQ(x.limits.connections_per_source, 4);
  EXPECT_EQ(x.limits.calls_per_source, 1);
  EXPECT_EQ(x.limits.connections_per_source_per_minute, 30);
  EXPECT_EQ(x.limits.dials_per_source_per_minute, 5);
  EXPECT_EQ(x.call.voice_silence_ms, 0u);
  EXPECT_EQ(x.limits.queries_per_source_per_minute, 10);
  EXPECT_EQ(x.call.dial_timeout_ms, 15000u);
  EXPECT_EQ(x.call.max_call_ms, 30u * 60000u);
  EXPECT_EQ(x.call.linger_ms, 5000u);
  ASSERT_TRUE(config_.has_sip);
  EXPECT_EQ(config_.sip.user, "pelvarine");
  EXPECT_EQ(config_.sip.password, "pbx-pass");  // the relative name was taken from the file's folder
  EXPECT_EQ(config_.sip.credentials_file, credentials);
  EXPECT_TRUE(config_.notes.empty());

  DialDecision d = x.dial_plan.Resolve("3381");
  ASSERT_TRUE(d.accepted);
  EXPECT_EQ(d.route.far_end, "sip");
  EXPECT_EQ(d.route.target, "3381, 3382");
  EXPECT_EQ(x.dial_plan.Resolve("3368").route.far_end, "echo");
  EXPECT_TRUE(x.dial_plan.Resolve("0123456#s3cret#").accepted);
  EXPECT_FALSE(x.dial_plan.Resolve("0123456#wrong#").accepted);
  EXPECT_FALSE(x.dial_plan.Resolve("9123456#s3cret#").accepted);  // outside the prefixes
  EXPECT_FALSE(x.dial_plan.Resolve("3390").accepted);
  (void)password;
}

TEST_F(DaemonConfigTest, EachSyntaxProblemNamesItsLine) {
  EXPECT_FALSE(Parse("[exchange]\naddress_port 32765\n"));
  EXPECT_EQ(OnlyProblem(), "venue.conf:2: expected \"key = value\" or a [section] header");
  EXPECT_FALSE(Parse("[exchange\n"));
  EXPECT_EQ(OnlyProblem(), "venue.conf:1: a section header is written [name]");
  EXPECT_FALSE(Parse("\n= 5\n"));
  EXPECT_EQ(OnlyProblem(), "venue.conf:2: a line starts with '=' but needs a key before it");
  EXPECT_FALSE(Parse("address_port = 1\n[exchange]\n"));
  EXPECT_NE(OnlyProblem().find("venue.conf:1: \"address_port\" is outside any section"), std::string::npos);
  EXPECT_FALSE(Parse("[exchange]\n[routing]\nx = 1\n"));
  EXPECT_NE(OnlyProblem().find("venue.conf:2: unknown section [routing]"), std::string::npos);
  EXPECT_FALSE(Parse("[limits]\n[exchange]\n[limits]\n"));
  EXPECT_EQ(OnlyProblem(), "venue.conf:3: [limits] is given twice (first on line 1)");
  EXPECT_FALSE(Parse("[limits]\nmax_calls = 3\n\nmax_calls = 4\n"));
  EXPECT_EQ(OnlyProblem(), "venue.conf:4: [limits] max_calls is given twice (first on line 2)");
  EXPECT_FALSE(Parse("[exchange]\n" + std::string(5000, 'x') + " = 1\n"));
  EXPECT_NE(OnlyProblem().find("venue.conf:2: line longer than"), std::string::npos);
}

TEST_F(DaemonConfigTest, EachBadValueNamesItsLineAndKey) {
  struct Case {
    std::string text;
    std::string expected;  // the start of the one problem
  };
  const Case cases[] = {
      {"[exchange]\naddress_listen = localhost\n", "venue.conf:2: address_listen must be an IPv4 address"},
      {"[exchange]\naddress_port = 70000\n",
       "venue.conf:2: address_port must be a whole number from 1 to 65535"},
      {"[exchange]\naddress_port = -1\n", "venue.conf:2: address_port must be"},
      {"[exchange]\nbase_port = 65530\n",
       "venue.conf:2: base_port must be a whole number from 1024 to 65528"},
      {"[exchange]\nvoice_port = x\n", "venue.conf:2: voice_port must be"},
      {"[exchange]\nlog_level = verbose\n", "venue.conf:2: log_level must be error, warn, info or debug"},
      {"[exchange]\nmetrics = 9464\n", "venue.conf:2: metrics must be IPv4:port"},
      {"[exchange]\nmetrics = 127.0.0.1:0\n", "venue.conf:2: metrics must be IPv4:port"},
      {"[exchange]\ncolour = blue\n", "venue.conf:2: [exchange] has no key \"colour\""},
      {"[exchange]\nphone_servers = 10.0.0.1, 10.0.0.x\n",
       "venue.conf:2: phone_servers: \"10.0.0.x\" is not"},
      {"[exchange]\nphone_servers = 10.0.0.1,10.0.0.1\n", "venue.conf:2: phone_servers lists 10.0.0.1 twice"},
      {"[exchange]\nphone_servers = 10.0.0.1,\n", "venue.conf:2: phone_servers: \"\" is not an IPv4 address"},
      {"[exchange]\nphone_servers = 10.0.0.1,10.0.0.2\npublic_addresses = 203.0.113.1\n",
       "venue.conf:3: public_addresses names 1 address(es) but phone_servers 2"},
      {"[exchange]\nphone_servers = 10.0.0.1\npublic_addresses = 0.0.0.0\n",
       "venue.conf:3: public_addresses: \"0.0.0.0\" is not an IPv4 address a client can reach"},
      {"[exchange]\naddress_port = 20484\nforwarded_ports = yes\n",
       "venue.conf:2: the address server (TCP 127.0.0.1:20484) and channel 2 (TCP 127.0.0.1:20484) take"},
      {"[limits]\nmax_calls = 0\n", "venue.conf:2: max_calls must be a whole number from 1 to 100000"},
      {"[limits]\nmax_connections = many\n", "venue.conf:2: max_connections must be"},
      {"[limits]\nconnections_per_source = 0\n", "venue.conf:2: connections_per_source must be"},
      {"[limits]\nqueries_per_source_per_minute = 1.5\n",
       "venue.conf:2: queries_per_source_per_minute must be"},
      {"[limits]\ndial_timeout = 0\n", "venue.conf:2: dial_timeout must be whole seconds from 1 to 3600"},
      {"[limits]\ndial_timeout = 20 min\n", "venue.conf:2: dial_timeout must be whole seconds"},
      {"[limits]\nmax_call_minutes = -5\n", "venue.conf:2: max_call_minutes must be"},
      {"[limits]\nlinger = 1h\n", "venue.conf:2: linger must be whole seconds"},
      {"[limits]\nmax_cals = 3\n", "venue.conf:2: [limits] has no key \"max_cals\""},
      {"[web]\nlisten = 8080\n", "venue.conf:2: listen must be IPv4:port"},
      {"[web]\nmedia_port = 80\n", "venue.conf:2: media_port must be a whole number from 1024 to 65535"},
      {"[web]\npublic_address = 0.0.0.0\n", "venue.conf:2: public_address must be an IPv4 address browsers"},
      {"[web]\nenabled = maybe\n", "venue.conf:2: enabled must be yes or no"},
      {"[web]\nlisten = 0.0.0.0:8443\n", "venue.conf:1: [web] on 0.0.0.0 needs public_address"},
      {"[web]\nport = 8080\n", "venue.conf:2: [web] has no key \"port\""},
      {"[web]\ntrusted_proxies = 127.0.0.1, proxy\n", "venue.conf:2: trusted_proxies: \"proxy\" is not"},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(Parse(c.text)) << c.text;
    ASSERT_EQ(problems_.size(), 1u) << c.text << ::testing::PrintToString(problems_);
    EXPECT_EQ(problems_[0].rfind(c.expected, 0), 0u) << c.text << "\ngot: " << problems_[0];
  }
}

TEST_F(DaemonConfigTest, WebPageIsOffUnlessItsSectionIsThere) {
  ASSERT_TRUE(Parse("[dial]\n3368 = echo\n"));
  EXPECT_FALSE(config_.web.enabled);
  ASSERT_TRUE(
      Parse("[web]\nlisten = 0.0.0.0:8443\ncertificate = web.pem\nmedia_port = 20400\n"
            "public_address = 198.51.100.4\norigins = https://a.example, https://b.example\n"
            "max_calls = 3\n[dial]\n3368 = echo\n"))
      << ::testing::PrintToString(problems_);
  const WebConfig& w = config_.web;
  EXPECT_TRUE(w.enabled);
  EXPECT_EQ(w.listen + ":" + std::to_string(w.port), "0.0.0.0:8443");
  EXPECT_EQ(w.certificate_file, folder_.path() + "/web.pem");
  EXPECT_EQ(w.public_address, "198.51.100.4");
  EXPECT_EQ(w.origins, (std::vector<std::string>{"https://a.example", "https://b.example"}));
  EXPECT_EQ(w.max_calls, 3);
  ASSERT_TRUE(Parse("[web]\nenabled = no\n[dial]\n3368 = echo\n"));
  EXPECT_FALSE(config_.web.enabled);
}

TEST_F(DaemonConfigTest, EveryProblemOfAFileIsReportedAtOnce) {
  EXPECT_FALSE(Parse("[exchange]\naddress_port = x\nbase_port = y\n[limits]\nmax_calls = z\n"));
  ASSERT_EQ(problems_.size(), 3u);
  EXPECT_EQ(problems_[0].rfind("venue.conf:2:", 0), 0u);
  EXPECT_EQ(problems_[1].rfind("venue.conf:3:", 0), 0u);
  EXPECT_EQ(problems_[2].rfind("venue.conf:5:", 0), 0u);
}

// What --check-config catches before a start or a reload would fail: each case's problems (all of them, in
// one pass, parts of their text) or, for a valid file, a part of its one note.
TEST_F(DaemonConfigTest, CheckCatchesWhatWouldFailLater) {
  std::string secret = folder_.Write("real.secret", "pass\n", 0600);
  symlink(secret.c_str(), (folder_.path() + "/link.secret").c_str());
  struct Case {
    std::string text;
    std::vector<std::string> problems;
    std::string note = "";
  };
  const std::string sip = "[sip]\nserver = sip:192.0.2.10\nuser = visitors\n";
  const Case cases[] = {
      // A UTF-8 value is shown as written ("信息"); a byte that is not UTF-8 is named; a BOM is no problem.
      {"[exchange]\nlog_level = \xE4\xBF\xA1\xE6\x81\xAF\n",
       {"venue.conf:2: log_level must be error, warn, info or debug (got \"\xE4\xBF\xA1\xE6\x81\xAF\")"}},
      {"# caf\xE9\n[exchange]\n", {"venue.conf:1: byte 0xE9 at column 6 is not UTF-8"}},
      {"\xEF\xBB\xBF[exchange]\nlog_level = warn\n[dial]\n3368 = echo\n", {}},
      // Every [sip] problem at once, and a [sip] with problems still counts for the dial lines.
      {"[sip]\nserver = sip:192.0.2.10\nuser = a b\nregister = maybe\n[dial]\n3381 = sip 3381\n",
       {"venue.conf:3: [sip] user must be", "venue.conf:4: [sip] register must be yes or no"}},
      {"[sip]\nserver = pbx\nuser = visitors\n[dial]\n3381 = sip 3381\n", {"venue.conf:2: [sip] server"}},
      // Ports the shipped client cannot reach, unless forwarded knowingly.
      {"[exchange]\naddress_port = 32766\n",
       {"venue.conf:2: address_port 32766: the shipped client asks for the address server on port 32765 "
        "only: "
        "if a port forward brings the client's port here, say so with forwarded_ports = yes"}},
      {"[exchange]\nbase_port = 30000\n",
       {"venue.conf:2: base_port 30000: the shipped client calls its channels on ports 20480-20487 only"}},
      {"[exchange]\naddress_port = 32766\nbase_port = 30000\nforwarded_ports = yes\n[dial]\n3368 = echo\n",
       {}},
      // Ports only root may bind; two listeners on one port.
      {"[exchange]\naddress_port = 80\nforwarded_ports = yes\n",
       {"venue.conf:2: the address server (TCP 127.0.0.1:80): ports below 1024 need root"}},
      {"[exchange]\nmetrics = 127.0.0.1:32765\n",
       {"venue.conf:2: the address server (TCP 127.0.0.1:32765) and metrics (TCP 127.0.0.1:32765) take the "
        "same port"}},
      {sip + "local = 0.0.0.0:20483\n",
       {"venue.conf:4: channel 1's voice (UDP 127.0.0.1:20483) and [sip] local (UDP 0.0.0.0:20483) take"}},
      {sip + "rtp_ports = 20400-20499\n", {"[sip] rtp_ports (UDP 0.0.0.0:20400-20499) take the same port"}},
      {"[web]\nlisten = 127.0.0.1:9464\n",
       {"venue.conf:2: metrics (TCP 127.0.0.1:9464) and [web] listen (TCP 127.0.0.1:9464) take the same "
        "port"}},
      // A documentation address left from the example is worth a warning, not an error.
      {"[exchange]\naddress_listen = 0.0.0.0\nphone_servers = 0.0.0.0\npublic_addresses = 203.0.113.10\n"
       "[dial]\n3368 = echo\n",
       {},
       "venue.conf:4: 203.0.113.10 is a documentation address (RFC 5737)"},
      // A secret behind a symbolic link is refused in plain words.
      {sip + "credentials_file = link.secret\n",
       {"venue.conf:4: [sip] credentials_file " + folder_.path() +
        "/link.secret is a symbolic link: name the "
        "file itself"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Parse(c.text), c.problems.empty()) << c.text;
    EXPECT_EQ(problems_.size(), c.problems.size()) << c.text << ::testing::PrintToString(problems_);
    for (size_t i = 0; i < c.problems.size() && i < problems_.size(); ++i)
      EXPECT_NE(problems_[i].find(c.problems[i]), std::string::npos) << c.text << "\ngot: " << problems_[i];
    if (c.problems.empty()) {
      ASSERT_EQ(config_.notes.size(), c.note.empty() ? 0u : 1u) << ::testing::PrintToString(config_.notes);
      if (!c.note.empty()) {
        EXPECT_EQ(config_.notes[0].rfind(c.note, 0), 0u) << config_.notes[0];
      }
    }
  }
  unlink((folder_.path() + "/link.secret").c_str());
}

TEST_F(DaemonConfigTest, SecretsOwnedByAnotherUserAreRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
  std::string direct = folder_.Write("direct.secret", "s3cret\n", 0600);
  std::string credentials = folder_.Write("sip.secret", "pbx-pass\n", 0600);
  ASSERT_EQ(chown(direct.c_str(), 65534, 65534), 0);
  ASSERT_EQ(chown(credentials.c_str(), 65534, 65534), 0);
  for (const char* text :
       {"[dial]\ndirect = sip\ndirect_password_file = direct.secret\n[sip]\nserver = sip:127.0.0.1\nuser = "
        "v\n",
        "[sip]\nserver = sip:127.0.0.1\nuser = v\ncredentials_file = sip.secret\n"}) {
    EXPECT_FALSE(Parse(text)) << text;
    EXPECT_NE(::testing::PrintToString(problems_).find("belongs to user 65534"), std::string::npos)
        << ::testing::PrintToString(problems_);
  }
}

TEST_F(DaemonConfigTest, ListeningOnEveryAddressNeedsThePublicOne) {
  EXPECT_FALSE(Parse("[exchange]\naddress_listen = 0.0.0.0\nphone_servers = 0.0.0.0\n"));
  EXPECT_EQ(
      OnlyProblem().rfind("venue.conf:3: phone server 0.0.0.0 (every address) needs public_addresses", 0),
      0u);

  ASSERT_TRUE(Parse(
      "[exchange]\naddress_listen = 0.0.0.0\nphone_servers = 0.0.0.0\npublic_addresses = 198.51.100.4\n"))
      << ::testing::PrintToString(problems_);
  EXPECT_EQ(config_.exchange.phone_servers[0].public_address, "198.51.100.4");

  // Another phone server on the same ports would collide with the one on every address.
  EXPECT_FALSE(
      Parse("[exchange]\nphone_servers = 0.0.0.0, 10.0.0.1\npublic_addresses = 198.51.100.4, 10.0.0.1\n"));
  EXPECT_NE(OnlyProblem().find("cannot share them"), std::string::npos);

  // A public address server that names a loopback phone server is legal but useless: a note says so.
  ASSERT_TRUE(Parse("[exchange]\naddress_listen = 0.0.0.0\n[dial]\n3368 = echo\n"));
  ASSERT_EQ(config_.notes.size(), 1u);
  EXPECT_NE(config_.notes[0].find("names 127.0.0.1 to clients"), std::string::npos);

  // So is a metrics port anyone can reach.
  ASSERT_TRUE(Parse("[exchange]\nmetrics = 0.0.0.0:9464\n[dial]\n3368 = echo\n"));
  ASSERT_EQ(config_.notes.size(), 1u);
  EXPECT_EQ(config_.notes[0],
            "venue.conf:2: metrics on 0.0.0.0: whoever reaches that address can read the counters");
}

TEST_F(DaemonConfigTest, DialLinesAreCheckedByTheirFarEnds) {
  ASSERT_TRUE(Parse("[dial]\n3368 = echo 150\n3191 = tone 440\n")) << ::testing::PrintToString(problems_);
  EXPECT_EQ(config_.exchange.dial_plan.extensions().size(), 2u);  // the built-in ones are not added
  EXPECT_FALSE(config_.exchange.dial_plan.Resolve("3381").accepted);
  EXPECT_TRUE(config_.notes.empty());

  EXPECT_FALSE(Parse("[dial]\n3191 = tone 20000\n"));
  EXPECT_EQ(OnlyProblem().rfind("venue.conf:2: dial 3191 = tone 20000: ", 0), 0u);
  EXPECT_FALSE(Parse("[dial]\n\n3368 = echo forever\n"));
  EXPECT_EQ(OnlyProblem().rfind("venue.conf:3: dial 3368 = echo forever: ", 0), 0u);
  EXPECT_FALSE(Parse("[dial]\n3368 = fax\n"));
  EXPECT_EQ(OnlyProblem(), "venue.conf:2: dial 3368: unknown far-end kind \"fax\" (echo, tone, sip)");
  EXPECT_FALSE(Parse("[dial]\n3381 = sip 3381\n"));
  EXPECT_EQ(OnlyProblem(), "venue.conf:2: dial 3381 goes to the sip far end, which needs a [sip] section");
  EXPECT_FALSE(Parse("[dial]\n33#81 = echo\n"));
  EXPECT_NE(OnlyProblem().find("venue.conf:2: dial string \"33#81\" must be"), std::string::npos);
  EXPECT_FALSE(Parse("[dial]\n" + std::string(33, '1') + " = echo\n"));
  EXPECT_EQ(OnlyProblem().rfind("venue.conf:2: dial string", 0), 0u);

  const std::string sip = "[sip]\nserver = sip:192.0.2.10\nuser = pelvarine\n";
  ASSERT_TRUE(Parse(sip + "[dial]\n3381 = sip 3381,3382\n")) << ::testing::PrintToString(problems_);
  // The hunt list goes into a request URI: anything that could route elsewhere is refused.
  EXPECT_FALSE(Parse(sip + "[dial]\n3381 = sip 3381@evil.example\n"));
  EXPECT_EQ(OnlyProblem().rfind("venue.conf:5: dial 3381 = sip 3381@evil.example: ", 0), 0u);
  EXPECT_FALSE(Parse(sip + "[dial]\n3381 = sip\n"));
  EXPECT_EQ(OnlyProblem().rfind("venue.conf:5: dial 3381 = sip: ", 0), 0u);
  // [sip] may come after [dial].
  EXPECT_TRUE(Parse("[dial]\n3381 = sip 3381\n" + sip)) << ::testing::PrintToString(problems_);
}

TEST_F(DaemonConfigTest, SipSectionProblemsPointAtTheirKey) {
  EXPECT_FALSE(Parse("[sip]\nserver = sip:192.0.2.10\nuser = pelvarine\nregister = maybe\n"));
  EXPECT_EQ(OnlyProblem().rfind("venue.conf:4: [sip] register must be yes or no", 0), 0u);
  EXPECT_FALSE(Parse("[sip]\nserver = sip:192.0.2.10\n"));
  EXPECT_EQ(OnlyProblem().rfind("venue.conf:1: [sip] user is required", 0), 0u);
  // A password written straight into the file is an unknown key; its value is never repeated.
  EXPECT_FALSE(Parse("[sip]\nserver = sip:192.0.2.10\nuser = u\npassword = hunter2\n"));
  std::string problem = OnlyProblem();
  EXPECT_EQ(problem.rfind("venue.conf:4: ", 0), 0u) << problem;
  EXPECT_EQ(problem.find("hunter2"), std::string::npos);
}

TEST_F(DaemonConfigTest, DirectNumbersNeedAPrivatePasswordFile) {
  const std::string sip = "[sip]\nserver = sip:192.0.2.10\nuser = pelvarine\n";
  folder_.Write("open.secret", "hunter2\n", 0640);
  folder_.Write("empty.secret", "\n", 0600);
  folder_.Write("good.secret", "hunter2\r\nsecond line ignored\n", 0600);

  EXPECT_FALSE(Parse(sip + "[dial]\ndirect = sip\ndirect_password_file = open.secret\n"));
  std::string problem = OnlyProblem();
  EXPECT_EQ(problem.rfind("venue.conf:6: direct_password_file " + folder_.path() +
                              "/open.secret is open to group or "
                              "others (mode 0640)",
                          0),
            0u)
      << problem;
  EXPECT_EQ(problem.find("hunter2"), std::string::npos);

  EXPECT_FALSE(Parse(sip + "[dial]\ndirect = sip\ndirect_password_file = empty.secret\n"));
  EXPECT_NE(OnlyProblem().find("holds no secret"), std::string::npos);
  EXPECT_FALSE(Parse(sip + "[dial]\ndirect = sip\ndirect_password_file = missing.secret\n"));
  EXPECT_NE(OnlyProblem().find("No such file"), std::string::npos);
  EXPECT_FALSE(Parse(sip + "[dial]\ndirect = sip\ndirect_password_file = .\n"));
  EXPECT_NE(OnlyProblem().find("not a regular file"), std::string::npos);
  EXPECT_FALSE(Parse(sip + "[dial]\ndirect = sip\n"));
  EXPECT_EQ(OnlyProblem().rfind("venue.conf:5: direct numbers need direct_password_file", 0), 0u);
  EXPECT_FALSE(Parse(sip + "[dial]\ndirect_password_file = good.secret\n"));
  EXPECT_EQ(OnlyProblem().rfind("venue.conf:5: direct_password_file is given but no", 0), 0u);
  EXPECT_FALSE(Parse("[dial]\ndirect = sip\ndirect_password_file = good.secret\n"));
  EXPECT_EQ(OnlyProblem().rfind("venue.conf:2: direct numbers go to the sip far end, which needs a [sip]", 0),
            0u);
  EXPECT_FALSE(Parse(sip + "[dial]\ndirect = echo\ndirect_password_file = good.secret\n"));
  EXPECT_EQ(OnlyProblem().rfind("venue.conf:5: direct numbers can only go to the sip far end", 0), 0u);
  EXPECT_FALSE(
      Parse(sip + "[dial]\ndirect = sip\ndirect_password_file = good.secret\ndirect_prefixes = 0,+1\n"));
  EXPECT_EQ(OnlyProblem().rfind("venue.conf:7: direct_prefixes must be digits", 0), 0u);

  ASSERT_TRUE(Parse(sip + "[dial]\ndirect = sip\ndirect_password_file = good.secret\n"))
      << ::testing::PrintToString(problems_);
  DialDecision d = config_.exchange.dial_plan.Resolve("004930123456#hunter2#");
  ASSERT_TRUE(d.accepted) << d.reason;
  EXPECT_EQ(d.route.far_end, "sip");
  EXPECT_EQ(d.route.target, "004930123456");
}

TEST_F(DaemonConfigTest, LoadReadsTheFileAndRefusesWhatIsNotOne) {
  std::string file =
      folder_.Write("exchange.conf", "[exchange]\naddress_port = 42765\nforwarded_ports = yes\n", 0644);
  ASSERT_TRUE(LoadDaemonConfig(file, built_in_, &config_, &problems_)) << ::testing::PrintToString(problems_);
  EXPECT_EQ(config_.exchange.address_port, 42765);
  EXPECT_EQ(config_.source, file);

  problems_.clear();
  EXPECT_FALSE(LoadDaemonConfig(folder_.path(), built_in_, &config_, &problems_));
  ASSERT_EQ(problems_.size(), 1u);
  EXPECT_EQ(problems_[0], folder_.path() + ": not a readable file");
  problems_.clear();
  EXPECT_FALSE(LoadDaemonConfig("/dev/zero", built_in_, &config_, &problems_));
  EXPECT_EQ(problems_.size(), 1u);

  std::string bad = folder_.Write("bad.conf", "[exchange]\nbase_port = 1\n", 0644);
  problems_.clear();
  EXPECT_FALSE(LoadDaemonConfig(bad, built_in_, &config_, &problems_));
  ASSERT_EQ(problems_.size(), 1u);
  EXPECT_EQ(problems_[0].rfind(bad + ":2: base_port", 0), 0u);
}

}  // namespace
}  // namespace exchange
